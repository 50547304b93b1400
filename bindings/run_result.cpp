#include "run_result.hpp"

#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>

#include "python_output.hpp"
#include "run_data.hpp"
#include "run_hooks.hpp"

namespace kestrel::bind {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

py::module_ numpy() { return py::module_::import("numpy"); }

template <class T>
py::array_t<T, py::array::c_style | py::array::forcecast> filled(std::vector<py::ssize_t> shape, T value) {
    py::array_t<T, py::array::c_style | py::array::forcecast> a(shape);
    std::fill(a.mutable_data(), a.mutable_data() + a.size(), value);
    return a;
}

py::array read_only(py::array a) {
    a.attr("setflags")(py::arg("write") = false);
    return a;
}

// A private float64 copy of a vector argument.
py::array vector_copy(py::handle obj, const std::string& name, py::ssize_t expected = -1,
                      const std::string& reference = "") {
    return read_only(as_vector(obj, name, expected, reference).attr("copy")());
}

// Per-date diagnostics written straight into the result's arrays (row m =
// date row - first_row) while the GIL is released.
struct Diagnostics {
    std::size_t first_row = 0, k = 0;
    const double* limits = nullptr;
    std::int8_t* status = nullptr;
    std::int64_t *loop_count = nullptr, *hold_num = nullptr;
    double *first_expo = nullptr, *last_expo = nullptr, *bench_hold = nullptr, *total = nullptr;
    bool* over_limit = nullptr;

    void record(std::size_t bi, optimizer::DateStatus s, const optimizer::LoopReport* report) const {
        const std::size_t m = bi - first_row;
        status[m] = static_cast<std::int8_t>(s);
        if (!report) return;
        loop_count[m] = report->loop_count;
        if (report->measured) {
            for (std::size_t j = 0; j < k; ++j) {
                first_expo[m * k + j] = report->first_expo[j];
                last_expo[m * k + j] = report->expo[j];
                over_limit[m * k + j] = std::abs(report->expo[j]) > limits[j];  // the loop's own test
            }
        }
        bench_hold[m] = report->bench_hold;
        hold_num[m] = report->hold_num;
        total[m] = report->total;
    }
};

class RecordingHooks : public PythonHooks {
public:
    RecordingHooks(const Optimizer& self, ProgressBar& bar, bool print, std::size_t shown, const Diagnostics& d)
        : PythonHooks(self, bar, print, shown), d_(d) {}

    void date_done(std::size_t bi, optimizer::DateStatus status, const optimizer::LoopReport* report,
                   position::DispatchParams& next) override {
        d_.record(bi, status, report);
        PythonHooks::date_done(bi, status, report, next);
    }

private:
    Diagnostics d_;
};

// The state checked against the score matrix, as the run's starting point.
const RunState& start_of(py::handle start, std::size_t t_rows, std::size_t n) {
    if (!py::isinstance<RunState>(start))
        throw py::type_error("start must be a Kestrel.RunState or None, not " +
                             std::string(py::str(py::type::handle_of(start).attr("__name__"))));
    const RunState& s = start.cast<const RunState&>();
    if (s.row >= static_cast<Index>(t_rows))
        throw py::value_error("start.row is " + std::to_string(s.row) + ", outside the score matrix (rows -1 to " +
                              std::to_string(static_cast<Index>(t_rows) - 1) + ")");
    if (static_cast<std::size_t>(s.weights.size()) != n)
        throw py::value_error("start.weights has length " + std::to_string(s.weights.size()) + ", expected " +
                              std::to_string(n) + " (the column count of predictValues)");
    return s;
}

CSpan doubles(const py::array& a) { return {static_cast<const double*>(a.data()), static_cast<std::size_t>(a.size())}; }

py::object state_object(Index row, py::array weights, const std::optional<Vec>& smoothed) {
    py::object s = py::none();
    if (smoothed) s = read_only(py::array_t<double>(static_cast<py::ssize_t>(smoothed->size()), smoothed->data()));
    return py::cast(RunState{row, std::move(weights), std::move(s)});
}

}  // namespace

RunState make_state(py::handle row, py::handle weights, py::handle smoothed) {
    if (PyBool_Check(row.ptr()) || !PyIndex_Check(row.ptr()))
        throw py::type_error("RunState.row must be an integer, not " +
                             std::string(py::str(py::type::handle_of(row).attr("__name__"))));
    RunState s;
    s.row = as_index(row, "RunState.row");
    if (s.row < -1) throw py::value_error("RunState.row must be -1 or more, got " + std::to_string(s.row));
    s.weights = vector_copy(weights, "RunState.weights");
    const CSpan w = doubles(s.weights);
    for (std::size_t i = 0; i < w.size(); ++i)
        if (!(std::isfinite(w[i]) && w[i] >= 0.0))
            throw py::value_error("RunState.weights must be finite and non-negative; entry " + std::to_string(i) +
                                  " is " + std::string(py::str(py::float_(w[i]))));
    s.smoothed = smoothed.is_none()
                     ? py::none()
                     : py::object(vector_copy(smoothed, "RunState.smoothed", s.weights.size(), "RunState.weights"));
    return s;
}

RunResult run(py::object opt_name, py::object bench_symbol, py::object secu_pct, py::object cfg,
              py::handle predict_values, py::handle univ_idx, py::handle start, bool progress, bool print_result) {
    const auto begin = std::chrono::steady_clock::now();
    Optimizer self{std::move(bench_symbol), std::move(secu_pct), std::move(cfg), std::move(opt_name), {}, {}};
    known_algorithm(self.opt_name);
    PreparedRun prepared = prepare_run(self, predict_values, univ_idx, false);
    optimizer::RunConfig& config = prepared.config;
    const std::size_t t_rows = prepared.data.scores.rows, n = prepared.data.scores.cols;
    const std::size_t k = prepared.risk.names.size();

    Index last_row = -1;
    if (!start.is_none()) {
        const RunState& s = start_of(start, t_rows, n);
        last_row = s.row;
        config.first_row = static_cast<std::size_t>(s.row + 1);
        const CSpan w = doubles(s.weights);
        config.pre_weight.assign(w.begin(), w.end());
        if (!s.smoothed.is_none()) {
            const CSpan e = doubles(py::reinterpret_borrow<py::array>(s.smoothed));
            config.pre_ema = Vec(e.begin(), e.end());
        }
    }
    const auto m = static_cast<py::ssize_t>(t_rows - config.first_row);
    const auto ni = static_cast<py::ssize_t>(n), ki = static_cast<py::ssize_t>(k);

    RunResult r;
    auto weights = filled<double>({m, ni}, 0.0);
    auto status = filled<std::int8_t>({m}, 0);
    auto loop_count = filled<std::int64_t>({m}, 0), hold_num = filled<std::int64_t>({m}, -1);
    auto first_expo = filled<double>({m, ki}, kNaN), last_expo = filled<double>({m, ki}, kNaN);
    auto over_limit = filled<bool>({m, ki}, false);
    auto bench_hold = filled<double>({m}, kNaN), total = filled<double>({m}, kNaN);
    const Diagnostics d{config.first_row,
                        k,
                        config.arr_expo_threshold.data(),
                        status.mutable_data(),
                        loop_count.mutable_data(),
                        hold_num.mutable_data(),
                        first_expo.mutable_data(),
                        last_expo.mutable_data(),
                        bench_hold.mutable_data(),
                        total.mutable_data(),
                        over_limit.mutable_data()};

    ProgressBar bar(static_cast<std::size_t>(m), progress);
    RecordingHooks hooks(self, bar, print_result, prepared.risk.caller_count, d);
    optimizer::RunOutcome outcome =
        run_dates_without_gil(config, prepared.data, span_of_mutable(weights), hooks, self.opt_name, print_result);
    bar.close();
    if (!outcome.empty_rows.empty()) warn_empty_dates(outcome.empty_rows);

    if (m > 0) {
        last_row = static_cast<Index>(t_rows) - 1;
        r.state =
            state_object(last_row, read_only(py::array(weights[py::int_(m - 1)].attr("copy")())), outcome.pre_ema);
    } else if (!start.is_none()) {
        r.state = py::reinterpret_borrow<py::object>(start);  // nothing computed: the start is still the state
    } else {
        r.state = state_object(last_row, read_only(filled<double>({ni}, 0.0)), std::nullopt);
    }
    py::array_t<std::int64_t> rows(m);
    for (py::ssize_t i = 0; i < m; ++i) rows.mutable_data()[i] = static_cast<std::int64_t>(config.first_row) + i;
    py::tuple names(ki);
    for (std::size_t j = 0; j < k; ++j) names[j] = py::str(prepared.risk.names[j]);
    py::array_t<std::int64_t> positions(ni, prepared.positions.data());

    r.weights = read_only(weights);
    r.rows = read_only(rows);
    r.risk_names = names;
    r.limits = read_only(py::array_t<double>(ki, config.arr_expo_threshold.data()));
    r.status = read_only(status);
    r.loop_count = read_only(loop_count);
    r.first_expo = read_only(first_expo);
    r.last_expo = read_only(last_expo);
    r.over_limit = read_only(over_limit);
    r.bench_hold = read_only(bench_hold);
    r.hold_num = read_only(hold_num);
    r.total = read_only(total);
    r.univ_idx = read_only(positions);
    py::dict seconds;
    seconds["total"] = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    seconds["requests"] = prepared.request_seconds;
    r.seconds = seconds;
    return r;
}

RunResult make_result(const py::dict& f) {
    py::module_ np = numpy();
    const auto field = [&](const char* name, const char* dtype, int ndim) {
        if (!f.contains(name)) throw py::value_error(std::string("RunResult: missing field '") + name + "'");
        py::array a;
        try {
            a = np.attr("asarray")(f[name]).attr("astype")(dtype, py::arg("casting") = "same_kind");
        } catch (py::error_already_set& e) {
            rethrow_named(e, std::string("RunResult.") + name);
        }
        if (a.ndim() != ndim)
            throw py::value_error(std::string("RunResult.") + name + " must be " + std::to_string(ndim) +
                                  "-dimensional, got " + std::to_string(a.ndim()) + " dimensions");
        return read_only(a);
    };
    RunResult r;
    py::array w = field("weights", "float64", 2);
    r.weights = w;
    r.rows = field("rows", "int64", 1);
    py::tuple names(py::iterable(f.contains("risk_names") ? f["risk_names"] : py::tuple()));
    for (py::handle s : names)
        if (!py::isinstance<py::str>(s)) throw py::type_error("RunResult.risk_names must hold text only");
    r.risk_names = names;
    r.limits = field("limits", "float64", 1);
    r.status = field("status", "int8", 1);
    r.loop_count = field("loop_count", "int64", 1);
    r.first_expo = field("first_expo", "float64", 2);
    r.last_expo = field("last_expo", "float64", 2);
    r.over_limit = field("over_limit", "bool", 2);
    r.bench_hold = field("bench_hold", "float64", 1);
    r.hold_num = field("hold_num", "int64", 1);
    r.total = field("total", "float64", 1);
    r.univ_idx = field("univ_idx", "int64", 1);
    const py::ssize_t m = w.shape(0), n = w.shape(1), k = static_cast<py::ssize_t>(names.size());
    const std::pair<const char*, py::object*> per_date[] = {
        {"rows", &r.rows},         {"status", &r.status}, {"loop_count", &r.loop_count}, {"bench_hold", &r.bench_hold},
        {"hold_num", &r.hold_num}, {"total", &r.total}};
    for (const auto& [name, obj] : per_date)
        if (py::len(*obj) != static_cast<std::size_t>(m))
            throw py::value_error(std::string("RunResult.") + name + " has length " + std::to_string(py::len(*obj)) +
                                  ", expected " + std::to_string(m) + " (the rows of weights)");
    for (const auto& [name, obj] :
         {std::pair{"first_expo", &r.first_expo}, {"last_expo", &r.last_expo}, {"over_limit", &r.over_limit}}) {
        const py::array a = py::reinterpret_borrow<py::array>(*obj);
        if (a.shape(0) != m || a.shape(1) != k)
            throw py::value_error(std::string("RunResult.") + name + " must have shape (" + std::to_string(m) + ", " +
                                  std::to_string(k) + ")");
    }
    if (py::len(r.limits) != static_cast<std::size_t>(k))
        throw py::value_error("RunResult.limits must have one entry per risk name");
    if (py::len(r.univ_idx) != static_cast<std::size_t>(n))
        throw py::value_error("RunResult.univ_idx must have one entry per column of weights");
    py::dict seconds = f.contains("seconds") ? py::dict(f["seconds"]) : py::dict();
    r.seconds = seconds;
    if (!f.contains("state") || !py::isinstance<RunState>(f["state"]))
        throw py::type_error("RunResult.state must be a Kestrel.RunState");
    r.state = f["state"];
    if (py::len(r.state.cast<const RunState&>().weights) != static_cast<std::size_t>(n))
        throw py::value_error("RunResult.state.weights must have one entry per column of weights");
    return r;
}

}  // namespace kestrel::bind

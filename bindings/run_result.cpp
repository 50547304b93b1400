#include "run_result.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/format.hpp"
#include "errors.hpp"
#include "exact_finish.hpp"
#include "python_output.hpp"
#include "run_data.hpp"
#include "run_hooks.hpp"

namespace kestrel::bind {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

PyObject* state_mismatch_warning = nullptr;  // owned by the module for its lifetime

void warn_state_mismatch(const std::string& message) {
    if (PyErr_WarnEx(state_mismatch_warning, message.c_str(), 1) < 0) throw py::error_already_set();
}

// The settings a run's weights depend on besides the algorithm, the benchmark
// and secu_pct, as exact text, hashed (FNV-1a, 64 bits). Unread settings keep
// their defaults, so settings an algorithm ignores do not change it.
std::string settings_fingerprint(const optimizer::RunConfig& c, const std::vector<std::string>& names) {
    const position::DispatchParams& p = c.params;
    std::string text;
    for (double v : {p.weight_multi, static_cast<double>(p.num_long), p.risk_cost, p.each_single_weight, p.bench_coeff,
                     p.pre_coeff, p.max_weight, c.loop.learning_rate, c.loop.max_loop_num, c.loop.decay})
        text += fmt::repr(v) + ";";
    for (std::size_t j = 0; j < names.size(); ++j) text += names[j] + "=" + fmt::repr(c.arr_expo_threshold[j]) + ";";
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char ch : text) h = (h ^ ch) * 1099511628211ull;
    char out[17];
    std::snprintf(out, sizeof out, "%016llx", static_cast<unsigned long long>(h));
    return out;
}

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
    double* expo = nullptr;  // of the weights returned
    bool* finished = nullptr;
    double* finish_moved = nullptr;

    void record(std::size_t bi, optimizer::DateStatus s, const optimizer::LoopReport* report) const {
        const std::size_t m = bi - first_row;
        status[m] = static_cast<std::int8_t>(s);
        if (!report) return;
        loop_count[m] = report->loop_count;
        if (report->measured) {
            for (std::size_t j = 0; j < k; ++j) {
                first_expo[m * k + j] = report->first_expo[j];
                last_expo[m * k + j] = report->expo[j];
            }
        }
        bench_hold[m] = report->bench_hold;
        hold_num[m] = report->hold_num;
        total[m] = report->total;
    }
};

class RecordingHooks : public PythonHooks {
public:
    RecordingHooks(const Optimizer& self, ProgressBar& bar, bool print, std::size_t shown, const Diagnostics& d,
                   ExactFinish* finish, std::vector<std::string>& finish_status)
        : PythonHooks(self, bar, print, shown), d_(d), finish_(finish), finish_status_(finish_status) {}

    void date_stored(std::size_t bi, const optimizer::DateDetail& detail) override {
        const std::size_t m = bi - d_.first_row, k = d_.k;
        const MSpan expo(d_.expo + m * k, k);
        std::copy(detail.expo.begin(), detail.expo.end(), expo.begin());
        const CSpan limits(d_.limits, k);
        if (finish_ && over_tolerance(expo, limits)) {
            FinishOutcome o = finish_->repair(detail, expo);
            d_.finished[m] = o.finished;
            d_.finish_moved[m] = o.moved;
            finish_status_[m] = std::move(o.status);
            if (!o.finished) unfinished_.push_back(bi);
        }
        for (std::size_t j = 0; j < k; ++j) d_.over_limit[m * k + j] = std::abs(expo[j]) > limits[j];
    }

    void date_done(std::size_t bi, optimizer::DateStatus status, const optimizer::LoopReport* report,
                   position::DispatchParams& next) override {
        d_.record(bi, status, report);
        PythonHooks::date_done(bi, status, report, next);
    }

    // Rows the finish could not repair, in order.
    const std::vector<std::size_t>& unfinished() const { return unfinished_; }

private:
    Diagnostics d_;
    ExactFinish* finish_;
    std::vector<std::string>& finish_status_;
    std::vector<std::size_t> unfinished_;
};

// One warning for the run: the rows left over their limits, with the reason.
void warn_unfinished(const std::vector<std::size_t>& rows, const std::vector<std::string>& status,
                     std::size_t first_row) {
    std::string list;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (i) list += "; ";
        list += std::to_string(rows[i]);
        list += " (" + status[rows[i] - first_row] + ")";
    }
    const std::string msg = "Kestrel: the exact finish found no portfolio inside every limit on " +
                            std::to_string(rows.size()) + " date(s); they keep the control loop's weights: rows " +
                            list;
    if (PyErr_WarnEx(PyExc_RuntimeWarning, msg.c_str(), 1) < 0) throw py::error_already_set();
}

// finish=None, "exact" or a kestrel_tools.finish.Finisher: whether to
// finish, and the finisher given (None: one with the defaults).
bool wants_exact_finish(py::handle finish, py::object& finisher) {
    if (finish.is_none()) return false;
    if (py::isinstance<py::str>(finish)) {
        if (finish.cast<std::string>() != "exact")
            throw py::value_error("finish must be None, 'exact' or a kestrel_tools.finish.Finisher, got " +
                                  std::string(py::repr(finish)));
        finisher = py::none();
        return true;
    }
    const py::object cls = py::module_::import("kestrel_tools.finish").attr("Finisher");
    if (!py::isinstance(finish, cls))
        throw py::type_error("finish must be None, 'exact' or a kestrel_tools.finish.Finisher, not " +
                             std::string(py::str(py::type::handle_of(finish).attr("__name__"))));
    finisher = py::reinterpret_borrow<py::object>(finish);
    return true;
}

bool known(const py::object& o) { return o && !o.is_none(); }

CSpan doubles(const py::array& a) { return {static_cast<const double*>(a.data()), static_cast<std::size_t>(a.size())}; }

std::string text_of(py::handle o) { return std::string(py::str(o)); }

// How the state's universe differs from the run's, and what to do about it.
[[noreturn]] void refuse_universe(const py::array& recorded, const std::vector<Index>& positions) {
    const auto* old_cols = static_cast<const std::int64_t*>(recorded.data());
    const std::size_t n_old = static_cast<std::size_t>(recorded.size()), n_new = positions.size();
    const std::unordered_set<std::int64_t> before(old_cols, old_cols + n_old);
    const std::unordered_set<std::int64_t> now(positions.begin(), positions.end());
    std::size_t gone = 0, added = 0;
    for (std::int64_t c : before) gone += now.count(c) == 0;
    for (std::int64_t c : now) added += before.count(c) == 0;
    std::string how;
    if (gone == 0 && added == 0 && n_old == n_new)
        how = "the same " + std::to_string(n_new) + " columns in another order";
    else
        how = std::to_string(gone) + " of its " + std::to_string(n_old) + " columns are not in univ_idx and " +
              std::to_string(added) + " of univ_idx's " + std::to_string(n_new) + " are new to it";
    throw py::value_error(
        "start was made for another universe (" + how +
        "): its weights are in the order of start.univ_idx, not of this univ_idx. Map them onto this universe "
        "with kestrel_tools.runs.reindex_state(start, univ_idx), which also reports the weights of the columns "
        "univ_idx drops, and go on from the state it returns");
}

void check_universe(const RunRecord& rec, const std::vector<Index>& positions) {
    if (!known(rec.univ_idx)) return;
    const py::array cols = py::reinterpret_borrow<py::array>(rec.univ_idx);
    if (static_cast<std::size_t>(cols.size()) != positions.size() ||
        std::memcmp(cols.data(), positions.data(), positions.size() * sizeof(Index)) != 0)
        refuse_universe(cols, positions);
}

// Algorithm, benchmark, secu_pct or settings other than the run's: taken (a
// user may change settings on purpose), with one warning naming them all.
void warn_other_settings(const RunRecord& rec, const RunRecord& run_rec) {
    std::vector<std::string> parts;
    const auto compare = [&parts](const char* what, const py::object& was, const py::object& is) {
        if (known(was) && known(is) && !was.equal(is))
            parts.push_back(std::string(what) + " " + text_of(py::repr(was)) + " (this run: " + text_of(py::repr(is)) +
                            ")");
    };
    compare("algorithm", rec.algorithm, run_rec.algorithm);
    compare("benchmark", rec.bench_symbol, run_rec.bench_symbol);
    compare("secu_pct", rec.secu_pct, run_rec.secu_pct);
    if (known(rec.settings) && known(run_rec.settings) && !rec.settings.equal(run_rec.settings))
        parts.push_back("other settings that shape weights");
    if (parts.empty()) return;
    std::string diff;
    for (std::size_t i = 0; i < parts.size(); ++i)
        diff += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    warn_state_mismatch("start was made with " + diff +
                        "; the rows after start.row follow this run's settings, from the weights the state holds");
}

// The state checked against the score matrix, as the run's starting point.
const RunState& start_of(py::handle start, std::size_t t_rows, const std::vector<Index>& positions, double secu_pct,
                         const RunRecord& run_rec) {
    if (!py::isinstance<RunState>(start))
        throw py::type_error("start must be a Kestrel.RunState or None, not " +
                             std::string(py::str(py::type::handle_of(start).attr("__name__"))));
    const RunState& s = start.cast<const RunState&>();
    const std::size_t n = positions.size();
    if (s.row >= static_cast<Index>(t_rows))
        throw py::value_error("start.row is " + std::to_string(s.row) + ", outside the score matrix (rows -1 to " +
                              std::to_string(static_cast<Index>(t_rows) - 1) + ")");
    check_universe(s.record, positions);
    if (static_cast<std::size_t>(s.weights.size()) != n)
        throw py::value_error("start.weights has length " + std::to_string(s.weights.size()) + ", expected " +
                              std::to_string(n) + " (the column count of predictValues)");
    // The mappings refuse a date whose weights miss secu_pct by 0.001 or
    // more; weights held above that are no portfolio a run could have left.
    const CSpan w{static_cast<const double*>(s.weights.data()), n};
    const double held = num::sum(w);
    if (held - secu_pct >= 0.001)
        throw py::value_error("start.weights sum to " + fmt::repr(held) + ", more than secu_pct " +
                              fmt::repr(secu_pct) + " allows (at most " + fmt::repr(secu_pct) +
                              " + 0.001): scale the held weights down to the target, or pass the secu_pct they were "
                              "made for");
    warn_other_settings(s.record, run_rec);
    return s;
}

py::object state_object(Index row, py::array weights, const std::optional<Vec>& smoothed, const RunRecord& record) {
    py::object s = py::none();
    if (smoothed) s = read_only(py::array_t<double>(static_cast<py::ssize_t>(smoothed->size()), smoothed->data()));
    return py::cast(RunState{row, std::move(weights), std::move(s), record});
}

py::object text_or_none(py::handle o, const char* name) {
    if (o.is_none()) return py::none();
    if (!py::isinstance<py::str>(o))
        throw py::type_error(std::string("RunState.") + name + " must be text or None, not " +
                             text_of(py::type::handle_of(o).attr("__name__")));
    return py::reinterpret_borrow<py::object>(o);
}

void require_finite(const py::array& a, const char* name, bool non_negative) {
    const CSpan v = doubles(a);
    for (std::size_t i = 0; i < v.size(); ++i)
        if (!(std::isfinite(v[i]) && (!non_negative || v[i] >= 0.0)))
            throw py::value_error(std::string("RunState.") + name + " must be finite" +
                                  (non_negative ? " and non-negative" : "") + "; entry " + std::to_string(i) + " is " +
                                  text_of(py::float_(v[i])));
}

}  // namespace

RunState make_state(py::handle row, py::handle weights, py::handle smoothed, const RunRecord& record) {
    if (PyBool_Check(row.ptr()) || !PyIndex_Check(row.ptr()))
        throw py::type_error("RunState.row must be an integer, not " +
                             std::string(py::str(py::type::handle_of(row).attr("__name__"))));
    RunState s;
    s.row = as_index(row, "RunState.row");
    if (s.row < -1) throw py::value_error("RunState.row must be -1 or more, got " + std::to_string(s.row));
    s.weights = vector_copy(weights, "RunState.weights");
    require_finite(s.weights, "weights", true);
    if (smoothed.is_none()) {
        s.smoothed = py::none();
    } else {
        py::array e = vector_copy(smoothed, "RunState.smoothed", s.weights.size(), "RunState.weights");
        require_finite(e, "smoothed", false);
        s.smoothed = e;
    }
    RunRecord& r = s.record;
    r.univ_idx = py::none();
    if (known(record.univ_idx)) {
        py::array cols;
        try {
            cols = numpy().attr("asarray")(record.univ_idx);
            if (cols.dtype().kind() != 'i' && cols.dtype().kind() != 'u')
                throw py::type_error("RunState.univ_idx must hold integers, not " + text_of(cols.dtype()));
            cols = cols.attr("astype")("int64");
        } catch (py::error_already_set& e) {
            rethrow_named(e, "RunState.univ_idx");
        }
        if (cols.ndim() != 1 || cols.size() != s.weights.size())
            throw py::value_error("RunState.univ_idx must be one column per weight (" +
                                  std::to_string(s.weights.size()) + ")");
        r.univ_idx = read_only(cols.attr("copy")());
    }
    r.algorithm = text_or_none(record.algorithm ? record.algorithm : py::none(), "algorithm");
    r.bench_symbol = text_or_none(record.bench_symbol ? record.bench_symbol : py::none(), "bench_symbol");
    r.settings = text_or_none(record.settings ? record.settings : py::none(), "settings");
    r.secu_pct = py::none();
    if (known(record.secu_pct)) {
        const double v = as_double(record.secu_pct, "RunState.secu_pct");
        if (!std::isfinite(v)) throw py::value_error("RunState.secu_pct must be finite");
        r.secu_pct = py::float_(v);
    }
    return s;
}

void register_state_warning(py::module_& m) {
    state_mismatch_warning = PyErr_NewExceptionWithDoc(
        "Kestrel.StateMismatchWarning",
        "A run goes on from a state made with another algorithm, benchmark, secu_pct or weight-shaping settings.",
        m.attr("KestrelWarning").ptr(), nullptr);
    if (!state_mismatch_warning) throw py::error_already_set();
    m.attr("StateMismatchWarning") = py::handle(state_mismatch_warning);
}

RunResult run(py::object opt_name, py::object bench_symbol, py::object secu_pct, py::object cfg,
              py::handle predict_values, py::handle univ_idx, py::handle start, bool progress, bool print_result,
              py::handle finish) {
    const auto begin = std::chrono::steady_clock::now();
    py::object given_finisher = py::none();
    const bool exact = wants_exact_finish(finish, given_finisher);
    Optimizer self{std::move(bench_symbol), std::move(secu_pct), std::move(cfg), std::move(opt_name), {}, {}};
    known_algorithm(self.opt_name);
    PreparedRun prepared = prepare_run(self, predict_values, univ_idx, false);
    optimizer::RunConfig& config = prepared.config;
    const std::size_t t_rows = prepared.data.scores.rows, n = prepared.data.scores.cols;
    const std::size_t k = prepared.risk.names.size();
    config.loop.measure_returned = true;

    RunRecord rec;
    rec.univ_idx = read_only(py::array_t<std::int64_t>(static_cast<py::ssize_t>(n), prepared.positions.data()));
    rec.algorithm = self.opt_name.is_none() ? py::object(py::none()) : py::object(py::str(self.opt_name));
    rec.bench_symbol = py::str(self.bench_symbol);
    rec.secu_pct = py::float_(config.params.secu_pct);
    rec.settings = py::str(settings_fingerprint(config, prepared.risk.names));

    Index last_row = -1;
    if (!start.is_none()) {
        const RunState& s = start_of(start, t_rows, prepared.positions, config.params.secu_pct, rec);
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
    auto expo = filled<double>({m, ki}, kNaN), finish_moved = filled<double>({m}, 0.0);
    auto finished = filled<bool>({m}, false);
    std::vector<std::string> finish_status(static_cast<std::size_t>(m));
    std::optional<ExactFinish> finisher;
    if (exact && k > 0) finisher.emplace(given_finisher, CSpan(config.arr_expo_threshold), n);
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
                        over_limit.mutable_data(),
                        expo.mutable_data(),
                        finished.mutable_data(),
                        finish_moved.mutable_data()};

    ProgressBar bar(static_cast<std::size_t>(m), progress);
    RecordingHooks hooks(self, bar, print_result, prepared.risk.caller_count, d, finisher ? &*finisher : nullptr,
                         finish_status);
    optimizer::RunOutcome outcome =
        run_dates_without_gil(config, prepared.data, span_of_mutable(weights), hooks, self.opt_name, print_result);
    bar.close();
    if (!outcome.empty_rows.empty()) warn_empty_dates(outcome.empty_rows);
    if (!hooks.unfinished().empty()) warn_unfinished(hooks.unfinished(), finish_status, config.first_row);

    if (m > 0) {
        last_row = static_cast<Index>(t_rows) - 1;
        r.state =
            state_object(last_row, read_only(py::array(weights[py::int_(m - 1)].attr("copy")())), outcome.pre_ema, rec);
    } else if (!start.is_none()) {
        r.state = py::reinterpret_borrow<py::object>(start);  // nothing computed: the start is still the state
    } else {
        r.state = state_object(last_row, read_only(filled<double>({ni}, 0.0)), std::nullopt, rec);
    }
    py::array_t<std::int64_t> rows(m);
    for (py::ssize_t i = 0; i < m; ++i) rows.mutable_data()[i] = static_cast<std::int64_t>(config.first_row) + i;
    py::tuple names(ki);
    for (std::size_t j = 0; j < k; ++j) names[j] = py::str(prepared.risk.names[j]);

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
    r.univ_idx = rec.univ_idx;
    r.expo = read_only(expo);
    r.finished = read_only(finished);
    r.finish_moved = read_only(finish_moved);
    py::list texts;
    for (const std::string& s : finish_status) texts.append(py::str(s));
    r.finish_status = read_only(numpy().attr("array")(texts, py::arg("dtype") = "U").cast<py::array>());
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
    // Absent from files saved before they existed.
    const auto optional = [&](const char* name, const char* dtype, int ndim, py::object fallback) {
        if (f.contains(name)) return field(name, dtype, ndim);
        return read_only(fallback.cast<py::array>());
    };
    r.expo = optional("expo", "float64", 2, filled<double>({m, k}, kNaN));
    r.finished = optional("finished", "bool", 1, filled<bool>({m}, false));
    r.finish_moved = optional("finish_moved", "float64", 1, filled<double>({m}, 0.0));
    r.finish_status = optional("finish_status", "U", 1, np.attr("full")(m, "", py::arg("dtype") = "U1"));
    for (const auto& [name, obj] :
         {std::pair{"finished", &r.finished}, {"finish_moved", &r.finish_moved}, {"finish_status", &r.finish_status}})
        if (py::len(*obj) != static_cast<std::size_t>(m))
            throw py::value_error(std::string("RunResult.") + name + " has length " + std::to_string(py::len(*obj)) +
                                  ", expected " + std::to_string(m) + " (the rows of weights)");
    for (const auto& [name, obj] : {std::pair{"first_expo", &r.first_expo},
                                    {"last_expo", &r.last_expo},
                                    {"over_limit", &r.over_limit},
                                    {"expo", &r.expo}}) {
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

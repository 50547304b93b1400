// The engine beneath Kestrel.run: prepare() reads a run's settings and data
// (its errors in the order the entry functions report them), run_dates()
// runs the dates without the GIL and hands back plain arrays. States,
// results, warnings and files are Kestrel's Python (Kestrel/runner.py).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "exact_finish.hpp"
#include "python_output.hpp"
#include "register.hpp"
#include "run_data.hpp"
#include "run_hooks.hpp"

namespace kestrel::bind {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A run read and checked up to its first date.
struct Prepared {
    Optimizer self;
    PreparedRun run;
};

template <class T>
py::array_t<T> filled(std::vector<py::ssize_t> shape, T value) {
    py::array_t<T> a(shape);
    std::fill(a.mutable_data(), a.mutable_data() + a.size(), value);
    return a;
}

// Per-date diagnostics written straight into the result's arrays (row m =
// date row - first_row) while the GIL is released.
struct Diagnostics {
    std::size_t first_row = 0, k = 0;
    std::int8_t* status = nullptr;
    std::int64_t *loop_count = nullptr, *hold_num = nullptr;
    double *first_expo = nullptr, *last_expo = nullptr, *bench_hold = nullptr, *total = nullptr;
    double* expo = nullptr;  // of the weights returned
    bool* finished = nullptr;
    double *finish_moved = nullptr, *excess = nullptr;
    // One-way turnover of each row from the one before (the start's weights,
    // or cash, before the first).
    const double* weights = nullptr;
    const double* start = nullptr;  // nullptr: cash
    std::size_t n = 0;
    double* turnover = nullptr;

    void record(std::size_t bi, optimizer::DateStatus s, const optimizer::LoopReport* report) const {
        const std::size_t m = bi - first_row;
        status[m] = static_cast<std::int8_t>(s);
        const double* row = weights + m * n;
        const double* before = m > 0 ? row - n : start;
        double traded = 0.0;
        for (std::size_t i = 0; i < n; ++i) traded += std::abs(row[i] - (before ? before[i] : 0.0));
        turnover[m] = 0.5 * traded;
        if (!report) return;
        loop_count[m] = report->loop_count;
        if (report->measured) {
            std::copy_n(report->first_expo.data(), k, first_expo + m * k);
            std::copy_n(report->expo.data(), k, last_expo + m * k);
        }
        bench_hold[m] = report->bench_hold;
        hold_num[m] = report->hold_num;
        total[m] = report->total;
    }
};

class RecordingHooks : public PythonHooks {
public:
    RecordingHooks(const Optimizer& self, ProgressBar& bar, bool print, std::size_t shown, const Diagnostics& d,
                   CSpan limits, ExactFinish* finish, const FinishTolerance& tol, std::vector<std::string>& status,
                   std::vector<std::string>& gave_way)
        : PythonHooks(self, bar, print, shown),
          d_(d),
          limits_(limits),
          finish_(finish),
          tol_(tol),
          status_(status),
          gave_way_(gave_way) {}

    void date_stored(std::size_t bi, const optimizer::DateDetail& detail) override {
        const std::size_t m = bi - d_.first_row;
        const MSpan expo(d_.expo + m * d_.k, d_.k);
        std::copy(detail.expo.begin(), detail.expo.end(), expo.begin());
        if (!finish_ || !over_tolerance(expo, limits_, tol_)) return;
        FinishOutcome o = finish_->repair(detail, expo);
        d_.finished[m] = o.finished;
        d_.finish_moved[m] = o.moved;
        d_.excess[m] = o.excess;
        status_[m] = std::move(o.status);
        gave_way_[m] = std::move(o.gave_way);
    }

    void date_done(std::size_t bi, optimizer::DateStatus status, const optimizer::LoopReport* report,
                   position::DispatchParams& next) override {
        d_.record(bi, status, report);
        PythonHooks::date_done(bi, status, report, next);
    }

private:
    Diagnostics d_;
    CSpan limits_;
    ExactFinish* finish_;
    FinishTolerance tol_;
    std::vector<std::string>& status_;
    std::vector<std::string>& gave_way_;
};

// The settings that shape weights besides the algorithm, the benchmark and
// secu_pct, as the run read them: what a state records to tell a later run
// that goes on from it what changed.
py::dict settings_record(const optimizer::RunConfig& c, const RiskNames& risk) {
    const position::DispatchParams& p = c.params;
    py::dict out;
    if (p.algorithm != position::Algorithm::Unknown) {
        const position::AlgorithmInfo& a = position::info(p.algorithm);
        if (a.caps == position::Caps::Proportional) out["weight_multi"] = p.weight_multi;
        if (a.caps == position::Caps::Equal) out["each_single_weight"] = p.each_single_weight;
        if (a.caps == position::Caps::None) out["num_long"] = p.num_long;
        if (position::reads_risk_cost(a.mapping)) out["risk_cost"] = p.risk_cost;
    }
    out["max_weight"] = p.max_weight;  // TopKR's finish takes it as its cap
    out["bench_coeff"] = p.bench_coeff;
    out["pre_coeff"] = p.pre_coeff;
    out["decay"] = c.loop.decay;
    out["learning_rate"] = c.loop.learning_rate;
    out["max_loop_num"] = c.loop.max_loop_num;
    py::dict limits;
    for (std::size_t j = 0; j < risk.names.size(); ++j) limits[py::str(risk.names[j])] = risk.limits[j];
    out["limits"] = limits;
    return out;
}

// The sources of both sides' blocks, each side None or a list of (name,
// array) pairs, the array dates x library columns of bool or numbers, as
// Kestrel.run checked them. An array listed on both sides (a field such as
// "suspended") is read once a date, for both.
std::vector<optimizer::BlockSource> block_sources(py::handle buy, py::handle sell, std::size_t t_rows,
                                                  const std::vector<Index>& positions, std::vector<py::object>& keep) {
    std::vector<optimizer::BlockSource> out;
    std::vector<PyObject*> seen;
    for (const bool is_buy : {true, false}) {
        const py::handle side = is_buy ? buy : sell;
        if (side.is_none()) continue;
        for (const py::handle item : side) {
            if (!py::isinstance<py::tuple>(item) || py::len(item) != 2)
                throw py::type_error(std::string(is_buy ? "no_buy" : "no_sell") +
                                     " must be None or a list of (name, array) pairs");
            const auto pair = py::reinterpret_borrow<py::tuple>(item);
            const std::string name = py::str(pair[0]);
            const py::object given = pair[1];
            const auto at = std::find(seen.begin(), seen.end(), given.ptr());
            if (at != seen.end()) {
                optimizer::BlockSource& s = out[static_cast<std::size_t>(at - seen.begin())];
                (is_buy ? s.buy : s.sell) = true;
                continue;
            }
            optimizer::BlockSource s;
            s.name = name;
            s.buy = is_buy;
            s.sell = !is_buy;
            py::array a;
            const char kind = py::array::check_(given) ? py::reinterpret_borrow<py::array>(given).dtype().kind() : 'f';
            if (kind == 'b') {
                a = py::reinterpret_borrow<py::array>(given);
                s.bytes = true;
            } else {
                s.integers = kind == 'i' || kind == 'u';
                a = as_float_array(given, name);
            }
            if (a.ndim() != 2 || static_cast<std::size_t>(a.shape(0)) < t_rows)
                throw py::value_error(name + " must be a matrix of dates x library columns with a row per date");
            s.values = MatrixView{static_cast<const char*>(a.data()), a.strides(0), a.strides(1),
                                  static_cast<std::size_t>(a.shape(0)), static_cast<std::size_t>(a.shape(1))};
            s.cols = columns_in(positions, s.values.cols, name);
            keep.push_back(a);
            seen.push_back(given.ptr());
            out.push_back(std::move(s));
        }
    }
    return out;
}

py::dict run_dates(Prepared& p, Index start_row, py::handle start_weights, py::handle start_smoothed, bool progress,
                   bool print_result, py::handle no_buy, py::handle no_sell, py::handle max_turnover, bool hold_skipped,
                   py::handle finish, double finish_relative, double finish_absolute) {
    optimizer::RunConfig config = p.run.config;  // a prepared run may be run again
    optimizer::RunData data = p.run.data;
    const std::size_t t_rows = data.scores.rows, n = data.scores.cols, k = p.run.risk.names.size();
    if (start_row < -1 || start_row >= static_cast<Index>(t_rows))
        throw py::value_error("start_row must be in [-1, " + std::to_string(static_cast<Index>(t_rows) - 1) + "]");
    config.first_row = static_cast<std::size_t>(start_row + 1);
    config.loop.measure_returned = true;
    config.hold_skipped = hold_skipped;
    if (!start_weights.is_none()) {
        const Array w = as_vector(start_weights, "start_weights", static_cast<py::ssize_t>(n));
        config.pre_weight.assign(w.data(), w.data() + n);
    }
    if (!start_smoothed.is_none()) {
        const Array e = as_vector(start_smoothed, "start_smoothed", static_cast<py::ssize_t>(n));
        config.pre_ema = Vec(e.data(), e.data() + n);
    }
    std::vector<py::object> keep;
    data.blocks = block_sources(no_buy, no_sell, t_rows, p.run.positions, keep);
    if (!max_turnover.is_none()) {
        const Array cap = as_vector(max_turnover, "max_turnover", static_cast<py::ssize_t>(t_rows));
        keep.push_back(cap);
        data.max_turnover = span_of(cap);
    }

    const auto m = static_cast<py::ssize_t>(t_rows - config.first_row);
    const auto ni = static_cast<py::ssize_t>(n), ki = static_cast<py::ssize_t>(k);
    auto weights = filled<double>({m, ni}, 0.0);
    auto status = filled<std::int8_t>({m}, 0);
    auto loop_count = filled<std::int64_t>({m}, 0), hold_num = filled<std::int64_t>({m}, -1);
    auto first_expo = filled<double>({m, ki}, kNaN), last_expo = filled<double>({m, ki}, kNaN);
    auto expo = filled<double>({m, ki}, kNaN);
    auto bench_hold = filled<double>({m}, kNaN), total = filled<double>({m}, kNaN);
    auto finished = filled<bool>({m}, false);
    auto finish_moved = filled<double>({m}, 0.0), excess = filled<double>({m}, 0.0);
    auto turnover = filled<double>({m}, 0.0);
    auto blocked_buy = filled<std::int64_t>({m}, 0), blocked_sell = filled<std::int64_t>({m}, 0);
    auto blocked_buy_weight = filled<double>({m}, 0.0), blocked_sell_weight = filled<double>({m}, 0.0);
    // Each row's flags, filled by the date loop (None: a side without blocks);
    // zeros where it writes none, so no row is left uninitialised.
    const auto rows_of = [&](py::handle side) {
        return side.is_none() ? py::object(py::none()) : py::object(filled<bool>({m, ni}, false));
    };
    const py::object no_buy_rows = rows_of(no_buy), no_sell_rows = rows_of(no_sell);
    const auto bytes_of = [](const py::object& rows) -> std::uint8_t* {
        return rows.is_none() ? nullptr
                              : reinterpret_cast<std::uint8_t*>(py::reinterpret_borrow<py::array>(rows).mutable_data());
    };
    std::uint8_t *buy_rows = bytes_of(no_buy_rows), *sell_rows = bytes_of(no_sell_rows);
    std::vector<std::string> finish_status(static_cast<std::size_t>(m)), gave_way(static_cast<std::size_t>(m));
    const FinishTolerance tol{finish_relative, finish_absolute};
    std::optional<ExactFinish> finisher;
    if (!finish.is_none() && k > 0)
        finisher.emplace(py::reinterpret_borrow<py::object>(finish), CSpan(config.arr_expo_threshold), n, tol);
    const Diagnostics d{config.first_row,
                        k,
                        status.mutable_data(),
                        loop_count.mutable_data(),
                        hold_num.mutable_data(),
                        first_expo.mutable_data(),
                        last_expo.mutable_data(),
                        bench_hold.mutable_data(),
                        total.mutable_data(),
                        expo.mutable_data(),
                        finished.mutable_data(),
                        finish_moved.mutable_data(),
                        excess.mutable_data(),
                        weights.data(),
                        config.pre_weight.empty() ? nullptr : config.pre_weight.data(),
                        n,
                        turnover.mutable_data()};

    ProgressBar bar(static_cast<std::size_t>(m), progress);
    RecordingHooks hooks(p.self, bar, print_result, p.run.risk.caller_count, d, CSpan(config.arr_expo_threshold),
                         finisher ? &*finisher : nullptr, tol, finish_status, gave_way);
    MSpan out{weights.mutable_data(), static_cast<std::size_t>(weights.size())};
    const std::size_t cells = static_cast<std::size_t>(m) * n;
    const auto rows_span = [cells](std::uint8_t* rows) {
        return rows ? std::span<std::uint8_t>(rows, cells) : std::span<std::uint8_t>();
    };
    // How many names each side blocks on a row and the weight they held
    // before it, also filled by the date loop.
    const auto counts = [&](auto& a) {
        using T = std::remove_reference_t<decltype(*a.mutable_data())>;
        return data.blocks.empty() ? std::span<T>() : std::span<T>(a.mutable_data(), static_cast<std::size_t>(m));
    };
    const optimizer::BlockRows block_rows{rows_span(buy_rows),        rows_span(sell_rows),
                                          counts(blocked_buy),        counts(blocked_sell),
                                          counts(blocked_buy_weight), counts(blocked_sell_weight)};
    optimizer::RunOutcome outcome =
        run_dates_without_gil(config, data, out, hooks, p.self.opt_name, print_result, block_rows);
    bar.close();

    py::dict r;
    r["weights"] = weights;
    r["status"] = status;
    r["loop_count"] = loop_count;
    r["hold_num"] = hold_num;
    r["first_expo"] = first_expo;
    r["last_expo"] = last_expo;
    r["expo"] = expo;
    r["bench_hold"] = bench_hold;
    r["total"] = total;
    r["finished"] = finished;
    r["finish_moved"] = finish_moved;
    r["finish_status"] = finish_status;
    r["gave_way"] = gave_way;
    r["excess"] = excess;
    r["turnover"] = turnover;
    r["blocked_buy"] = blocked_buy;
    r["blocked_sell"] = blocked_sell;
    r["blocked_buy_weight"] = blocked_buy_weight;
    r["blocked_sell_weight"] = blocked_sell_weight;
    r["no_buy"] = no_buy_rows;
    r["no_sell"] = no_sell_rows;
    r["smoothed"] = outcome.pre_ema ? py::object(py::array_t<double>(ni, outcome.pre_ema->data())) : py::none();
    return r;
}

}  // namespace

void register_run(py::module_& m) {
    py::class_<Prepared>(m, "PreparedRun", "A run's settings and data, read and checked up to its first date.")
        .def_property_readonly(
            "risk_names", [](const Prepared& p) { return p.run.risk.names; }, "Risk names, sectors last.")
        .def_property_readonly(
            "limits",
            [](const Prepared& p) { return py::array_t<double>(p.run.risk.limits.size(), p.run.risk.limits.data()); },
            "Their limits.")
        .def_property_readonly(
            "factor_count", [](const Prepared& p) { return p.run.risk.caller_count; },
            "How many of the risk names are the caller's factors (the rest are sectors).")
        .def_property_readonly(
            "univ_idx",
            [](const Prepared& p) {
                return py::array_t<std::int64_t>(static_cast<py::ssize_t>(p.run.positions.size()),
                                                 p.run.positions.data());
            },
            "The universe's columns, as given.")
        .def_property_readonly(
            "shape", [](const Prepared& p) { return py::make_tuple(p.run.data.scores.rows, p.run.data.scores.cols); },
            "(dates, securities) of the score matrix.")
        .def_property_readonly(
            "secu_pct", [](const Prepared& p) { return p.run.config.params.secu_pct; }, "secu_pct as a number.")
        .def_property_readonly(
            "settings", [](const Prepared& p) { return settings_record(p.run.config, p.run.risk); },
            "The settings that shape weights, as read.")
        .def_property_readonly(
            "request_seconds", [](const Prepared& p) { return p.run.request_seconds; },
            "Seconds spent in the data library's requests.");

    m.def(
        "prepare",
        [](py::object opt_name, py::object bench_symbol, py::object secu_pct, py::object cfg, py::handle predict_values,
           py::handle univ_idx) {
            const WarningLevel caller(2);  // warnings point at Kestrel.run's caller
            Prepared p{
                Optimizer{std::move(bench_symbol), std::move(secu_pct), std::move(cfg), std::move(opt_name), {}, {}},
                {}};
            known_algorithm(p.self.opt_name);
            p.run = prepare_run(p.self, predict_values, univ_idx, ReadMode{false, false, true});
            return p;
        },
        py::arg("opt_name"), py::arg("bench_symbol"), py::arg("secu_pct"), py::arg("cfg"), py::arg("predictValues"),
        py::arg("univ_idx"),
        "prepare(opt_name, bench_symbol, secu_pct, cfg, predictValues, univ_idx)\n--\n\n"
        "Read a run's settings (cfg untouched, out-of-range values refused) and request its data.");

    m.def(
        "run_dates",
        [](Prepared& p, Index start_row, py::handle start_weights, py::handle start_smoothed, bool progress,
           bool print_result, py::handle no_buy, py::handle no_sell, py::handle max_turnover, bool hold_skipped,
           py::handle finish, double finish_relative, double finish_absolute) {
            const WarningLevel caller(2);
            return run_dates(p, start_row, start_weights, start_smoothed, progress, print_result, no_buy, no_sell,
                             max_turnover, hold_skipped, finish, finish_relative, finish_absolute);
        },
        py::arg("prepared"), py::kw_only(), py::arg("start_row") = -1, py::arg("start_weights") = py::none(),
        py::arg("start_smoothed") = py::none(), py::arg("progress") = true, py::arg("print_result") = false,
        py::arg("no_buy") = py::none(), py::arg("no_sell") = py::none(), py::arg("max_turnover") = py::none(),
        py::arg("hold_skipped") = false, py::arg("finish") = py::none(), py::arg("finish_relative") = 1e-9,
        py::arg("finish_absolute") = 1e-12,
        "run_dates(prepared, *, start_row=-1, start_weights=None, start_smoothed=None, progress=True, "
        "print_result=False, no_buy=None, no_sell=None, max_turnover=None, hold_skipped=False, finish=None, "
        "finish_relative=1e-9, finish_absolute=1e-12)\n--\n\n"
        "Run the dates after start_row without the GIL; a dict of arrays. no_buy and no_sell: None or lists of "
        "(name, dates x library-columns array) pairs, blocked where any holds 1.");
}

}  // namespace kestrel::bind

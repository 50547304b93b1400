// Kestrel.run, RunResult, RunState and the date status codes. Frames and
// files are left to kestrel_tools.runs, which needs nothing but numpy (and
// pandas for frames).
#include "register.hpp"
#include "run_result.hpp"

namespace kestrel::bind {

namespace {

py::object tools(const char* name) { return py::module_::import("kestrel_tools.runs").attr(name); }

std::string state_repr(const RunState& s) {
    std::string made;
    if (!s.record.algorithm.is_none()) made += ", " + std::string(py::str(s.record.algorithm));
    if (!s.record.bench_symbol.is_none()) made += " on " + std::string(py::str(s.record.bench_symbol));
    return "RunState(row=" + std::to_string(s.row) + ", " + std::to_string(s.weights.size()) + " weights, smoothed " +
           (s.smoothed.is_none() ? "None" : "given") + made + ")";
}

}  // namespace

void register_run(py::module_& m) {
    m.attr("STATUS_PROCESSED") = 0;
    m.attr("STATUS_SKIPPED") = 1;
    m.attr("STATUS_EMPTY") = 2;

    register_state_warning(m);

    py::class_<RunState>(
        m, "RunState",
        R"doc(RunState(row, weights, smoothed=None, *, univ_idx=None, algorithm=None, bench_symbol=None, secu_pct=None, settings=None)

What the date loop hands from one date to the next: the last row done, its
weights (the previous weights of row + 1) and the smoothed scores the next
date comes in with (None before any processed date). RunResult.state is one;
build one yourself to go on from the portfolio you hold, mapped onto the
universe's columns. row -1 starts before the first row.

A state made by a run also records what made it: the universe's columns
(univ_idx), the algorithm, the benchmark code, secu_pct and a fingerprint of
the other settings that shape weights (settings). run(start=...) refuses a
state of another universe and warns (StateMismatchWarning) when the rest
differs. None means unknown: a state built from held weights records nothing
unless given, and is checked only for its length.)doc")
        .def(py::init([](py::handle row, py::handle weights, py::handle smoothed, py::object univ_idx,
                         py::object algorithm, py::object bench_symbol, py::object secu_pct, py::object settings) {
                 return make_state(row, weights, smoothed,
                                   RunRecord{std::move(univ_idx), std::move(algorithm), std::move(bench_symbol),
                                             std::move(secu_pct), std::move(settings)});
             }),
             py::arg("row"), py::arg("weights"), py::arg("smoothed") = py::none(), py::kw_only(),
             py::arg("univ_idx") = py::none(), py::arg("algorithm") = py::none(), py::arg("bench_symbol") = py::none(),
             py::arg("secu_pct") = py::none(), py::arg("settings") = py::none())
        .def_readonly("row", &RunState::row, "The last row done (-1: none).")
        .def_readonly("weights", &RunState::weights, "Weights of that row (N float64, read-only).")
        .def_readonly("smoothed", &RunState::smoothed, "Smoothed scores carried to the next date, or None.")
        .def_property_readonly(
            "univ_idx", [](const RunState& s) { return s.record.univ_idx; },
            "The universe's columns the weights are in the order of (N int64, read-only), or None: unknown.")
        .def_property_readonly(
            "algorithm", [](const RunState& s) { return s.record.algorithm; }, "The algorithm, or None: unknown.")
        .def_property_readonly(
            "bench_symbol", [](const RunState& s) { return s.record.bench_symbol; },
            "The benchmark code, or None: unknown.")
        .def_property_readonly(
            "secu_pct", [](const RunState& s) { return s.record.secu_pct; }, "secu_pct, or None: unknown.")
        .def_property_readonly(
            "settings", [](const RunState& s) { return s.record.settings; },
            "Fingerprint (text) of the other settings that shape weights, or None: unknown.")
        .def("__repr__", &state_repr);

    py::class_<RunResult>(m, "RunResult", R"doc(A run's computed rows with each date's diagnostics; made by
Kestrel.run or RunResult.load. help(Kestrel.run) describes the attributes.)doc")
        .def(py::init([](py::kwargs fields) { return make_result(fields); }),
             "RunResult(**fields): from the fields save() writes; normally made by run() or load().")
        .def_readonly("weights", &RunResult::weights)
        .def_readonly("rows", &RunResult::rows)
        .def_readonly("risk_names", &RunResult::risk_names)
        .def_readonly("limits", &RunResult::limits)
        .def_readonly("status", &RunResult::status)
        .def_readonly("loop_count", &RunResult::loop_count)
        .def_readonly("first_expo", &RunResult::first_expo)
        .def_readonly("last_expo", &RunResult::last_expo)
        .def_readonly("over_limit", &RunResult::over_limit)
        .def_readonly("bench_hold", &RunResult::bench_hold)
        .def_readonly("hold_num", &RunResult::hold_num)
        .def_readonly("total", &RunResult::total)
        .def_readonly("univ_idx", &RunResult::univ_idx)
        .def_readonly("seconds", &RunResult::seconds)
        .def_readonly("state", &RunResult::state)
        .def_readonly("expo", &RunResult::expo)
        .def_readonly("finished", &RunResult::finished)
        .def_readonly("finish_moved", &RunResult::finish_moved)
        .def_readonly("finish_status", &RunResult::finish_status)
        .def(
            "to_pandas", [](py::object self) { return tools("to_pandas")(self); },
            "The result as pandas DataFrames (see kestrel_tools.runs.RunFrames).")
        .def(
            "save", [](py::object self, py::object path) { tools("save")(self, path); }, py::arg("path"),
            "Write the result to a plain .npz file that numpy reads without Kestrel.")
        .def_static(
            "load", [](py::object path) { return tools("load")(path); }, py::arg("path"),
            "Read a result written by save(); a damaged file raises kestrel_tools.runs.RunFileError (a ValueError).")
        .def("__repr__", [](const RunResult& r) {
            return "RunResult(" + std::to_string(py::len(r.rows)) + " rows, " + std::to_string(py::len(r.univ_idx)) +
                   " securities, " + std::to_string(py::len(r.risk_names)) + " risk names)";
        });

    m.def(
        "run", &run, py::arg("opt_name"), py::arg("bench_symbol"), py::arg("secu_pct"), py::arg("cfg"),
        py::arg("predictValues"), py::arg("univ_idx"), py::kw_only(), py::arg("start") = py::none(),
        py::arg("progress") = true, py::arg("print_result") = false, py::arg("finish") = py::none(),
        R"doc(run(opt_name, bench_symbol, secu_pct, cfg, predictValues, univ_idx, *, start=None, progress=True, print_result=False, finish=None) -> RunResult

A run as an object: the weights of the rows computed, equal to what
OptimizerTopM(opt_name, bench_symbol, secu_pct, cfg).gen_position gives for
them, with each date's diagnostics as arrays.

Settings are read from cfg exactly as gen_position reads them (the sector
entries are added to cfg["risk_factor_expo"] the same way), except
"print_result": the keyword print_result alone decides whether the report
lines are printed. progress=False hides the progress bar.

start : RunState, optional
    Go on from a state (RunResult.state of an earlier run over the same rows
    of the library, or RunState(row, held_weights)): the rows after
    start.row are computed and returned, bit for bit as in one whole run.
    A state recording another universe is refused (see
    kestrel_tools.runs.reindex_state); another algorithm, benchmark,
    secu_pct or settings gives one StateMismatchWarning. Held weights above
    secu_pct + 0.001 are refused.
finish : None or "exact", optional
    "exact": every processed date whose returned weights still exceed a
    limit by more than a relative 1e-9 (the control loop gave up) is
    replaced by the nearest portfolio inside every limit (smallest L1
    change; long-only, same total, each weight within the date's caps),
    solved with HiGHS (needs the "exact" extra: highspy). The repaired row
    is what the next date starts from. A date without such a portfolio
    keeps the loop's weights and is named in one RuntimeWarning.

Returns a RunResult with, for M computed rows, N securities and K risk
names (sectors included): weights (M x N), rows (M, int64), risk_names (K
str), limits (K), status (M, int8: STATUS_PROCESSED 0, STATUS_SKIPPED 1 when
the benchmark weights sum to less than 80 percent, STATUS_EMPTY 2 when the
scores or weights were not finite), loop_count (M, int64), first_expo and
last_expo (M x K, NaN where not measured), over_limit (M x K bool, of the
returned weights), expo (M x K: active exposures of the returned weights,
NaN where not processed), bench_hold, total (M, NaN where not measured),
hold_num (M, int64, -1 where not measured), finished (M bool: replaced by
the exact finish), finish_moved (M: its L1 distance, 0 where kept),
finish_status (M str: the solver's status, "" where no finish was tried),
univ_idx (N, as given), seconds ({"total", "requests"}) and state (RunState
after the last row). first_expo and last_expo are the control loop's first
and last measurements; when the loop gives up (max_loop_num reached), the
weights returned are its last correction, measured only in expo.)doc");
}

}  // namespace kestrel::bind

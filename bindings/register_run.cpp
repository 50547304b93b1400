// Kestrel.run, RunResult, RunState and the date status codes. Frames and
// files are left to kestrel_tools.runs, which needs nothing but numpy (and
// pandas for frames).
#include "docstrings/run.hpp"
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

    py::class_<RunState>(m, "RunState", doc::RunState)
        .def(py::init([](py::handle row, py::handle weights, py::handle smoothed, py::object univ_idx,
                         py::object algorithm, py::object bench_symbol, py::object secu_pct, py::object settings) {
                 return make_state(row, weights, smoothed,
                                   RunRecord{std::move(univ_idx), std::move(algorithm), std::move(bench_symbol),
                                             std::move(secu_pct), std::move(settings)});
             }),
             py::arg("row"), py::arg("weights"), py::arg("smoothed") = py::none(), py::kw_only(),
             py::arg("univ_idx") = py::none(), py::arg("algorithm") = py::none(), py::arg("bench_symbol") = py::none(),
             py::arg("secu_pct") = py::none(), py::arg("settings") = py::none(), doc::RunState_init)
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

    py::class_<RunResult>(m, "RunResult", doc::RunResult)
        .def(py::init([](py::kwargs fields) { return make_result(fields); }), doc::RunResult_init)
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
            "to_pandas", [](py::object self) { return tools("to_pandas")(self); }, doc::to_pandas)
        .def(
            "save", [](py::object self, py::object path) { tools("save")(self, path); }, py::arg("path"), doc::save)
        .def_static(
            "load", [](py::object path) { return tools("load")(path); }, py::arg("path"), doc::load)
        .def(
            "__len__", [](const RunResult& r) { return py::len(r.rows); }, doc::len)
        .def(
            "_repr_html_", [](py::object self) { return tools("result_html")(self); }, doc::repr_html)
        .def("__repr__", [](const RunResult& r) {
            return "RunResult(" + std::to_string(py::len(r.rows)) + " rows, " + std::to_string(py::len(r.univ_idx)) +
                   " securities, " + std::to_string(py::len(r.risk_names)) + " risk names)";
        });

    m.def("run", &run, py::arg("opt_name"), py::arg("bench_symbol"), py::arg("secu_pct"), py::arg("cfg"),
          py::arg("predictValues"), py::arg("univ_idx"), py::kw_only(), py::arg("start") = py::none(),
          py::arg("progress") = true, py::arg("print_result") = false, py::arg("finish") = py::none(), doc::run);
}

}  // namespace kestrel::bind

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
    return "RunState(row=" + std::to_string(s.row) + ", " + std::to_string(s.weights.size()) + " weights, smoothed " +
           (s.smoothed.is_none() ? "None" : "given") + ")";
}

}  // namespace

void register_run(py::module_& m) {
    m.attr("STATUS_PROCESSED") = 0;
    m.attr("STATUS_SKIPPED") = 1;
    m.attr("STATUS_EMPTY") = 2;

    py::class_<RunState>(m, "RunState", doc::RunState)
        .def(py::init(&make_state), py::arg("row"), py::arg("weights"), py::arg("smoothed") = py::none(),
             doc::RunState_init)
        .def_readonly("row", &RunState::row, "The last row done (-1: none).")
        .def_readonly("weights", &RunState::weights, "Weights of that row (N float64, read-only).")
        .def_readonly("smoothed", &RunState::smoothed, "Smoothed scores carried to the next date, or None.")
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
          py::arg("progress") = true, py::arg("print_result") = false, doc::run);
}

}  // namespace kestrel::bind

// The module Kestrel: its docstring, version, error translation and the
// registration of each bound area.
#include <array>
#include <deque>
#include <string>
#include <utility>

#include "errors.hpp"
#include "register.hpp"

#ifndef KESTREL_VERSION
#error "KESTREL_VERSION is set by CMakeLists.txt"
#endif

namespace {

// pybind11 binds a module function to an internal record object, which help()
// then reports as "method of pybind11_builtins...instance". Each module
// function is therefore replaced by a plain C function without a self that
// forwards to it: same name, docstring and text signature, no extra frame.
constexpr std::size_t kMaxForwarded = 32;
std::array<PyObject*, kMaxForwarded> forward_targets{};  // owned for the process's lifetime
std::array<PyMethodDef, kMaxForwarded> forward_defs{};
std::deque<std::string> forward_texts;  // ml_name and ml_doc must outlive the functions

template <std::size_t I>
PyObject* forward(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return PyObject_Vectorcall(forward_targets[I], args, static_cast<std::size_t>(nargs), kwnames);
}

template <std::size_t... I>
constexpr std::array<PyCFunction, sizeof...(I)> forwarders(std::index_sequence<I...>) {
    // Through void(*)(void), the documented way to store a fast-call function in PyMethodDef.
    return {reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&forward<I>))...};
}

void expose_as_plain_functions(py::module_& m) {
    static const auto functions = forwarders(std::make_index_sequence<kMaxForwarded>());
    std::size_t used = 0;
    for (const auto item : py::reinterpret_borrow<py::dict>(m.attr("__dict__"))) {
        py::handle f = item.second;
        if (!PyCFunction_Check(f.ptr()) || PyCFunction_GET_SELF(f.ptr()) == nullptr ||
            PyModule_Check(PyCFunction_GET_SELF(f.ptr())))
            continue;
        if (used == kMaxForwarded) throw std::logic_error("raise kMaxForwarded in module.cpp");
        const std::string& name = forward_texts.emplace_back(py::str(item.first));
        py::object sig = f.attr("__text_signature__"), doc = f.attr("__doc__");
        const std::string& text = forward_texts.emplace_back(
            sig.is_none() ? std::string(doc.is_none() ? "" : py::str(doc))
                          : name + std::string(py::str(sig)) + "\n--\n\n" + std::string(py::str(doc)));
        forward_targets[used] = py::reinterpret_borrow<py::object>(f).release().ptr();
        forward_defs[used] = {name.c_str(), functions[used], METH_FASTCALL | METH_KEYWORDS, text.c_str()};
        py::object plain = py::reinterpret_steal<py::object>(
            PyCFunction_NewEx(&forward_defs[used], nullptr, m.attr("__name__").ptr()));
        if (!plain) throw py::error_already_set();
        m.attr(name.c_str()) = plain;
        ++used;
    }
}

}  // namespace

PYBIND11_MODULE(Kestrel, m) {
    m.doc() = R"doc(Kestrel: long-only portfolio weights from model scores.

Turns a matrix of model scores (dates x securities) into portfolio weights
against a stock index, date by date, keeping the active exposure to risk
factors and sectors inside configured limits. Benchmark weights and risk
data come from the data library ``VelaIntradayModel``, imported by name at
call time.

Seven entry functions run a whole history in one call:
opt_gen_position and opt_gen_position_topm ("TopM"), opt_gen_position_topm2,
opt_gen_position_topkr, opt_gen_position_topequal, opt_gen_position_topequal2,
and opt_gen_position_type (the algorithm named by cfg["type"]).

The class OptimizerTopM exposes every step of a run as a method;
help(Kestrel.OptimizerTopM.gen_position) lists the settings.

The companion package kestrel_tools converts pandas DataFrames, draws run
reports and runs settings sweeps on Dask.
)doc";
    py::options options;
    options.disable_function_signatures();  // the docstrings carry them
    m.attr("__version__") = KESTREL_VERSION;
    using namespace kestrel::bind;
    register_error_translator();
    register_warning_classes(m);
    register_error_classes(m);
    OptimizerClass cls = register_optimizer_class(m);
    register_signal_methods(cls);
    register_position_methods(cls);
    register_exposure_methods(cls);
    register_entry_functions(m);
    register_run(m);
    expose_as_plain_functions(m);
}

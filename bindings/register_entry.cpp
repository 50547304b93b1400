// The seven module-level entry functions: construct, run, return. They are
// plain CPython functions of the module (not pybind11 ones, which help()
// would show as methods of an internal record), with their signatures in
// their docstrings for help() and inspect.signature.
#include <array>
#include <string>

#include "docstrings/entry.hpp"
#include "register.hpp"
#include "settings.hpp"

namespace kestrel::bind {

namespace {

struct Entry {
    const char* name;
    const char* algorithm;  // nullptr: the one cfg["type"] names
};
constexpr std::array<Entry, 7> kEntries{{
    {"opt_gen_position", "TopM"},
    {"opt_gen_position_topm", "TopM"},
    {"opt_gen_position_topm2", "TopM2"},
    {"opt_gen_position_topkr", "TopKR"},
    {"opt_gen_position_topequal", "TopEqual"},
    {"opt_gen_position_topequal2", "TopEqual2"},
    {"opt_gen_position_type", nullptr},
}};

PyObject* optimizer_class = nullptr;  // OptimizerTopM, owned by the module for its lifetime

py::object run_entry(const Entry& entry, PyObject* args, PyObject* kwargs) {
    static const std::array<std::string, kEntries.size()> formats = [] {
        std::array<std::string, kEntries.size()> out;
        for (std::size_t i = 0; i < kEntries.size(); ++i) out[i] = std::string("OOOOO:") + kEntries[i].name;
        return out;
    }();
    static const char* keywords[] = {"bench_symbol", "secu_pct", "cfg", "predictValues", "univ_idx", nullptr};
    PyObject *bench_symbol, *secu_pct, *cfg, *predict_values, *univ_idx;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, formats[static_cast<std::size_t>(&entry - kEntries.data())].c_str(),
                                     const_cast<char**>(keywords), &bench_symbol, &secu_pct, &cfg, &predict_values,
                                     &univ_idx))
        throw py::error_already_set();
    py::object name = entry.algorithm
                          ? py::object(py::str(entry.algorithm))
                          : required_setting(cfg, "type", "opt_gen_position_type, which runs the algorithm it names");
    py::object optimizer =
        py::handle(optimizer_class)(name, py::handle(bench_symbol), py::handle(secu_pct), py::handle(cfg));
    return optimizer.attr("gen_position")(py::handle(predict_values), py::handle(univ_idx));
}

template <std::size_t I>
PyObject* entry_function(PyObject*, PyObject* args, PyObject* kwargs) {
    try {
        return run_entry(kEntries[I], args, kwargs).release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

template <std::size_t... I>
constexpr std::array<PyCFunction, sizeof...(I)> entry_functions(std::index_sequence<I...>) {
    // Through void(*)(void), the documented way to store a function with keywords in PyMethodDef.
    return {reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(&entry_function<I>))...};
}

}  // namespace

void register_entry_functions(py::module_& m, OptimizerClass& cls) {
    optimizer_class = cls.ptr();
    Py_INCREF(optimizer_class);
    static const auto functions = entry_functions(std::make_index_sequence<kEntries.size()>());
    static std::array<std::string, kEntries.size()> docs;
    static std::array<PyMethodDef, kEntries.size() + 1> defs{};
    for (std::size_t i = 0; i < kEntries.size(); ++i) {
        const Entry& e = kEntries[i];
        docs[i] = doc::entry_function(e.name, e.algorithm ? std::string("the \"") + e.algorithm + "\" algorithm"
                                                          : std::string("the algorithm named by cfg[\"type\"]"));
        defs[i] = {e.name, functions[i], METH_VARARGS | METH_KEYWORDS, docs[i].c_str()};
    }
    if (PyModule_AddFunctions(m.ptr(), defs.data()) < 0) throw py::error_already_set();
}

}  // namespace kestrel::bind

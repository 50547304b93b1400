#include "optimizer.hpp"

#include "data_library.hpp"
#include "errors.hpp"

namespace kestrel::bind {

namespace {

// Names and codes are text: anything else (an array, a number) matches none.
// `text` is ASCII and NUL-terminated (the tables hold literals).
bool equals_text(py::handle obj, const char* text) {
    if (!PyUnicode_Check(obj.ptr())) return false;
    const int r = PyUnicode_CompareWithASCIIString(obj.ptr(), text);
    if (r == -1 && PyErr_Occurred()) throw py::error_already_set();
    return r == 0;
}

}  // namespace

Optimizer& state_of(py::handle self, const char* first_read) {
    Optimizer* state = initialised_state(self);
    if (!state) throw py::attribute_error(no_attribute_message(self, first_read));
    return *state;
}

std::string no_attribute_message(py::handle self, const char* name) {
    return "'" + std::string(py::str(py::type::handle_of(self).attr("__name__"))) + "' object has no attribute '" +
           name + "'";
}

position::Algorithm algorithm_of(py::handle opt_name) {
    for (const auto& a : position::kAlgorithms)
        if (equals_text(opt_name, a.name.data())) return a.algorithm;
    return position::Algorithm::Unknown;
}

position::Algorithm known_algorithm(py::handle opt_name) {
    const position::Algorithm a = algorithm_of(opt_name);
    if (a == position::Algorithm::Unknown) throw WrongOptName(opt_name);
    return a;
}

py::object weight_field_name(const Optimizer& self) {
    for (const auto& row : kBenchmarkWeightFields)
        if (equals_text(self.bench_symbol, row.code)) return py::str(row.field);
    return self.bench_symbol;
}

}  // namespace kestrel::bind

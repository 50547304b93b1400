// The Python-visible state of OptimizerTopM: the very objects the caller
// passed, plus the library data a run attaches.
#pragma once

#include "convert.hpp"
#include "position/algorithms.hpp"

namespace kestrel::bind {

struct Optimizer {
    py::object bench_symbol;
    py::object secu_pct;
    py::object cfg;
    py::object opt_name;
    py::object barra_data;        // null until a run attaches it
    py::object benchweight_data;  // likewise
};

// The C++ state of an OptimizerTopM instance; null when `self` is not one or
// its __init__ never ran (an instance made by __new__ alone). Defined in
// instance_state.cpp, the one place that uses pybind11's internals.
Optimizer* initialised_state(py::handle self);

// The same, raising the AttributeError Python gives for an attribute that was
// never set, naming `first_read`, the first attribute the caller needs.
Optimizer& state_of(py::handle self, const char* first_read);

// "'<type>' object has no attribute '<name>'".
std::string no_attribute_message(py::handle self, const char* name);

// The algorithm named by an object, by exact comparison with the five names
// of position::kAlgorithms; Unknown for anything else, text or not.
position::Algorithm algorithm_of(py::handle opt_name);

// The algorithm named by an object, or WrongOptName.
position::Algorithm known_algorithm(py::handle opt_name);

// Field name of the benchmark weights for the object's bench_symbol: the
// table's field, or the bench_symbol object itself for a code outside it.
py::object weight_field_name(const Optimizer& self);

}  // namespace kestrel::bind

// The Python-visible state of OptimizerTopM: the very objects the caller
// passed, plus the library data a run attaches.
#pragma once

#include "kestrel.hpp"
#include "position/dispatch.hpp"

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
// its construction never ran (an instance made by __new__ alone).
Optimizer* constructed(py::handle self);

// The same, raising the AttributeError Python gives for an attribute that was
// never set, naming `first_read`, the first attribute the caller needs.
Optimizer& state_of(py::handle self, const char* first_read);

// A required setting: cfg[key]. A missing key stays the mapping's own
// KeyError; a cfg that cannot be subscripted by text gets a TypeError naming cfg.
py::object required_setting(py::handle cfg, const char* key);

// The algorithm named by an object, by Python equality with the five names
// in their fixed order; Unknown when none matches.
position::Algorithm algorithm_of(py::handle opt_name);

// Field name of the benchmark weights for the object's bench_symbol.
py::object weight_name(const Optimizer& self);

py::object value_or_default(py::handle cfg, py::handle name, py::handle default_value);

// Runs a whole score matrix; defined in gen_position.cpp.
py::object gen_position(Optimizer& self, py::handle predict_values, py::handle univ_idx);

void register_optimizer(py::module_& m);
void register_entry_functions(py::module_& m);

}  // namespace kestrel::bind

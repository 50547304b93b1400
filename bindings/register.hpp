// What module.cpp registers, one function per bound area.
#pragma once

#include "optimizer.hpp"

namespace kestrel::bind {

using OptimizerClass = py::class_<Optimizer>;

// Pure computation with the GIL released. The core's errors pass through to
// the translator of errors.hpp.
template <class F>
void without_gil(F&& f) {
    py::gil_scoped_release release;
    f();
}

// OptimizerTopM itself: construction, attributes, get_weight_name,
// GetValueOrDefault and gen_position (register_optimizer.cpp).
OptimizerClass register_optimizer_class(py::module_& m);

// GenEma, GenNorm, GenNorm_Step1, GenEma_Step1 (register_signal.cpp).
void register_signal_methods(OptimizerClass& cls);

// The caps, the three mappings and CalcCurrentPosition (register_position.cpp).
void register_position_methods(OptimizerClass& cls);

// CalcRiskExposure, CalcRiskExposure_Multi (register_exposure.cpp).
void register_exposure_methods(OptimizerClass& cls);

// The seven opt_gen_position* functions, which construct `cls` (register_entry.cpp).
void register_entry_functions(py::module_& m, OptimizerClass& cls);

// prepare and run_dates, the engine beneath Kestrel.run (register_run.cpp).
void register_run(py::module_& m);

}  // namespace kestrel::bind

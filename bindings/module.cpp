// The module Kestrel: its docstring, version, error translation and the
// registration of each bound area.
#include "errors.hpp"
#include "register.hpp"

#ifndef KESTREL_VERSION
#error "KESTREL_VERSION is set by CMakeLists.txt"
#endif

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
}

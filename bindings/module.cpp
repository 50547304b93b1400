// The private compiled engine of the package Kestrel: the fixed surface
// (OptimizerTopM, the seven entry functions, the warning and error classes)
// and the run function beneath Kestrel.run.
#include "errors.hpp"
#include "register.hpp"

#ifndef KESTREL_VERSION
#error "KESTREL_VERSION is set by CMakeLists.txt"
#endif

PYBIND11_MODULE(_engine, m) {
    m.doc() = "Kestrel's compiled engine; import Kestrel, which re-exports its public names.";
    py::options options;
    options.disable_function_signatures();  // the docstrings carry them
    m.attr("__version__") = KESTREL_VERSION;
    using namespace kestrel::bind;
    register_error_translator();
    // The public classes and functions are Kestrel's: registered while the
    // module answers to that name, their __module__ and type names say
    // "Kestrel", as help(), reprs and pickles show them.
    const py::object own_name = m.attr("__name__");
    m.attr("__name__") = "Kestrel";
    register_warning_classes(m);
    register_error_classes(m);
    OptimizerClass cls = register_optimizer_class(m);
    register_signal_methods(cls);
    register_position_methods(cls);
    register_exposure_methods(cls);
    register_entry_functions(m, cls);
    m.attr("__name__") = own_name;
    register_run(m);
}

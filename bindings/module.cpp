#include "optimizer_object.hpp"

PYBIND11_MODULE(Kestrel, m) {
    m.doc() = R"(Kestrel: long-only portfolio weights from model scores.

Seven entry functions (opt_gen_position, opt_gen_position_topm,
opt_gen_position_topm2, opt_gen_position_topkr, opt_gen_position_topequal,
opt_gen_position_topequal2, opt_gen_position_type) and the class
OptimizerTopM, whose methods expose every step of a run.
)";
    py::options options;
    options.disable_function_signatures();  // the docstrings carry them
    kestrel::bind::register_optimizer(m);
    kestrel::bind::register_entry_functions(m);
}

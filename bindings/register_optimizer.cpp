// OptimizerTopM: construction, attributes and the whole-run method.
#include "docstrings/optimizer.hpp"
#include "errors.hpp"
#include "gen_position.hpp"
#include "register.hpp"
#include "settings.hpp"

namespace kestrel::bind {

OptimizerClass register_optimizer_class(py::module_& m) {
    OptimizerClass cls(m, "OptimizerTopM", doc::OptimizerTopM);

    cls.def(py::init([](py::object opt_name, py::object bench_symbol, py::object secu_pct, py::object cfg) {
                Optimizer self{
                    std::move(bench_symbol), std::move(secu_pct), std::move(cfg), std::move(opt_name), {}, {}};
                known_algorithm(self.opt_name);
                return self;
            }),
            py::arg("opt_name"), py::arg("bench_symbol"), py::arg("secu_pct"), py::arg("cfg"), doc::OptimizerTopM_init);

    const auto attribute = [&cls](const char* name, py::object Optimizer::* member, const char* doc) {
        cls.def_property(
            name,
            [member, name](py::handle self) -> py::object {
                const py::object& value = state_of(self, name).*member;
                if (!value) throw py::attribute_error(no_attribute_message(self, name));
                return value;
            },
            [member, name](py::handle self, py::object value) {
                Optimizer* state = initialised_state(self);
                if (!state)
                    throw py::attribute_error(std::string("cannot set '") + name +
                                              "': this OptimizerTopM was never initialised (create it as "
                                              "OptimizerTopM(opt_name, bench_symbol, secu_pct, cfg))");
                state->*member = std::move(value);
            },
            doc);
    };
    attribute("bench_symbol", &Optimizer::bench_symbol, "Benchmark index code, as passed.");
    attribute("secu_pct", &Optimizer::secu_pct, "Target total weight of the portfolio, as passed.");
    attribute("cfg", &Optimizer::cfg, "Settings mapping, as passed (not a copy).");
    attribute("opt_name", &Optimizer::opt_name, "Algorithm name, as passed.");
    attribute("barra_data", &Optimizer::barra_data, "Risk data of the last run (None when it had no risk names).");
    attribute("benchweight_data", &Optimizer::benchweight_data, "Benchmark-weight matrix of the last run.");

    cls.def(
        "get_weight_name", [](py::handle self) { return weight_field_name(state_of(self, "bench_symbol")); },
        doc::get_weight_name);

    cls.def(
        "GetValueOrDefault",
        [](py::handle, py::handle cfg, py::handle name, py::handle default_value) {
            return value_or_default(cfg, name, default_value);
        },
        py::arg("cfg"), py::arg("name"), py::arg("default_value"), doc::GetValueOrDefault);

    cls.def(
        "gen_position",
        [](py::handle self, py::handle predictValues, py::handle univ_idx) {
            return gen_position(state_of(self, "opt_name"), predictValues, univ_idx);
        },
        py::arg("predictValues"), py::arg("univ_idx"), doc::gen_position);
    return cls;
}

}  // namespace kestrel::bind

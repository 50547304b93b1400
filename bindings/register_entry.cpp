// The seven module-level entry functions: construct, run, return.
#include "docstrings/entry.hpp"
#include "register.hpp"
#include "settings.hpp"

namespace kestrel::bind {

namespace {

py::object run_named(py::object opt_name, py::object bench_symbol, py::object secu_pct, py::object cfg,
                     py::handle predict_values, py::handle univ_idx) {
    py::object cls = py::module_::import("Kestrel").attr("OptimizerTopM");
    py::object optimizer = cls(std::move(opt_name), std::move(bench_symbol), std::move(secu_pct), std::move(cfg));
    return optimizer.attr("gen_position")(predict_values, univ_idx);
}

}  // namespace

void register_entry_functions(py::module_& m) {
    const std::pair<const char*, const char*> fixed[] = {
        {"opt_gen_position", "TopM"},
        {"opt_gen_position_topm", "TopM"},
        {"opt_gen_position_topm2", "TopM2"},
        {"opt_gen_position_topkr", "TopKR"},
        {"opt_gen_position_topequal", "TopEqual"},
        {"opt_gen_position_topequal2", "TopEqual2"},
    };
    for (const auto& [fname, algo] : fixed) {
        m.def(
            fname,
            [algo = std::string(algo)](py::object bench_symbol, py::object secu_pct, py::object cfg,
                                       py::object predictValues, py::object univ_idx) {
                return run_named(py::str(algo), bench_symbol, secu_pct, cfg, predictValues, univ_idx);
            },
            py::arg("bench_symbol"), py::arg("secu_pct"), py::arg("cfg"), py::arg("predictValues"), py::arg("univ_idx"),
            doc::entry_function(fname, std::string("the \"") + algo + "\" algorithm").c_str());
    }
    m.def(
        "opt_gen_position_type",
        [](py::object bench_symbol, py::object secu_pct, py::object cfg, py::object predictValues,
           py::object univ_idx) {
            py::object name = required_setting(cfg, "type", "opt_gen_position_type, which runs the algorithm it names");
            return run_named(name, bench_symbol, secu_pct, cfg, predictValues, univ_idx);
        },
        py::arg("bench_symbol"), py::arg("secu_pct"), py::arg("cfg"), py::arg("predictValues"), py::arg("univ_idx"),
        doc::entry_function("opt_gen_position_type", "the algorithm named by cfg[\"type\"]").c_str());
}

}  // namespace kestrel::bind

// The seven module-level entry functions: construct, run, return.
#include "optimizer_object.hpp"

namespace kestrel::bind {

namespace {

py::object run_named(py::object opt_name, py::object bench_symbol, py::object secu_pct, py::object cfg,
                     py::handle predict_values, py::handle univ_idx) {
    py::object cls = py::module_::import("Kestrel").attr("OptimizerTopM");
    py::object optimizer = cls(std::move(opt_name), std::move(bench_symbol), std::move(secu_pct), std::move(cfg));
    return optimizer.attr("gen_position")(predict_values, univ_idx);
}

constexpr const char* kEntryDoc = R"({name}(bench_symbol, secu_pct, cfg, predictValues, univ_idx)

Run {what} over a whole score matrix.

Parameters
----------
bench_symbol : str
    Six-digit benchmark index code.
secu_pct : float
    Target total weight of the portfolio.
cfg : mapping
    Settings (see ``OptimizerTopM.gen_position``); the sector limits may be
    added to ``cfg["risk_factor_expo"]``.
predictValues : array_like, shape (T, N)
    Scores, one row per date.
univ_idx : array_like of int, shape (N,)
    Column of each security in the data library's matrices.

Returns
-------
ndarray of float64, shape (T, N)
    The weight matrix.
)";

std::string entry_doc(const std::string& name, const std::string& what) {
    std::string d = kEntryDoc;
    d.replace(d.find("{name}"), 6, name);
    d.replace(d.find("{what}"), 6, what);
    return d;
}

}  // namespace

void register_entry_functions(py::module_& m) {
    const std::pair<const char*, const char*> fixed[] = {
        {"opt_gen_position", "TopM"},       {"opt_gen_position_topm", "TopM"},
        {"opt_gen_position_topm2", "TopM2"}, {"opt_gen_position_topkr", "TopKR"},
        {"opt_gen_position_topequal", "TopEqual"}, {"opt_gen_position_topequal2", "TopEqual2"},
    };
    for (const auto& [fname, algo] : fixed) {
        m.def(
            fname,
            [algo = std::string(algo)](py::object bench_symbol, py::object secu_pct, py::object cfg,
                                       py::object predictValues, py::object univ_idx) {
                return run_named(py::str(algo), bench_symbol, secu_pct, cfg, predictValues, univ_idx);
            },
            py::arg("bench_symbol"), py::arg("secu_pct"), py::arg("cfg"), py::arg("predictValues"),
            py::arg("univ_idx"), entry_doc(fname, std::string("the \"") + algo + "\" algorithm").c_str());
    }
    m.def(
        "opt_gen_position_type",
        [](py::object bench_symbol, py::object secu_pct, py::object cfg, py::object predictValues,
           py::object univ_idx) {
            py::object name = cfg[py::str("type")];
            return run_named(name, bench_symbol, secu_pct, cfg, predictValues, univ_idx);
        },
        py::arg("bench_symbol"), py::arg("secu_pct"), py::arg("cfg"), py::arg("predictValues"), py::arg("univ_idx"),
        entry_doc("opt_gen_position_type", "the algorithm named by cfg[\"type\"]").c_str());
}

}  // namespace kestrel::bind

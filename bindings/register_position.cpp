// OptimizerTopM's caps, its three mappings and one date's dispatch; which
// mapping is which is in position/algorithms.hpp.
#include "docstrings/position.hpp"
#include "position/capped_fill.hpp"
#include "position/caps.hpp"
#include "position/dispatch.hpp"
#include "position/rebalance.hpp"
#include "position/topn_blend.hpp"
#include "register.hpp"

namespace kestrel::bind {

namespace {

// Scratch of the mappings, kept per thread so repeated calls allocate nothing.
position::Workspace& scratch() {
    thread_local position::Workspace ws;
    return ws;
}

// CalcCurrentPosition's scalars. Those the chosen algorithm does not read
// (see position::kAlgorithms) may be None.
position::DispatchParams dispatch_arguments(const Optimizer& self, py::handle weight_multi, py::handle num_long,
                                            py::handle risk_cost, py::handle each_single_weight, py::handle bench_coeff,
                                            py::handle pre_coeff, py::handle max_weight) {
    using position::Caps;
    position::DispatchParams p;
    p.algorithm = known_algorithm(self.opt_name);
    const position::AlgorithmInfo& a = position::info(p.algorithm);
    p.secu_pct = as_double(self.secu_pct, "secu_pct");
    p.bench_coeff = as_double(bench_coeff, "bench_coeff");
    p.pre_coeff = as_double(pre_coeff, "pre_coeff");
    switch (a.caps) {
        case Caps::None:
            p.num_long = as_index(num_long, "num_long");
            break;
        case Caps::Proportional:
            p.weight_multi = as_double(weight_multi, "weight_multi");
            break;
        case Caps::Equal:
            p.each_single_weight = as_double(each_single_weight, "each_single_weight");
            break;
    }
    if (position::reads_risk_cost(a.mapping)) p.risk_cost = as_double(risk_cost, "risk_cost");
    if (position::reads_max_weight(a.caps)) p.max_weight = as_double(max_weight, "max_weight");
    return p;
}

}  // namespace

void register_position_methods(OptimizerClass& cls) {
    cls.def(
        "MapValue2Position_MaxWeight",
        [](py::handle, py::handle cur_model_value, py::handle each_max_weight, py::handle secu_pct) {
            Array s = as_vector(cur_model_value, "cur_model_value");
            Array caps = as_vector(each_max_weight, "each_max_weight", s.size(), "cur_model_value");
            const double pct = as_double(secu_pct, "secu_pct");
            Array out = new_vector(s.size());
            without_gil(
                [&] { position::capped_fill(span_of(s), span_of(caps), pct, scratch(), span_of_mutable(out)); });
            return out;
        },
        py::arg("cur_model_value"), py::arg("each_max_weight"), py::arg("secu_pct"), doc::MapValue2Position_MaxWeight);

    cls.def(
        "MapValue2Position_MaxWeight_RiskCost",
        [](py::handle, py::handle model_value, py::handle each_max_weight, py::handle secu_pct, py::handle pre_weight,
           py::handle risk_cost) {
            Array s = as_vector(model_value, "model_value");
            Array caps = as_vector(each_max_weight, "each_max_weight", s.size(), "model_value");
            const double pct = as_double(secu_pct, "secu_pct");
            Array pre = as_vector(pre_weight, "pre_weight", s.size(), "model_value");
            const double cost = as_double(risk_cost, "risk_cost");
            Array out = new_vector(s.size());
            without_gil([&] {
                position::rebalance(span_of(s), span_of(caps), pct, span_of(pre), cost, scratch(),
                                    span_of_mutable(out));
            });
            return out;
        },
        py::arg("model_value"), py::arg("each_max_weight"), py::arg("secu_pct"), py::arg("pre_weight"),
        py::arg("risk_cost"), doc::MapValue2Position_MaxWeight_RiskCost);

    cls.def(
        "MapValue2Position",
        [](py::handle, py::handle cur_model_value, py::handle num_long, py::handle secu_pct, py::handle bench_weight,
           py::handle bench_coeff, py::handle pre_weight, py::handle pre_coeff) {
            Array s = as_vector(cur_model_value, "cur_model_value");
            const Index k = as_index(num_long, "num_long");
            const double pct = as_double(secu_pct, "secu_pct");
            Array bench = as_vector(bench_weight, "bench_weight", s.size(), "cur_model_value");
            const double bc = as_double(bench_coeff, "bench_coeff");
            Array pre = as_vector(pre_weight, "pre_weight", s.size(), "cur_model_value");
            const double pc = as_double(pre_coeff, "pre_coeff");
            Array out = new_vector(s.size());
            without_gil([&] {
                position::Workspace& ws = scratch();
                position::top_n_blend(span_of(s), k, pct, span_of(bench), bc, span_of(pre), pc, ws,
                                      span_of_mutable(out));
            });
            return out;
        },
        py::arg("cur_model_value"), py::arg("num_long"), py::arg("secu_pct"), py::arg("bench_weight"),
        py::arg("bench_coeff"), py::arg("pre_weight"), py::arg("pre_coeff"), doc::MapValue2Position);

    cls.def(
        "CalcCurrentPosition",
        [](py::handle self_obj, py::handle cur_model_value, py::handle try_ema_value, py::handle weight_multi,
           py::handle num_long, py::handle risk_cost, py::handle each_single_weight, py::handle cur_bench,
           py::handle bench_coeff, py::handle pre_weight, py::handle pre_coeff, py::handle max_weight) {
            const Optimizer& self = state_of(self_obj, "opt_name");
            Array ema = as_vector(try_ema_value, "try_ema_value");
            const auto n = ema.size();
            const position::DispatchParams p = dispatch_arguments(
                self, weight_multi, num_long, risk_cost, each_single_weight, bench_coeff, pre_coeff, max_weight);
            // Only the turnover-cost rebalance reads cur_model_value.
            const bool reads_model = position::reads_risk_cost(position::info(p.algorithm).mapping);
            Array model = reads_model ? as_vector(cur_model_value, "cur_model_value", n, "try_ema_value") : ema;
            Array bench = as_vector(cur_bench, "cur_bench", n, "try_ema_value");
            Array pre = as_vector(pre_weight, "pre_weight", n, "try_ema_value");
            Array out = new_vector(n);
            without_gil([&] {
                position::Workspace& ws = scratch();
                Vec caps;
                position::calc_current_position(p, {span_of(model), span_of(ema), span_of(bench), span_of(pre)}, ws,
                                                caps, span_of_mutable(out));
            });
            return out;
        },
        py::arg("cur_model_value"), py::arg("try_ema_value"), py::arg("weight_multi"), py::arg("num_long"),
        py::arg("risk_cost"), py::arg("each_single_weight"), py::arg("cur_bench"), py::arg("bench_coeff"),
        py::arg("pre_weight"), py::arg("pre_coeff"), py::arg("max_weight") = py::int_(-1), doc::CalcCurrentPosition);

    const auto caps_method = [&cls](const char* name, const char* scalar, bool equal, const char* docstring) {
        cls.def(
            name,
            [scalar = std::string(scalar), equal](py::handle, py::handle model_value, py::handle level,
                                                  py::handle cur_bench, py::handle bench_coeff, py::handle pre_weight,
                                                  py::handle pre_coeff, py::handle max_weight) {
                Array s = as_vector(model_value, "model_value");
                const double lv = as_double(level, scalar);
                Array bench = as_vector(cur_bench, "cur_bench", s.size(), "model_value");
                const double bc = as_double(bench_coeff, "bench_coeff");
                Array pre = as_vector(pre_weight, "pre_weight", s.size(), "model_value");
                const double pc = as_double(pre_coeff, "pre_coeff");
                const double mw = as_double(max_weight, "max_weight");
                Array out = new_vector(s.size());
                without_gil([&] {
                    if (equal)
                        position::equal_caps(span_of(s).size(), lv, span_of(bench), bc, span_of(pre), pc, mw,
                                             span_of_mutable(out));
                    else
                        position::max_weight_caps(span_of(s), lv, span_of(bench), bc, span_of(pre), pc, mw,
                                                  span_of_mutable(out));
                });
                return out;
            },
            py::arg("model_value"), py::arg(scalar), py::arg("cur_bench"), py::arg("bench_coeff"),
            py::arg("pre_weight"), py::arg("pre_coeff"), py::arg("max_weight") = -1.0, docstring);
    };
    caps_method("GenMaxWeight", "weight_multi", false, doc::GenMaxWeight);
    caps_method("GenMaxWeight_Equal", "each_single_weight", true, doc::GenMaxWeight_Equal);
}

}  // namespace kestrel::bind

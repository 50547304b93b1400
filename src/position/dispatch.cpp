#include "position/dispatch.hpp"

#include "position/capped_fill.hpp"
#include "position/caps.hpp"
#include "position/rebalance.hpp"
#include "position/topn_blend.hpp"

namespace kestrel::position {

std::optional<Algorithm> parse_algorithm(std::string_view name) {
    if (name == "TopM") return Algorithm::TopM;
    if (name == "TopM2") return Algorithm::TopM2;
    if (name == "TopKR") return Algorithm::TopKR;
    if (name == "TopEqual") return Algorithm::TopEqual;
    if (name == "TopEqual2") return Algorithm::TopEqual2;
    return std::nullopt;
}

void calc_current_position(const DispatchParams& p, const DateVectors& v, Workspace& ws, Vec& caps,
                           MSpan out) {
    if (p.algorithm == Algorithm::Unknown) throw UnknownAlgorithm();
    const std::size_t n = v.try_ema_value.size();
    if (p.algorithm == Algorithm::TopKR) {
        top_n_blend(v.try_ema_value, p.num_long, p.secu_pct, v.cur_bench, p.bench_coeff, v.pre_weight,
                    p.pre_coeff, ws, out);
        return;
    }
    caps.resize(n);
    const bool equal = p.algorithm == Algorithm::TopEqual || p.algorithm == Algorithm::TopEqual2;
    if (equal)
        equal_caps(n, p.each_single_weight, v.cur_bench, p.bench_coeff, v.pre_weight, p.pre_coeff,
                   p.max_weight, caps);
    else
        max_weight_caps(v.try_ema_value, p.weight_multi, v.cur_bench, p.bench_coeff, v.pre_weight,
                        p.pre_coeff, p.max_weight, caps);

    if (p.algorithm == Algorithm::TopM || p.algorithm == Algorithm::TopEqual)
        rebalance(v.cur_model_value, caps, p.secu_pct, v.pre_weight, p.risk_cost, ws, out);
    else
        capped_fill(v.try_ema_value, caps, p.secu_pct, ws, out);
}

}  // namespace kestrel::position

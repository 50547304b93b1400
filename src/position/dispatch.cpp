#include "position/dispatch.hpp"

#include "position/capped_fill.hpp"
#include "position/caps.hpp"
#include "position/rebalance.hpp"
#include "position/topn_blend.hpp"

namespace kestrel::position {

void calc_current_position(const DispatchParams& p, const DateVectors& v, Workspace& ws, Vec& caps, MSpan out) {
    if (p.algorithm == Algorithm::Unknown) throw UnknownAlgorithm();
    const AlgorithmInfo& a = info(p.algorithm);
    const std::size_t n = v.try_ema_value.size();
    if (a.caps == Caps::None) {
        top_n_blend(v.try_ema_value, p.num_long, p.secu_pct, v.cur_bench, p.bench_coeff, v.pre_weight, p.pre_coeff, ws,
                    out);
        return;
    }
    caps.resize(n);
    if (a.caps == Caps::Equal)
        equal_caps(n, p.each_single_weight, v.cur_bench, p.bench_coeff, v.pre_weight, p.pre_coeff, p.max_weight, caps);
    else
        max_weight_caps(v.try_ema_value, p.weight_multi, v.cur_bench, p.bench_coeff, v.pre_weight, p.pre_coeff,
                        p.max_weight, caps);

    if (a.mapping == Mapping::Rebalance)
        rebalance(v.cur_model_value, caps, p.secu_pct, v.pre_weight, p.risk_cost, ws, out);
    else
        capped_fill(v.try_ema_value, caps, p.secu_pct, ws, out);
}

}  // namespace kestrel::position

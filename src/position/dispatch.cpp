#include "position/dispatch.hpp"

#include "position/capped_fill.hpp"
#include "position/caps.hpp"
#include "position/rebalance.hpp"
#include "position/topn_blend.hpp"

namespace kestrel::position {

namespace {

// The mapping of a capped algorithm within bounds. Where the bounds keep the
// total from secu_pct (names that cannot be sold hold more than the target,
// or those that may still be bought cannot take the rest), a desk can do
// nothing about it that day: the weights keep the total nearest to secu_pct
// the bounds allow, and the date goes on. Only when the mapping would miss
// the target without the bounds too is it the settings' fault, and the
// mapping's own error is raised, as it would be without blocks.
void bounded_mapping(const AlgorithmInfo& a, const DispatchParams& p, const DateVectors& v, Workspace& ws, Vec& caps,
                     const TradeLimits& limits, MSpan out) {
    const bool reached =
        a.mapping == Mapping::Rebalance
            ? rebalance_within(v.cur_model_value, caps, limits, p.secu_pct, v.pre_weight, p.risk_cost, ws, out)
            : capped_fill_within(v.try_ema_value, caps, limits, p.secu_pct, ws, out);
    if (reached) return;
    ws.unbounded.resize(caps.size());
    if (a.mapping == Mapping::Rebalance)
        rebalance(v.cur_model_value, caps, p.secu_pct, v.pre_weight, p.risk_cost, ws, ws.unbounded);
    else
        capped_fill(v.try_ema_value, caps, p.secu_pct, ws, ws.unbounded);
}

}  // namespace

void calc_current_position(const DispatchParams& p, const DateVectors& v, Workspace& ws, Vec& caps, MSpan out,
                           const TradeLimits& limits) {
    if (p.algorithm == Algorithm::Unknown) throw UnknownAlgorithm();
    const AlgorithmInfo& a = info(p.algorithm);
    const std::size_t n = v.try_ema_value.size();
    if (a.caps == Caps::None) {
        top_n_blend(v.try_ema_value, p.num_long, p.secu_pct, v.cur_bench, p.bench_coeff, v.pre_weight, p.pre_coeff, ws,
                    out);
        if (limits.bounded()) fit_to_bounds(limits, p.secu_pct, ws, out);
    } else {
        caps.resize(n);
        if (a.caps == Caps::Equal)
            equal_caps(n, p.each_single_weight, v.cur_bench, p.bench_coeff, v.pre_weight, p.pre_coeff, p.max_weight,
                       caps);
        else
            max_weight_caps(v.try_ema_value, p.weight_multi, v.cur_bench, p.bench_coeff, v.pre_weight, p.pre_coeff,
                            p.max_weight, caps);

        if (limits.bounded())
            bounded_mapping(a, p, v, ws, caps, limits, out);
        else if (a.mapping == Mapping::Rebalance)
            rebalance(v.cur_model_value, caps, p.secu_pct, v.pre_weight, p.risk_cost, ws, out);
        else
            capped_fill(v.try_ema_value, caps, p.secu_pct, ws, out);
    }
    ws.turnover_scale = limits.capped() ? turnover_step(v.pre_weight, limits.max_turnover, out) : 1.0;
    if (ws.turnover_scale != 1.0 && !ws.defer_turnover_step) take_turnover_step(v.pre_weight, ws.turnover_scale, out);
}

}  // namespace kestrel::position

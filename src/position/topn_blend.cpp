#include "position/topn_blend.hpp"

#include <algorithm>

#include "signal/smoothing.hpp"

namespace kestrel::position {

namespace {

// blend += z(term) * coeff
void add_normalised(CSpan term, double coeff, Vec& scratch, Vec& blend) {
    scratch.resize(term.size());
    signal::standardise(term, scratch);
    for (std::size_t i = 0; i < blend.size(); ++i) blend[i] = blend[i] + scratch[i] * coeff;
}

}  // namespace

KESTREL_HOT void top_n_blend(CSpan cur_model_value, Index num_long, double secu_pct, CSpan bench_weight,
                             double bench_coeff, CSpan pre_weight, double pre_coeff, Workspace& ws, MSpan out) {
    const std::size_t n = cur_model_value.size();
    Vec& s = ws.blend;
    s.resize(n);
    signal::standardise(cur_model_value, s);
    if (bench_coeff > 0.0) add_normalised(bench_weight, bench_coeff, ws.scratch, s);
    if (pre_coeff > 0.0 && num::sum(pre_weight) >= 0.8) add_normalised(pre_weight, pre_coeff, ws.scratch, s);

    const Index ni = static_cast<Index>(n);
    const Index take = num_long < 0 ? std::max<Index>(ni + num_long, 0) : std::min(num_long, ni);

    // Only membership of the head matters, so a selection replaces the sort.
    auto& order = ws.order;
    order.resize(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<Index>(i);
    if (take < ni)
        std::nth_element(order.begin(), order.begin() + take, order.end(),
                         [&s](Index a, Index b) { return num::ranks_before(s[a], s[b]); });

    std::fill(out.begin(), out.end(), 0.0);
    for (Index k = 0; k < take; ++k) {
        const Index i = order[static_cast<std::size_t>(k)];
        out[i] = num::maximum(s[i], 0.0);
    }
    const double total = num::sum(CSpan(out.data(), n));
    for (std::size_t i = 0; i < n; ++i) out[i] = out[i] / total * secu_pct;
}

}  // namespace kestrel::position

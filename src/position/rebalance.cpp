#include "position/rebalance.hpp"

#include "common/format.hpp"
#include "position/capped_fill.hpp"

namespace kestrel::position {

namespace {

// Candidates in list order (pos or neg members first, then mid members),
// each with its sort key and its floor or ceiling.
struct Candidates {
    std::vector<Index>& idx;
    Vec& key;
    Vec& bound;
    void clear() {
        idx.clear();
        key.clear();
        bound.clear();
    }
    void add(Index i, double k, double b) {
        idx.push_back(i);
        key.push_back(k);
        bound.push_back(b);
    }
};

}  // namespace

void rebalance(CSpan model_value, CSpan each_max_weight, double secu_pct, CSpan pre_weight,
               double risk_cost, Workspace& ws, MSpan out) {
    const std::size_t n = model_value.size();
    const double r = risk_cost;
    std::fill(out.begin(), out.end(), 0.0);

    // Initial weights; a score of exactly 0 with r = 0 is in both the pos and
    // the neg list and ends at 0.
    for (std::size_t i = 0; i < n; ++i) {
        const double s = model_value[i];
        if (s >= r) out[i] = each_max_weight[i];
        if (s <= -r) out[i] = 0.0;
        if (std::abs(s) < r) out[i] = num::minimum(pre_weight[i], each_max_weight[i]);
    }
    const double cur_sum = num::sum(CSpan(out.data(), n));

    Candidates cand{ws.idx, ws.key, ws.bound};
    cand.clear();
    num::DescendingVisitor visit(ws.order);

    if (cur_sum > secu_pct) {
        const double target = cur_sum - secu_pct;
        // Lowest key first: visit the negated keys in descending order.
        for (std::size_t i = 0; i < n; ++i)
            if (model_value[i] >= r) cand.add(static_cast<Index>(i), -(model_value[i] - r), pre_weight[i]);
        for (std::size_t i = 0; i < n; ++i)
            if (std::abs(model_value[i]) < r) cand.add(static_cast<Index>(i), -(model_value[i] + r), 0.0);
        visit.reset(cand.key);
        double cum_reduce = 0.0;
        while (!visit.done()) {
            const Index k = visit.next();
            const Index idx = cand.idx[k];
            const double min_weight = cand.bound[k];
            const double weight_chg = out[idx] - min_weight;
            if (weight_chg <= 0.0) continue;
            cum_reduce += weight_chg;
            if (cum_reduce >= target) {
                out[idx] = min_weight + (cum_reduce - target);
                break;
            }
            out[idx] = min_weight;
        }
    } else if (cur_sum < secu_pct) {
        const double target = secu_pct - cur_sum;
        for (std::size_t i = 0; i < n; ++i)
            if (model_value[i] <= -r)
                cand.add(static_cast<Index>(i), model_value[i] + r,
                         num::minimum(pre_weight[i], each_max_weight[i]));
        for (std::size_t i = 0; i < n; ++i)
            if (std::abs(model_value[i]) < r)
                cand.add(static_cast<Index>(i), model_value[i] - r, each_max_weight[i]);
        visit.reset(cand.key);
        double cum_add = 0.0;
        while (!visit.done()) {
            const Index k = visit.next();
            const Index idx = cand.idx[k];
            const double max_weight = cand.bound[k];
            const double cur_weight = out[idx];
            if (cur_weight >= max_weight) continue;
            cum_add += max_weight - cur_weight;
            if (cum_add >= target) {
                out[idx] = max_weight - (cum_add - target);
                break;
            }
            out[idx] = max_weight;
        }
    }

    const double total = num::sum(CSpan(out.data(), n));
    if (std::abs(total - secu_pct) >= 0.001)
        throw PositionError(kWrongPosition, "CheckPosition: " + fmt::repr(std::abs(total)));
    std::string diag = cap_violations(out, each_max_weight, 0.0001);
    if (!diag.empty()) throw PositionError(kWrongPosition, std::move(diag));
}

}  // namespace kestrel::position

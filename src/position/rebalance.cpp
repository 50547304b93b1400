#include "position/rebalance.hpp"

#include "common/format.hpp"
#include "position/capped_fill.hpp"
#include "position/crossing.hpp"

namespace kestrel::position {

namespace {

// Candidates of one phase in list order (pos or neg members first, then mid
// members): index, sort key, floor or ceiling, and room to move. Candidates
// without room are left out: they are passed over without effect.
struct Candidates {
    std::vector<Index>& idx;
    Vec& key;
    Vec& bound;
    Vec& room;
    void clear() {
        idx.clear();
        key.clear();
        bound.clear();
        room.clear();
    }
    void add(Index i, double k, double b, double r) {
        idx.push_back(i);
        key.push_back(k);
        bound.push_back(b);
        room.push_back(r);
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

    Candidates cand{ws.idx, ws.key, ws.bound, ws.scratch};
    cand.clear();
    const auto reduce_room = [&](Index i, double floor) { return out[i] - floor; };
    const auto add_room = [&](Index i, double ceiling) { return ceiling - out[i]; };

    if (cur_sum > secu_pct) {
        // Lowest key first, down to the floor; a candidate with no room above
        // its floor (weight_chg <= 0) is passed over.
        const auto offer = [&](Index i, double key, double floor) {
            const double chg = reduce_room(i, floor);
            if (!(chg <= 0.0)) cand.add(i, key, floor, chg);
        };
        for (std::size_t i = 0; i < n; ++i)
            if (model_value[i] >= r) offer(static_cast<Index>(i), model_value[i] - r, pre_weight[i]);
        for (std::size_t i = 0; i < n; ++i)
            if (std::abs(model_value[i]) < r) offer(static_cast<Index>(i), model_value[i] + r, 0.0);
        const Crossing c = find_crossing(cand.key, cand.room, cur_sum - secu_pct, ws.order, ascending,
                                         [&](Index p) { out[cand.idx[p]] = cand.bound[p]; });
        if (c.reached) out[cand.idx[c.pos]] = cand.bound[c.pos] + c.excess;
    } else if (cur_sum < secu_pct) {
        // Highest key first, up to the ceiling; a candidate already at or
        // above it is passed over.
        const auto offer = [&](Index i, double key, double ceiling) {
            if (!(out[i] >= ceiling)) cand.add(i, key, ceiling, add_room(i, ceiling));
        };
        for (std::size_t i = 0; i < n; ++i)
            if (model_value[i] <= -r)
                offer(static_cast<Index>(i), model_value[i] + r, num::minimum(pre_weight[i], each_max_weight[i]));
        for (std::size_t i = 0; i < n; ++i)
            if (std::abs(model_value[i]) < r) offer(static_cast<Index>(i), model_value[i] - r, each_max_weight[i]);
        const Crossing c = find_crossing(cand.key, cand.room, secu_pct - cur_sum, ws.order, descending,
                                         [&](Index p) { out[cand.idx[p]] = cand.bound[p]; });
        if (c.reached) out[cand.idx[c.pos]] = cand.bound[c.pos] - c.excess;
    }

    const double total = num::sum(CSpan(out.data(), n));
    if (std::abs(total - secu_pct) >= 0.001)
        throw PositionError(kWrongPosition, "CheckPosition: " + fmt::repr(std::abs(total)));
    std::string diag = cap_violations(out, each_max_weight, 0.0001);
    if (!diag.empty()) throw PositionError(kWrongPosition, std::move(diag));
}

}  // namespace kestrel::position

#include "position/rebalance.hpp"

#include "common/format.hpp"
#include "position/capped_fill.hpp"
#include "position/crossing.hpp"

namespace kestrel::position {

namespace {

// Candidates of one phase: index, sort key, floor or ceiling, and room to
// move. Candidates without room are left out: they are passed over without
// effect. The lists are interleaved in index order, which only changes the
// visiting order among equal keys.
struct Candidates {
    Index* idx;
    double* key;
    double* bound;
    double* room;
    std::size_t m = 0;

    explicit Candidates(Workspace& ws, std::size_t n) {
        ws.idx.resize(n + 1);
        ws.key.resize(n + 1);
        ws.bound.resize(n + 1);
        ws.room.resize(n + 1);
        idx = ws.idx.data();
        key = ws.key.data();
        bound = ws.bound.data();
        room = ws.room.data();
    }
    // Branch-free append at `at`: the slot is always written, the returned
    // count only moves for a member. The count is the caller's local: kept in
    // this struct, every index store (an integer) might change it.
    std::size_t offer(std::size_t at, bool member, Index i, double k, double b, double r) const {
        idx[at] = i;
        key[at] = k;
        bound[at] = b;
        room[at] = r;
        return at + member;
    }
    CSpan keys() const { return {key, m}; }
    CSpan rooms() const { return {room, m}; }
};

}  // namespace

KESTREL_HOT void rebalance(CSpan model_value, CSpan each_max_weight, double secu_pct, CSpan pre_weight,
               double risk_cost, Workspace& ws, MSpan out) {
    const std::size_t n = model_value.size();
    const double r = risk_cost;

    // Initial weights: lifted to the cap, taken to zero, or held at
    // min(previous, cap). A score of exactly 0 with r = 0 is both lifted and
    // taken, and ends at 0; a NaN score is in no list and stays at 0.
    for (std::size_t i = 0; i < n; ++i) {
        const double s = model_value[i], cap = each_max_weight[i], pre = pre_weight[i];
        double w = s >= r ? cap : 0.0;
        w = s <= -r ? 0.0 : w;
        out[i] = std::abs(s) < r ? num::minimum(pre, cap) : w;
    }
    const double cur_sum = num::sum(CSpan(out.data(), n));

    if (cur_sum > secu_pct) {
        // Lowest key first, down to the floor: lifted securities to their
        // previous weight, held ones to 0. No room (weight_chg <= 0): passed over.
        Candidates cand(ws, n);
        std::size_t m = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double s = model_value[i];
            const bool pos = s >= r, mid = std::abs(s) < r;
            // Loaded whatever the select: a conditional load becomes a branch.
            const double pre = pre_weight[i];
            const double floor = pos ? pre : 0.0;
            const double chg = out[i] - floor;
            m = cand.offer(m, (pos || mid) && !(chg <= 0.0), static_cast<Index>(i), pos ? s - r : s + r, floor, chg);
        }
        cand.m = m;
        const Crossing c = find_crossing(cand.keys(), cand.rooms(), cur_sum - secu_pct, ws.crossing, Ascending{},
                                         [&](Index p) { out[cand.idx[p]] = cand.bound[p]; });
        if (c.reached) out[cand.idx[c.pos]] = cand.bound[c.pos] + c.excess;
    } else if (cur_sum < secu_pct) {
        // Highest key first, up to the ceiling: securities taken to zero back
        // to min(previous, cap), held ones to their cap. Already there: passed over.
        Candidates cand(ws, n);
        std::size_t m = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const double s = model_value[i];
            const bool neg = s <= -r, mid = std::abs(s) < r;
            const double pre = pre_weight[i], cap = each_max_weight[i];
            const double ceiling = neg ? num::minimum(pre, cap) : cap;
            m = cand.offer(m, (neg || mid) && !(out[i] >= ceiling), static_cast<Index>(i), neg ? s + r : s - r,
                           ceiling, ceiling - out[i]);
        }
        cand.m = m;
        const Crossing c = find_crossing(cand.keys(), cand.rooms(), secu_pct - cur_sum, ws.crossing, Descending{},
                                         [&](Index p) { out[cand.idx[p]] = cand.bound[p]; });
        if (c.reached) out[cand.idx[c.pos]] = cand.bound[c.pos] - c.excess;
    }

    const double total = num::sum(CSpan(out.data(), n));
    if (std::abs(total - secu_pct) >= 0.001)
        throw PositionError(kWrongPosition, "CheckPosition: " + fmt::repr(std::abs(total)), total, secu_pct,
                            num::sum(each_max_weight));
    std::string diag = cap_violations(out, each_max_weight, 0.0001);
    if (!diag.empty()) throw PositionError(kWrongPosition, std::move(diag));
}

}  // namespace kestrel::position

#include "position/rebalance.hpp"

#include "common/format.hpp"
#include "position/capped_fill.hpp"
#include "position/crossing.hpp"

namespace kestrel::position {

namespace {

// Candidates of one phase, by security: sort key, floor or ceiling, and room
// to move. A security without room is no candidate (NaN key, zero room); a
// candidate's room is never zero (positive or NaN: a difference of unequal
// doubles), which tells them apart.
struct Candidates {
    double* key;
    double* bound;
    double* room;

    explicit Candidates(Workspace& ws, std::size_t n) {
        ws.key.resize(n);
        ws.bound.resize(n);
        ws.room.resize(n);
        key = ws.key.data();
        bound = ws.bound.data();
        room = ws.room.data();
    }
    CSpan keys(std::size_t n) const { return {key, n}; }
    CSpan rooms(std::size_t n) const { return {room, n}; }
    CSpan bounds(std::size_t n) const { return {bound, n}; }
    auto member() const {
        return [r = room](std::size_t p) { return r[p] != 0.0; };
    }
};

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The candidate sweeps of the two phases. Each select takes one compare and
// the outputs are restrict parameters, which keeps the sweeps in vector
// registers. The crossing search counts the candidates (their rooms are the
// non-zero ones): a count kept here is summed in order, lane by lane.
// Reduce: down to the floor, lifted securities to their previous weight,
// held ones to 0; no room (weight_chg <= 0) is no candidate.
KESTREL_INLINE void reduce_candidates(const double* model_value, const double* pre_weight, const double* out,
                                      std::size_t n, double r, double* __restrict key, double* __restrict bound,
                                      double* __restrict room) {
    for (std::size_t i = 0; i < n; ++i) {
        const double s = model_value[i];
        const bool pos = s >= r, mid = std::abs(s) < r;
        // Loaded whatever the select: a conditional load becomes a branch.
        const double pre = pre_weight[i];
        const double floor = pos ? pre : 0.0;
        const double chg = out[i] - floor;
        const double movable = chg <= 0.0 ? 0.0 : chg;
        const double rm = pos ? movable : (mid ? movable : 0.0);
        const double k = pos ? s - r : s + r;
        key[i] = rm != 0.0 ? k : kNaN;
        bound[i] = floor;
        room[i] = rm;
    }
}

// Add: up to the ceiling, securities taken to zero back to min(previous,
// cap), held ones to their cap; already there is no candidate.
KESTREL_INLINE void add_candidates(const double* model_value, const double* pre_weight, const double* each_max_weight,
                                   const double* out, std::size_t n, double r, double* __restrict key,
                                   double* __restrict bound, double* __restrict room) {
    for (std::size_t i = 0; i < n; ++i) {
        const double s = model_value[i];
        const bool neg = s <= -r, mid = std::abs(s) < r;
        const double pre = pre_weight[i], cap = each_max_weight[i];
        const double ceiling = neg ? num::minimum(pre, cap) : cap;
        const double movable = out[i] >= ceiling ? 0.0 : ceiling - out[i];
        const double rm = neg ? movable : (mid ? movable : 0.0);
        const double k = neg ? s + r : s - r;
        key[i] = rm != 0.0 ? k : kNaN;
        bound[i] = ceiling;
        room[i] = rm;
    }
}

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
        // Lowest key first.
        Candidates cand(ws, n);
        reduce_candidates(model_value.data(), pre_weight.data(), out.data(), n, r, cand.key, cand.bound, cand.room);
        const Crossing c = find_crossing(cand.keys(n), cand.rooms(n), kCountRooms, cand.member(), cur_sum - secu_pct,
                                         ws.crossing, Ascending{}, out, cand.bounds(n));
        if (c.reached) out[c.pos] = cand.bound[c.pos] + c.excess;
    } else if (cur_sum < secu_pct) {
        // Highest key first.
        Candidates cand(ws, n);
        add_candidates(model_value.data(), pre_weight.data(), each_max_weight.data(), out.data(), n, r, cand.key,
                       cand.bound, cand.room);
        const Crossing c = find_crossing(cand.keys(n), cand.rooms(n), kCountRooms, cand.member(), secu_pct - cur_sum,
                                         ws.crossing, Descending{}, out, cand.bounds(n));
        if (c.reached) out[c.pos] = cand.bound[c.pos] - c.excess;
    }

    const double total = num::sum(CSpan(out.data(), n));
    if (std::abs(total - secu_pct) >= 0.001)
        throw PositionError(kWrongPosition, "CheckPosition: " + fmt::repr(std::abs(total)), total, secu_pct,
                            num::sum(each_max_weight));
    std::string diag = cap_violations(out, each_max_weight, 0.0001);
    if (!diag.empty()) throw PositionError(kWrongPosition, std::move(diag));
}

}  // namespace kestrel::position

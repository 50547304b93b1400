#include "position/rebalance.hpp"

#include <cstring>
#include <type_traits>

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

// The candidate sweeps of the two phases, four securities at a time in two
// sets of registers, gathering the crossing search's key range on the way.
// Every select takes one compare; a candidate's key is NaN-free or it has
// no room. |s| < r is written as -r < s < r, equal for every s and r.
using detail::Lanes4;

// Reduce: down to the floor, lifted securities to their previous weight,
// held ones to 0; no room (weight_chg <= 0) is no candidate.
struct Reduce {
    using Order = Ascending;
    template <class V>
    KESTREL_INLINE static void one(const V& s, const V& pre, const V& cap, const V& w, const V& r, const V& zero,
                                   const V& nan, V& key, V& bound, V& room) {
        (void)cap;
        const auto pos = s >= r;
        const auto mid = (s < r) & (s > -r);
        const V floor = pos ? pre : zero;
        const V chg = w - floor;
        const V movable = chg <= zero ? zero : chg;
        room = (pos | mid) ? movable : zero;
        key = room != zero ? (pos ? s - r : s + r) : nan;
        bound = floor;
    }
};

// Reduce within bounds: as Reduce, never below `lower`, which comes in the
// place of the caps (Reduce reads none).
struct ReduceWithin {
    using Order = Ascending;
    template <class V>
    KESTREL_INLINE static void one(const V& s, const V& pre, const V& lower, const V& w, const V& r, const V& zero,
                                   const V& nan, V& key, V& bound, V& room) {
        const auto pos = s >= r;
        const auto mid = (s < r) & (s > -r);
        const V unbounded = pos ? pre : zero;
        const V floor = unbounded > lower ? unbounded : lower;
        const V chg = w - floor;
        const V movable = chg <= zero ? zero : chg;
        room = (pos | mid) ? movable : zero;
        key = room != zero ? (pos ? s - r : s + r) : nan;
        bound = floor;
    }
};

// Add: up to the ceiling, securities taken to zero back to min(previous,
// cap), held ones to their cap; already there is no candidate.
struct Add {
    using Order = Descending;
    template <class V>
    KESTREL_INLINE static void one(const V& s, const V& pre, const V& cap, const V& w, const V& r, const V& zero,
                                   const V& nan, V& key, V& bound, V& room) {
        const auto neg = s <= -r;
        const auto mid = (s < r) & (s > -r);
        const V smaller = pre < cap ? pre : cap;
        const V ceiling = neg ? (pre != pre ? pre : smaller) : cap;  // NaN-propagating minimum
        const V movable = w >= ceiling ? zero : ceiling - w;
        room = (neg | mid) ? movable : zero;
        key = room != zero ? (neg ? s + r : s - r) : nan;
        bound = ceiling;
    }
};

// The candidates of one phase, and the range of their keys.
template <class Phase>
KESTREL_INLINE KeyRange candidates(const double* model_value, const double* pre_weight, const double* each_max_weight,
                                   const double* out, std::size_t n, double r, double* __restrict key,
                                   double* __restrict bound, double* __restrict room) {
    using Order = typename Phase::Order;
    detail::RangeAccumulator range;
    const Lanes4 zero{}, vr = zero + r, nan = zero + kNaN;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8)
        for (std::size_t a = 0; a < 2; ++a) {
            const std::size_t p = i + 4 * a;
            Lanes4 s, pre, cap, w, k, b, rm;
            std::memcpy(&s, model_value + p, sizeof s);
            std::memcpy(&pre, pre_weight + p, sizeof pre);
            std::memcpy(&cap, each_max_weight + p, sizeof cap);
            std::memcpy(&w, out + p, sizeof w);
            Phase::one(s, pre, cap, w, vr, zero, nan, k, b, rm);
            std::memcpy(key + p, &k, sizeof k);
            std::memcpy(bound + p, &b, sizeof b);
            std::memcpy(room + p, &rm, sizeof rm);
            range.add(a, Order::kNegated ? -k : k, rm);
        }
    for (; i < n; ++i) {
        Phase::one(model_value[i], pre_weight[i], each_max_weight[i], out[i], r, 0.0, kNaN, key[i], bound[i], room[i]);
        range.add(Order::ascending_key(key[i]), room[i]);
    }
    return range.result();
}

// Initial weight: lifted to the cap, taken to the floor, or held at
// min(previous, cap). A score of exactly 0 with r = 0 is both lifted and
// taken, and ends at the floor; a NaN score is in no list and stays at the
// floor.
KESTREL_INLINE double initial_weight(double s, double cap, double pre, double floor, double r) {
    double w = s >= r ? cap : floor;
    w = s <= -r ? floor : w;
    return std::abs(s) < r ? num::minimum(pre, cap) : w;
}

// The rebalance; with kWithin every weight starts at or above the lower
// bound and `caps` are the caps within the bounds. Returns the total.
template <bool kWithin>
KESTREL_INLINE double rebalance_of(CSpan model_value, CSpan caps, const TradeLimits& limits,
                                   std::span<const Index> blocked, double secu_pct, CSpan pre_weight, double risk_cost,
                                   Workspace& ws, MSpan out) {
    const std::size_t n = model_value.size();
    const double r = risk_cost;

    // The floor is 0 but at the blocked names, which are done again after.
    for (std::size_t i = 0; i < n; ++i) out[i] = initial_weight(model_value[i], caps[i], pre_weight[i], 0.0, r);
    if constexpr (kWithin)
        for (const Index j : blocked) {
            const auto i = static_cast<std::size_t>(j);
            out[i] = initial_weight(model_value[i], caps[i], pre_weight[i], limits.lower[i], r);
        }
    const double cur_sum = num::sum(CSpan(out.data(), n));

    if (cur_sum > secu_pct) {
        // Lowest key first.
        Candidates cand(ws, n);
        using Phase = std::conditional_t<kWithin, ReduceWithin, Reduce>;
        const double* third = kWithin ? limits.lower.data() : caps.data();
        const KeyRange range = candidates<Phase>(model_value.data(), pre_weight.data(), third, out.data(), n, r,
                                                 cand.key, cand.bound, cand.room);
        const Crossing c = find_crossing(cand.keys(n), cand.rooms(n), kCountRooms, cand.member(), cur_sum - secu_pct,
                                         ws.crossing, Ascending{}, out, cand.bounds(n), range);
        if (c.reached) out[c.pos] = cand.bound[c.pos] + c.excess;
    } else if (cur_sum < secu_pct) {
        // Highest key first.
        Candidates cand(ws, n);
        const KeyRange range = candidates<Add>(model_value.data(), pre_weight.data(), caps.data(), out.data(), n, r,
                                               cand.key, cand.bound, cand.room);
        const Crossing c = find_crossing(cand.keys(n), cand.rooms(n), kCountRooms, cand.member(), secu_pct - cur_sum,
                                         ws.crossing, Descending{}, out, cand.bounds(n), range);
        if (c.reached) out[c.pos] = cand.bound[c.pos] - c.excess;
    }
    return num::sum(CSpan(out.data(), n));
}

}  // namespace

KESTREL_HOT void rebalance(CSpan model_value, CSpan each_max_weight, double secu_pct, CSpan pre_weight,
                           double risk_cost, Workspace& ws, MSpan out) {
    const double total =
        rebalance_of<false>(model_value, each_max_weight, {}, {}, secu_pct, pre_weight, risk_cost, ws, out);
    if (std::abs(total - secu_pct) >= 0.001)
        throw PositionError(kWrongPosition, "CheckPosition: " + fmt::repr(std::abs(total)), total, secu_pct,
                            num::sum(each_max_weight));
    std::string diag = cap_violations(out, each_max_weight, 0.0001);
    if (!diag.empty()) throw PositionError(kWrongPosition, std::move(diag));
}

KESTREL_HOT bool rebalance_within(CSpan model_value, MSpan each_max_weight, const TradeLimits& limits, double secu_pct,
                                  CSpan pre_weight, double risk_cost, Workspace& ws, MSpan out) {
    const std::span<const Index> blocked = limits.blocked;
    const CapsWithin caps(each_max_weight, limits, blocked, ws.saved_caps);
    const double total =
        rebalance_of<true>(model_value, each_max_weight, limits, blocked, secu_pct, pre_weight, risk_cost, ws, out);
    std::string diag = cap_violations(out, each_max_weight, 0.0001);
    if (!diag.empty()) throw PositionError(kWrongPosition, std::move(diag));
    return std::abs(total - secu_pct) < 0.001;
}

}  // namespace kestrel::position

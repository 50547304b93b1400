#include "position/capped_fill.hpp"

#include <algorithm>

#include "common/format.hpp"
#include "position/crossing.hpp"

namespace kestrel::position {

KESTREL_HOT std::string cap_violations(CSpan position, CSpan each_max_weight, double tolerance) {
    // Almost always none: a counting sweep (vectorised) decides first.
    std::size_t over = 0;
    for (std::size_t i = 0; i < position.size(); ++i) over += position[i] - each_max_weight[i] >= tolerance;
    if (over == 0) return {};
    std::vector<Index> err_idx;
    for (std::size_t i = 0; i < position.size(); ++i)
        if (position[i] - each_max_weight[i] >= tolerance) err_idx.push_back(static_cast<Index>(i));
    if (err_idx.empty()) return {};
    Vec weights, caps;
    for (Index i : err_idx) {
        weights.push_back(position[i]);
        caps.push_back(each_max_weight[i]);
    }
    return fmt::indices(err_idx) + " " + fmt::vec(weights) + " " + fmt::vec(caps);
}

KESTREL_HOT void capped_fill(CSpan cur_model_value, CSpan each_max_weight, double secu_pct, Workspace& ws, MSpan out) {
    std::fill(out.begin(), out.end(), 0.0);
    const Crossing c = find_crossing(
        cur_model_value, each_max_weight, out.size(), [](std::size_t) { return true; }, secu_pct, ws.crossing,
        Descending{}, out, each_max_weight);
    if (c.reached) out[c.pos] = each_max_weight[c.pos] - c.excess;

    const double total = num::sum(CSpan(out.data(), out.size()));
    if (std::abs(total - secu_pct) >= 0.0001)
        throw PositionError(kWrongPosition, {}, total, secu_pct, num::sum(each_max_weight));
    std::string diag = cap_violations(out, each_max_weight, 0.0001);
    if (!diag.empty()) throw PositionError(kWrongPositionMaxWeight, std::move(diag));
}

KESTREL_HOT bool capped_fill_within(CSpan cur_model_value, MSpan each_max_weight, const TradeLimits& limits,
                                    double secu_pct, Workspace& ws, MSpan out) {
    // The fill of the unbounded mapping over rooms above the floors, which
    // differ from the caps only at the few blocked names (changed in place
    // for the fill); the floors are added back at the end. Names that
    // cannot be sold hold their floor whatever their score, so only what is
    // left of the target is filled.
    const std::size_t n = out.size();
    const std::span<const Index> blocked = limits.blocked;
    const CSpan lower = limits.lower;
    bool over = false;
    {
        const CapsWithin rooms(each_max_weight, limits, blocked, ws.saved_caps, true);
        const CSpan room = each_max_weight;
        std::fill(out.begin(), out.end(), 0.0);
        const double target = secu_pct - limits.lower_total;
        if (target > 0.0) {
            const Crossing c = find_crossing(
                cur_model_value, room, n, [](std::size_t) { return true; }, target, ws.crossing, Descending{}, out,
                room);
            if (c.reached) out[c.pos] = room[c.pos] - c.excess;
        }
        over = !cap_violations(out, room, 0.0001).empty();
    }
    for (const Index j : blocked) out[static_cast<std::size_t>(j)] += lower[static_cast<std::size_t>(j)];
    if (over) {
        const CapsWithin caps(each_max_weight, limits, blocked, ws.saved_caps);
        throw PositionError(kWrongPositionMaxWeight, cap_violations(out, each_max_weight, 0.0001));
    }
    return std::abs(num::sum(CSpan(out.data(), n)) - secu_pct) < 0.0001;
}

}  // namespace kestrel::position

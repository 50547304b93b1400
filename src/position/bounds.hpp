// What a date may trade: per-security bounds from names that cannot be
// bought or sold, and a cap on the date's one-way turnover. The mappings
// honour the bounds themselves; the cap scales their trade back afterwards.
#pragma once

#include <limits>

#include "position/workspace.hpp"

namespace kestrel::position {

struct TradeLimits {
    // Empty: no bounds. lower[i] is the previous weight where selling is
    // blocked, else 0; upper[i] the previous weight where buying is blocked,
    // else infinity. Never relaxed, not even for a cap.
    CSpan lower, upper;
    // One-way turnover allowed from pre_weight; infinity: no cap.
    double max_turnover = std::numeric_limits<double>::infinity();

    bool bounded() const { return !lower.empty(); }
    bool capped() const { return max_turnover < std::numeric_limits<double>::infinity(); }
};

// out[i] = min(max(cap[i], lower[i]), upper[i]), NaN-propagating: a name
// held above its cap that cannot be sold keeps its weight, one that cannot
// be bought stays at or below its weight.
void bounded_caps(CSpan caps, CSpan lower, CSpan upper, MSpan out);

// Brings w inside [lower, upper] keeping its total at secu_pct where the
// bounds allow: names at a bound are fixed there, the others rescaled
// together, again while a rescaled name crosses its bound. A w already
// inside is left as it is, bit for bit. When the fixed names alone exceed
// secu_pct (or nothing is left free to scale) the total is the nearest the
// bounds allow.
void fit_to_bounds(CSpan lower, CSpan upper, double secu_pct, Workspace& ws, MSpan w);

// One-way turnover, half the sum of |w - pre|.
double one_way_turnover(CSpan w, CSpan pre);

// Where w trades more than max_turnover from pre, w = pre + a (w - pre) with
// a = max_turnover / turnover (a hair less, for rounding): a convex step, so bounds that hold at both
// ends hold after it, and so does the total when both rows sum alike.
void cap_turnover(CSpan pre, double max_turnover, MSpan w);

}  // namespace kestrel::position

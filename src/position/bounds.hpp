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
    double lower_total = 0.0;  // the sum of lower: what the names that cannot be sold hold
    // The securities with a block, ascending: the only ones whose bounds
    // are not [0, infinity). Set whenever the bounds are.
    std::span<const Index> blocked;
    // One-way turnover allowed from pre_weight; infinity: no cap.
    double max_turnover = std::numeric_limits<double>::infinity();

    bool bounded() const { return !lower.empty(); }
    bool capped() const { return max_turnover < std::numeric_limits<double>::infinity(); }
};

// A cap within bounds, min(max(cap, lower), upper), NaN-propagating: a
// name held above its cap that cannot be sold keeps its weight, one that
// cannot be bought stays at or below its weight.
inline double bounded_cap(double cap, double lower, double upper) {
    return num::minimum(num::maximum(cap, lower), upper);
}

// The caps within the bounds, in place for as long as it lives: caps[i] =
// bounded_cap(caps[i], lower[i], upper[i]) - (less_lower ? lower[i] : 0)
// at the blocked securities, whose own caps it puts back when it goes.
// Elsewhere the bounds are [0, infinity), which leave a cap as it is, so a
// pass changes and restores only the few blocked names.
class CapsWithin {
public:
    CapsWithin(MSpan caps, const TradeLimits& limits, std::span<const Index> blocked, Vec& saved,
               bool less_lower = false);
    ~CapsWithin();
    CapsWithin(const CapsWithin&) = delete;
    CapsWithin& operator=(const CapsWithin&) = delete;

private:
    MSpan caps_;
    std::span<const Index> blocked_;
    Vec& saved_;
};

// Brings w inside [lower, upper] keeping its total at secu_pct where the
// bounds allow: names at a bound are fixed there, the others rescaled
// together, again while a rescaled name crosses its bound. A w already
// inside is left as it is, bit for bit. When the fixed names alone exceed
// secu_pct (or nothing is left free to scale) the total is the nearest the
// bounds allow.
void fit_to_bounds(const TradeLimits& limits, double secu_pct, Workspace& ws, MSpan w);

// Where w trades more than max_turnover from pre (one-way turnover, half
// the sum of |w - pre|), the step a that brings it within:
// a = max_turnover / turnover (a hair less, for rounding); 1 where the trade
// is within the cap.
double turnover_step(CSpan pre, double max_turnover, CSpan w);

// w = pre + a (w - pre): a convex step, so bounds that hold at both ends
// hold after it, and so does the total when both rows sum alike.
void take_turnover_step(CSpan pre, double a, MSpan w);

}  // namespace kestrel::position

// Turnover-cost rebalance: scores beyond +-risk_cost trade to the cap or to
// zero, scores inside the band hold their previous weight; a reduce or add
// phase then meets secu_pct from the weakest or strongest candidates.
#pragma once

#include "position/bounds.hpp"
#include "position/position_error.hpp"
#include "position/workspace.hpp"

namespace kestrel::position {

// Throws PositionError ("Wrong Position Error") when the result misses
// secu_pct by 0.001 or more (diagnostic "CheckPosition: |sum|") or a weight
// exceeds its cap by 1e-4 or more (diagnostic lists the offenders).
void rebalance(CSpan model_value, CSpan each_max_weight, double secu_pct, CSpan pre_weight, double risk_cost,
               Workspace& ws, MSpan out);

// The rebalance within bounds: a security taken out goes down to
// limits.lower rather than 0, and caps are the caps within the bounds
// (position::bounded_cap; each_max_weight is changed at the blocked names
// while the rebalance runs, and is as it was on return). Returns whether
// the total came within 0.001 of secu_pct instead of throwing; a weight
// above its cap throws as rebalance does.
bool rebalance_within(CSpan model_value, MSpan each_max_weight, const TradeLimits& limits, double secu_pct,
                      CSpan pre_weight, double risk_cost, Workspace& ws, MSpan out);

}  // namespace kestrel::position

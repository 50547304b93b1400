// Capped fill: best score first, each security filled to its cap until the
// running total reaches secu_pct.
#pragma once

#include "position/bounds.hpp"
#include "position/position_error.hpp"
#include "position/workspace.hpp"

namespace kestrel::position {

// Throws PositionError when the caps cannot supply secu_pct (tolerance 1e-4)
// or a weight exceeds its cap by 1e-4 or more.
void capped_fill(CSpan cur_model_value, CSpan each_max_weight, double secu_pct, Workspace& ws, MSpan out);

// The fill within bounds: every security starts at its floor limits.lower,
// and the rest of secu_pct goes to the best scores up to their caps within
// the bounds (position::bounded_cap). Returns whether the total came within
// 1e-4 of secu_pct instead of throwing; a weight above its bounded cap
// throws as capped_fill does. each_max_weight is changed at the blocked
// names while the fill runs, and is as it was on return.
bool capped_fill_within(CSpan cur_model_value, MSpan each_max_weight, const TradeLimits& limits, double secu_pct,
                        Workspace& ws, MSpan out);

// Lists the securities whose weight exceeds its cap by `tolerance` or more as
// "[indices] [weights] [caps]"; empty when there are none.
std::string cap_violations(CSpan position, CSpan each_max_weight, double tolerance);

}  // namespace kestrel::position

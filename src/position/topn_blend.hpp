// Top-N blend mapping: no caps; keeps the num_long best blended scores.
#pragma once

#include "position/workspace.hpp"

namespace kestrel::position {

// num_long follows slice semantics: negative counts drop that many from the
// end of the ranking, counts beyond n select everything.
void top_n_blend(CSpan cur_model_value, Index num_long, double secu_pct, CSpan bench_weight, double bench_coeff,
                 CSpan pre_weight, double pre_coeff, Workspace& ws, MSpan out);

}  // namespace kestrel::position

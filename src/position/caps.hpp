// Per-security weight caps.
#pragma once

#include "common/numeric.hpp"

namespace kestrel::position {

// Caps proportional to the positive part of the score, summing to weight_multi,
// then the optional ceiling (max_weight > 0), then the benchmark and
// previous-weight floors. A zero or NaN positive sum makes every cap NaN.
void max_weight_caps(CSpan model_value, double weight_multi, CSpan cur_bench, double bench_coeff, CSpan pre_weight,
                     double pre_coeff, double max_weight, MSpan out);

// One uniform cap raised to the two floors, then the optional ceiling: with a
// ceiling set no cap exceeds it.
void equal_caps(std::size_t n, double each_single_weight, CSpan cur_bench, double bench_coeff, CSpan pre_weight,
                double pre_coeff, double max_weight, MSpan out);

}  // namespace kestrel::position

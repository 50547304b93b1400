// Positions of the non-zero entries of a vector, in ascending order.
#pragma once

#include "common/numeric.hpp"

namespace kestrel::num {

// out = every i with x[i] != 0 (NaN counts as non-zero).
void nonzero(CSpan x, std::vector<Index>& out);

}  // namespace kestrel::num

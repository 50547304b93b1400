// Active exposure of a portfolio against its benchmark.
#pragma once

#include "common/numeric.hpp"

namespace kestrel::risk {

// Plain sum of factor[i] * weight[i] (NaN is not skipped).
double weighted_sum(CSpan factor, CSpan weight);

// Rows of a K x n matrix addressed through a row stride, so that a caller's
// buffer or a gathered block serves without reshaping.
struct FactorRows {
    const double* data = nullptr;
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::size_t row_stride = 0;
    CSpan row(std::size_t k) const { return {data + k * row_stride, cols}; }
};

// exposure[k] = sum_i rows[k][i] * weight[i], for every row.
void exposures(const FactorRows& rows, CSpan weight, MSpan out);

// The same over the listed holdings only: terms of zero weight contribute 0
// unless the factor value is NaN or infinite, which then must still reach the
// sum, so rows flagged in `nonfinite_row` fall back to the full sum.
void exposures_over(const FactorRows& rows, CSpan weight, const std::vector<Index>& holdings,
                    const std::vector<char>& nonfinite_row, MSpan out);

}  // namespace kestrel::risk

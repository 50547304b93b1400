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

// The factor block laid out security by security (n x K), for sums over a
// few securities that run across all K factors at once.
struct SecurityMajor {
    Vec values;              // values[i * k + j] = rows[j][i]
    std::size_t k = 0;
    bool all_finite = true;  // false: a zero weight may still carry a NaN product
    void assign(const FactorRows& rows);
};

// exposure[j] = sum over the listed securities of weight[i] * factor j of i.
// Equal to the full sum when every unlisted weight is 0 and all values are
// finite (then each skipped term is exactly 0).
void exposures_over(const SecurityMajor& block, CSpan weight, const std::vector<Index>& listed, MSpan out);

}  // namespace kestrel::risk

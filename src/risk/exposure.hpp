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

// The factor block laid out security by security, for sums over a few
// securities that run across all K factors at once. Blocks may sit in any
// order (the order the library's columns were read in): slot maps a security
// to its block.
// Each block is padded with zeros to whole vectors of kLanes, so that the
// sums over securities run in registers a vector at a time.
struct SecurityMajor {
    static constexpr std::size_t kLanes = 8;
    Vec values;               // values[slot[i] * stride + j] = factor j of security i
    std::vector<Index> slot;  // n entries
    std::size_t k = 0;
    std::size_t stride = 0;  // k rounded up to whole vectors; the padding is 0
    bool all_finite = true;  // false: a zero weight may still carry a NaN product
    const double* of(std::size_t i) const { return values.data() + static_cast<std::size_t>(slot[i]) * stride; }
    std::size_t size() const { return slot.size(); }
    // Sets k and stride and sizes the block for n securities.
    void shape(std::size_t n, std::size_t factors) {
        k = factors;
        stride = (factors + kLanes - 1) / kLanes * kLanes;
        values.resize(n * stride);
        slot.resize(n);
    }
};

// exposure[j] = sum_i factor j of i * weight[i], numpy's pairwise sum over i
// (NaN is not skipped), for every j.
void exposures(const SecurityMajor& block, CSpan weight, MSpan out);

// exposure[j] = sum over the listed securities of weight[i] * factor j of i.
// Equal to the full sum when every unlisted weight is 0 and all values are
// finite (then each skipped term is exactly 0).
void exposures_over(const SecurityMajor& block, CSpan weight, const std::vector<Index>& listed, MSpan out);

}  // namespace kestrel::risk

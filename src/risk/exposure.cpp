#include "risk/exposure.hpp"

#include <algorithm>

namespace kestrel::risk {

KESTREL_HOT double weighted_sum(CSpan factor, CSpan weight) {
    return num::pairwise_sum(0, factor.size(), [&](std::size_t i) { return factor[i] * weight[i]; });
}

void exposures(const FactorRows& rows, CSpan weight, MSpan out) {
    for (std::size_t k = 0; k < rows.rows; ++k) out[k] = weighted_sum(rows.row(k), weight);
}

void exposures(const SecurityMajor& block, CSpan weight, MSpan out) {
    for (std::size_t j = 0; j < block.k; ++j)
        out[j] = num::pairwise_sum(0, block.size(), [&](std::size_t i) { return block.of(i)[j] * weight[i]; });
}

KESTREL_HOT void exposures_over(const SecurityMajor& block, CSpan weight, const std::vector<Index>& listed, MSpan out) {
    const std::size_t k = block.k;
    std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(k), 0.0);
    double* acc = out.data();
    for (const Index i : listed) {
        const double w = weight[i];
        const double* v = block.of(static_cast<std::size_t>(i));
        for (std::size_t j = 0; j < k; ++j) acc[j] += v[j] * w;
    }
}

}  // namespace kestrel::risk

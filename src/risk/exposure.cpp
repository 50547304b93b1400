#include "risk/exposure.hpp"

#include <algorithm>
#include <cstring>

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

namespace {

// One vector of factors; split into narrower registers where needed.
typedef double Lanes __attribute__((vector_size(SecurityMajor::kLanes * sizeof(double))));

// Sums of factors [j0, j0 + 8 * C) over the listed securities, kept in
// registers: each is summed in list order, as one accumulator would.
template <std::size_t C>
KESTREL_INLINE void exposures_over_group(const SecurityMajor& block, const double* weight, const Index* listed,
                                         std::size_t m, std::size_t j0, double* out) {
    Lanes acc[C] = {};
    for (std::size_t p = 0; p < m; ++p) {
        const Index i = listed[p];
        const double wi = weight[i];
        const double* v = block.of(static_cast<std::size_t>(i)) + j0;
        for (std::size_t c = 0; c < C; ++c) {
            Lanes x;
            std::memcpy(&x, v + c * SecurityMajor::kLanes, sizeof x);
            acc[c] += x * wi;
        }
    }
    double sums[C * SecurityMajor::kLanes];
    std::memcpy(sums, acc, sizeof sums);
    const std::size_t end = std::min(block.k, j0 + C * SecurityMajor::kLanes);
    for (std::size_t j = j0; j < end; ++j) out[j] = sums[j - j0];
}

}  // namespace

KESTREL_HOT void exposures_over(const SecurityMajor& block, CSpan weight, const std::vector<Index>& listed, MSpan out) {
    const double* w = weight.data();
    const Index* l = listed.data();
    const std::size_t m = listed.size();
    // Up to six vectors of factors per walk over the list.
    constexpr std::size_t lanes = SecurityMajor::kLanes;
    for (std::size_t j0 = 0; j0 < block.k;) {
        const std::size_t c = std::min<std::size_t>((block.stride - j0) / lanes, 6);
        switch (c) {
            case 1:
                exposures_over_group<1>(block, w, l, m, j0, out.data());
                break;
            case 2:
                exposures_over_group<2>(block, w, l, m, j0, out.data());
                break;
            case 3:
                exposures_over_group<3>(block, w, l, m, j0, out.data());
                break;
            case 4:
                exposures_over_group<4>(block, w, l, m, j0, out.data());
                break;
            case 5:
                exposures_over_group<5>(block, w, l, m, j0, out.data());
                break;
            default:
                exposures_over_group<6>(block, w, l, m, j0, out.data());
                break;
        }
        j0 += c * lanes;
    }
}

}  // namespace kestrel::risk

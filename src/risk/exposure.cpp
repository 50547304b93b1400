#include "risk/exposure.hpp"

namespace kestrel::risk {

double weighted_sum(CSpan factor, CSpan weight) {
    return num::pairwise_sum(0, factor.size(),
                             [&](std::size_t i) { return factor[i] * weight[i]; });
}

void exposures(const FactorRows& rows, CSpan weight, MSpan out) {
    for (std::size_t k = 0; k < rows.rows; ++k) out[k] = weighted_sum(rows.row(k), weight);
}

void exposures_over(const FactorRows& rows, CSpan weight, const std::vector<Index>& holdings,
                    const std::vector<char>& nonfinite_row, MSpan out) {
    const std::size_t m = holdings.size();
    for (std::size_t k = 0; k < rows.rows; ++k) {
        const CSpan f = rows.row(k);
        if (nonfinite_row[k]) {
            out[k] = weighted_sum(f, weight);
            continue;
        }
        out[k] = num::pairwise_sum(0, m, [&](std::size_t j) {
            const Index i = holdings[j];
            return f[i] * weight[i];
        });
    }
}

}  // namespace kestrel::risk

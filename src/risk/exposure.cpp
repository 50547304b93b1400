#include "risk/exposure.hpp"

#include <algorithm>
#include <limits>

namespace kestrel::risk {

KESTREL_HOT double weighted_sum(CSpan factor, CSpan weight) {
    return num::pairwise_sum(0, factor.size(), [&](std::size_t i) { return factor[i] * weight[i]; });
}

void exposures(const FactorRows& rows, CSpan weight, MSpan out) {
    for (std::size_t k = 0; k < rows.rows; ++k) out[k] = weighted_sum(rows.row(k), weight);
}

namespace {

// Out of the member so that it can be multiversioned.
KESTREL_HOT bool transpose(const FactorRows& rows, double* out) {
    const std::size_t k = rows.rows;
    bool finite = true;
    for (std::size_t j = 0; j < k; ++j) {
        const double* r = rows.row(j).data();
        bool row_finite = true;
        for (std::size_t i = 0; i < rows.cols; ++i) {
            out[i * k + j] = r[i];
            row_finite &= std::abs(r[i]) <= std::numeric_limits<double>::max();
        }
        finite &= row_finite;
    }
    return finite;
}

}  // namespace

void SecurityMajor::assign(const FactorRows& rows) {
    k = rows.rows;
    values.resize(rows.rows * rows.cols);
    all_finite = transpose(rows, values.data());
}

KESTREL_HOT void exposures_over(const SecurityMajor& block, CSpan weight, const std::vector<Index>& listed, MSpan out) {
    const std::size_t k = block.k;
    std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(k), 0.0);
    double* acc = out.data();
    for (const Index i : listed) {
        const double w = weight[i];
        const double* v = block.values.data() + static_cast<std::size_t>(i) * k;
        for (std::size_t j = 0; j < k; ++j) acc[j] += v[j] * w;
    }
}

}  // namespace kestrel::risk

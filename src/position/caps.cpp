#include "position/caps.hpp"

#include <limits>

namespace kestrel::position {

using num::maximum;
using num::minimum;

KESTREL_HOT void max_weight_caps(CSpan model_value, double weight_multi, CSpan cur_bench, double bench_coeff,
                                 CSpan pre_weight, double pre_coeff, double max_weight, MSpan out) {
    const std::size_t n = model_value.size();
    // The positive parts are summed as they are made and made again below:
    // cheaper than a sweep that stores them and one that reads them back.
    const double* mv = model_value.data();
    const double sum_positive = num::pairwise_sum(0, n, [mv](std::size_t i) { return maximum(mv[i], 0.0); });
    // No ceiling is an infinite one: min(cap, inf) is cap, NaN included.
    const double ceiling = max_weight > 0.0 ? max_weight : std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < n; ++i) {
        const double share = maximum(mv[i], 0.0), bench = cur_bench[i], pre = pre_weight[i];
        double cap = minimum(maximum(share / sum_positive * weight_multi, 0.0), ceiling);
        cap = maximum(cap, bench * bench_coeff);
        out[i] = maximum(cap, pre * pre_coeff);
    }
}

KESTREL_HOT void equal_caps(std::size_t n, double each_single_weight, CSpan cur_bench, double bench_coeff,
                            CSpan pre_weight, double pre_coeff, double max_weight, MSpan out) {
    const double ceiling = max_weight > 0.0 ? max_weight : std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < n; ++i) {
        const double bench = cur_bench[i], pre = pre_weight[i];
        const double cap = maximum(maximum(each_single_weight, bench * bench_coeff), pre * pre_coeff);
        out[i] = minimum(cap, ceiling);
    }
}

}  // namespace kestrel::position

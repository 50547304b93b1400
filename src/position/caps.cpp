#include "position/caps.hpp"

namespace kestrel::position {

using num::maximum;
using num::minimum;

void max_weight_caps(CSpan model_value, double weight_multi, CSpan cur_bench, double bench_coeff,
                     CSpan pre_weight, double pre_coeff, double max_weight, MSpan out) {
    const std::size_t n = model_value.size();
    for (std::size_t i = 0; i < n; ++i) out[i] = maximum(model_value[i], 0.0);
    const double sum_positive = num::sum(CSpan(out.data(), n));
    const bool ceiling = max_weight > 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double cap = maximum(out[i] / sum_positive * weight_multi, 0.0);
        if (ceiling) cap = minimum(cap, max_weight);
        cap = maximum(cap, cur_bench[i] * bench_coeff);
        out[i] = maximum(cap, pre_weight[i] * pre_coeff);
    }
}

void equal_caps(std::size_t n, double each_single_weight, CSpan cur_bench, double bench_coeff,
                CSpan pre_weight, double pre_coeff, double max_weight, MSpan out) {
    const bool ceiling = max_weight > 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double cap = maximum(each_single_weight, cur_bench[i] * bench_coeff);
        cap = maximum(cap, pre_weight[i] * pre_coeff);
        out[i] = ceiling ? minimum(cap, max_weight) : cap;
    }
}

}  // namespace kestrel::position

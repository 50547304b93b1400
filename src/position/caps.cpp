#include "position/caps.hpp"

#include <cstdint>
#include <cstring>
#include <limits>

namespace kestrel::position {

using num::maximum;
using num::minimum;

namespace {

// The caps as plain selects, which are the hardware's max and min: equal to
// maximum/minimum wherever no operand is NaN. Returns false, with out
// unfinished, when one was, to leave those to the NaN-propagating loop.
// Written in vector registers: a NaN flag kept by the compiler would be a
// scalar reduction that stops the loop vectorising.
KESTREL_INLINE bool plain_caps(const double* mv, double sum_positive, double weight_multi, const double* bench,
                               double bench_coeff, const double* pre, double pre_coeff, double ceiling, std::size_t n,
                               double* out) {
    typedef double Lanes __attribute__((vector_size(4 * sizeof(double))));
    typedef std::int64_t Mask __attribute__((vector_size(4 * sizeof(std::int64_t))));
    constexpr std::size_t kLanes = 4;
    const Lanes zero{}, top = zero + ceiling, scale = zero + sum_positive, multi = zero + weight_multi,
                        bc = zero + bench_coeff, pc = zero + pre_coeff;
    Mask nan{};
    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        Lanes m, b, p;
        std::memcpy(&m, mv + i, sizeof m);
        std::memcpy(&b, bench + i, sizeof b);
        std::memcpy(&p, pre + i, sizeof p);
        const Lanes share = m > zero ? m : zero;
        const Lanes x = share / scale * multi;
        const Lanes bb = b * bc, pp = p * pc;
        Lanes cap = x > zero ? x : zero;
        cap = cap < top ? cap : top;
        cap = cap > bb ? cap : bb;
        cap = cap > pp ? cap : pp;
        // A NaN pp is kept by the last select as maximum keeps it.
        nan |= (m != m) | (x != x) | (bb != bb);
        std::memcpy(out + i, &cap, sizeof cap);
    }
    bool clean = true;
    for (std::size_t j = 0; j < kLanes; ++j) clean &= nan[j] == 0;
    for (; i < n && clean; ++i) {
        const double share = maximum(mv[i], 0.0), bb = bench[i] * bench_coeff, pp = pre[i] * pre_coeff;
        double cap = minimum(maximum(share / sum_positive * weight_multi, 0.0), ceiling);
        cap = maximum(cap, bb);
        out[i] = maximum(cap, pp);
    }
    return clean;
}

}  // namespace

KESTREL_HOT void max_weight_caps(CSpan model_value, double weight_multi, CSpan cur_bench, double bench_coeff,
                                 CSpan pre_weight, double pre_coeff, double max_weight, MSpan out) {
    const std::size_t n = model_value.size();
    // The positive parts are summed as they are made and made again below:
    // cheaper than a sweep that stores them and one that reads them back.
    const double* mv = model_value.data();
    const double sum_positive = num::pairwise_sum(0, n, [mv](std::size_t i) { return maximum(mv[i], 0.0); });
    // No ceiling is an infinite one: min(cap, inf) is cap, NaN included.
    const double ceiling = max_weight > 0.0 ? max_weight : std::numeric_limits<double>::infinity();
    if (plain_caps(mv, sum_positive, weight_multi, cur_bench.data(), bench_coeff, pre_weight.data(), pre_coeff, ceiling,
                   n, out.data()))
        return;
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

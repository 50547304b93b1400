#include "position/caps.hpp"

#include <cstring>
#include <limits>

namespace kestrel::position {

using num::maximum;
using num::minimum;

namespace {

// Vector types by lane count (explicit, as an attribute's size taken from a
// template parameter is not seen while the template is parsed).
template <std::size_t L>
struct VectorOf;
template <>
struct VectorOf<4> {
    typedef double Doubles __attribute__((vector_size(32)));
};
template <>
struct VectorOf<8> {
    typedef double Doubles __attribute__((vector_size(64)));
};

// The caps as plain selects, which are the hardware's max and min: equal to
// maximum/minimum wherever no operand is NaN. Returns false, with out
// unfinished, when one was, to leave those to the NaN-propagating loop.
// Written in vector registers: a NaN flag kept by the compiler would be a
// scalar reduction that stops the loop vectorising. The flag is arithmetic,
// v - v summed (0 for finite v, NaN otherwise): a mask of eight lanes is
// taken apart lane by lane by the compiler. An infinity counts as NaN too and
// goes to the exact loop, which is merely slower.
template <std::size_t kLanes>
KESTREL_INLINE bool plain_caps(const double* mv, double sum_positive, double weight_multi, const double* bench,
                               double bench_coeff, const double* pre, double pre_coeff, double ceiling, std::size_t n,
                               double* out) {
    using Lanes = typename VectorOf<kLanes>::Doubles;
    const Lanes zero{}, top = zero + ceiling, scale = zero + sum_positive, multi = zero + weight_multi,
                        bc = zero + bench_coeff, pc = zero + pre_coeff;
    // Two flags, so that the adds into them do not wait on each other.
    Lanes poison[2] = {zero, zero};
    const auto caps_at = [&](std::size_t at, Lanes& flag) {
        Lanes m, b, p;
        std::memcpy(&m, mv + at, sizeof m);
        std::memcpy(&b, bench + at, sizeof b);
        std::memcpy(&p, pre + at, sizeof p);
        const Lanes share = m > zero ? m : zero;
        const Lanes x = share / scale * multi;
        const Lanes bb = b * bc, pp = p * pc;
        Lanes cap = x > zero ? x : zero;
        cap = cap < top ? cap : top;
        cap = cap > bb ? cap : bb;
        cap = cap > pp ? cap : pp;
        // A NaN pp is kept by the last select as maximum keeps it.
        flag += (m - m) + (x - x) + (bb - bb);
        std::memcpy(out + at, &cap, sizeof cap);
    };
    std::size_t i = 0;
    for (; i + 2 * kLanes <= n; i += 2 * kLanes) {
        caps_at(i, poison[0]);
        caps_at(i + kLanes, poison[1]);
    }
    if (i + kLanes <= n) {
        caps_at(i, poison[0]);
        i += kLanes;
    }
    bool clean = true;
    for (std::size_t j = 0; j < kLanes; ++j) clean &= poison[0][j] == 0.0 && poison[1][j] == 0.0;
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
    const double *bench = cur_bench.data(), *pre = pre_weight.data();
    if (num::wide_vectors()
            ? plain_caps<8>(mv, sum_positive, weight_multi, bench, bench_coeff, pre, pre_coeff, ceiling, n, out.data())
            : plain_caps<4>(mv, sum_positive, weight_multi, bench, bench_coeff, pre, pre_coeff, ceiling, n, out.data()))
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

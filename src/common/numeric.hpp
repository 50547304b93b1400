// Array semantics shared by the whole core, matched to numpy's so that results
// agree with the plain numpy formulation to the last bit where the operation
// order allows: pairwise summation, NaN-ignoring mean and population deviation,
// NaN-propagating maximum/minimum and a descending ranking with NaN last.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

// Hot kernels are compiled for AVX-512 and AVX2 besides the baseline and
// chosen at load time, so one binary runs on any x86-64 and still uses wide
// vectors where they exist. Contraction stays off, so every version computes
// the same bits.
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(KESTREL_NO_MULTIVERSION) && \
    !defined(__SANITIZE_ADDRESS__)
#define KESTREL_HOT __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
// Kernels written for one instruction set, chosen at run time.
#define KESTREL_X86_DISPATCH 1
#else
#define KESTREL_HOT
#endif

// Inlined whatever the size heuristics say: a helper left out of line is
// compiled for the baseline only, not for each vector version of its caller.
#if defined(__GNUC__)
#define KESTREL_INLINE inline __attribute__((always_inline))
#else
#define KESTREL_INLINE inline
#endif

namespace kestrel {

using Vec = std::vector<double>;
using CSpan = std::span<const double>;
using MSpan = std::span<double>;
using Index = std::int64_t;

namespace num {

// Whether the processor has eight-lane double registers (AVX-512): kernels
// written for a lane count pick eight there and four elsewhere, where wider
// vectors would be split and shuffled lane by lane. KESTREL_FOUR_LANES set
// (to anything) picks four anyway, so that the tests reach on one machine
// the kernels of both kinds of processor.
inline bool wide_vectors() {
#if KESTREL_X86_DISPATCH
    static const bool wide = __builtin_cpu_supports("avx512f") && std::getenv("KESTREL_FOUR_LANES") == nullptr;
    return wide;
#else
    return false;
#endif
}

namespace detail {

// A leaf of the pairwise summation: up to 128 terms, eight interleaved
// accumulators (one vector register wide).
template <class Term>
KESTREL_INLINE double pairwise_leaf(std::size_t begin, std::size_t n, const Term& term) {
    if (n < 8) {
        double res = 0.0;
        for (std::size_t i = 0; i < n; ++i) res += term(begin + i);
        return res;
    }
    double r[8];
    for (std::size_t j = 0; j < 8; ++j) r[j] = term(begin + j);
    std::size_t i = 8;
    for (; i < n - (n % 8); i += 8)
        for (std::size_t j = 0; j < 8; ++j) r[j] += term(begin + i + j);
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += term(begin + i);
    return res;
}

}  // namespace detail

// numpy's pairwise summation of the values term(0) .. term(n-1): blocks of up
// to 128 are summed with eight interleaved accumulators, larger ranges are
// split in halves aligned to the unroll factor. The halving runs on an
// explicit stack rather than by recursion, so the whole sum inlines into its
// caller (and into each of the caller's vector versions).
template <class Term>
KESTREL_INLINE double pairwise_sum(std::size_t begin, std::size_t n, const Term& term) {
    if (n <= 128) return detail::pairwise_leaf(begin, n, term);
    struct Range {
        std::size_t begin, n;
        double left;  // sum of the left half, once known
        bool right;   // the right half is being summed
    };
    Range stack[64];  // every level halves the range
    int top = 0;
    stack[0] = {begin, n, 0.0, false};
    for (;;) {
        Range& r = stack[top];
        if (r.n > 128) {
            std::size_t n2 = r.n / 2;
            n2 -= n2 % 8;
            stack[++top] = {r.begin, n2, 0.0, false};
            continue;
        }
        double value = detail::pairwise_leaf(r.begin, r.n, term);
        for (;;) {
            if (--top < 0) return value;
            Range& parent = stack[top];
            if (!parent.right) {
                // Left half done: sum the right one.
                parent.left = value;
                parent.right = true;
                std::size_t n2 = parent.n / 2;
                n2 -= n2 % 8;
                stack[++top] = {parent.begin + n2, parent.n - n2, 0.0, false};
                break;
            }
            value = parent.left + value;
        }
    }
}

// Plain sum: NaN is not skipped.
KESTREL_INLINE double sum(CSpan x) {
    return pairwise_sum(0, x.size(), [x](std::size_t i) { return x[i]; });
}

struct MeanStd {
    double mean;
    double std;
};

// NaN-ignoring mean and population standard deviation. An all-NaN or empty
// input yields NaN for both (0/0), as numpy does (without its warning).
// NaN entries count as 0 in both sums, exactly as numpy replaces them.
KESTREL_INLINE MeanStd nan_mean_std(CSpan x) {
    const std::size_t n = x.size();
    const double* p = x.data();
    const auto spread_over = [p, n](double mean, double count) {
        return pairwise_sum(0, n,
                            [p, mean](std::size_t i) {
                                const double d = p[i] - mean;
                                return d * d;
                            }) /
               count;
    };
    // A NaN entry makes the plain sum NaN: without one, every entry counts
    // and no counting sweep is needed.
    const double total = sum(x);
    if (!std::isnan(total)) {
        const double mean = total / static_cast<double>(n);
        return {mean, std::sqrt(spread_over(mean, static_cast<double>(n)))};
    }
    // An integer count: a floating-point one is a serial chain of additions
    // the compiler may not reorder.
    std::size_t valid = 0;
    for (const double v : x) valid += v == v;
    const double count = static_cast<double>(valid);
    if (valid == n) {  // infinities of both signs, no NaN
        const double mean = total / count;
        return {mean, std::sqrt(spread_over(mean, count))};
    }
    const double mean = pairwise_sum(0, n, [p](std::size_t i) { return p[i] == p[i] ? p[i] : 0.0; }) / count;
    const double var = pairwise_sum(0, n,
                                    [p, mean](std::size_t i) {
                                        const double d = p[i] == p[i] ? p[i] - mean : 0.0;
                                        return d * d;
                                    }) /
                       count;
    return {mean, std::sqrt(var)};
}

// Element-wise maximum/minimum that return NaN when either operand is NaN.
// Plain selects, so loops over them vectorise.
// `a > b ? a : b` already yields b when either is NaN (the hardware max), so
// only a NaN `a` needs a second select.
inline double maximum(double a, double b) {
    const double m = a > b ? a : b;
    return a != a ? a : m;
}
inline double minimum(double a, double b) {
    const double m = a < b ? a : b;
    return a != a ? a : m;
}

inline double sign(double x) {
    if (std::isnan(x)) return x;
    return x > 0.0 ? 1.0 : (x < 0.0 ? -1.0 : 0.0);
}

// True when a ranks before b in a descending ranking that puts NaN last.
inline bool ranks_before(double a, double b) { return !std::isnan(a) && (std::isnan(b) || a > b); }

}  // namespace num
}  // namespace kestrel

#include "common/nonzero.hpp"

#if KESTREL_X86_DISPATCH
#include <immintrin.h>
#endif

namespace kestrel::num {

namespace {

#if KESTREL_X86_DISPATCH
// Which of x[i .. i + 7] are non-zero (unordered not-equal: NaN is non-zero).
__attribute__((target("avx512f"), always_inline)) inline __mmask8 set_at(const double* x, std::size_t i) {
    return _mm512_cmp_pd_mask(_mm512_loadu_pd(x + i), _mm512_setzero_pd(), _CMP_NEQ_UQ);
}

// Eight entries per compare; the compress instruction packs the positions of
// the non-zero ones, stored whole (out has room for eight more). Two compares
// per step: where the next store goes waits on the count before it, and two
// blocks per count halve that wait.
__attribute__((target("avx512f"))) std::size_t nonzero_avx512(const double* x, std::size_t n, Index* out) {
    __m512i at = _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7);
    const __m512i step = _mm512_set1_epi64(8);
    std::size_t m = 0, i = 0;
    for (; i + 16 <= n; i += 16) {
        const __mmask8 a = set_at(x, i), b = set_at(x, i + 8);
        const __m512i first = _mm512_maskz_compress_epi64(a, at);
        at = _mm512_add_epi64(at, step);
        const __m512i second = _mm512_maskz_compress_epi64(b, at);
        at = _mm512_add_epi64(at, step);
        const auto in_first = static_cast<std::size_t>(__builtin_popcount(a));
        _mm512_storeu_si512(out + m, first);
        _mm512_storeu_si512(out + m + in_first, second);
        m += in_first + static_cast<std::size_t>(__builtin_popcount(b));
    }
    if (i + 8 <= n) {
        const __mmask8 a = set_at(x, i);
        _mm512_storeu_si512(out + m, _mm512_maskz_compress_epi64(a, at));
        m += static_cast<std::size_t>(__builtin_popcount(a));
        i += 8;
    }
    for (; i < n; ++i) {
        out[m] = static_cast<Index>(i);
        m += x[i] != 0.0;
    }
    return m;
}
#endif

}  // namespace

KESTREL_HOT void nonzero(CSpan x, std::vector<Index>& out) {
#if KESTREL_X86_DISPATCH
    if (wide_vectors()) {
        out.resize(x.size() + 8);
        out.resize(nonzero_avx512(x.data(), x.size(), out.data()));
        return;
    }
#endif
    out.resize(x.size());
    std::size_t m = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        out[m] = static_cast<Index>(i);
        m += x[i] != 0.0;
    }
    out.resize(m);
}

}  // namespace kestrel::num

#include "position/topn_blend.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>

#include "signal/smoothing.hpp"

namespace kestrel::position {

namespace {

// blend += z * coeff
void add_scaled(CSpan z, double coeff, Vec& blend) {
    for (std::size_t i = 0; i < blend.size(); ++i) blend[i] = blend[i] + z[i] * coeff;
}

// The lowest of the `take` highest values of s (0 < take < n), provided that
// set is fixed by value alone: no NaN and no value tied across its edge.
// Values are bucketed by size and only the bucket holding the edge is
// ordered. Otherwise nullopt: the caller selects by nth_element, which
// settles ties its own way.
KESTREL_INLINE std::optional<double> top_edge(CSpan s, std::size_t take, Workspace& ws) {
    typedef double Lanes __attribute__((vector_size(8 * sizeof(double))));
    typedef std::int64_t Mask __attribute__((vector_size(8 * sizeof(std::int64_t))));
    constexpr std::size_t kLanes = 8;
    const std::size_t n = s.size();
    const double* v = s.data();
    // Lowest, highest and any NaN, in vector registers: as one scalar chain
    // every compare waits for the one before.
    const double inf = std::numeric_limits<double>::infinity();
    Lanes vlo = Lanes{} + inf, vhi = Lanes{} - inf;
    Mask vnan = {};
    std::size_t p = 0;
    for (; p + kLanes <= n; p += kLanes) {
        Lanes x;
        std::memcpy(&x, v + p, sizeof x);
        vlo = x < vlo ? x : vlo;
        vhi = x > vhi ? x : vhi;
        vnan |= x != x;
    }
    double lo = inf, hi = -inf;
    bool nan = false;
    for (std::size_t j = 0; j < kLanes; ++j) {
        lo = vlo[j] < lo ? vlo[j] : lo;
        hi = vhi[j] > hi ? vhi[j] : hi;
        nan |= vnan[j] != 0;
    }
    for (; p < n; ++p) {
        lo = v[p] < lo ? v[p] : lo;
        hi = v[p] > hi ? v[p] : hi;
        nan |= v[p] != v[p];
    }
    if (nan || !(hi > lo)) return std::nullopt;
    const std::size_t buckets = std::clamp<std::size_t>(n / 2, 16, 4096);
    const double scale = static_cast<double>(buckets) / (hi - lo);
    if (!std::isfinite(scale)) return std::nullopt;
    // Monotone in the value, so equal values share a bucket.
    const double last = static_cast<double>(buckets - 1);
    auto& bucket = ws.crossing.bucket;
    bucket.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double b = (v[i] - lo) * scale;
        bucket[i] = static_cast<std::uint32_t>(static_cast<std::int32_t>(b < last ? b : last));
    }
    ws.counts.assign(buckets, 0);
    for (std::size_t i = 0; i < n; ++i) ++ws.counts[bucket[i]];
    std::size_t above = 0, edge = buckets - 1;
    while (above + ws.counts[edge] < take) above += ws.counts[edge--];
    ws.edge.clear();
    for (std::size_t i = 0; i < n; ++i)
        if (bucket[i] == edge) ws.edge.push_back(v[i]);
    const std::size_t rank = take - above;  // 1-based, from the top of the bucket
    auto& e = ws.edge;
    std::nth_element(e.begin(), e.begin() + static_cast<std::ptrdiff_t>(rank - 1), e.end(), std::greater<>{});
    const double t = e[rank - 1];
    std::size_t at_least = 0;
    for (const double v : e) at_least += v >= t;
    if (at_least != rank) return std::nullopt;
    return t;
}

// out[i] = max(s[i], 0) for the `take` highest, NaN last, and 0 elsewhere.
void select_by_order(CSpan s, Index take, Workspace& ws, MSpan out) {
    const std::size_t n = s.size();
    auto& order = ws.order;
    order.resize(n);
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<Index>(i);
    if (take < static_cast<Index>(n))
        std::nth_element(order.begin(), order.begin() + take, order.end(),
                         [&s](Index a, Index b) { return num::ranks_before(s[a], s[b]); });
    std::fill(out.begin(), out.end(), 0.0);
    for (Index k = 0; k < take; ++k) {
        const Index i = order[static_cast<std::size_t>(k)];
        out[i] = num::maximum(s[i], 0.0);
    }
}

}  // namespace

KESTREL_HOT void top_n_blend(CSpan cur_model_value, Index num_long, double secu_pct, CSpan bench_weight,
                             double bench_coeff, CSpan pre_weight, double pre_coeff, Workspace& ws, MSpan out) {
    const std::size_t n = cur_model_value.size();
    Vec& s = ws.blend;
    s.resize(n);
    signal::standardise(cur_model_value, s);
    if (ws.date == 0 || ws.blend_terms_date != ws.date) {
        if (bench_coeff > 0.0) {
            ws.z_bench.resize(n);
            signal::standardise(bench_weight, ws.z_bench);
        }
        ws.pre_in_blend = pre_coeff > 0.0 && num::sum(pre_weight) >= 0.8;
        if (ws.pre_in_blend) {
            ws.z_pre.resize(n);
            signal::standardise(pre_weight, ws.z_pre);
        }
        ws.blend_terms_date = ws.date;
    }
    if (bench_coeff > 0.0) add_scaled(ws.z_bench, bench_coeff, s);
    if (ws.pre_in_blend) add_scaled(ws.z_pre, pre_coeff, s);

    const Index ni = static_cast<Index>(n);
    const Index take = num_long < 0 ? std::max<Index>(ni + num_long, 0) : std::min(num_long, ni);

    // Only membership of the head matters, so a selection replaces the sort:
    // by value where no tie crosses its edge, else by nth_element.
    const std::optional<double> edge =
        take > 0 && take < ni ? top_edge(s, static_cast<std::size_t>(take), ws) : std::nullopt;
    if (edge) {
        const double t = *edge;
        for (std::size_t i = 0; i < n; ++i) out[i] = s[i] >= t ? num::maximum(s[i], 0.0) : 0.0;
    } else {
        select_by_order(s, take, ws, out);
    }
    const double total = num::sum(CSpan(out.data(), n));
    for (std::size_t i = 0; i < n; ++i) out[i] = out[i] / total * secu_pct;
}

}  // namespace kestrel::position

#include "position/bounds.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kestrel::position {

CapsWithin::CapsWithin(MSpan caps, const TradeLimits& limits, std::span<const Index> blocked, Vec& saved,
                       bool less_lower)
    : caps_(caps), blocked_(blocked), saved_(saved) {
    saved_.resize(blocked.size());
    for (std::size_t j = 0; j < blocked.size(); ++j) {
        const auto i = static_cast<std::size_t>(blocked[j]);
        const double lo = limits.lower[i];
        saved_[j] = caps[i];
        caps[i] = bounded_cap(caps[i], lo, limits.upper[i]);
        if (less_lower) caps[i] -= lo;
    }
}

CapsWithin::~CapsWithin() {
    for (std::size_t j = 0; j < blocked_.size(); ++j) caps_[static_cast<std::size_t>(blocked_[j])] = saved_[j];
}

KESTREL_HOT void fit_to_bounds(const TradeLimits& limits, double secu_pct, Workspace& ws, MSpan w) {
    const CSpan lower = limits.lower, upper = limits.upper;
    const std::span<const Index> blocked = limits.blocked;
    // Only a blocked name can meet a bound: the others lie in [0, infinity),
    // which a positive scale keeps them in. So the fixed names are found
    // among the blocked ones, and the others are scaled once at the end.
    const std::size_t m = blocked.size();
    Vec& orig = ws.key;
    Vec& at = ws.bound;
    orig.resize(m);
    at.resize(m);
    ws.fixed.assign(m, 0);
    bool moved = false;
    for (std::size_t j = 0; j < m; ++j) {
        const auto i = static_cast<std::size_t>(blocked[j]);
        const double lo = lower[i], up = upper[i], v = w[i];
        orig[j] = v;
        at[j] = lo == up ? lo : (v < lo ? lo : (v > up ? up : v));
        ws.fixed[j] = lo == up || at[j] != v;
        moved |= at[j] != v;
    }
    if (!moved) return;
    const double* o = orig.data();
    const double blocked_total = num::pairwise_sum(0, m, [o](std::size_t j) { return o[j]; });
    const double unblocked = num::sum(w) - blocked_total;
    double scale = 1.0;
    for (;;) {
        const std::uint8_t* f = ws.fixed.data();
        const double* a = at.data();
        const double held = num::pairwise_sum(0, m, [a, f](std::size_t j) { return f[j] ? a[j] : 0.0; });
        const double free = unblocked + num::pairwise_sum(0, m, [o, f](std::size_t j) { return f[j] ? 0.0 : o[j]; });
        if (!(free > 0.0) || !std::isfinite(free)) break;  // nothing left to scale
        scale = (secu_pct - held) / free;
        if (!(scale > 0.0)) {
            // The fixed names alone reach secu_pct: the rest go as low as they may.
            scale = 0.0;
            for (std::size_t j = 0; j < m; ++j)
                if (!f[j]) at[j] = lower[static_cast<std::size_t>(blocked[j])];
            break;
        }
        bool crossed = false;
        for (std::size_t j = 0; j < m; ++j) {
            if (f[j]) continue;
            const auto i = static_cast<std::size_t>(blocked[j]);
            const double v = o[j] * scale;
            at[j] = v < lower[i] ? lower[i] : (v > upper[i] ? upper[i] : v);
            if (at[j] != v) {
                ws.fixed[j] = 1;
                crossed = true;
            }
        }
        if (!crossed) break;
    }
    if (scale != 1.0)
        for (std::size_t i = 0; i < w.size(); ++i) w[i] = w[i] * scale;
    for (std::size_t j = 0; j < m; ++j) w[static_cast<std::size_t>(blocked[j])] = at[j];
}

KESTREL_HOT double turnover_step(CSpan pre, double max_turnover, CSpan w) {
    if (!(max_turnover < std::numeric_limits<double>::infinity())) return 1.0;
    const std::size_t n = w.size();
    const double *x = w.data(), *p = pre.data();
    // Traded and held in one sweep, in vector registers.
    using detail::Lanes4;
    const Lanes4 zero{};
    Lanes4 t0{}, t1{}, s0{}, s1{};
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        Lanes4 a0, a1, b0, b1;
        std::memcpy(&a0, x + i, sizeof a0);
        std::memcpy(&a1, x + i + 4, sizeof a1);
        std::memcpy(&b0, p + i, sizeof b0);
        std::memcpy(&b1, p + i + 4, sizeof b1);
        const Lanes4 d0 = a0 - b0, d1 = a1 - b1;
        t0 += d0 < zero ? -d0 : d0;
        t1 += d1 < zero ? -d1 : d1;
        s0 += (a0 < zero ? -a0 : a0) + (b0 < zero ? -b0 : b0);
        s1 += (a1 < zero ? -a1 : a1) + (b1 < zero ? -b1 : b1);
    }
    const Lanes4 t = t0 + t1, sz = s0 + s1;
    double traded = (t[0] + t[1]) + (t[2] + t[3]), size = (sz[0] + sz[1]) + (sz[2] + sz[3]);
    for (; i < n; ++i) {
        traded += std::abs(x[i] - p[i]);
        size += std::abs(x[i]) + std::abs(p[i]);
    }
    traded *= 0.5;
    if (!(traded > max_turnover)) return 1.0;
    // Aimed a hair inside the cap, so that the turnover of the rounded
    // weights, summed in any order (by the caller or a desk's check), does
    // not come out above it: 1e-12 of the cap for the sums' rounding, and a
    // few ulps of every weight for the rounding of each step.
    const double slack = 1e-12 * max_turnover + 4.0 * std::numeric_limits<double>::epsilon() * size;
    return std::max(max_turnover - slack, 0.0) / traded;
}

KESTREL_HOT void take_turnover_step(CSpan pre, double a, MSpan w) {
    const std::size_t n = w.size();
    const double* __restrict p = pre.data();
    double* __restrict o = w.data();
    for (std::size_t k = 0; k < n; ++k) o[k] = p[k] + a * (o[k] - p[k]);
}

}  // namespace kestrel::position

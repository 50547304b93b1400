#include "position/bounds.hpp"

#include <algorithm>
#include <cmath>

namespace kestrel::position {

KESTREL_HOT void bounded_caps(CSpan caps, CSpan lower, CSpan upper, MSpan out) {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = num::minimum(num::maximum(caps[i], lower[i]), upper[i]);
}

void fit_to_bounds(CSpan lower, CSpan upper, double secu_pct, Workspace& ws, MSpan w) {
    const std::size_t n = w.size();
    auto& fixed = ws.fixed;
    fixed.assign(n, 0);
    bool moved = false;
    for (std::size_t i = 0; i < n; ++i) {
        const double lo = lower[i], up = upper[i], v = w[i];
        const double at = lo == up ? lo : (v < lo ? lo : (v > up ? up : v));
        fixed[i] = lo == up || at != v;
        moved |= at != v;
        w[i] = at;
    }
    if (!moved) return;
    for (;;) {
        const double* x = w.data();
        const std::uint8_t* f = fixed.data();
        const double held = num::pairwise_sum(0, n, [x, f](std::size_t i) { return f[i] ? x[i] : 0.0; });
        const double free = num::pairwise_sum(0, n, [x, f](std::size_t i) { return f[i] ? 0.0 : x[i]; });
        if (!(free > 0.0) || !std::isfinite(free)) return;  // nothing left to scale
        const double scale = (secu_pct - held) / free;
        if (!(scale > 0.0)) {
            // The fixed names alone reach secu_pct: the rest go as low as they may.
            for (std::size_t i = 0; i < n; ++i)
                if (!f[i]) w[i] = lower[i];
            return;
        }
        bool crossed = false;
        for (std::size_t i = 0; i < n; ++i) {
            if (f[i]) continue;
            const double v = w[i] * scale;
            const double at = v < lower[i] ? lower[i] : (v > upper[i] ? upper[i] : v);
            if (at != v) {
                fixed[i] = 1;
                crossed = true;
            }
            w[i] = at;
        }
        if (!crossed) return;
    }
}

KESTREL_HOT double one_way_turnover(CSpan w, CSpan pre) {
    const double *x = w.data(), *p = pre.data();
    return 0.5 * num::pairwise_sum(0, w.size(), [x, p](std::size_t i) { return std::abs(x[i] - p[i]); });
}

KESTREL_HOT void cap_turnover(CSpan pre, double max_turnover, MSpan w) {
    if (!(max_turnover < std::numeric_limits<double>::infinity())) return;
    const double traded = one_way_turnover(w, pre);
    if (!(traded > max_turnover)) return;
    // Aimed a hair inside the cap, so that the turnover of the rounded
    // weights, summed in any order (by the caller or a desk's check), does
    // not come out above it: 1e-12 of the cap for the sum's rounding, and a
    // few ulps of every weight for the rounding of each step.
    const double *x = w.data(), *p = pre.data();
    const double size =
        num::pairwise_sum(0, w.size(), [x, p](std::size_t i) { return std::abs(x[i]) + std::abs(p[i]); });
    const double slack = 1e-12 * max_turnover + 4.0 * std::numeric_limits<double>::epsilon() * size;
    const double a = std::max(max_turnover - slack, 0.0) / traded;
    for (std::size_t i = 0; i < w.size(); ++i) w[i] = pre[i] + a * (w[i] - pre[i]);
}

}  // namespace kestrel::position

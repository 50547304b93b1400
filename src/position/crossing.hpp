// Where a running total first reaches a target when candidates are visited
// in key order: the heart of the fill and rebalance mappings. Instead of
// sorting every candidate, a quickselect on summed rooms narrows down the
// crossing, so a pass costs O(m) expected instead of O(m log m). Candidates
// with equal keys may be visited in any order.
#pragma once

#include "common/numeric.hpp"

namespace kestrel::position {

struct Crossing {
    bool reached = false;
    Index pos = -1;       // candidate that completes the target
    double excess = 0.0;  // running total at that candidate minus target
};

// Candidates 0..m-1 with key[p] and room[p]; `before(ka, kb)` is the visiting
// order. Every candidate visited before the crossing is passed to consume(p).
// Fast path needs finite, non-negative rooms and target > 0; otherwise the
// candidates are sorted and walked one by one, which keeps the exact
// one-by-one semantics for NaN and negative rooms.
template <class Before, class Consume>
Crossing find_crossing(CSpan key, CSpan room, double target, std::vector<Index>& perm, Before before,
                       Consume consume) {
    const std::size_t m = key.size();
    perm.resize(m);
    for (std::size_t p = 0; p < m; ++p) perm[p] = static_cast<Index>(p);
    const auto cmp = [&](Index a, Index b) { return before(key[a], key[b]); };

    bool fast = target > 0.0 && std::isfinite(target);
    for (std::size_t p = 0; fast && p < m; ++p) fast = std::isfinite(room[p]) && room[p] >= 0.0;

    double cum = 0.0;
    std::size_t lo = 0, hi = m;
    constexpr std::size_t kSmall = 48;
    const auto room_sum = [&](std::size_t from, std::size_t to) {
        return num::pairwise_sum(from, to - from, [&](std::size_t j) { return room[perm[j]]; });
    };
    // Everything in [hi, m) comes after everything in [lo, hi), so a range that
    // rounding leaves one ulp short simply hands over to the rest.
    for (;;) {
        while (fast && hi - lo > kSmall) {
            const Index a = perm[lo], b = perm[lo + (hi - lo) / 2], c = perm[hi - 1];
            const Index pivot =
                cmp(a, b) ? (cmp(b, c) ? b : (cmp(a, c) ? c : a)) : (cmp(a, c) ? a : (cmp(b, c) ? c : b));
            const double pk = key[pivot];
            // Three-way partition: [lo, lt) before the pivot, [lt, gt) tied, [gt, hi) after.
            std::size_t lt = lo, i = lo, gt = hi;
            while (i < gt) {
                const Index q = perm[i];
                if (before(key[q], pk))
                    std::swap(perm[lt++], perm[i++]);
                else if (before(pk, key[q]))
                    std::swap(perm[i], perm[--gt]);
                else
                    ++i;
            }
            const double s_before = room_sum(lo, lt);
            if (cum + s_before >= target) {
                hi = lt;
                continue;
            }
            cum += s_before;
            for (std::size_t j = lo; j < lt; ++j) consume(perm[j]);
            if (cum + room_sum(lt, gt) >= target) {
                // Ties may go in any order: walk them as they lie.
                for (std::size_t j = lt; j < gt; ++j) {
                    cum += room[perm[j]];
                    if (cum >= target) return {true, perm[j], cum - target};
                    consume(perm[j]);
                }
            } else {
                for (std::size_t j = lt; j < gt; ++j) {
                    cum += room[perm[j]];
                    consume(perm[j]);
                }
            }
            lo = gt;
        }
        std::sort(perm.begin() + static_cast<std::ptrdiff_t>(lo), perm.begin() + static_cast<std::ptrdiff_t>(hi), cmp);
        for (std::size_t j = lo; j < hi; ++j) {
            cum += room[perm[j]];
            if (cum >= target) return {true, perm[j], cum - target};
            consume(perm[j]);
        }
        if (hi == m) return {false, -1, cum};
        lo = hi;
        hi = m;
    }
}

// Visiting orders, NaN last in both.
inline constexpr auto descending = [](double a, double b) { return num::ranks_before(a, b); };
inline constexpr auto ascending = [](double a, double b) { return !std::isnan(a) && (std::isnan(b) || a < b); };

}  // namespace kestrel::position

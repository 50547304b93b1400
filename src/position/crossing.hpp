// Where a running total first reaches a target when candidates are visited
// in key order: the heart of the fill and rebalance mappings. Rather than
// sorting every candidate, the keys are bucketed by value, bucket totals
// locate the crossing, and only the crossing bucket is ordered (by a
// quickselect on summed rooms). A pass costs O(m) instead of O(m log m).
// Candidates with equal keys may be visited in any order.
#pragma once

#include <algorithm>
#include <cstring>
#include <limits>

#include "common/nonzero.hpp"
#include "common/numeric.hpp"

namespace kestrel::position {

struct Crossing {
    bool reached = false;
    Index pos = -1;       // candidate that completes the target
    double excess = 0.0;  // running total at that candidate minus target
};

// Visiting orders, NaN last in both.
struct Descending {
    bool operator()(double a, double b) const { return num::ranks_before(a, b); }
    static constexpr bool kNegated = true;
    static double ascending_key(double k) { return -k; }
};
struct Ascending {
    bool operator()(double a, double b) const { return !std::isnan(a) && (std::isnan(b) || a < b); }
    static constexpr bool kNegated = false;
    static double ascending_key(double k) { return k; }
};

// What the search needs to know of the candidates first: the lowest and
// highest ascending key (NaN keys skipped), the number of non-zero rooms,
// and whether every room is finite and non-negative.
struct KeyRange {
    double lo, hi;
    std::size_t nonzero;
    bool fast;
};

struct CrossingScratch {
    std::vector<Index> perm, after, listed;
    std::vector<std::uint32_t> bucket;
    Vec bucket_room;
};

namespace detail {

// Walks the candidates perm[0, hi), then perm[hi, m), all ordered after
// those already consumed, continuing the running total `cum`. Quickselect narrows down to
// the crossing; what it cannot exclude is sorted and walked one by one.
template <class Before, class Consume>
Crossing walk(CSpan key, CSpan room, double target, double cum, std::vector<Index>& perm, std::size_t hi, Before before,
              Consume& consume, bool fast) {
    const std::size_t m = perm.size();
    std::size_t lo = 0;
    const auto cmp = [&](Index a, Index b) { return before(key[a], key[b]); };
    const auto room_sum = [&](std::size_t from, std::size_t to) {
        return num::pairwise_sum(from, to - from, [&](std::size_t j) { return room[perm[j]]; });
    };
    constexpr std::size_t kSmall = 48;
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
            // Ties may go in any order: walk them as they lie.
            for (std::size_t j = lt; j < gt; ++j) {
                cum += room[perm[j]];
                if (cum >= target) return {true, perm[j], cum - target};
                consume(perm[j]);
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

// Four candidates at a time: two sets of these are kept in flight, as one
// chain of compares waits on the compare before. Four lanes: wider vectors
// split on narrower machines are compared lane by lane.
typedef double Lanes4 __attribute__((vector_size(4 * sizeof(double))));

// Gathers a KeyRange from the candidates' ascending keys and rooms, in
// vector registers (add(a, ...) for alternating a = 0, 1) and one by one.
class RangeAccumulator {
public:
    // By reference: a vector passed by value changes the ABI between clones.
    KESTREL_INLINE void add(std::size_t a, const Lanes4& k, const Lanes4& r) {
        const Lanes4 zero{}, inf = zero + std::numeric_limits<double>::infinity();
        lo_[a] = k < lo_[a] ? k : lo_[a];  // NaN keys compare false and are skipped
        hi_[a] = k > hi_[a] ? k : hi_[a];
        bad_[a] = r >= zero ? bad_[a] : inf;
        bad_[a] = r < inf ? bad_[a] : inf;
        count_[a] += r != zero ? zero + 1.0 : zero;
    }
    KESTREL_INLINE void add(double k, double r) {
        fast_ &= std::isfinite(r) && r >= 0.0;
        nonzero_ += r != 0.0;
        lo_tail_ = k < lo_tail_ ? k : lo_tail_;
        hi_tail_ = k > hi_tail_ ? k : hi_tail_;
    }
    KESTREL_INLINE KeyRange result() const {
        KeyRange range{lo_tail_, hi_tail_, nonzero_, fast_};
        double counted = 0.0;  // whole numbers: exact in any order
        // Signed zeros may come out either way: the bucket indices do not depend on it.
        for (std::size_t a = 0; a < 2; ++a)
            for (std::size_t j = 0; j < 4; ++j) {
                range.lo = lo_[a][j] < range.lo ? lo_[a][j] : range.lo;
                range.hi = hi_[a][j] > range.hi ? hi_[a][j] : range.hi;
                range.fast &= bad_[a][j] == 0.0;
                counted += count_[a][j];
            }
        range.nonzero += static_cast<std::size_t>(counted);
        return range;
    }

private:
    static constexpr double kInf = std::numeric_limits<double>::infinity();
    Lanes4 lo_[2] = {Lanes4{} + kInf, Lanes4{} + kInf}, hi_[2] = {Lanes4{} - kInf, Lanes4{} - kInf};
    Lanes4 bad_[2] = {}, count_[2] = {};
    double lo_tail_ = kInf, hi_tail_ = -kInf;
    std::size_t nonzero_ = 0;
    bool fast_ = true;
};

// The KeyRange of stored keys and rooms.
template <class Order>
KESTREL_INLINE KeyRange key_range(CSpan key, CSpan room) {
    const std::size_t n = key.size();
    RangeAccumulator acc;
    std::size_t p = 0;
    for (; p + 8 <= n; p += 8)
        for (std::size_t a = 0; a < 2; ++a) {
            Lanes4 k, r;
            std::memcpy(&k, key.data() + p + 4 * a, sizeof k);
            std::memcpy(&r, room.data() + p + 4 * a, sizeof r);
            if constexpr (Order::kNegated) k = -k;
            acc.add(a, k, r);
        }
    for (; p < n; ++p) acc.add(Order::ascending_key(key[p]), room[p]);
    return acc.result();
}

}  // namespace detail

// m = kCountRooms: the candidates are those with a non-zero room.
inline constexpr std::size_t kCountRooms = static_cast<std::size_t>(-1);

// Every p in [0, n) is given key[p] and room[p]; member(p) says whether it
// is a candidate at all, and m_given counts the candidates (or is
// kCountRooms). A non-candidate must carry a NaN key and zero room.
// Candidates are visited in the order `Order`; every one visited before the
// crossing gets out[p] = value[p].
// The fast paths need finite, non-negative rooms and target > 0; otherwise
// the candidates are sorted and walked one by one, which keeps the exact
// one-by-one semantics for NaN and negative rooms.
// `range` is detail::key_range<Order>(key, room), which a caller that has
// just made the keys may have gathered on the way.
template <class Order, class Member>
KESTREL_INLINE Crossing find_crossing(CSpan key, CSpan room, std::size_t m_given, Member member, double target,
                                      CrossingScratch& s, Order order, MSpan out, CSpan value, const KeyRange& range) {
    const std::size_t n = key.size();
    const auto consume = [&](Index p) { out[p] = value[p]; };
    auto& perm = s.perm;
    perm.clear();

    const double lo = range.lo, hi = range.hi;
    const bool fast = range.fast && target > 0.0 && std::isfinite(target);
    const std::size_t m = m_given == kCountRooms ? range.nonzero : m_given;
    // About two candidates a bucket: the crossing bucket stays small.
    const std::size_t buckets = std::clamp<std::size_t>(m / 2, 16, 4096);
    const double scale = static_cast<double>(buckets) / (hi - lo);
    if (!fast || m < 64 || !(hi > lo) || !std::isfinite(scale)) {
        for (std::size_t p = 0; p < n; ++p)
            if (member(p)) perm.push_back(static_cast<Index>(p));
        return detail::walk(key, room, target, 0.0, perm, perm.size(), order, consume, fast);
    }

    // Bucket by value of the ascending key; NaN keys go to bucket `buckets`,
    // non-candidates to the one after it, which no search reaches.
    // Indices in one vector sweep, then the totals in candidate order.
    auto& bucket = s.bucket;
    bucket.resize(n);
    const auto outside = static_cast<std::uint32_t>(buckets + 1);
    {
        const auto last = static_cast<double>(buckets - 1), nan_bucket = static_cast<double>(buckets);
        std::uint32_t* bk = bucket.data();
        for (std::size_t p = 0; p < n; ++p) {
            const double k = Order::ascending_key(key[p]);
            const double b = (k - lo) * scale;
            const auto idx = static_cast<std::uint32_t>(
                static_cast<std::int32_t>(std::isnan(k) ? nan_bucket : (b < last ? b : last)));
            bk[p] = member(p) ? idx : outside;
        }
    }
    s.bucket_room.assign(buckets + 2, 0.0);
    {
        const std::uint32_t* bk = bucket.data();
        double* total = s.bucket_room.data();
        if (m_given == kCountRooms) {
            // Candidates listed first: a non-candidate adds only a zero room
            // to a slot nobody reads.
            num::nonzero(room, s.listed);
            for (const Index p : s.listed) total[bk[p]] += room[static_cast<std::size_t>(p)];
        } else {
            for (std::size_t p = 0; p < n; ++p) total[bk[p]] += room[p];
        }
    }
    double cum = 0.0;
    std::uint32_t crossing = 0;
    while (crossing <= buckets && cum + s.bucket_room[crossing] < target) cum += s.bucket_room[crossing++];

    // Whole buckets before the crossing one are consumed in one sweep.
    {
        const std::uint32_t* bk = bucket.data();
        double* o = out.data();
        const double* v = value.data();
        for (std::size_t p = 0; p < n; ++p) o[p] = bk[p] < crossing ? v[p] : o[p];
    }
    if (crossing > buckets) return {false, -1, cum};
    // The crossing bucket holds a few candidates; later buckets are only
    // walked when rounding leaves it short.
    // Blocks without one are passed over by a vector test.
    {
        typedef std::uint32_t Lanes __attribute__((vector_size(8 * sizeof(std::uint32_t))));
        constexpr std::size_t kBlock = 2 * sizeof(Lanes) / sizeof(std::uint32_t);
        const std::uint32_t* bk = bucket.data();
        const Lanes want = Lanes{} + crossing;
        std::size_t p = 0;
        for (; p + kBlock <= n; p += kBlock) {
            Lanes a, b;
            std::memcpy(&a, bk + p, sizeof a);
            std::memcpy(&b, bk + p + kBlock / 2, sizeof b);
            const auto hit = (a == want) | (b == want);
            std::uint64_t w[4];
            static_assert(sizeof hit == sizeof w);
            std::memcpy(w, &hit, sizeof w);
            if ((w[0] | w[1] | w[2] | w[3]) == 0) continue;
            for (std::size_t j = p; j < p + kBlock; ++j)
                if (bk[j] == crossing) perm.push_back(static_cast<Index>(j));
        }
        for (; p < n; ++p)
            if (bk[p] == crossing) perm.push_back(static_cast<Index>(p));
    }
    const Crossing c = detail::walk(key, room, target, cum, perm, perm.size(), order, consume, true);
    if (c.reached) return c;
    auto& after = s.after;
    after.clear();
    for (std::size_t p = 0; p < n; ++p)
        if (bucket[p] > crossing && bucket[p] <= buckets) after.push_back(static_cast<Index>(p));
    return detail::walk(key, room, target, c.excess, after, after.size(), order, consume, true);
}

template <class Order, class Member>
KESTREL_INLINE Crossing find_crossing(CSpan key, CSpan room, std::size_t m_given, Member member, double target,
                                      CrossingScratch& s, Order order, MSpan out, CSpan value) {
    return find_crossing(key, room, m_given, member, target, s, order, out, value, detail::key_range<Order>(key, room));
}

}  // namespace kestrel::position

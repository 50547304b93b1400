#include "optimizer/blocks.hpp"

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numeric>
#include <stdexcept>

#include "common/format.hpp"

namespace kestrel::optimizer {

namespace {

const char* element(const MatrixView& v, std::size_t r, std::size_t c) {
    return v.base + static_cast<std::ptrdiff_t>(r) * v.row_stride + static_cast<std::ptrdiff_t>(c) * v.col_stride;
}

// A flag: 0, 1 or NaN; as plain compares, so that loops over them vectorise.
KESTREL_INLINE bool is_flag(double v) { return (v == 0.0) | (v == 1.0) | (v != v); }

double value_at(const MatrixView& v, bool bytes, std::size_t r, std::size_t c) {
    return bytes ? static_cast<double>(*reinterpret_cast<const std::uint8_t*>(element(v, r, c)) != 0) : v.at(r, c);
}

// Where `mask` marks the members of a block of eight and `hits` some of
// them, the members hit, in column order: members[to + rank within mask].
KESTREL_INLINE void members_hit(std::uint32_t mask, std::uint32_t hits, const Index* members, std::size_t to,
                                std::vector<Index>& out) {
    for (; hits != 0; hits &= hits - 1) {
        const std::uint32_t below = (hits & (0u - hits)) - 1;
        out.push_back(members[to + static_cast<std::size_t>(std::popcount(mask & below))]);
    }
}

// The lanes of a compare's result (all bits set or none) as four bits.
template <class Mask>
KESTREL_INLINE std::uint32_t bits_of(const Mask& m) {
    return static_cast<std::uint32_t>((m[0] & 1) | (m[1] & 2) | (m[2] & 4) | (m[3] & 8));
}

// The tiles of a contiguous float64 row: the members that hold 1 appended
// to `out`; false when a member's value is neither 0, 1 nor NaN. A row holds
// few ones, so a tile's eight values are tested at once in vector registers
// for anything but 0, and only a tile holding something else is looked at
// value by value.
KESTREL_HOT bool tile_ones(const double* r, const ColumnBlock* blocks, std::size_t count, const Index* members,
                           std::vector<Index>& out) {
    typedef double Lanes __attribute__((vector_size(4 * sizeof(double))));
    typedef std::int64_t Mask __attribute__((vector_size(4 * sizeof(std::int64_t))));
    const Lanes zero{};
    std::uint32_t bad = 0;
    std::size_t to = 0;
    for (std::size_t t = 0; t < count; ++t) {
        const double* x = r + static_cast<std::size_t>(blocks[t].block) * 8;
        const std::uint32_t mask = blocks[t].mask;
        Lanes a, b;
        std::memcpy(&a, x, sizeof a);
        std::memcpy(&b, x + 4, sizeof b);
        const Mask other = (a != zero) | (b != zero);  // NaN included
        if ((other[0] | other[1] | other[2] | other[3]) != 0) {
            const Mask ones_a = a == zero + 1.0, ones_b = b == zero + 1.0;
            const Mask flags_a = ones_a | (a == zero) | (a != a), flags_b = ones_b | (b == zero) | (b != b);
            const std::uint32_t one = bits_of(ones_a) | bits_of(ones_b) << 4;
            const std::uint32_t off = ~(bits_of(flags_a) | bits_of(flags_b) << 4) & 0xffu;
            bad |= off & mask;
            if (one & mask) members_hit(mask, one & mask, members, to, out);
        }
        to += static_cast<std::size_t>(std::popcount(mask));
    }
    return bad == 0;
}

// The same over a contiguous row of bytes (bool), where any non-zero byte
// blocks and no value is refused.
KESTREL_HOT void tile_bytes(const std::uint8_t* r, const ColumnBlock* blocks, std::size_t count, const Index* members,
                            std::vector<Index>& out) {
    std::size_t to = 0;
    for (std::size_t t = 0; t < count; ++t) {
        const std::uint8_t* x = r + static_cast<std::size_t>(blocks[t].block) * 8;
        const std::uint32_t mask = blocks[t].mask;
        std::uint64_t word;
        std::memcpy(&word, x, sizeof word);
        if (word != 0) {
            std::uint32_t one = 0;
            for (std::uint32_t k = 0; k < 8; ++k) one |= static_cast<std::uint32_t>(x[k] != 0) << k;
            if (one & mask) members_hit(mask, one & mask, members, to, out);
        }
        to += static_cast<std::size_t>(std::popcount(mask));
    }
}

std::string shown(double v, bool integers) {
    if (!integers) return fmt::repr(v);
    char text[40];
    std::snprintf(text, sizeof text, "%.0f", v);
    return text;
}

}  // namespace

BlockReader::BlockReader(const std::vector<BlockSource>& sources, std::size_t n) : sources_(sources), n_(n) {
    for (const BlockSource& s : sources) {
        if (s.cols.size() != n) throw std::invalid_argument("a block source must have one column per security");
        if (s.values.cols >= std::numeric_limits<std::uint32_t>::max() / 2)
            throw std::invalid_argument("a block source has too many columns");
        for (const Index c : s.cols)
            if (c < 0 || static_cast<std::size_t>(c) >= s.values.cols)
                throw std::invalid_argument("a block source's columns must be checked");
        // Sources over the same columns (the fields of one library) share a plan.
        std::size_t k = 0;
        while (k < plans_.size() && !(plans_[k].width == s.values.cols && plans_[k].given == s.cols)) ++k;
        if (k == plans_.size()) {
            Plan p;
            p.width = s.values.cols;
            p.given = s.cols;
            p.members.resize(n);
            std::iota(p.members.begin(), p.members.end(), Index{0});
            std::stable_sort(p.members.begin(), p.members.end(), [&s](Index a, Index b) {
                return s.cols[static_cast<std::size_t>(a)] < s.cols[static_cast<std::size_t>(b)];
            });
            p.cols.resize(n);
            for (std::size_t j = 0; j < n; ++j) p.cols[j] = s.cols[static_cast<std::size_t>(p.members[j])];
            p.tiled = plan_column_blocks(p.cols, p.width, p.blocks);
            plans_.push_back(std::move(p));
        }
        plan_of_.push_back(k);
    }
    hit_.reserve(n);
    buy_bits_.assign((n + 63) / 64, 0);
    sell_bits_.assign((n + 63) / 64, 0);
}

void BlockReader::read_source(const BlockSource& s, const Plan& p, std::size_t bi) {
    hit_.clear();
    const MatrixView& v = s.values;
    const std::size_t step = s.bytes ? 1 : sizeof(double);
    // Tiles where the row is contiguous; the rest one by one.
    std::size_t from = 0;
    bool ok = true;
    if (v.col_stride == static_cast<std::ptrdiff_t>(step) && !p.blocks.empty()) {
        const char* r = element(v, bi, 0);
        if (s.bytes)
            tile_bytes(reinterpret_cast<const std::uint8_t*>(r), p.blocks.data(), p.blocks.size(), p.members.data(),
                       hit_);
        else  // views are aligned (unaligned data is converted before viewing)
            ok =
                tile_ones(reinterpret_cast<const double*>(r), p.blocks.data(), p.blocks.size(), p.members.data(), hit_);
        from = p.tiled;
    }
    for (std::size_t j = from; j < p.cols.size(); ++j) {
        const double x = value_at(v, s.bytes, bi, static_cast<std::size_t>(p.cols[j]));
        if (x == 1.0) hit_.push_back(p.members[j]);
        ok &= is_flag(x);
    }
    if (!ok) refuse(s, p, bi);
}

void BlockReader::refuse(const BlockSource& s, const Plan& p, std::size_t bi) const {
    for (const Index c : p.cols) {
        const double x = value_at(s.values, s.bytes, bi, static_cast<std::size_t>(c));
        if (!is_flag(x))
            throw std::invalid_argument(s.name + " must hold 0 and 1 only (blocked or not); row " + std::to_string(bi) +
                                        ", column " + std::to_string(c) + " holds " + shown(x, s.integers));
    }
    throw std::logic_error("a block value was refused but not found");
}

void BlockReader::read(std::size_t bi, std::uint8_t* buy, std::uint8_t* sell) {
    // Few names are blocked: they are marked as bits, and listed in order
    // by a sweep over n / 64 words.
    for (std::size_t k = 0; k < sources_.size(); ++k) {
        const BlockSource& s = sources_[k];
        read_source(s, plans_[plan_of_[k]], bi);
        for (const Index j : hit_) {
            const auto i = static_cast<std::size_t>(j);
            const std::uint64_t bit = std::uint64_t{1} << (i % 64);
            if (s.buy) buy_bits_[i / 64] |= bit;
            if (s.sell) sell_bits_[i / 64] |= bit;
        }
    }
    buy_names_.clear();
    sell_names_.clear();
    either_names_.clear();
    const auto list = [](std::uint64_t word, std::size_t w, std::vector<Index>& out) {
        for (; word != 0; word &= word - 1) out.push_back(static_cast<Index>(w * 64 + std::countr_zero(word)));
    };
    for (std::size_t w = 0; w < buy_bits_.size(); ++w) {
        const std::uint64_t b = buy_bits_[w], s = sell_bits_[w];
        if ((b | s) == 0) continue;
        list(b, w, buy_names_);
        list(s, w, sell_names_);
        list(b | s, w, either_names_);
        buy_bits_[w] = sell_bits_[w] = 0;
    }
    std::memset(buy, 0, n_);
    std::memset(sell, 0, n_);
    for (const Index i : buy_names_) buy[i] = 1;
    for (const Index i : sell_names_) sell[i] = 1;
}

}  // namespace kestrel::optimizer

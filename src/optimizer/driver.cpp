#include "optimizer/driver.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "position/position_error.hpp"
#include "signal/smoothing.hpp"

namespace kestrel::optimizer {

namespace {

constexpr double kMax = std::numeric_limits<double>::max();

// NaN to 0 and infinities to the largest finite double of their sign.
double clamp_finite(double v) {
    if (std::isnan(v)) return 0.0;
    if (v == std::numeric_limits<double>::infinity()) return kMax;
    if (v == -std::numeric_limits<double>::infinity()) return -kMax;
    return v;
}

// NaN to 0 and infinities to the largest finite double of their sign, as
// plain selects.
inline double clean(double v) {
    const double c = v > kMax ? kMax : (v < -kMax ? -kMax : v);
    return v != v ? 0.0 : c;
}

bool contiguous(const MatrixView& m) { return m.col_stride == static_cast<std::ptrdiff_t>(sizeof(double)); }

const double* row_of(const MatrixView& m, std::size_t row) {
    // Views are aligned (unaligned data is converted before viewing).
    return reinterpret_cast<const double*>(m.base + static_cast<std::ptrdiff_t>(row) * m.row_stride);
}

// One date's row of a library matrix at the universe's columns, cleaned,
// written to out[i * step].
// Deliberately not multiversioned: vector gather instructions are slow on
// many processors, plain loads are not.
void gather(const MatrixView& m, std::size_t row, const Index* cols, std::size_t n, double* out, std::size_t step = 1) {
    if (contiguous(m)) {
        const double* r = row_of(m, row);
        for (std::size_t i = 0; i < n; ++i) out[i * step] = clean(r[cols[i]]);
        return;
    }
    for (std::size_t i = 0; i < n; ++i) out[i * step] = clamp_finite(m.at(row, static_cast<std::size_t>(cols[i])));
}

// NaN to 0 and infinities to the largest finite double of their sign, a
// vector at a time. By reference: a vector passed by value changes the ABI
// between clones.
template <class V>
KESTREL_INLINE void clean(V& v) {
    const V top = V{} + kMax;
    const V c = v > top ? top : (v < -top ? -top : v);
    v = v != v ? V{} : c;
}

// Rows v[a] (L columns each) to columns c[b] (L rows each), in registers.
template <std::size_t L, class V>
KESTREL_INLINE void transpose(const V* v, V* c) {
    if constexpr (L == 4) {
        V p[4];
        for (std::size_t a = 0; a < 4; a += 2) {
            p[a] = __builtin_shufflevector(v[a], v[a + 1], 0, 4, 2, 6);
            p[a + 1] = __builtin_shufflevector(v[a], v[a + 1], 1, 5, 3, 7);
        }
        for (std::size_t b = 0; b < 2; ++b) {
            c[b] = __builtin_shufflevector(p[b], p[b + 2], 0, 1, 4, 5);
            c[b + 2] = __builtin_shufflevector(p[b], p[b + 2], 2, 3, 6, 7);
        }
    } else {
        static_assert(L == 8);
        V p[8], q[8];
        for (std::size_t a = 0; a < 8; a += 2) {
            p[a] = __builtin_shufflevector(v[a], v[a + 1], 0, 8, 2, 10, 4, 12, 6, 14);
            p[a + 1] = __builtin_shufflevector(v[a], v[a + 1], 1, 9, 3, 11, 5, 13, 7, 15);
        }
        for (std::size_t a = 0; a < 8; a += 4)
            for (std::size_t b = 0; b < 2; ++b) {
                q[a + b] = __builtin_shufflevector(p[a + b], p[a + b + 2], 0, 1, 8, 9, 4, 5, 12, 13);
                q[a + b + 2] = __builtin_shufflevector(p[a + b], p[a + b + 2], 2, 3, 10, 11, 6, 7, 14, 15);
            }
        for (std::size_t b = 0; b < 4; ++b) {
            c[b] = __builtin_shufflevector(q[b], q[b + 4], 0, 1, 2, 3, 8, 9, 10, 11);
            c[b + 4] = __builtin_shufflevector(q[b], q[b + 4], 4, 5, 6, 7, 12, 13, 14, 15);
        }
    }
}

// Tiles read ahead of the one being transposed: far enough to cover a
// load's latency from memory, near enough to stay in the first-level cache.
constexpr std::size_t kTilesAhead = 16;

// The security-major block of a date read a tile at a time: L rows of L
// columns are loaded (front to back in each row, so L streams at a time),
// cleaned, transposed in registers, and each universe column's L factors
// stored as one vector. Rows past nk read as zero padding. Security j in
// column order goes to out + dest[j] * stride.
template <std::size_t L>
KESTREL_INLINE void read_tiles_of(const double* const* rows, std::size_t nk, const ColumnBlock* blocks,
                                  std::size_t count, const Index* dest, double* out, std::size_t stride) {
    typedef double V __attribute__((vector_size(L * sizeof(double))));
    for (std::size_t g = 0; g < stride; g += L) {
        const double* r[L];
        std::size_t live = 0;  // rows g .. g + live - 1 are real
        for (std::size_t a = 0; a < L; ++a) {
            r[a] = g + a < nk ? rows[g + a] : nullptr;
            live += r[a] != nullptr;
        }
        double* dst = out + g;
        const Index* to = dest;
        for (std::size_t t = 0; t < count; ++t) {
            // The processor's own prefetch follows this many streams poorly.
            if (t + kTilesAhead < count) {
                const std::size_t ahead = static_cast<std::size_t>(blocks[t + kTilesAhead].block) * 8;
                for (std::size_t a = 0; a < live; ++a) __builtin_prefetch(r[a] + ahead);
            }
            for (std::size_t h = 0; h < 8; h += L) {
                const std::uint32_t mask = (blocks[t].mask >> h) & ((1u << L) - 1);
                if (mask == 0) continue;
                const std::size_t at = static_cast<std::size_t>(blocks[t].block) * 8 + h;
                V v[L], c[L];
                for (std::size_t a = 0; a < L; ++a) {
                    if (r[a]) {
                        std::memcpy(&v[a], r[a] + at, sizeof(V));
                        clean(v[a]);
                    } else {
                        v[a] = V{};
                    }
                }
                transpose<L>(v, c);
                for (std::uint32_t m = mask; m != 0; m &= m - 1)
                    std::memcpy(dst + static_cast<std::size_t>(*to++) * stride, &c[__builtin_ctz(m)], sizeof(V));
            }
        }
    }
}

// Eight-wide tiles where the processor has eight-lane registers; four-wide
// elsewhere, where wider vectors would be split and shuffled lane by lane.
KESTREL_HOT void read_tiles_8(const double* const* rows, std::size_t nk, const ColumnBlock* blocks, std::size_t count,
                              const Index* dest, double* out, std::size_t stride) {
    read_tiles_of<8>(rows, nk, blocks, count, dest, out, stride);
}

KESTREL_HOT void read_tiles_4(const double* const* rows, std::size_t nk, const ColumnBlock* blocks, std::size_t count,
                              const Index* dest, double* out, std::size_t stride) {
    read_tiles_of<4>(rows, nk, blocks, count, dest, out, stride);
}

void read_tiles(const double* const* rows, std::size_t nk, const ColumnBlock* blocks, std::size_t count,
                const Index* dest, double* out, std::size_t stride) {
    (num::wide_vectors() ? read_tiles_8 : read_tiles_4)(rows, nk, blocks, count, dest, out, stride);
}

// How a run reads a date from the library. A universe lists its members in
// the user's order, the library its columns in its own: read in the user's
// order, every date's rows are fetched in random order. So the columns are
// sorted once per run and each date's rows are read front to back, straight
// into the security-major block the exposure passes use. Contiguous rows of
// distinct columns are read by register tiles, eight rows at a time, and the
// block is stored in the universe's order; otherwise security by security,
// all factors at a time, the block in column order (reached through slots).
class DateReader {
public:
    explicit DateReader(const RunData& data) : data_(data), n_(data.scores.cols), nk_(data.barra.size()) {
        order_.resize(n_);
        for (std::size_t i = 0; i < n_; ++i) order_[i] = static_cast<Index>(i);
        const std::vector<Index>& bc = data.bench_cols;
        std::stable_sort(order_.begin(), order_.end(), [&bc](Index x, Index y) { return bc[x] < bc[y]; });
        cols_.resize(n_);
        for (std::size_t j = 0; j < n_; ++j) cols_[j] = bc[order_[j]];
        sorted_bench_ = contiguous(data.bench);
        fused_ = true;
        for (std::size_t k = 0; k < nk_; ++k) fused_ &= contiguous(data.barra[k]) && data.barra_cols[k] == bc;
        rows_.resize(nk_);
        if (fused_) plan_tiles();
    }

    void bench(std::size_t bi, double* out) const {
        if (!sorted_bench_) {
            gather(data_.bench, bi, data_.bench_cols.data(), n_, out);
            return;
        }
        const double* r = row_of(data_.bench, bi);
        for (std::size_t j = 0; j < n_; ++j) out[order_[j]] = clean(r[cols_[j]]);
    }

    void factors(std::size_t bi, risk::SecurityMajor& block) {
        block.shape(n_, nk_);
        const std::size_t stride = block.stride;
        // Cleaned values are finite.
        block.all_finite = true;
        double* out = block.values.data();
        if (!fused_) {
            for (std::size_t i = 0; i < n_; ++i) block.slot[i] = static_cast<Index>(i);
            for (std::size_t k = 0; k < nk_; ++k)
                gather(data_.barra[k], bi, data_.barra_cols[k].data(), n_, out + k, stride);
            for (std::size_t k = nk_; k < stride; ++k)
                for (std::size_t i = 0; i < n_; ++i) out[i * stride + k] = 0.0;
            return;
        }
        for (std::size_t k = 0; k < nk_; ++k) rows_[k] = row_of(data_.barra[k], bi);
        if (!tiles_.empty()) {
            // Stored in the universe's order: the passes walk securities that way.
            for (std::size_t i = 0; i < n_; ++i) block.slot[i] = static_cast<Index>(i);
            read_tiles(rows_.data(), nk_, tiles_.data(), tiles_.size(), order_.data(), out, stride);
            for (std::size_t j = tiled_; j < n_; ++j)
                write_security(j, out + static_cast<std::size_t>(order_[j]) * stride, stride);
            return;
        }
        for (std::size_t j = 0; j < n_; ++j) block.slot[order_[j]] = static_cast<Index>(j);
        for (std::size_t j = 0; j < n_; ++j, out += stride) {
            if (j % kPrefetchEvery == 0 && j + kAhead < n_) {
                const Index ahead = cols_[j + kAhead];
                for (std::size_t k = 0; k < nk_; ++k) __builtin_prefetch(rows_[k] + ahead);
            }
            write_security(j, out, stride);
        }
    }

private:
    // Security j (in column order) read factor by factor.
    void write_security(std::size_t j, double* out, std::size_t stride) const {
        const Index c = cols_[j];
        for (std::size_t k = 0; k < nk_; ++k) out[k] = clean(rows_[k][c]);
        for (std::size_t k = nk_; k < stride; ++k) out[k] = 0.0;
    }

    // The column blocks read by tiles: the universe's columns up to the last
    // whole block of eight in every factor's row. Needs distinct columns
    // (a column listed twice has two securities to store).
    void plan_tiles() {
        std::size_t width = data_.barra.empty() ? 0 : data_.barra.front().cols;
        for (const MatrixView& m : data_.barra) width = std::min(width, m.cols);
        tiled_ = plan_column_blocks(cols_, width, tiles_);
    }

    // Within a date's read, ask for the rows this many securities ahead,
    // every few securities (about a cache line of each row).
    static constexpr std::size_t kPrefetchEvery = 8;
    static constexpr std::size_t kAhead = 64;
    const RunData& data_;
    std::size_t n_, nk_;
    std::vector<Index> order_;  // universe positions by ascending bench column
    std::vector<Index> cols_;   // their columns
    bool sorted_bench_ = false, fused_ = false;
    std::vector<const double*> rows_;
    std::vector<ColumnBlock> tiles_;  // empty: read security by security
    std::size_t tiled_ = 0;           // securities (in column order) the tiles cover
};

bool all_nan(CSpan x) {
    for (double v : x)
        if (!std::isnan(v)) return false;
    return true;
}

// v - v is 0 for finite v and NaN otherwise, summed in vector registers
// without a branch.
KESTREL_HOT bool all_finite(CSpan x) {
    typedef double Lanes __attribute__((vector_size(4 * sizeof(double))));
    Lanes poison{};
    std::size_t i = 0;
    for (; i + 4 <= x.size(); i += 4) {
        Lanes v;
        std::memcpy(&v, x.data() + i, sizeof v);
        poison += v - v;
    }
    double tail = 0.0;
    for (; i < x.size(); ++i) tail += x[i] - x[i];
    return tail == 0.0 && poison[0] == 0.0 && poison[1] == 0.0 && poison[2] == 0.0 && poison[3] == 0.0;
}

// The row's blocks (just read by `reader` into buy and sell) as bounds
// around pre (see position::TradeLimits), with `blocked` the names blocked
// on the row before. The bounds stay sized and filled from date to date:
// only the few blocked names change. Leaves `limits` without bounds when
// nothing is blocked on the row.
void date_bounds(const BlockReader& reader, const std::uint8_t* buy, const std::uint8_t* sell, CSpan pre, Vec& lower,
                 Vec& upper, std::vector<Index>& blocked, position::TradeLimits& limits) {
    const std::size_t n = pre.size();
    constexpr double kInf = std::numeric_limits<double>::infinity();
    if (lower.size() != n) {
        lower.assign(n, 0.0);
        upper.assign(n, kInf);
    }
    for (const Index j : blocked) {
        lower[static_cast<std::size_t>(j)] = 0.0;
        upper[static_cast<std::size_t>(j)] = kInf;
    }
    blocked.assign(reader.either_names().begin(), reader.either_names().end());
    if (blocked.empty()) return;
    double held = 0.0;
    for (const Index j : blocked) {
        const auto k = static_cast<std::size_t>(j);
        if (sell[k]) {
            lower[k] = pre[k];
            held += pre[k];
        }
        if (buy[k]) upper[k] = pre[k];
    }
    limits.lower = lower;
    limits.upper = upper;
    limits.blocked = blocked;
    limits.lower_total = held;
}

// How many names a side blocks on row m, and what they held before it.
void count_blocked(const std::vector<Index>& names, CSpan pre, std::size_t m, std::span<std::int64_t> count,
                   std::span<double> held) {
    if (count.empty()) return;
    double h = 0.0;
    for (const Index j : names) h += pre[static_cast<std::size_t>(j)];
    count[m] = static_cast<std::int64_t>(names.size());
    held[m] = h;
}

// The date's turnover cap: none where the row has none (NaN or infinity)
// and on a date traded from cash, which buys the whole portfolio.
double date_cap(const RunData& data, std::size_t bi, CSpan pre) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    if (data.max_turnover.empty() || std::isnan(data.max_turnover[bi]) || num::sum(pre) == 0.0) return kInf;
    return std::max(data.max_turnover[bi], 0.0);
}

}  // namespace

RunOutcome run_dates(const RunConfig& config, const RunData& data, MSpan weight_res, RunHooks& hooks,
                     const BlockRows& block_rows) {
    const std::size_t t_rows = data.scores.rows;
    const std::size_t n = data.scores.cols;
    const std::size_t nk = data.barra.size();
    position::DispatchParams params = config.params;

    const std::size_t first = config.first_row;
    for (const BlockSource& s : data.blocks)
        if (s.values.rows < t_rows) throw std::invalid_argument("a block source must have a row per date");
    const std::size_t computed = t_rows - std::min(first, t_rows);
    for (const std::span<std::uint8_t> rows : {block_rows.buy, block_rows.sell})
        if (!rows.empty() && rows.size() != computed * n)
            throw std::invalid_argument("block rows must hold one flag per computed date and security");
    for (const auto& [count, held] :
         {std::pair(block_rows.buy_count, block_rows.buy_held), std::pair(block_rows.sell_count, block_rows.sell_held)})
        if (count.size() != held.size() || (!count.empty() && count.size() != computed))
            throw std::invalid_argument("blocked counts must hold one number per computed date");
    if (!data.max_turnover.empty() && data.max_turnover.size() != t_rows)
        throw std::invalid_argument("max_turnover must hold one cap per date");
    const bool blocked = !data.blocks.empty();
    std::optional<BlockReader> block_reader;
    if (blocked) block_reader.emplace(data.blocks, n);
    Vec lower, upper;
    std::vector<Index> blocked_names;
    // A row's flags where the caller keeps none.
    std::vector<std::uint8_t> own_buy(blocked && block_rows.buy.empty() ? n : 0),
        own_sell(blocked && block_rows.sell.empty() ? n : 0);
    DateBuffers b;
    Vec zeros(n, 0.0), row(n), cur_bench(n);
    DateReader reader(data);
    const CSpan start_weight = config.pre_weight.empty() ? CSpan(zeros) : CSpan(config.pre_weight);
    Vec pre_ema = config.pre_ema.value_or(Vec{});
    bool have_pre_ema = config.pre_ema.has_value();
    RunOutcome outcome;
    LoopReport report;
    // Row bi as the row before it (the start's weights for the first row).
    const auto hold_row = [&](std::size_t bi) {
        const CSpan held = bi > first ? CSpan(weight_res.data() + (bi - 1 - first) * n, n) : start_weight;
        std::copy(held.begin(), held.end(), weight_res.begin() + static_cast<std::ptrdiff_t>((bi - first) * n));
    };

    for (std::size_t bi = first; bi < t_rows; ++bi) {
        const CSpan pre_weight = bi > first ? CSpan(weight_res.data() + (bi - 1 - first) * n, n) : start_weight;
        const LoopReport* controlled = nullptr;
        std::uint8_t *buy = nullptr, *sell = nullptr;
        if (blocked) {
            // Read on every row, computed or not: the caller keeps them all.
            buy = block_rows.buy.empty() ? own_buy.data() : block_rows.buy.data() + (bi - first) * n;
            sell = block_rows.sell.empty() ? own_sell.data() : block_rows.sell.data() + (bi - first) * n;
            block_reader->read(bi, buy, sell);
            count_blocked(block_reader->buy_names(), pre_weight, bi - first, block_rows.buy_count, block_rows.buy_held);
            count_blocked(block_reader->sell_names(), pre_weight, bi - first, block_rows.sell_count,
                          block_rows.sell_held);
        }

        if (contiguous(data.scores)) {
            const double* r = row_of(data.scores, bi);
            for (std::size_t i = 0; i < n; ++i) row[i] = r[i] - r[i] == 0.0 ? r[i] : 0.0;  // finite or 0
        } else {
            for (std::size_t i = 0; i < n; ++i) {
                const double v = data.scores.at(bi, i);
                row[i] = std::isfinite(v) ? v : 0.0;
            }
        }
        reader.bench(bi, cur_bench.data());
        const double bench_sum = num::sum(cur_bench);
        if (std::isnan(bench_sum) || bench_sum < 80.0) {
            if (config.hold_skipped) hold_row(bi);
            hooks.date_done(bi, DateStatus::Skipped, nullptr, params);
            continue;
        }
        for (double& w : cur_bench) w /= bench_sum;

        // Standardised per row, then once more as the date's vector.
        b.cur_model_value.resize(n);
        signal::standardise(row, b.cur_model_value);
        signal::standardise(b.cur_model_value, b.cur_model_value);
        if (all_nan(b.cur_model_value)) {
            if (config.hold_skipped) hold_row(bi);
            outcome.empty_rows.push_back(bi);
            hooks.date_done(bi, DateStatus::Empty, nullptr, params);
            continue;
        }
        const std::optional<CSpan> pre_ema_value = have_pre_ema ? std::optional<CSpan>(CSpan(pre_ema)) : std::nullopt;
        smooth(b.cur_model_value, pre_ema_value, config.loop.decay, b.try_ema_value);

        reader.factors(bi, b.by_security);

        b.calc_pos.resize(n);
        b.ws.begin_date();
        // The exposure loop measures a capped trade from its unscaled
        // weights, and scales them once, at the date's end.
        b.ws.defer_turnover_step = nk > 0 && b.by_security.all_finite;
        position::TradeLimits limits;
        if (blocked) date_bounds(*block_reader, buy, sell, pre_weight, lower, upper, blocked_names, limits);
        limits.max_turnover = date_cap(data, bi, pre_weight);
        try {
            position::calc_current_position(params, {b.cur_model_value, b.try_ema_value, cur_bench, pre_weight}, b.ws,
                                            b.caps, b.calc_pos, limits);
            if (nk > 0) {
                control_exposure(params, config.loop, config.arr_expo_threshold, cur_bench, pre_weight, pre_ema_value,
                                 limits, b, report, [&] { hooks.between_passes(); });
                controlled = &report;
            }
        } catch (position::PositionError& e) {
            e.set_row(static_cast<std::ptrdiff_t>(bi));  // the mappings do not know the date
            throw;
        }

        DateStatus status = DateStatus::Processed;
        if (all_finite(b.calc_pos)) {
            pre_ema.assign(b.try_ema_value.begin(), b.try_ema_value.end());
            have_pre_ema = true;
            const auto out = weight_res.begin() + static_cast<std::ptrdiff_t>((bi - first) * n);
            std::copy(b.calc_pos.begin(), b.calc_pos.end(), out);
            if (controlled) {
                const bool capped = position::info(params.algorithm).caps != position::Caps::None;
                hooks.date_stored(bi, {MSpan(&*out, n), capped ? CSpan(b.caps) : CSpan(), cur_bench, &b.by_security,
                                       b.bench_barra, report.returned_expo, &params, pre_weight, b.try_ema_value,
                                       limits.lower, limits.upper, limits.max_turnover});
            }
        } else {
            if (config.hold_skipped) hold_row(bi);
            status = DateStatus::Empty;
            outcome.empty_rows.push_back(bi);
        }
        hooks.date_done(bi, status, controlled, params);
    }
    if (have_pre_ema) outcome.pre_ema = std::move(pre_ema);
    return outcome;
}

}  // namespace kestrel::optimizer

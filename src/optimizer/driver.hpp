// The date loop of a whole run, free of Python: the caller supplies views of
// the scores and of the library's matrices, and hooks for what happens
// between dates (progress, report lines, interruption).
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>

#include "common/matrix_view.hpp"
#include "optimizer/blocks.hpp"
#include "optimizer/exposure_loop.hpp"

namespace kestrel::optimizer {

struct RunConfig {
    position::DispatchParams params;  // for the first date; hooks may change it
    LoopSettings loop;
    bool print_result = true;  // read by the hooks, which write the report lines
    Vec arr_expo_threshold;    // K limits

    // Where the run starts: row first_row, as if the date before it had left
    // pre_weight (empty: nothing held) and pre_ema (nullopt: no date processed yet).
    std::size_t first_row = 0;
    Vec pre_weight;
    std::optional<Vec> pre_ema;

    // A skipped or emptied date keeps the previous row's weights (and the
    // smoothed scores carried so far) instead of an all-zero row.
    bool hold_skipped = false;
};

struct RunData {
    MatrixView scores;                           // T x N
    MatrixView bench;                            // at least T rows, in percent
    std::vector<Index> bench_cols;               // N columns of bench, checked
    std::vector<MatrixView> barra;               // K, at least T rows each
    std::vector<std::vector<Index>> barra_cols;  // N checked columns of each

    // Trades a date may not make (empty: none): a name blocked for buying
    // may not end above its previous weight, one blocked for selling not
    // below it. Blocked on a row where any source of that side holds 1;
    // every source has at least T rows.
    std::vector<BlockSource> blocks;
    // Per row (T; empty: none): a cap on one-way turnover, half the sum of
    // |w - previous|; NaN or infinity: no cap on that row.
    CSpan max_turnover;
};

// What became of a date.
enum class DateStatus : std::int8_t {
    Processed = 0,
    Skipped = 1,  // the universe's benchmark weights sum to NaN or less than 80 percent
    Empty = 2,    // scores or final weights not finite: the row stays zero
};

// A processed date's row as stored, with what an exact repair of it needs.
// Views into the date's buffers, valid during the call only.
struct DateDetail {
    MSpan weights;  // the row in the output: a hook may rewrite it, and the next date starts from it
    CSpan caps;     // the caps the mapping used; empty for a mapping without caps
    CSpan bench;    // the date's benchmark weights, summing to 1
    const risk::SecurityMajor* factors = nullptr;  // K factor values per security
    CSpan bench_expo;                              // K: the benchmark's exposures
    CSpan expo;  // K: active exposures of `weights` as stored (with LoopSettings::measure_returned)
    const position::DispatchParams* params = nullptr;  // the date's settings
    CSpan pre_weight;                                  // the previous row's weights
    CSpan score;                                       // the smoothed scores the date's weights were mapped from
    // The date's blocks as bounds (empty: no blocks): lower is the previous
    // weight where selling is blocked, else 0; upper the previous weight
    // where buying is blocked, else infinity. The caps come on top.
    CSpan lower, upper;
    // The date's turnover cap as the loop applied it; infinity: none (nor on a date traded from cash).
    double max_turnover = std::numeric_limits<double>::infinity();
};

class RunHooks {
public:
    virtual ~RunHooks() = default;
    // Called after every date, skipped or not. `report` is null unless the
    // exposure loop ran on the date. The hook may update `next` for the
    // following date.
    virtual void date_done(std::size_t bi, DateStatus status, const LoopReport* report,
                           position::DispatchParams& next) = 0;
    // Called between correction passes of a date, which may be many; a
    // place to notice an interruption without waiting for the date's end.
    virtual void between_passes() {}
    // Called before date_done on a processed date whose exposures were
    // controlled, once its row is stored.
    virtual void date_stored(std::size_t /*bi*/, const DateDetail& /*detail*/) {}
};

// Where a run with blocks leaves what each row blocks, for every row from
// first_row, computed or not (row bi at bi - first_row); empty: not kept.
struct BlockRows {
    std::span<std::uint8_t> buy, sell;  // (T - first_row) x N flags, 0 or 1, row-major
    // How many names each side blocks, and the weight they held on the row
    // before, summed in ascending order.
    std::span<std::int64_t> buy_count, sell_count;
    std::span<double> buy_held, sell_held;
};

struct RunOutcome {
    // Dates left empty because their scores or final weights were not finite.
    std::vector<std::size_t> empty_rows;
    // The smoothed scores the next date would come in with.
    std::optional<Vec> pre_ema;
};

// Fills weight_res ((T - first_row) x N, row-major, zero on entry) date by
// date from row config.first_row; row bi goes to weight_res row bi - first_row.
// A block value neither 0, 1 nor NaN throws std::invalid_argument, on the
// row that holds it.
RunOutcome run_dates(const RunConfig& config, const RunData& data, MSpan weight_res, RunHooks& hooks,
                     const BlockRows& block_rows = {});

}  // namespace kestrel::optimizer

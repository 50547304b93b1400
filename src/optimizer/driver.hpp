// The date loop of a whole run, free of Python: the caller supplies views of
// the scores and of the library's matrices, and hooks for what happens
// between dates (progress, report lines, interruption).
#pragma once

#include "common/matrix_view.hpp"
#include "optimizer/exposure_loop.hpp"

namespace kestrel::optimizer {

struct RunConfig {
    position::DispatchParams params;  // for the first date; hooks may change it
    LoopSettings loop;
    bool print_result = true;
    Vec arr_expo_threshold;  // K limits
};

struct RunData {
    MatrixView scores;               // T x N
    MatrixView bench;                // at least T rows, in percent
    std::vector<Index> bench_cols;   // N columns of bench, checked
    std::vector<MatrixView> barra;   // K, at least T rows each
    std::vector<std::vector<Index>> barra_cols;  // N checked columns of each
};

class RunHooks {
public:
    virtual ~RunHooks() = default;
    // Called after every date, skipped or not. `report` is null when the date
    // printed no line. The hook may update `next` for the following date.
    virtual void date_done(std::size_t bi, const LoopReport* report,
                           position::DispatchParams& next) = 0;
    // Called between correction passes of a date, which may be many; a
    // place to notice an interruption without waiting for the date's end.
    virtual void between_passes() {}
};

struct RunOutcome {
    // Dates left empty because their scores or final weights were not finite.
    std::vector<std::size_t> empty_rows;
};

// Fills weight_res (T x N, row-major, zero on entry) date by date.
RunOutcome run_dates(const RunConfig& config, const RunData& data, MSpan weight_res, RunHooks& hooks);

}  // namespace kestrel::optimizer

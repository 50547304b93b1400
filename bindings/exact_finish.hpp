// The exact finish of Kestrel.run: a date whose returned weights still
// exceed a limit is handed to a solver written in Python (Kestrel.finish),
// which returns the best portfolio inside every limit, or the one that
// exceeds them least. The answer is checked here, against the library's
// data, before it replaces the row.
#pragma once

#include <string>

#include "convert.hpp"
#include "optimizer/driver.hpp"

namespace kestrel::bind {

// How closely a finished row must keep its bounds: every |exposure| within
// limit * (1 + excess) * (1 + relative) + absolute, the turnover likewise.
struct FinishTolerance {
    double relative = 1e-9;
    double absolute = 1e-12;  // so that a limit of 0 can be met
};

// Whether some |expo| exceeds its limit beyond the tolerance.
bool over_tolerance(CSpan expo, CSpan limits, const FinishTolerance& tol);

struct FinishOutcome {
    bool finished = false;
    double moved = 0.0;    // L1 distance from the stored row; 0 when kept
    std::string status;    // the solver's, or why its answer was refused
    std::string gave_way;  // what gave way ("" when nothing did)
    double excess = 0.0;   // relative excess of the limits allowed
};

class ExactFinish {
public:
    // solver(w0, lower, upper, factors, bench_expo, limits, pre, max_turnover,
    // score, cost) -> (weights or None, status, gave_way, excess). The arrays
    // it is given are reused from date to date. Needs the GIL.
    ExactFinish(py::object solver, CSpan limits, std::size_t n, const FinishTolerance& tol);

    // Replaces detail.weights by the solver's row when its answer keeps the
    // bounds, the total and every limit (as far as it says they gave way);
    // expo (K) then receives that row's exposures. Takes the GIL for the
    // solve only.
    FinishOutcome repair(const optimizer::DateDetail& detail, MSpan expo);

private:
    py::object solver_;
    Vec limits_;
    FinishTolerance tol_;
    // Arguments of the solver, filled without the GIL and reused date to date.
    Array weights_, lower_, upper_, factors_, bench_expo_, limit_array_, pre_, score_;
    Vec candidate_, check_;
};

}  // namespace kestrel::bind

// The exact finish of Kestrel.run: a date whose returned weights still
// exceed a limit is handed to kestrel_tools.finish, which solves for the
// nearest portfolio inside every limit. The answer is checked here, against
// the library's data, before it replaces the row.
#pragma once

#include <string>

#include "convert.hpp"
#include "optimizer/driver.hpp"

namespace kestrel::bind {

// A date needs finishing when some |exposure| > limit * (1 + kFinishTolerance).
inline constexpr double kFinishTolerance = 1e-9;

bool over_tolerance(CSpan expo, CSpan limits);

struct FinishOutcome {
    bool finished = false;
    double moved = 0.0;  // L1 distance from the stored row; 0 when kept
    std::string status;  // the solver's, or why its answer was refused
};

class ExactFinish {
public:
    // solver: a kestrel_tools.finish.Finisher, or None for one with its
    // defaults (imports the module, and with it the solver). Needs the GIL.
    ExactFinish(py::object solver, CSpan limits, std::size_t n);

    // Replaces detail.weights by the nearest feasible row when the solve
    // succeeds and its answer holds every limit; expo (K) then receives that
    // row's exposures. Takes the GIL for the solve only.
    FinishOutcome repair(const optimizer::DateDetail& detail, MSpan expo);

private:
    py::object solver_;
    Vec limits_;
    // Arguments of the solver, filled without the GIL and reused date to date.
    Array weights_, caps_, factors_, expo_, limit_array_;
    Vec candidate_, check_;
};

}  // namespace kestrel::bind

// Kestrel.run: a run as an object. RunResult holds the weights of the rows a
// run computed with each date's diagnostics as arrays; RunState is what the
// date loop hands from one date to the next, so a later run can go on from it.
#pragma once

#include "convert.hpp"

namespace kestrel::bind {

struct RunState {
    Index row = -1;       // the last row done; -1: none
    py::array weights;    // N float64, read-only: the previous weights of row + 1
    py::object smoothed;  // N float64, read-only, or None before any processed date
};

// Checked: row an integer >= -1, weights finite and non-negative, smoothed
// None or of the weights' length. Errors name "RunState.<field>".
RunState make_state(py::handle row, py::handle weights, py::handle smoothed);

// All arrays read-only; see Kestrel.pyi for shapes and dtypes.
struct RunResult {
    py::object weights, rows, risk_names, limits, status, loop_count, first_expo, last_expo, over_limit;
    py::object bench_hold, hold_num, total, univ_idx, seconds, state;
    // Exposures of the weights returned, and what the exact finish did per date.
    py::object expo, finished, finish_moved, finish_status;
};

// From arrays as saved: converted, shapes checked against each other. The
// returned-weight exposures and the finish's fields may be missing (files
// saved before they existed): NaN, False, 0 and "" then.
RunResult make_result(const py::dict& fields);

RunResult run(py::object opt_name, py::object bench_symbol, py::object secu_pct, py::object cfg,
              py::handle predict_values, py::handle univ_idx, py::handle start, bool progress, bool print_result,
              py::handle finish);

}  // namespace kestrel::bind

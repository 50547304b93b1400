// Kestrel.run: a run as an object. RunResult holds the weights of the rows a
// run computed with each date's diagnostics as arrays; RunState is what the
// date loop hands from one date to the next, so a later run can go on from it.
#pragma once

#include "convert.hpp"

namespace kestrel::bind {

// What made a state, so that a run going on from it can tell a different
// universe or different settings. Each field None when unknown (a state made
// by hand, or read from a file saved before states carried it).
struct RunRecord {
    py::object univ_idx;      // N int64, read-only: the universe's columns, as given
    py::object algorithm;     // str
    py::object bench_symbol;  // str
    py::object secu_pct;      // float
    py::object settings;      // str: fingerprint of the settings that shape weights
};

struct RunState {
    Index row = -1;       // the last row done; -1: none
    py::array weights;    // N float64, read-only: the previous weights of row + 1
    py::object smoothed;  // N float64, read-only, or None before any processed date
    RunRecord record;
};

// Checked: row an integer >= -1, weights finite and non-negative, smoothed
// None or finite of the weights' length, the record's fields None or of
// their type (univ_idx of the weights' length). Errors name "RunState.<field>".
RunState make_state(py::handle row, py::handle weights, py::handle smoothed, const RunRecord& record = {});

// Kestrel.StateMismatchWarning, a subclass of Kestrel.KestrelWarning (which
// must be registered first).
void register_state_warning(py::module_& m);

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

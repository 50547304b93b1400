// What a run reads, as views for the core's date loop: the score matrix, the
// universe's column positions, and the library matrices from at most two
// RunLoopOnce requests.
#pragma once

#include <string>
#include <vector>

#include "convert.hpp"
#include "optimizer.hpp"
#include "optimizer/driver.hpp"
#include "risk_names.hpp"

namespace kestrel::bind {

// predictValues as a T x N view, read in place (only non-float64 input is
// converted); the array behind the view is appended to `keep`.
MatrixView score_view(py::handle predict_values, std::vector<py::object>& keep);

// univ_idx as int64 column positions, checked for type and length n (the
// score matrix's columns; `rows` its rows, to tell a transposed matrix).
std::vector<Index> column_positions(py::handle univ_idx, py::ssize_t n, py::ssize_t rows);

// Positions into one matrix of `cols` columns, negative ones counted from its
// end; out of range is numpy's IndexError naming the library field.
std::vector<Index> columns_in(const std::vector<Index>& positions, std::size_t cols, const std::string& field);

// Requests the risk names (none: no request, barra_data None), then the
// benchmark weights, attaching both results to `self` as barra_data and
// benchweight_data, and fills data.barra, data.bench and their column maps.
// data.scores must be set. Views' backing arrays are appended to `keep`.
void request_library_data(Optimizer& self, const std::vector<std::string>& risk_names,
                          const std::vector<Index>& positions, optimizer::RunData& data, std::vector<py::object>& keep);

// Everything a run reads before its first date, in the order its errors are
// reported: settings, risk names (sectors added to cfg), scores, univ_idx and
// the library requests.
struct PreparedRun {
    optimizer::RunConfig config;  // risk limits included
    RiskNames risk;
    optimizer::RunData data;
    std::vector<Index> positions;  // univ_idx as given
    std::vector<py::object> keep;  // arrays behind the views
    double request_seconds = 0.0;  // spent in the library's requests
};

// How a run reads its settings: the entry functions' way (the defaults), or
// Kestrel.run's, which ignores cfg's "print_result", leaves cfg as it was and
// refuses settings out of their range.
struct ReadMode {
    bool read_print_result = true;  // false: config.print_result is false
    bool extend_cfg = true;         // add the sector limits to cfg["risk_factor_expo"]
    bool strict = false;            // out-of-range settings raise rather than warn
};

PreparedRun prepare_run(Optimizer& self, py::handle predict_values, py::handle univ_idx, const ReadMode& mode = {});

}  // namespace kestrel::bind

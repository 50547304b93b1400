// Reading the settings mapping cfg: required keys, defaults, and the scalar
// settings of a run, looked up in the order their errors are reported.
#pragma once

#include <string_view>
#include <vector>

#include "convert.hpp"
#include "optimizer/driver.hpp"
#include "position/algorithms.hpp"

namespace kestrel::bind {

// A required setting: cfg[key]. A missing key stays the mapping's own
// KeyError, with a note saying what needs it (`needed_by` completes
// "required by ...") and any key of cfg that looks like a misspelling of it;
// a cfg that cannot be subscripted by text gets a TypeError naming cfg.
py::object required_setting(py::handle cfg, const char* key, const std::string& needed_by = "Kestrel");

// Every key Kestrel reads from a settings mapping, for some algorithm or
// entry function.
const std::vector<std::string_view>& setting_keys();

// One SettingsWarning naming every text key of cfg that no algorithm reads,
// with the closest key Kestrel does read where one is close. A cfg without
// keys() passes silently.
void warn_unknown_keys(py::handle cfg);

// cfg[name] when `name in cfg`, else default_value.
py::object value_or_default(py::handle cfg, py::handle name, py::handle default_value);

// A setting's value as a double, errors naming "setting '<key>'".
double setting_value(py::handle value, const char* key);

// Raw setting values, looked up before anything is converted so that a
// missing required key is reported first. Settings the algorithm does not
// read stay null.
struct RawSettings {
    py::object print_result, learning_rate, max_loop_num, max_weight;
    py::object weight_multi, risk_cost, each_single_weight, num_long;
    py::object decay, bench_coeff, pre_coeff, each_sector_expo, risk_factor_expo;
};

// Looks up every setting `algorithm` reads (see position::kAlgorithms); for
// Unknown only the common ones.
RawSettings read_settings(py::handle cfg, position::Algorithm algorithm);

// The run's configuration from the raw settings; secu_pct is read only for a
// known algorithm. The risk limits (arr_expo_threshold) are left to the caller.
optimizer::RunConfig run_config(const RawSettings& raw, position::Algorithm algorithm, py::handle secu_pct);

// Settings outside the range where they mean something (decay outside
// [0, 1], a negative limit, max_loop_num below 1, a learning_rate, weight_multi
// or each_single_weight not above 0, NaN anywhere): a ValueError naming the
// key, the value and the range when `strict`, else one SettingsWarning, as
// the entry functions' results are fixed. `names` and the config's limits
// are the run's risk names.
void check_ranges(const optimizer::RunConfig& config, const std::vector<std::string>& names, bool strict);

}  // namespace kestrel::bind

// What to do about a mistake: the closest valid name to a misspelt one, and
// the notes that errors carry besides their fixed messages.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "position/dispatch.hpp"
#include "position/position_error.hpp"

namespace kestrel::bind {

// The candidate `name` most likely stands for: equal but for letter case, or
// within a small edit distance (1 for short names, 2 from 8 characters on).
// Empty when none is that close, or when `name` is itself a candidate.
std::string closest_name(std::string_view name, const std::vector<std::string_view>& candidates);

// The candidate a misspelt key most likely stands for: closest_name, or else
// the one sharing the longest prefix with it, when that prefix is most of it
// ('max_loops' for 'max_loop_num'). Empty when none is that close.
std::string closest_key(std::string_view name, const std::vector<std::string_view>& candidates);

// "'a', 'b' and 'c'".
std::string quoted_list(const std::vector<std::string_view>& names);

// Note for "Wrong opt_name:...": the five names and the closest one.
std::string opt_name_note(std::string_view opt_name, bool is_text);

// Note for a mapping's failure: the date, the algorithm, the total reached
// against the target, and the settings that made the caps. `params` is null
// outside a run (a mapping called directly). `printed`: the diagnostic line
// went to stdout (otherwise it follows the note).
std::string position_error_note(const position::PositionError& e, const position::DispatchParams* params,
                                bool printed = true);

}  // namespace kestrel::bind

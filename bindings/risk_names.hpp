// The risk names a run controls and their limits, from cfg["risk_factor_expo"],
// with the 28 sector formulas added when the sector limit is at most 0.2: in
// place to the caller's own mapping (the entry functions), or to the list
// alone (Kestrel.run, which leaves cfg as it was).
#pragma once

#include <string>
#include <vector>

#include "convert.hpp"

namespace kestrel::bind {

inline constexpr int kSectorCount = 28;

// The library formula of sector `code`'s membership: 1 inside, 0 outside.
std::string sector_formula(int code);

// Whether `name` is the formula of one of the 28 sectors.
bool is_sector_formula(const std::string& name);

struct RiskNames {
    std::vector<std::string> names;  // in the mapping's order, sectors last
    Vec limits;
    std::size_t caller_count = 0;  // names the caller gave, before sectors were added
};

// Errors name "setting 'risk_factor_expo'" and "setting 'each_sector_expo'".
// With extend_mapping false the mapping is only read, and sector formulas it
// already holds (left there by an entry function) count as sectors, not as
// names of the caller's: the factors come first, then the sectors, as from a
// mapping that never held them.
RiskNames risk_names(py::handle risk_factor_expo, py::handle each_sector_expo, bool extend_mapping = true);

}  // namespace kestrel::bind

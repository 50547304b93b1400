// The risk names a run controls and their limits, from cfg["risk_factor_expo"],
// with the 28 sector formulas added in place to the caller's own mapping when
// the sector limit is at most 0.2.
#pragma once

#include <string>
#include <vector>

#include "convert.hpp"

namespace kestrel::bind {

inline constexpr int kSectorCount = 28;

// The library formula of sector `code`'s membership: 1 inside, 0 outside.
std::string sector_formula(int code);

struct RiskNames {
    std::vector<std::string> names;  // in the mapping's order, sectors last
    Vec limits;
    std::size_t caller_count = 0;  // names the caller gave, before sectors were added
};

// Errors name "setting 'risk_factor_expo'" and "setting 'each_sector_expo'".
RiskNames risk_names(py::handle risk_factor_expo, py::handle each_sector_expo);

}  // namespace kestrel::bind

// The line a run prints for each date whose exposures were controlled.
#pragma once

#include <cstddef>
#include <string>

#include "optimizer/exposure_loop.hpp"

namespace kestrel::optimizer {

// "<date> LoopCount: <n> FirstExpo: [..] LastExpo: [..] BenchHold: <x> HoldNum: (<n>,) <total>".
// The exposure lists show the first `shown` risk names only (the caller's own
// names, not the sector limits added to them); "None" when nothing was measured.
std::string report_line(std::size_t date, const LoopReport& report, std::size_t shown);

}  // namespace kestrel::optimizer

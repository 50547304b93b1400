#include "optimizer/report_line.hpp"

#include <algorithm>

#include "common/format.hpp"

namespace kestrel::optimizer {

std::string report_line(std::size_t date, const LoopReport& report, std::size_t shown) {
    const auto head = [shown, &report](const Vec& v) {
        return report.measured ? fmt::vec(CSpan(v.data(), std::min(shown, v.size()))) : std::string("None");
    };
    return std::to_string(date) + " LoopCount: " + std::to_string(report.loop_count) +
           " FirstExpo: " + head(report.first_expo) + " LastExpo: " + head(report.expo) +
           " BenchHold: " + fmt::repr(report.bench_hold) + " HoldNum: (" + std::to_string(report.hold_num) + ",) " +
           fmt::repr(report.total);
}

}  // namespace kestrel::optimizer

// The mappings' failure: a fixed message plus the diagnostic line that is
// written to standard output before the failure reaches the caller.
#pragma once

#include <cstddef>
#include <limits>
#include <stdexcept>
#include <string>

namespace kestrel::position {

inline constexpr const char* kWrongPosition = "Wrong Position Error";
inline constexpr const char* kWrongPositionMaxWeight = "Wrong Position MaxWeight Error";

// Besides the fixed message it carries what a caller needs to find the
// cause: the total reached against the target and what the caps allowed
// (NaN when the failure is a cap violation), and the date row, which only
// the date loop knows and adds on the way out (-1 outside a run).
class PositionError : public std::runtime_error {
public:
    static constexpr double kUnknown = std::numeric_limits<double>::quiet_NaN();

    PositionError(const char* message, std::string diagnostic, double total = kUnknown, double target = kUnknown,
                  double cap_total = kUnknown)
        : std::runtime_error(message),
          diagnostic_(std::move(diagnostic)),
          total_(total),
          target_(target),
          cap_total_(cap_total) {}
    // Empty when nothing is printed before the failure.
    const std::string& diagnostic() const { return diagnostic_; }
    double total() const { return total_; }
    double target() const { return target_; }
    double cap_total() const { return cap_total_; }
    std::ptrdiff_t row() const { return row_; }
    void set_row(std::ptrdiff_t row) { row_ = row; }

private:
    std::string diagnostic_;
    double total_, target_, cap_total_;
    std::ptrdiff_t row_ = -1;
};

}  // namespace kestrel::position

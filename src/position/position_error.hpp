// The mappings' failure: a fixed message plus the diagnostic line that is
// written to standard output before the failure reaches the caller.
#pragma once

#include <stdexcept>
#include <string>

namespace kestrel::position {

inline constexpr const char* kWrongPosition = "Wrong Position Error";
inline constexpr const char* kWrongPositionMaxWeight = "Wrong Position MaxWeight Error";

class PositionError : public std::runtime_error {
public:
    PositionError(const char* message, std::string diagnostic)
        : std::runtime_error(message), diagnostic_(std::move(diagnostic)) {}
    // Empty when nothing is printed before the failure.
    const std::string& diagnostic() const { return diagnostic_; }

private:
    std::string diagnostic_;
};

}  // namespace kestrel::position

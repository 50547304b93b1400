// What happens between the dates of a run, with the GIL taken back briefly:
// the report line, the progress tick, Ctrl-C, and re-reading opt_name and
// secu_pct from the object, which the caller may change mid-run.
#pragma once

#include <chrono>
#include <cstddef>

#include "optimizer.hpp"
#include "optimizer/driver.hpp"
#include "python_output.hpp"

namespace kestrel::bind {

class PythonHooks : public optimizer::RunHooks {
public:
    // Report lines, when `print` is set, show the first `shown` risk names.
    PythonHooks(const Optimizer& self, ProgressBar& bar, bool print, std::size_t shown);

    void date_done(std::size_t bi, optimizer::DateStatus status, const optimizer::LoopReport* report,
                   position::DispatchParams& next) override;

    // A date with many passes can last long: looks for Ctrl-C every 50 ms,
    // which costs one clock read per pass otherwise.
    void between_passes() override;

private:
    const Optimizer& self_;
    ProgressBar& bar_;
    bool print_;
    std::size_t shown_;
    std::chrono::steady_clock::time_point last_poll_ = std::chrono::steady_clock::now();
};

// Runs the date loop with the GIL released. An algorithm name that became
// unknown mid-run is reported as WrongOptName with the object's current name.
// Without `print_diagnostic` a mapping's diagnostic line goes into the
// error's note rather than to sys.stdout.
optimizer::RunOutcome run_dates_without_gil(const optimizer::RunConfig& config, const optimizer::RunData& data,
                                            MSpan weight_res, PythonHooks& hooks, py::handle opt_name,
                                            bool print_diagnostic = true, const optimizer::BlockRows& block_rows = {});

}  // namespace kestrel::bind

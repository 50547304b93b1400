#include "run_hooks.hpp"

#include <string>

#include "errors.hpp"
#include "optimizer/report_line.hpp"

namespace kestrel::bind {

PythonHooks::PythonHooks(const Optimizer& self, ProgressBar& bar, bool print, std::size_t shown)
    : self_(self), bar_(bar), print_(print), shown_(shown) {}

void PythonHooks::date_done(std::size_t bi, optimizer::DateStatus, const optimizer::LoopReport* report,
                            position::DispatchParams& next) {
    // Formatted before the GIL is taken: another thread's run may be waiting for it.
    const std::string line = report && print_ ? optimizer::report_line(bi, *report, shown_) : std::string();
    py::gil_scoped_acquire gil;
    if (report && print_) write_stdout_line(line);
    bar_.tick();
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    next.algorithm = algorithm_of(self_.opt_name);
    if (next.algorithm != position::Algorithm::Unknown) next.secu_pct = as_double(self_.secu_pct, "secu_pct");
}

void PythonHooks::between_passes() {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_poll_ < std::chrono::milliseconds(50)) return;
    last_poll_ = now;
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

optimizer::RunOutcome run_dates_without_gil(const optimizer::RunConfig& config, const optimizer::RunData& data,
                                            MSpan weight_res, PythonHooks& hooks, py::handle opt_name,
                                            bool print_diagnostic, const optimizer::BlockRows& block_rows) {
    try {
        py::gil_scoped_release release;
        return optimizer::run_dates(config, data, weight_res, hooks, block_rows);
    } catch (const position::UnknownAlgorithm&) {
        throw WrongOptName(opt_name);  // the core knows the enum, not the caller's object
    } catch (const position::PositionError& e) {
        set_position_error(e, &config.params, print_diagnostic);  // the note names the settings behind the caps
        throw py::error_already_set();
    }
}

}  // namespace kestrel::bind

// What a run shows the user, all through Python: lines on sys.stdout, the
// tqdm progress bar and the warning about empty dates.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <string>
#include <vector>

namespace kestrel::bind {

namespace py = pybind11;

// Writes one line through sys.stdout, so redirection and notebooks see it.
// Nothing is written when sys.stdout is None.
void write_stdout_line(const std::string& line);

// RuntimeWarning naming the dates left empty (rows of the weight matrix).
void warn_empty_dates(const std::vector<std::size_t>& rows);

// A tqdm bar over `total` dates, closed exactly once: by close() on success,
// so that its errors reach the caller, or else by the destructor, which keeps
// the error already on its way out. A bar that is not shown does nothing.
class ProgressBar {
public:
    explicit ProgressBar(std::size_t total, bool shown = true);
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    ~ProgressBar();

    void tick();  // needs the GIL
    void close();

private:
    py::object bar_;
};

}  // namespace kestrel::bind

#include "python_output.hpp"

#include <stdexcept>

namespace kestrel::bind {

void write_stdout_line(const std::string& line) {
    // Looked up at every line: the caller may redirect sys.stdout mid-run.
    PyObject* out = PySys_GetObject("stdout");                        // borrowed
    if (out == nullptr) throw std::runtime_error("lost sys.stdout");  // as print() says
    if (out == Py_None) return;
    py::handle(out).attr("write")(py::str(line + "\n"));
}

void warn_empty_dates(const std::vector<std::size_t>& rows) {
    std::string list;
    for (std::size_t i = 0; i < rows.size(); ++i) list += (i ? ", " : "") + std::to_string(rows[i]);
    const std::string msg = "Kestrel: " + std::to_string(rows.size()) +
                            " date(s) left empty because they had no usable scores (all missing or all equal) or their "
                            "weights were not finite: rows [" +
                            list + "]";
    if (PyErr_WarnEx(PyExc_RuntimeWarning, msg.c_str(), 1) < 0) throw py::error_already_set();
}

ProgressBar::ProgressBar(std::size_t total, bool shown) {
    if (shown) bar_ = py::module_::import("tqdm.auto").attr("tqdm")(py::arg("total") = total);
}

void ProgressBar::tick() {
    if (bar_) bar_.attr("update")(1);
}

void ProgressBar::close() {
    if (!bar_) return;
    py::object bar = std::move(bar_);
    bar.attr("close")();
}

ProgressBar::~ProgressBar() {
    if (!bar_) return;
    // Unwinding: the error on its way out is the one to report.
    py::error_scope pending;
    try {
        close();
    } catch (py::error_already_set&) {}
}

}  // namespace kestrel::bind

#include "errors.hpp"

#include <string>

#include "position/position_error.hpp"
#include "python_output.hpp"

namespace kestrel::bind {

WrongOptName::WrongOptName(py::handle opt_name)
    : std::runtime_error("Wrong opt_name:" + std::string(py::str(opt_name))) {}

void register_error_translator() {
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const position::PositionError& e) {
            try {
                if (!e.diagnostic().empty()) write_stdout_line(e.diagnostic());
            } catch (py::error_already_set& write_failed) {
                write_failed.restore();  // the stream's own error wins, as a print would
                return;
            }
            PyErr_SetString(PyExc_Exception, e.what());
        } catch (const WrongOptName& e) {
            PyErr_SetString(PyExc_Exception, e.what());
        }
    });
}

}  // namespace kestrel::bind

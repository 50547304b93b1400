// The core's errors as Python sees them, translated in one place (registered
// by module.cpp) rather than caught in each binding.
#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>

namespace kestrel::bind {

namespace py = pybind11;

// An algorithm name outside the five: Python's plain Exception
// "Wrong opt_name:<str(name)>", for any object.
class WrongOptName : public std::runtime_error {
public:
    explicit WrongOptName(py::handle opt_name);
};

// position::PositionError writes its diagnostic line (if any) through
// sys.stdout and becomes a plain Exception with its fixed message;
// WrongOptName becomes a plain Exception.
void register_error_translator();

}  // namespace kestrel::bind

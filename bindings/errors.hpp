// The core's errors as Python sees them, translated in one place (registered
// by module.cpp) rather than caught in each binding; the notes that tell the
// caller what to do; Kestrel's warning classes.
#pragma once

#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

#include "position/dispatch.hpp"
#include "position/position_error.hpp"

namespace kestrel::bind {

namespace py = pybind11;

// An algorithm name outside the five: Python's plain Exception
// "Wrong opt_name:<str(name)>", for any object, with a note naming the valid
// names. The message keeps every character of the name, NUL included.
class WrongOptName : public std::runtime_error {
public:
    explicit WrongOptName(py::handle opt_name);
    const std::string& message() const { return message_; }
    const std::string& note() const { return note_; }

private:
    std::string message_, note_;
};

// position::PositionError writes its diagnostic line (if any) through
// sys.stdout and becomes Kestrel.PositionError (an Exception) with its fixed
// message and a note; WrongOptName becomes a plain Exception with its note.
void register_error_translator();

// Sets the Python error for `e` as the translator does; `params` (the run's
// settings) adds the settings that made the caps to the note. Without
// `print_diagnostic` the diagnostic line goes into the note instead of
// sys.stdout.
void set_position_error(const position::PositionError& e, const position::DispatchParams* params,
                        bool print_diagnostic = true);

// Adds a note (BaseException.add_note) to a caught Python error.
void add_note(py::error_already_set& e, const std::string& note);

// Raises `type(message)` carrying `note`.
[[noreturn]] void raise_with_note(PyObject* type, const std::string& message, const std::string& note);

// Kestrel.KestrelWarning (a UserWarning) and its subclass
// Kestrel.SettingsWarning, added to the module.
void register_warning_classes(py::module_& m);

// Kestrel.PositionError, raised for the mappings' failures; added to the module
// before any function can raise it.
void register_error_classes(py::module_& m);

// Issues a warning of either class; a warning turned into an error raises.
void warn_kestrel(const std::string& message);
void warn_settings(const std::string& message);

// While one lives, this thread's warnings point `level` frames up from the
// compiled function (1: its caller; 2: the caller of the Python function
// that called it, as Kestrel.run's user).
class WarningLevel {
public:
    explicit WarningLevel(int level);
    ~WarningLevel();
    WarningLevel(const WarningLevel&) = delete;
    WarningLevel& operator=(const WarningLevel&) = delete;

private:
    int saved_;
};

}  // namespace kestrel::bind

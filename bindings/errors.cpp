#include "errors.hpp"

#include <string>

#include "hints.hpp"
#include "python_output.hpp"

namespace kestrel::bind {

namespace {

PyObject* kestrel_warning = nullptr;  // owned by the module for its lifetime
PyObject* settings_warning = nullptr;
PyObject* position_error = nullptr;

std::string text_of(py::handle obj) {
    const py::str s(obj);
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(s.ptr(), &size);
    if (!data) throw py::error_already_set();
    return {data, static_cast<std::size_t>(size)};  // NUL characters included
}

// Sets type(message) with a note as the pending Python error.
void set_with_note(PyObject* type, const std::string& message, const std::string& note) {
    py::object exc = py::reinterpret_borrow<py::object>(type)(py::str(message.data(), message.size()));
    if (!note.empty()) exc.attr("add_note")(py::str(note));
    PyErr_SetObject(type, exc.ptr());
}

thread_local int warning_level = 1;

void warn(PyObject* category, const std::string& message) {
    if (PyErr_WarnEx(category ? category : PyExc_UserWarning, message.c_str(), warning_level) < 0)
        throw py::error_already_set();
}

}  // namespace

WrongOptName::WrongOptName(py::handle opt_name)
    : std::runtime_error("Wrong opt_name"), message_("Wrong opt_name:" + text_of(opt_name)) {
    const bool is_text = PyUnicode_Check(opt_name.ptr());
    note_ = opt_name_note(is_text ? std::string_view(message_).substr(15) : std::string_view(), is_text);
}

void add_note(py::error_already_set& e, const std::string& note) { e.value().attr("add_note")(py::str(note)); }

void raise_with_note(PyObject* type, const std::string& message, const std::string& note) {
    set_with_note(type, message, note);
    throw py::error_already_set();
}

void set_position_error(const position::PositionError& e, const position::DispatchParams* params,
                        bool print_diagnostic) {
    const bool printed = print_diagnostic && !e.diagnostic().empty();
    if (printed) write_stdout_line(e.diagnostic());
    std::string note = position_error_note(e, params, printed);
    if (!printed && !e.diagnostic().empty()) note += "\n" + e.diagnostic();
    set_with_note(position_error ? position_error : PyExc_Exception, e.what(), note);
}

void register_error_translator() {
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const position::PositionError& e) {
            try {
                set_position_error(e, nullptr);
            } catch (py::error_already_set& write_failed) {
                write_failed.restore();  // the stream's own error wins, as a print would
            }
        } catch (const WrongOptName& e) {
            try {
                set_with_note(PyExc_Exception, e.message(), e.note());
            } catch (py::error_already_set& failed) {
                failed.restore();
            }
        }
    });
}

void register_warning_classes(py::module_& m) {
    kestrel_warning = PyErr_NewExceptionWithDoc(
        "Kestrel.KestrelWarning", "Kestrel's warnings about inputs that are taken, but probably not as meant.",
        PyExc_UserWarning, nullptr);
    if (!kestrel_warning) throw py::error_already_set();
    settings_warning = PyErr_NewExceptionWithDoc(
        "Kestrel.SettingsWarning", "A cfg key that Kestrel does not read but that is close to one it does.",
        kestrel_warning, nullptr);
    if (!settings_warning) throw py::error_already_set();
    m.attr("KestrelWarning") = py::handle(kestrel_warning);
    m.attr("SettingsWarning") = py::handle(settings_warning);
}

void register_error_classes(py::module_& m) {
    // A plain Exception subclass: `except Exception` and message checks written
    // before it existed keep working.
    position_error =
        PyErr_NewExceptionWithDoc("Kestrel.PositionError",
                                  "A date's weights cannot be made to fit their caps.\n\n"
                                  "The message is one of two fixed texts:\n\n"
                                  "- \"Wrong Position Error\": the weights miss secu_pct, usually because\n"
                                  "  the caps add up to less;\n"
                                  "- \"Wrong Position MaxWeight Error\": a weight exceeds its cap.\n\n"
                                  "The notes (__notes__) name the date, the algorithm and the settings\n"
                                  "behind the caps.",
                                  PyExc_Exception, nullptr);
    if (!position_error) throw py::error_already_set();
    m.attr("PositionError") = py::handle(position_error);
}

WarningLevel::WarningLevel(int level) : saved_(warning_level) { warning_level = level; }
WarningLevel::~WarningLevel() { warning_level = saved_; }

void warn_kestrel(const std::string& message) { warn(kestrel_warning, message); }
void warn_settings(const std::string& message) { warn(settings_warning, message); }

}  // namespace kestrel::bind

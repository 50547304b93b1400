#include <climits>
#include <cstdint>

#include "convert.hpp"

namespace kestrel::bind {

// Conversion errors (the plain TypeError, ValueError and OverflowError that
// numpy and Python raise for unusable values) get the argument's name in
// front. Anything else, such as an exception of the caller's own making
// raised from __array__ or __float__, or KeyboardInterrupt, passes unchanged.
void rethrow_named(py::error_already_set& e, const std::string& name) {
    PyObject* type = e.type().ptr();
    if (type != PyExc_TypeError && type != PyExc_ValueError && type != PyExc_OverflowError) throw e;
    const std::string message = name + ": " + std::string(py::str(e.value()));
    PyErr_SetString(type, message.c_str());
    throw py::error_already_set();
}

namespace {

std::string shape_text(const py::array& a) {
    std::string s = "(";
    for (py::ssize_t d = 0; d < a.ndim(); ++d) {
        s += std::to_string(a.shape(d));
        if (a.ndim() == 1 || d + 1 < a.ndim()) s += ",";
        if (d + 1 < a.ndim()) s += " ";
    }
    return s + ")";
}

bool is_aligned(const py::array& a) {
    if (reinterpret_cast<std::uintptr_t>(a.data()) % alignof(double) != 0) return false;
    for (py::ssize_t d = 0; d < a.ndim(); ++d)
        if (a.strides(d) % static_cast<py::ssize_t>(alignof(double)) != 0) return false;
    return true;
}

}  // namespace

py::array as_float_array(py::handle obj, const std::string& name) {
    if (obj.is_none()) throw py::type_error(name + " must be an array of real numbers, not None");
    if (py::isinstance<py::str>(obj) || py::isinstance<py::bytes>(obj))
        throw py::type_error(name + " must be an array of real numbers, not text");
    py::module_ np = py::module_::import("numpy");
    py::object asarray = np.attr("asarray");
    py::array arr;
    if (py::array::check_(obj)) {
        arr = py::reinterpret_borrow<py::array>(obj);  // already an array: no round trip through numpy
    } else {
        try {
            arr = asarray(obj);
        } catch (py::error_already_set& e) {
            rethrow_named(e, name);
        }
    }
    const char kind = arr.dtype().kind();
    if (kind == 'c') throw py::type_error(name + " must hold real numbers; complex values are not accepted");
    if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b')
        throw py::type_error(name + " must hold real numbers, got an array of dtype " +
                             std::string(py::str(arr.dtype())));
    const bool native = kind == 'f' && arr.itemsize() == 8 && arr.dtype().byteorder() != '>';
    if (native && is_aligned(arr)) return arr;
    try {
        // A converted array is new, aligned and native; an unaligned float64 is copied.
        if (native) return arr.attr("copy")();
        return asarray(arr, np.attr("float64"));
    } catch (py::error_already_set& e) {
        rethrow_named(e, name);
    }
}

Array as_contiguous(py::handle obj, const std::string& name, int ndim) {
    py::array arr = as_float_array(obj, name);
    if (ndim >= 0 && arr.ndim() != ndim)
        throw py::value_error(name + " must be " + std::to_string(ndim) + "-dimensional, got shape " + shape_text(arr));
    return Array::ensure(arr);
}

Array as_vector(py::handle obj, const std::string& name, py::ssize_t expected, const std::string& reference) {
    Array a = as_contiguous(obj, name, 1);
    if (expected >= 0 && a.size() != expected)
        throw py::value_error(name + " has length " + std::to_string(a.size()) + ", expected " +
                              std::to_string(expected) + " (the length of " + reference + ")");
    return a;
}

namespace {

// The `ndim` of an object that has one as an int, else 0.
py::ssize_t ndim_of(py::handle obj) {
    PyObject* attr = PyObject_GetAttrString(obj.ptr(), "ndim");
    if (!attr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        return 0;
    }
    py::object owned = py::reinterpret_steal<py::object>(attr);
    if (!PyLong_Check(attr)) return 0;
    const py::ssize_t n = PyLong_AsSsize_t(attr);
    if (n == -1 && PyErr_Occurred()) PyErr_Clear();
    return n;
}

// Refuses what float() takes from numpy or pandas but is no real number, so
// that the answer does not depend on their release: an array of one or more
// dimensions (numpy before 2.x, and pandas before 3.x for a Series, take a
// one-element one with a warning), complex values (numpy drops the imaginary
// part with a warning) and text.
void refuse_non_real(py::handle obj, const std::string& name) {
    if (PyFloat_Check(obj.ptr()) || PyLong_Check(obj.ptr())) return;
    if (PyComplex_Check(obj.ptr())) throw py::type_error(name + " must be a real number, not complex");
    char kind = 0;
    py::ssize_t ndim = 0;
    if (py::array::check_(obj)) {
        auto a = py::reinterpret_borrow<py::array>(obj);
        ndim = a.ndim();
        kind = a.dtype().kind();
    } else if (py::isinstance(obj, py::module_::import("numpy").attr("generic"))) {
        kind = py::dtype::from_args(obj.attr("dtype")).kind();
    } else {
        ndim = ndim_of(obj);
    }
    if (ndim > 0) throw py::type_error(name + ": only 0-dimensional arrays can be converted to Python scalars");
    if (kind == 'c') throw py::type_error(name + " must be a real number, not complex");
    if (kind == 'U' || kind == 'S') throw py::type_error(name + " must be a real number, not text");
}

}  // namespace

double as_double(py::handle obj, const std::string& name) {
    if (obj.is_none()) throw py::type_error(name + " must be a real number, not None");
    refuse_non_real(obj, name);
    const double v = PyFloat_AsDouble(obj.ptr());
    if (v == -1.0 && PyErr_Occurred()) {
        py::error_already_set e;
        rethrow_named(e, name);
    }
    return v;
}

Index as_index(py::handle obj, const std::string& name) {
    if (obj.is_none()) throw py::type_error(name + " must be an integer, not None");
    // numpy before 2.x reads its own booleans as 0 and 1 (with a warning).
    if (py::isinstance(obj, py::module_::import("numpy").attr("bool_")))
        throw py::type_error(name + ": 'numpy.bool' object cannot be interpreted as an integer");
    PyObject* as_int = PyNumber_Index(obj.ptr());
    if (!as_int) {
        py::error_already_set e;
        rethrow_named(e, name);
    }
    py::object owned = py::reinterpret_steal<py::object>(as_int);
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(owned.ptr(), &overflow);
    // Beyond 64 bits a count behaves as "everything" or "nothing" anyway.
    if (overflow > 0) return LLONG_MAX;
    if (overflow < 0) return LLONG_MIN;
    return static_cast<Index>(v);
}

bool as_bool(py::handle obj, const std::string& name) {
    // numpy before 2.x calls an empty array false (with a warning).
    if (py::array::check_(obj) && py::reinterpret_borrow<py::array>(obj).size() == 0)
        throw py::value_error(name +
                              ": The truth value of an empty array is ambiguous. "
                              "Use `array.size > 0` to check that an array is not empty.");
    const int truth = PyObject_IsTrue(obj.ptr());
    if (truth < 0) {
        py::error_already_set e;
        rethrow_named(e, name);
    }
    return truth == 1;
}

void raise_axis_error(int axis, int ndim, const std::string& name) {
    py::module_ np = py::module_::import("numpy");
    py::object axis_error =
        py::hasattr(np, "exceptions") ? np.attr("exceptions").attr("AxisError") : np.attr("AxisError");
    PyErr_SetObject(axis_error.ptr(), axis_error(axis, ndim, name).ptr());
    throw py::error_already_set();
}

}  // namespace kestrel::bind

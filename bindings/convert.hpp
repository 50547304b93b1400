// Argument conversion shared by every binding: Python objects to float64
// arrays, spans and scalars, with errors that name the argument.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>

#include "common/numeric.hpp"

namespace py = pybind11;

namespace kestrel::bind {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A float64 array from anything numpy reads as real numbers, keeping the
// caller's layout (no copy when it already is float64 and aligned). Errors
// name the argument; complex, text and object data are refused.
py::array as_float_array(py::handle obj, const std::string& name);

// The same, C-contiguous, with a required number of dimensions (-1: any).
Array as_contiguous(py::handle obj, const std::string& name, int ndim = -1);

// A one-dimensional vector; length checked when expected >= 0.
Array as_vector(py::handle obj, const std::string& name, py::ssize_t expected = -1, const std::string& reference = "");

double as_double(py::handle obj, const std::string& name);
Index as_index(py::handle obj, const std::string& name);
bool as_bool(py::handle obj, const std::string& name);

inline CSpan span_of(const Array& a) { return {a.data(), static_cast<std::size_t>(a.size())}; }

inline Array new_vector(py::ssize_t n) { return Array(n); }
inline MSpan span_of_mutable(Array& a) { return {a.mutable_data(), static_cast<std::size_t>(a.size())}; }

// Re-raises a pending conversion error (exactly TypeError, ValueError or
// OverflowError) with `name: ` in front of its message; any other exception
// is re-raised unchanged.
[[noreturn]] void rethrow_named(py::error_already_set& e, const std::string& name);

// numpy's AxisError, so that callers catching ValueError or IndexError see it.
[[noreturn]] void raise_axis_error(int axis, int ndim, const std::string& name);

}  // namespace kestrel::bind

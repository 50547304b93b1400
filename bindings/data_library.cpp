#include "data_library.hpp"

#include <algorithm>
#include <string_view>

#include "hints.hpp"

namespace kestrel::bind {

namespace {

// Edit distance of two codes, digit by digit from the right: "905" is one
// short of "000905" only in its missing leading zeros.
std::size_t code_distance(std::string_view a, std::string_view b) {
    std::size_t d = 0;
    for (std::size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
        const char x = i < a.size() ? a[a.size() - 1 - i] : '0';
        const char y = i < b.size() ? b[b.size() - 1 - i] : '0';
        d += x != y;
    }
    return d;
}

}  // namespace

std::string bench_code_note(py::handle bench_symbol) {
    std::string known;
    for (const auto& row : kBenchmarkWeightFields)
        known += (known.empty() ? "" : ", ") + std::string(row.code) + " (" + row.field + ")";
    const bool is_text = PyUnicode_Check(bench_symbol.ptr());
    const std::string given = py::str(bench_symbol);
    std::string note;
    if (is_text)
        note = "bench_symbol '" + given +
               "' is not a benchmark code Kestrel knows, so it was asked for as a field of its own, which the data "
               "library does not have.";
    else
        note = "bench_symbol " + std::string(py::repr(bench_symbol)) + " is not text but " +
               std::string(py::str(py::type::handle_of(bench_symbol).attr("__name__"))) +
               ": benchmark codes are text such as \"000905\", leading zeros included.";
    note += " Known codes (benchmark-weight field): " + known + ".";
    // The closest code: a typo, or else the code differing in the fewest
    // digits (a number that lost its leading zeros differs in none).
    std::vector<std::string_view> codes;
    for (const auto& row : kBenchmarkWeightFields) codes.emplace_back(row.code);
    const std::string typo = is_text ? closest_name(given, codes) : std::string();
    std::string_view guess = typo;
    std::size_t best = typo.empty() ? std::string::npos : 0;
    for (const auto& row : kBenchmarkWeightFields) {
        const std::size_t d = code_distance(given, row.code);
        if (d < best) {
            best = d;
            guess = row.code;
        }
    }
    return note + " Did you mean '" + std::string(guess) + "'?";
}

py::object run_loop_once(const py::list& request) {
    py::module_ vela = py::module_::import("VelaIntradayModel");
    py::object result = vela.attr("RunLoopOnce")(request);
    Py_ssize_t count = PyObject_Length(result.ptr());
    if (count < 0) {
        // Only "has no length" is ours to explain; the library's own errors pass.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        throw py::type_error("VelaIntradayModel.RunLoopOnce returned a " +
                             std::string(py::str(py::type::handle_of(result).attr("__name__"))) +
                             ", not a sequence of results");
    }
    if (count < static_cast<Py_ssize_t>(py::len(request)))
        throw py::value_error("VelaIntradayModel.RunLoopOnce returned " + std::to_string(count) + " items for " +
                              std::to_string(py::len(request)) + " names (first missing: '" +
                              std::string(py::str(request[static_cast<std::size_t>(count)])) + "')");
    return result;
}

py::object item_array(py::handle result, std::size_t j, const std::string& field) {
    py::object item = result[py::int_(j)];
    PyObject* array = PyObject_GetAttrString(item.ptr(), "array");
    if (!array) {
        // An item without the attribute is a malformed result; an error raised
        // while the library computes the attribute is the library's own.
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        throw py::type_error("data library result for '" + field + "' has no attribute 'array'");
    }
    return py::reinterpret_steal<py::object>(array);
}

MatrixView matrix_view(py::handle array, const std::string& field, std::size_t min_rows,
                       std::vector<py::object>& keep) {
    py::array a = as_float_array(array, "data library field '" + field + "'");
    if (a.ndim() != 2)
        throw py::value_error("data library field '" + field + "' must be a 2-dimensional matrix, got " +
                              std::to_string(a.ndim()) + " dimensions");
    if (static_cast<std::size_t>(a.shape(0)) < min_rows)
        throw py::index_error("data library field '" + field + "' has " + std::to_string(a.shape(0)) +
                              " rows but predictValues has " + std::to_string(min_rows) + " dates");
    MatrixView v;
    v.base = static_cast<const char*>(a.data());
    v.row_stride = a.strides(0);
    v.col_stride = a.strides(1);
    v.rows = static_cast<std::size_t>(a.shape(0));
    v.cols = static_cast<std::size_t>(a.shape(1));
    keep.push_back(a);
    return v;
}

}  // namespace kestrel::bind

// The one place that talks to the data library VelaIntradayModel. It is
// imported by name at call time, so the user's own library, the stand-in or
// a substitute placed in sys.modules serves alike.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "common/matrix_view.hpp"
#include "convert.hpp"

namespace kestrel::bind {

// Benchmark index code -> the library field holding its weights (percent).
struct BenchmarkWeightField {
    const char* code;
    const char* field;
};
inline constexpr std::array<BenchmarkWeightField, 6> kBenchmarkWeightFields{{
    {"000905", "weight500"},
    {"000906", "weight800"},
    {"000852", "weight1000"},
    {"399303", "weight2000"},
    {"932000", "weightzz2000"},
    {"000300", "weight300"},
}};

// Note for a failed benchmark request with a code outside the table (or one
// given as a number): codes are text, the known codes and the closest one.
std::string bench_code_note(py::handle bench_symbol);

// RunLoopOnce(request), checked to hold at least one item per requested name.
py::object run_loop_once(const py::list& request);

// The `array` attribute of item j of a RunLoopOnce result, named `field` in errors.
py::object item_array(py::handle result, std::size_t j, const std::string& field);

// A float64 matrix view of a library matrix with at least min_rows rows.
// float64 data is viewed in place through its strides; any other real dtype is
// converted once. The array that backs the view is appended to `keep`.
MatrixView matrix_view(py::handle array, const std::string& field, std::size_t min_rows, std::vector<py::object>& keep);

}  // namespace kestrel::bind

#include "run_data.hpp"

#include <chrono>
#include <cstdint>

#include "data_library.hpp"
#include "errors.hpp"
#include "hints.hpp"
#include "settings.hpp"

namespace kestrel::bind {

namespace {

bool is_dataframe(py::handle obj) {
    const py::handle type = py::type::handle_of(obj);
    const py::object module = py::getattr(type, "__module__", py::none());
    return py::str(type.attr("__name__")).equal(py::str("DataFrame")) && py::isinstance<py::str>(module) &&
           std::string(py::str(module)).rfind("pandas", 0) == 0;
}

const char* const kFrameHelper =
    "Kestrel.frames.inputs_from_frame(scores) turns a DataFrame of scores (dates x security codes) "
    "into predictValues and univ_idx, and weights_to_frame() puts the weights back on its labels";

}  // namespace

MatrixView score_view(py::handle predict_values, std::vector<py::object>& keep) {
    // Labels cannot be matched here (the library's dates and codes are the
    // helper's business), so a DataFrame is read by position, as numpy reads it.
    if (is_dataframe(predict_values))
        warn_kestrel(std::string("Kestrel: predictValues is a pandas DataFrame; its index and column labels are "
                                 "ignored (row t is the library's date row t, column i is library column "
                                 "univ_idx[i]). ") +
                     kFrameHelper + ".");
    py::array scores = as_float_array(predict_values, "predictValues");
    if (scores.ndim() < 2) {
        try {
            raise_axis_error(1, static_cast<int>(scores.ndim()), "predictValues");
        } catch (py::error_already_set& e) {
            add_note(e,
                     "predictValues is a matrix of dates x securities: for the scores of one date, pass "
                     "scores[None, :] (one row).");
            throw;
        }
    }
    if (scores.ndim() > 2) throw py::value_error("predictValues must be 2-dimensional");
    keep.push_back(scores);
    return MatrixView{static_cast<const char*>(scores.data()), scores.strides(0), scores.strides(1),
                      static_cast<std::size_t>(scores.shape(0)), static_cast<std::size_t>(scores.shape(1))};
}

std::vector<Index> column_positions(py::handle univ_idx, py::ssize_t n, py::ssize_t rows) {
    if (univ_idx.is_none()) throw py::type_error("univ_idx must be a sequence of integer column positions, not None");
    py::module_ np = py::module_::import("numpy");
    py::array raw;
    try {
        raw = np.attr("asarray")(univ_idx);
    } catch (py::error_already_set& e) {
        rethrow_named(e, "univ_idx");
    }
    const char kind = raw.dtype().kind();
    // An empty list arrives as float64; it selects nothing either way. As in
    // numpy indexing, text, floats, booleans and objects are not positions.
    if (raw.size() > 0 && kind != 'i' && kind != 'u') {
        const std::string message =
            "univ_idx: arrays used as indices must be of integer type, got dtype " + std::string(py::str(raw.dtype()));
        if (kind == 'U' || kind == 'S' || kind == 'O')
            raise_with_note(PyExc_IndexError, message,
                            "univ_idx holds the data library's column positions (integers), not security codes; " +
                                std::string(kFrameHelper) + ".");
        if (kind == 'f')
            raise_with_note(PyExc_IndexError, message,
                            "univ_idx holds the data library's column positions, which are integers: convert whole "
                            "numbers with numpy.asarray(univ_idx).astype(numpy.int64).");
        throw py::index_error(message);
    }
    if (raw.ndim() != 1)
        throw py::value_error("univ_idx must be 1-dimensional, got " + std::to_string(raw.ndim()) + " dimensions");
    if (raw.size() != n) {
        const std::string message = "univ_idx has length " + std::to_string(raw.size()) + ", expected " +
                                    std::to_string(n) + " (the column count of predictValues)";
        if (raw.size() == rows && rows != n)
            raise_with_note(PyExc_ValueError, message,
                            "predictValues looks transposed: it has " + std::to_string(rows) + " rows and " +
                                std::to_string(n) +
                                " columns, and univ_idx one entry per row. Its rows are dates and its columns "
                                "securities: pass predictValues.T.");
        throw py::value_error(message);
    }
    std::vector<Index> out(static_cast<std::size_t>(n));
    if (kind == 'u' && raw.itemsize() == 8) {
        py::array_t<std::uint64_t> u = np.attr("ascontiguousarray")(raw);
        for (py::ssize_t i = 0; i < n; ++i) {
            const std::uint64_t v = u.data()[i];
            // Beyond int64 no library matrix is that wide.
            out[static_cast<std::size_t>(i)] =
                v > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<Index>(v);
        }
        return out;
    }
    py::array_t<Index> s = np.attr("ascontiguousarray")(raw, np.attr("int64"));
    std::copy(s.data(), s.data() + n, out.begin());
    return out;
}

std::vector<Index> columns_in(const std::vector<Index>& positions, std::size_t cols, const std::string& field) {
    std::vector<Index> out(positions.size());
    const auto width = static_cast<Index>(cols);
    for (std::size_t i = 0; i < positions.size(); ++i) {
        const Index v = positions[i];
        if (v < -width || v >= width)
            throw py::index_error("univ_idx: index " + std::to_string(v) + " is out of bounds for axis 1 with size " +
                                  std::to_string(cols) + " (data library field '" + field + "')");
        out[i] = v < 0 ? v + width : v;
    }
    return out;
}

void request_library_data(Optimizer& self, const std::vector<std::string>& risk_names,
                          const std::vector<Index>& positions, optimizer::RunData& data,
                          std::vector<py::object>& keep) {
    const std::size_t t_rows = data.scores.rows;
    if (!risk_names.empty()) {
        py::list request;
        for (const auto& name : risk_names) request.append(py::str(name));
        try {
            self.barra_data = run_loop_once(request);
        } catch (py::error_already_set& e) {
            if (e.matches(PyExc_Exception))
                add_note(e,
                         "The risk names are the keys of cfg['risk_factor_expo'] (and, with each_sector_expo at "
                         "most 0.2, the 28 sector formulas): each must be a field or formula the data library "
                         "knows.");
            throw;
        }
        for (std::size_t j = 0; j < risk_names.size(); ++j)
            data.barra.push_back(
                matrix_view(item_array(self.barra_data, j, risk_names[j]), risk_names[j], t_rows, keep));
    } else {
        self.barra_data = py::none();
    }
    // The field name goes to the library as it is: a code outside the table is
    // passed on as the very object the caller gave.
    const py::object weight_field = weight_field_name(self);
    const std::string weight_key = py::str(weight_field);
    py::list request;
    request.append(weight_field);
    py::object bench_result;
    try {
        bench_result = run_loop_once(request);
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_Exception) && weight_field.is(self.bench_symbol))
            add_note(e, bench_code_note(self.bench_symbol));
        throw;
    }
    self.benchweight_data = item_array(bench_result, 0, weight_key);
    data.bench = matrix_view(self.benchweight_data, weight_key, t_rows, keep);

    data.bench_cols = columns_in(positions, data.bench.cols, weight_key);
    for (std::size_t j = 0; j < data.barra.size(); ++j)
        data.barra_cols.push_back(data.barra[j].cols == data.bench.cols
                                      ? data.bench_cols
                                      : columns_in(positions, data.barra[j].cols, risk_names[j]));
}

PreparedRun prepare_run(Optimizer& self, py::handle predict_values, py::handle univ_idx, const ReadMode& mode) {
    const position::Algorithm algorithm = algorithm_of(self.opt_name);
    RawSettings raw = read_settings(self.cfg, algorithm);
    if (!mode.read_print_result) raw.print_result = py::bool_(false);
    PreparedRun run{run_config(raw, algorithm, self.secu_pct),
                    risk_names(raw.risk_factor_expo, raw.each_sector_expo, mode.extend_cfg),
                    {},
                    {},
                    {},
                    0.0};
    run.config.arr_expo_threshold = run.risk.limits;
    check_ranges(run.config, run.risk.names, mode.strict);

    run.data.scores = score_view(predict_values, run.keep);
    run.positions = column_positions(univ_idx, static_cast<py::ssize_t>(run.data.scores.cols),
                                     static_cast<py::ssize_t>(run.data.scores.rows));
    const auto begin = std::chrono::steady_clock::now();
    request_library_data(self, run.risk.names, run.positions, run.data, run.keep);
    run.request_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    return run;
}

}  // namespace kestrel::bind

// gen_position: settings, risk names, data requests and the date loop with
// the GIL released between the Python-facing moments of each date.
#include <chrono>
#include <cstdint>

#include "common/format.hpp"
#include "datalib/vela.hpp"
#include "optimizer/driver.hpp"
#include "optimizer_object.hpp"
#include "position/position_error.hpp"

namespace kestrel::bind {

namespace {

constexpr int kSectorCount = 28;

std::string sector_formula(int code) { return "if(ZXZQSector==" + std::to_string(code) + ",1,0)"; }

// Raw setting values, looked up before anything is converted so that a
// missing required key is reported first.
struct RawSettings {
    py::object print_result, learning_rate, max_loop_num, max_weight;
    py::object weight_multi, risk_cost, each_single_weight, num_long;
    py::object decay, bench_coeff, pre_coeff, each_sector_expo, risk_factor_expo;
};

RawSettings read_settings(const Optimizer& self, position::Algorithm algo) {
    using position::Algorithm;
    const py::object& cfg = self.cfg;
    RawSettings s;
    try {
        s.print_result = value_or_default(cfg, py::str("print_result"), py::bool_(true));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_TypeError)) throw;
        rethrow_named(e, "cfg");  // not a container at all
    }
    s.learning_rate = value_or_default(cfg, py::str("learning_rate"), py::float_(0.1));
    s.max_loop_num = value_or_default(cfg, py::str("max_loop_num"), py::int_(100));
    s.max_weight = value_or_default(cfg, py::str("max_weight"), py::int_(-1));
    switch (algo) {
        case Algorithm::TopM:
            s.weight_multi = required_setting(cfg, "weight_multi");
            s.risk_cost = required_setting(cfg, "risk_cost");
            break;
        case Algorithm::TopM2:
            s.weight_multi = required_setting(cfg, "weight_multi");
            break;
        case Algorithm::TopEqual:
            s.each_single_weight = required_setting(cfg, "each_single_weight");
            s.risk_cost = required_setting(cfg, "risk_cost");
            break;
        case Algorithm::TopEqual2:
            s.each_single_weight = required_setting(cfg, "each_single_weight");
            break;
        case Algorithm::TopKR:
            s.num_long = required_setting(cfg, "num_long");
            break;
        case Algorithm::Unknown:
            break;
    }
    s.decay = required_setting(cfg, "decay");
    s.bench_coeff = required_setting(cfg, "bench_coeff");
    s.pre_coeff = required_setting(cfg, "pre_coeff");
    s.each_sector_expo = required_setting(cfg, "each_sector_expo");
    s.risk_factor_expo = required_setting(cfg, "risk_factor_expo");
    return s;
}

double setting(const py::object& value, const char* key) {
    return as_double(value, std::string("setting '") + key + "'");
}

// Risk names and their limits, sector formulas appended in place to the
// caller's own mapping when the sector limit is at most 0.2.
struct RiskNames {
    std::vector<std::string> names;
    Vec limits;
    std::size_t orig_count = 0;
};

RiskNames build_risk_names(const RawSettings& s) {
    const py::object& expo_map = s.risk_factor_expo;
    const auto not_a_mapping = [&expo_map](const char* what) {
        return py::type_error("setting 'risk_factor_expo' must be a " + std::string(what) +
                              " of risk name to limit, got " +
                              std::string(py::str(py::type::handle_of(expo_map).attr("__name__"))));
    };
    if (!py::hasattr(expo_map, "keys") || !py::hasattr(expo_map, "items")) throw not_a_mapping("mapping");
    RiskNames r;
    r.orig_count = py::len(expo_map);
    if (setting(s.each_sector_expo, "each_sector_expo") <= 0.2) {
        // Only adding the sector limits needs a mapping that can be written.
        if (!py::hasattr(expo_map, "__setitem__")) throw not_a_mapping("writable mapping");
        for (int code = 0; code < kSectorCount; ++code) expo_map[py::str(sector_formula(code))] = s.each_sector_expo;
    }
    for (py::handle item : expo_map.attr("items")()) {
        py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
        if (!py::isinstance<py::str>(kv[0]))
            throw py::type_error("setting 'risk_factor_expo': risk names must be text, got " +
                                 std::string(py::repr(kv[0])));
        std::string name = kv[0].cast<std::string>();
        r.limits.push_back(as_double(kv[1], "setting 'risk_factor_expo' limit of '" + name + "'"));
        r.names.push_back(std::move(name));
    }
    return r;
}

// univ_idx as int64 column positions, checked for type and length.
std::vector<Index> as_positions(py::handle univ_idx, py::ssize_t n) {
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
    if (raw.size() > 0 && kind != 'i' && kind != 'u')
        throw py::index_error("univ_idx: arrays used as indices must be of integer type, got dtype " +
                              std::string(py::str(raw.dtype())));
    if (raw.ndim() != 1)
        throw py::value_error("univ_idx must be 1-dimensional, got " + std::to_string(raw.ndim()) + " dimensions");
    if (raw.size() != n)
        throw py::value_error("univ_idx has length " + std::to_string(raw.size()) + ", expected " +
                              std::to_string(n) + " (the column count of predictValues)");
    std::vector<Index> out(static_cast<std::size_t>(n));
    if (kind == 'u' && raw.itemsize() == 8) {
        py::array_t<std::uint64_t> u = np.attr("ascontiguousarray")(raw);
        for (py::ssize_t i = 0; i < n; ++i) {
            const std::uint64_t v = u.data()[i];
            // Beyond int64 no library matrix is that wide.
            out[static_cast<std::size_t>(i)] = v > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<Index>(v);
        }
        return out;
    }
    py::array_t<Index> s = np.attr("ascontiguousarray")(raw, np.attr("int64"));
    std::copy(s.data(), s.data() + n, out.begin());
    return out;
}

// Positions into one matrix of `cols` columns, negative ones counted from its end.
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

std::string report_line(std::size_t bi, const optimizer::LoopReport& r, std::size_t orig_count) {
    const auto head = [orig_count](const Vec& v) {
        return fmt::vec(CSpan(v.data(), std::min(orig_count, v.size())));
    };
    std::string line = std::to_string(bi) + " LoopCount: " + std::to_string(r.loop_count) + " FirstExpo: ";
    line += r.measured ? head(r.first_expo) : "None";
    line += " LastExpo: ";
    line += r.measured ? head(r.expo) : "None";
    line += " BenchHold: " + fmt::repr(r.bench_hold) + " HoldNum: (" + std::to_string(r.hold_num) + ",) " +
            fmt::repr(r.total);
    return line;
}

// Between dates: report line, progress tick, Ctrl-C, and the dispatcher's
// view of opt_name and secu_pct, which are read from the object every date.
class PythonHooks : public optimizer::RunHooks {
public:
    PythonHooks(Optimizer& self, py::object bar, std::size_t orig_count)
        : self_(self), bar_(std::move(bar)), orig_count_(orig_count) {}

    void date_done(std::size_t bi, const optimizer::LoopReport* report, position::DispatchParams& next) override {
        py::gil_scoped_acquire gil;
        if (report) write_stdout_line(report_line(bi, *report, orig_count_));
        bar_.attr("update")(1);
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        next.algorithm = algorithm_of(self_.opt_name);
        if (next.algorithm != position::Algorithm::Unknown) next.secu_pct = as_double(self_.secu_pct, "secu_pct");
    }

    // A date with many passes can last long: look for Ctrl-C every 50 ms,
    // which costs one clock read per pass otherwise.
    void between_passes() override {
        const auto now = std::chrono::steady_clock::now();
        if (now - last_poll_ < std::chrono::milliseconds(50)) return;
        last_poll_ = now;
        py::gil_scoped_acquire gil;
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
    }

private:
    Optimizer& self_;
    py::object bar_;
    std::size_t orig_count_;
    std::chrono::steady_clock::time_point last_poll_ = std::chrono::steady_clock::now();
};

void warn_empty_dates(const std::vector<std::size_t>& rows) {
    std::string list;
    for (std::size_t i = 0; i < rows.size(); ++i) list += (i ? ", " : "") + std::to_string(rows[i]);
    const std::string msg = "Kestrel: " + std::to_string(rows.size()) +
                            " date(s) left empty because their scores or weights were not finite: rows [" + list +
                            "]";
    if (PyErr_WarnEx(PyExc_RuntimeWarning, msg.c_str(), 1) < 0) throw py::error_already_set();
}

}  // namespace

py::object gen_position(Optimizer& self, py::handle predict_values, py::handle univ_idx) {
    using position::Algorithm;
    const Algorithm algo = algorithm_of(self.opt_name);
    const RawSettings raw = read_settings(self, algo);

    optimizer::RunConfig config;
    config.print_result = as_bool(raw.print_result, "setting 'print_result'");
    config.loop.learning_rate = setting(raw.learning_rate, "learning_rate");
    config.loop.max_loop_num = setting(raw.max_loop_num, "max_loop_num");
    config.loop.decay = setting(raw.decay, "decay");
    position::DispatchParams& p = config.params;
    p.algorithm = algo;
    if (algo != Algorithm::Unknown) p.secu_pct = as_double(self.secu_pct, "secu_pct");
    p.max_weight = setting(raw.max_weight, "max_weight");
    if (raw.weight_multi) p.weight_multi = setting(raw.weight_multi, "weight_multi");
    if (raw.risk_cost) p.risk_cost = setting(raw.risk_cost, "risk_cost");
    if (raw.each_single_weight) p.each_single_weight = setting(raw.each_single_weight, "each_single_weight");
    if (raw.num_long) p.num_long = as_index(raw.num_long, "setting 'num_long'");
    p.bench_coeff = setting(raw.bench_coeff, "bench_coeff");
    p.pre_coeff = setting(raw.pre_coeff, "pre_coeff");

    RiskNames risk = build_risk_names(raw);
    config.arr_expo_threshold = risk.limits;

    // The scores are read in place; only non-float64 input is converted.
    py::array scores = as_float_array(predict_values, "predictValues");
    if (scores.ndim() < 2) raise_axis_error(1, static_cast<int>(scores.ndim()), "predictValues");
    if (scores.ndim() > 2) throw py::value_error("predictValues must be 2-dimensional");
    const auto t_rows = static_cast<std::size_t>(scores.shape(0));
    const auto n = static_cast<std::size_t>(scores.shape(1));
    const std::vector<Index> positions = as_positions(univ_idx, scores.shape(1));

    std::vector<py::object> keep;
    optimizer::RunData data;
    data.scores = MatrixView{static_cast<const char*>(scores.data()), scores.strides(0), scores.strides(1), t_rows, n};
    if (!risk.names.empty()) {
        py::list request;
        for (const auto& name : risk.names) request.append(py::str(name));
        self.barra_data = datalib::run_loop_once(request);
        for (std::size_t j = 0; j < risk.names.size(); ++j)
            data.barra.push_back(datalib::matrix_view(datalib::item_array(self.barra_data, j, risk.names[j]),
                                                      risk.names[j], t_rows, keep));
    } else {
        self.barra_data = py::none();
    }
    // The field name goes to the library as it is: a code outside the table is
    // passed on as the very object the caller gave.
    const py::object weight_field = weight_name(self);
    const std::string weight_key = py::str(weight_field);
    py::list request;
    request.append(weight_field);
    py::object bench_result = datalib::run_loop_once(request);
    self.benchweight_data = datalib::item_array(bench_result, 0, weight_key);
    data.bench = datalib::matrix_view(self.benchweight_data, weight_key, t_rows, keep);

    data.bench_cols = columns_in(positions, data.bench.cols, weight_key);
    for (std::size_t j = 0; j < data.barra.size(); ++j)
        data.barra_cols.push_back(data.barra[j].cols == data.bench.cols
                                      ? data.bench_cols
                                      : columns_in(positions, data.barra[j].cols, risk.names[j]));

    Array weight_res({static_cast<py::ssize_t>(t_rows), static_cast<py::ssize_t>(n)});
    std::fill(weight_res.mutable_data(), weight_res.mutable_data() + weight_res.size(), 0.0);

    py::object bar = py::module_::import("tqdm").attr("tqdm")(py::arg("total") = t_rows);
    PythonHooks hooks(self, bar, risk.orig_count);
    optimizer::RunOutcome outcome;
    try {
        py::gil_scoped_release release;
        outcome = optimizer::run_dates(config, data, span_of_mutable(weight_res), hooks);
    } catch (const position::PositionError& e) {
        bar.attr("close")();
        if (!e.diagnostic().empty()) write_stdout_line(e.diagnostic());
        raise_exception(e.what());
    } catch (const position::UnknownAlgorithm&) {
        bar.attr("close")();
        raise_wrong_opt_name(self.opt_name);
    } catch (...) {
        // Keep the original error even if closing the bar fails too.
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);
        try {
            bar.attr("close")();
        } catch (py::error_already_set&) {
        }
        PyErr_Restore(type, value, trace);
        throw;
    }
    bar.attr("close")();
    if (!outcome.empty_rows.empty()) warn_empty_dates(outcome.empty_rows);
    return weight_res;
}

}  // namespace kestrel::bind

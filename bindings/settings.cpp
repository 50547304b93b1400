#include "settings.hpp"

#include <algorithm>
#include <cmath>

#include "common/format.hpp"

#include "errors.hpp"
#include "hints.hpp"
#include "risk_names.hpp"

namespace kestrel::bind {

namespace {

// The text keys of cfg; none when it has no keys() to list them.
std::vector<std::string> text_keys(py::handle cfg) {
    std::vector<std::string> out;
    PyObject* keys = PyMapping_Keys(cfg.ptr());
    if (!keys) {
        PyErr_Clear();
        return out;
    }
    for (py::handle k : py::reinterpret_steal<py::list>(keys))
        if (PyUnicode_Check(k.ptr())) {
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(k.ptr(), &size);
            if (!data) {
                PyErr_Clear();  // a key that is no valid text resembles no setting
                continue;
            }
            out.emplace_back(data, static_cast<std::size_t>(size));
        }
    return out;
}

std::string missing_key_note(py::handle cfg, const char* key, const std::string& needed_by) {
    std::string note = "cfg has no '" + std::string(key) + "', which is required by " + needed_by + ".";
    for (const std::string& k : text_keys(cfg))
        if (!closest_name(k, {key}).empty()) note += " cfg holds '" + k + "': did you mean '" + key + "'?";
    return note;
}

// "the \"TopM\" algorithm (which reads 'weight_multi' and 'risk_cost')".
std::string algorithm_needs(const position::AlgorithmInfo& a) {
    std::vector<std::string_view> keys{position::level_setting(a.caps)};
    if (position::reads_risk_cost(a.mapping)) keys.emplace_back("risk_cost");
    return "the \"" + std::string(a.name) + "\" algorithm (which reads " + quoted_list(keys) + ")";
}

}  // namespace

py::object required_setting(py::handle cfg, const char* key, const std::string& needed_by) {
    PyObject* value = PyObject_GetItem(cfg.ptr(), py::str(key).ptr());
    if (!value) {
        py::error_already_set e;
        if (e.matches(PyExc_KeyError)) {
            add_note(e, missing_key_note(cfg, key, needed_by));
            throw std::move(e);
        }
        rethrow_named(e, "cfg");  // a missing key keeps its KeyError
    }
    return py::reinterpret_steal<py::object>(value);
}

const std::vector<std::string_view>& setting_keys() {
    static const std::vector<std::string_view> keys{
        "print_result", "learning_rate",      "max_loop_num",     "max_weight", "weight_multi",
        "risk_cost",    "each_single_weight", "num_long",         "decay",      "bench_coeff",
        "pre_coeff",    "each_sector_expo",   "risk_factor_expo", "type"};
    return keys;
}

void warn_unknown_keys(py::handle cfg) {
    std::string message;
    for (const std::string& k : text_keys(cfg)) {
        const auto& known = setting_keys();
        if (std::find(known.begin(), known.end(), k) != known.end()) continue;
        const std::string guess = closest_key(k, known);
        message += (message.empty() ? "" : "; ") + std::string("cfg key '") + k +
                   "' is not a setting Kestrel reads (it is ignored)" +
                   (guess.empty() ? "" : ": did you mean '" + guess + "'?");
    }
    if (!message.empty()) warn_settings("Kestrel: " + message);
}

py::object value_or_default(py::handle cfg, py::handle name, py::handle default_value) {
    const int has = PySequence_Contains(cfg.ptr(), name.ptr());
    if (has < 0) throw py::error_already_set();
    if (has) return cfg[name];
    return py::reinterpret_borrow<py::object>(default_value);
}

double setting_value(py::handle value, const char* key) {
    return as_double(value, std::string("setting '") + key + "'");
}

RawSettings read_settings(py::handle cfg, position::Algorithm algorithm) {
    using position::Caps;
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
    if (algorithm != position::Algorithm::Unknown) {
        const position::AlgorithmInfo& a = position::info(algorithm);
        const std::string needs = algorithm_needs(a);
        py::object level = required_setting(cfg, position::level_setting(a.caps), needs);
        (a.caps == Caps::Proportional ? s.weight_multi
         : a.caps == Caps::Equal      ? s.each_single_weight
                                      : s.num_long) = std::move(level);
        if (position::reads_risk_cost(a.mapping)) s.risk_cost = required_setting(cfg, "risk_cost", needs);
    }
    const std::string every = "every algorithm";
    s.decay = required_setting(cfg, "decay", every);
    s.bench_coeff = required_setting(cfg, "bench_coeff", every);
    s.pre_coeff = required_setting(cfg, "pre_coeff", every);
    s.each_sector_expo = required_setting(cfg, "each_sector_expo", every);
    s.risk_factor_expo = required_setting(cfg, "risk_factor_expo", every);
    warn_unknown_keys(cfg);
    return s;
}

optimizer::RunConfig run_config(const RawSettings& raw, position::Algorithm algorithm, py::handle secu_pct) {
    optimizer::RunConfig config;
    config.print_result = as_bool(raw.print_result, "setting 'print_result'");
    config.loop.learning_rate = setting_value(raw.learning_rate, "learning_rate");
    config.loop.max_loop_num = setting_value(raw.max_loop_num, "max_loop_num");
    config.loop.decay = setting_value(raw.decay, "decay");
    position::DispatchParams& p = config.params;
    p.algorithm = algorithm;
    if (algorithm != position::Algorithm::Unknown) p.secu_pct = as_double(secu_pct, "secu_pct");
    p.max_weight = setting_value(raw.max_weight, "max_weight");
    if (raw.weight_multi) p.weight_multi = setting_value(raw.weight_multi, "weight_multi");
    if (raw.risk_cost) p.risk_cost = setting_value(raw.risk_cost, "risk_cost");
    if (raw.each_single_weight) p.each_single_weight = setting_value(raw.each_single_weight, "each_single_weight");
    if (raw.num_long) p.num_long = as_index(raw.num_long, "setting 'num_long'");
    p.bench_coeff = setting_value(raw.bench_coeff, "bench_coeff");
    p.pre_coeff = setting_value(raw.pre_coeff, "pre_coeff");
    return config;
}

namespace {

std::string number(double v) { return fmt::repr(v); }

}  // namespace

void check_ranges(const optimizer::RunConfig& config, const std::vector<std::string>& names, bool strict) {
    std::vector<std::string> faults;
    const auto need = [&faults](bool ok, const std::string& key, double value, const char* range, const char* why) {
        if (!ok) faults.push_back("setting " + key + " is " + number(value) + ", outside " + range + " (" + why + ")");
    };
    const optimizer::LoopSettings& loop = config.loop;
    const position::DispatchParams& p = config.params;
    need(loop.decay >= 0.0 && loop.decay <= 1.0, "'decay'", loop.decay, "[0, 1]",
         "the weight of the newest scores in the smoothing");
    need(loop.learning_rate > 0.0, "'learning_rate'", loop.learning_rate, "(0, inf)",
         "the step of each exposure correction");
    need(loop.max_loop_num >= 1.0, "'max_loop_num'", loop.max_loop_num, "[1, inf)",
         "exposure measurements per date; below 1 no limit is ever looked at");
    if (p.algorithm != position::Algorithm::Unknown) {
        const position::Caps caps = position::info(p.algorithm).caps;
        if (caps == position::Caps::Proportional)
            need(p.weight_multi > 0.0, "'weight_multi'", p.weight_multi, "(0, inf)",
                 "the total of the score-proportional caps");
        if (caps == position::Caps::Equal)
            need(p.each_single_weight > 0.0, "'each_single_weight'", p.each_single_weight, "(0, inf)",
                 "every security's cap");
        if (position::reads_risk_cost(position::info(p.algorithm).mapping))
            need(p.risk_cost >= 0.0, "'risk_cost'", p.risk_cost, "[0, inf)", "the turnover cost band");
    }
    need(!std::isnan(p.bench_coeff), "'bench_coeff'", p.bench_coeff, "the real numbers", "a multiplier");
    need(!std::isnan(p.pre_coeff), "'pre_coeff'", p.pre_coeff, "the real numbers", "a multiplier");
    need(!std::isnan(p.max_weight), "'max_weight'", p.max_weight, "the real numbers", "a ceiling, or <= 0 for none");
    const char* why = "an absolute exposure; a negative one can never hold, so every date runs max_loop_num passes";
    bool sector_reported = false;
    for (std::size_t j = 0; j < names.size(); ++j) {
        const double limit = config.arr_expo_threshold[j];
        if (!is_sector_formula(names[j])) {
            need(limit >= 0.0, "'risk_factor_expo' limit of '" + names[j] + "'", limit, "[0, inf)", why);
        } else if (!(limit >= 0.0) && !sector_reported) {
            need(false, "'each_sector_expo' (the sectors' limit)", limit, "[0, 0.2]", why);
            sector_reported = true;
        }
    }
    if (faults.empty()) return;
    std::string message;
    for (const std::string& f : faults) message += (message.empty() ? "" : "; ") + f;
    if (strict) throw py::value_error(message);
    warn_settings("Kestrel: " + message + "; taken as given");
}

}  // namespace kestrel::bind

#include "settings.hpp"

namespace kestrel::bind {

py::object required_setting(py::handle cfg, const char* key) {
    PyObject* value = PyObject_GetItem(cfg.ptr(), py::str(key).ptr());
    if (!value) {
        py::error_already_set e;
        rethrow_named(e, "cfg");  // a missing key keeps its KeyError
    }
    return py::reinterpret_steal<py::object>(value);
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
        py::object level = required_setting(cfg, position::level_setting(a.caps));
        (a.caps == Caps::Proportional ? s.weight_multi
         : a.caps == Caps::Equal      ? s.each_single_weight
                                      : s.num_long) = std::move(level);
        if (position::reads_risk_cost(a.mapping)) s.risk_cost = required_setting(cfg, "risk_cost");
    }
    s.decay = required_setting(cfg, "decay");
    s.bench_coeff = required_setting(cfg, "bench_coeff");
    s.pre_coeff = required_setting(cfg, "pre_coeff");
    s.each_sector_expo = required_setting(cfg, "each_sector_expo");
    s.risk_factor_expo = required_setting(cfg, "risk_factor_expo");
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

}  // namespace kestrel::bind

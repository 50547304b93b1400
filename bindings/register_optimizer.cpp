// OptimizerTopM: construction, attributes and the per-date methods.
#include <array>

#include "optimizer_object.hpp"
#include "position/capped_fill.hpp"
#include "position/caps.hpp"
#include "position/rebalance.hpp"
#include "position/topn_blend.hpp"
#include "risk/exposure.hpp"
#include "signal/smoothing.hpp"

namespace kestrel::bind {

namespace {

constexpr std::array<const char*, 5> kNames = {"TopM", "TopM2", "TopKR", "TopEqual", "TopEqual2"};

// Names and codes are text: anything else (an array, a number) matches none.
bool equals_text(py::handle obj, const char* text) {
    if (!PyUnicode_Check(obj.ptr())) return false;
    const int r = PyUnicode_CompareWithASCIIString(obj.ptr(), text);
    if (r == -1 && PyErr_Occurred()) throw py::error_already_set();
    return r == 0;
}

// Scratch of the mappings, kept per thread so repeated calls allocate nothing.
position::Workspace& scratch() {
    thread_local position::Workspace ws;
    return ws;
}

// Runs pure computation without the GIL; a mapping failure prints its
// diagnostic line through sys.stdout and becomes a plain Exception.
template <class F>
void compute(F&& f) {
    try {
        py::gil_scoped_release release;
        f();
    } catch (const position::PositionError& e) {
        if (!e.diagnostic().empty()) write_stdout_line(e.diagnostic());
        raise_exception(e.what());
    }
}

py::tuple shape_of(const py::array& a) {
    py::tuple t(a.ndim());
    for (py::ssize_t d = 0; d < a.ndim(); ++d) t[d] = a.shape(d);
    return t;
}

position::DispatchParams dispatch_params(const Optimizer& self, py::handle weight_multi, py::handle num_long,
                                         py::handle risk_cost, py::handle each_single_weight,
                                         py::handle bench_coeff, py::handle pre_coeff, py::handle max_weight) {
    using position::Algorithm;
    position::DispatchParams p;
    p.algorithm = algorithm_of(self.opt_name);
    if (p.algorithm == Algorithm::Unknown) raise_wrong_opt_name(self.opt_name);
    p.secu_pct = as_double(self.secu_pct, "secu_pct");
    p.bench_coeff = as_double(bench_coeff, "bench_coeff");
    p.pre_coeff = as_double(pre_coeff, "pre_coeff");
    // Scalars the chosen recipe does not read may be None.
    switch (p.algorithm) {
        case Algorithm::TopKR:
            p.num_long = as_index(num_long, "num_long");
            return p;
        case Algorithm::TopM:
        case Algorithm::TopM2:
            p.weight_multi = as_double(weight_multi, "weight_multi");
            break;
        default:
            p.each_single_weight = as_double(each_single_weight, "each_single_weight");
    }
    if (p.algorithm == Algorithm::TopM || p.algorithm == Algorithm::TopEqual)
        p.risk_cost = as_double(risk_cost, "risk_cost");
    p.max_weight = as_double(max_weight, "max_weight");
    return p;
}

std::string no_attribute(py::handle self, const char* name) {
    return "'" + std::string(py::str(py::type::handle_of(self).attr("__name__"))) + "' object has no attribute '" +
           name + "'";
}

}  // namespace

// An instance made by OptimizerTopM.__new__ alone has no C++ state: pybind11
// would hand out unconstructed storage, so every access to the state goes
// through this check first.
Optimizer* constructed(py::handle self) {
    py::detail::type_info* info = py::detail::get_type_info(typeid(Optimizer));
    if (!info || !PyObject_TypeCheck(self.ptr(), info->type)) return nullptr;
    auto* inst = reinterpret_cast<py::detail::instance*>(self.ptr());
    py::detail::value_and_holder v_h = inst->get_value_and_holder(info, false);
    if (v_h.inst == nullptr || !v_h.holder_constructed()) return nullptr;
    return v_h.value_ptr<Optimizer>();
}

Optimizer& state_of(py::handle self, const char* first_read) {
    Optimizer* state = constructed(self);
    if (!state) throw py::attribute_error(no_attribute(self, first_read));
    return *state;
}

py::object required_setting(py::handle cfg, const char* key) {
    PyObject* value = PyObject_GetItem(cfg.ptr(), py::str(key).ptr());
    if (!value) {
        py::error_already_set e;
        rethrow_named(e, "cfg");  // a missing key keeps its KeyError
    }
    return py::reinterpret_steal<py::object>(value);
}

position::Algorithm algorithm_of(py::handle opt_name) {
    using position::Algorithm;
    constexpr std::array<Algorithm, 5> kAlgos = {Algorithm::TopM, Algorithm::TopM2, Algorithm::TopKR,
                                                 Algorithm::TopEqual, Algorithm::TopEqual2};
    for (std::size_t i = 0; i < kNames.size(); ++i)
        if (equals_text(opt_name, kNames[i])) return kAlgos[i];
    return Algorithm::Unknown;
}

py::object weight_name(const Optimizer& self) {
    static constexpr std::array<std::array<const char*, 2>, 6> kTable = {{{"000905", "weight500"},
                                                                           {"000906", "weight800"},
                                                                           {"000852", "weight1000"},
                                                                           {"399303", "weight2000"},
                                                                           {"932000", "weightzz2000"},
                                                                           {"000300", "weight300"}}};
    for (const auto& row : kTable)
        if (equals_text(self.bench_symbol, row[0])) return py::str(row[1]);
    return self.bench_symbol;
}

py::object value_or_default(py::handle cfg, py::handle name, py::handle default_value) {
    const int has = PySequence_Contains(cfg.ptr(), name.ptr());
    if (has < 0) throw py::error_already_set();
    if (has) return cfg[name];
    return py::reinterpret_borrow<py::object>(default_value);
}

#include "docstrings.inc"

void register_optimizer(py::module_& m) {
    py::class_<Optimizer> cls(m, "OptimizerTopM", doc::kClass);

    cls.def(py::init([](py::object opt_name, py::object bench_symbol, py::object secu_pct, py::object cfg) {
                Optimizer self{std::move(bench_symbol), std::move(secu_pct), std::move(cfg), std::move(opt_name),
                               {}, {}};
                if (algorithm_of(self.opt_name) == position::Algorithm::Unknown)
                    raise_wrong_opt_name(self.opt_name);
                return self;
            }),
            py::arg("opt_name"), py::arg("bench_symbol"), py::arg("secu_pct"), py::arg("cfg"));

    const auto attribute = [&cls](const char* name, py::object Optimizer::*member, const char* doc) {
        cls.def_property(
            name,
            [member, name](py::handle self) -> py::object {
                const py::object& value = state_of(self, name).*member;
                if (!value) throw py::attribute_error(no_attribute(self, name));
                return value;
            },
            [member, name](py::handle self, py::object value) {
                Optimizer* state = constructed(self);
                if (!state)
                    throw py::attribute_error(std::string("cannot set '") + name +
                                              "': this OptimizerTopM was never initialised (create it as "
                                              "OptimizerTopM(opt_name, bench_symbol, secu_pct, cfg))");
                state->*member = std::move(value);
            },
            doc);
    };
    attribute("bench_symbol", &Optimizer::bench_symbol, "Benchmark index code, as passed.");
    attribute("secu_pct", &Optimizer::secu_pct, "Target total weight of the portfolio, as passed.");
    attribute("cfg", &Optimizer::cfg, "Settings mapping, as passed (not a copy).");
    attribute("opt_name", &Optimizer::opt_name, "Algorithm name, as passed.");
    attribute("barra_data", &Optimizer::barra_data, "Risk data of the last run (None when it had no risk names).");
    attribute("benchweight_data", &Optimizer::benchweight_data, "Benchmark-weight matrix of the last run.");

    cls.def(
        "GenEma",
        [](py::handle, py::handle arr_orig, py::handle decay) {
            Array a = as_contiguous(arr_orig, "arr_orig");
            if (a.ndim() < 2) throw py::index_error("arr_orig: too many indices for array: array is " +
                                                    std::to_string(a.ndim()) + "-dimensional, but 2 were indexed");
            if (a.ndim() > 2) throw py::value_error("arr_orig must be 2-dimensional");
            if (a.shape(0) == 0) throw py::index_error("arr_orig: index 0 is out of bounds for axis 0 with size 0");
            const double d = as_double(decay, "decay");
            const auto rows = static_cast<std::size_t>(a.shape(0)), cols = static_cast<std::size_t>(a.shape(1));
            Array out({a.shape(0), a.shape(1)});
            compute([&] {
                const Vec r = signal::ema_matrix(span_of(a), rows, cols, d);
                std::copy(r.begin(), r.end(), out.mutable_data());
            });
            return out;
        },
        py::arg("arr_orig"), py::arg("decay"), doc::kGenEma);

    cls.def(
        "GenNorm",
        [](py::handle, py::handle arr_model_values) {
            Array a = as_contiguous(arr_model_values, "arr_model_values");
            if (a.ndim() < 2) raise_axis_error(1, static_cast<int>(a.ndim()), "arr_model_values");
            if (a.ndim() > 2) throw py::value_error("arr_model_values must be 2-dimensional");
            const auto rows = static_cast<std::size_t>(a.shape(0)), cols = static_cast<std::size_t>(a.shape(1));
            Array out({a.shape(0), a.shape(1)});
            compute([&] {
                const Vec r = signal::standardise_rows(span_of(a), rows, cols);
                std::copy(r.begin(), r.end(), out.mutable_data());
            });
            return out;
        },
        py::arg("arr_model_values"), doc::kGenNorm);

    cls.def(
        "GenNorm_Step1",
        [](py::handle, py::handle model_value) {
            Array a = as_contiguous(model_value, "model_value");
            Array out(shape_of(a).cast<std::vector<py::ssize_t>>());
            compute([&] { signal::standardise(span_of(a), span_of_mutable(out)); });
            return out;
        },
        py::arg("model_value"), doc::kGenNormStep1);

    cls.def(
        "GenEma_Step1",
        [](py::handle, py::object model_value, py::handle pre_ema_value, py::handle decay) -> py::object {
            if (pre_ema_value.is_none()) return model_value;
            Array m = as_contiguous(model_value, "model_value");
            Array p = as_contiguous(pre_ema_value, "pre_ema_value");
            if (!shape_of(m).equal(shape_of(p)))
                throw py::value_error("pre_ema_value has shape " + std::string(py::str(shape_of(p))) +
                                      ", expected " + std::string(py::str(shape_of(m))) +
                                      " (the shape of model_value)");
            const double d = as_double(decay, "decay");
            Array out(shape_of(m).cast<std::vector<py::ssize_t>>());
            compute([&] { signal::ema_step(span_of(m), span_of(p), d, span_of_mutable(out)); });
            return out;
        },
        py::arg("model_value"), py::arg("pre_ema_value"), py::arg("decay"), doc::kGenEmaStep1);

    cls.def(
        "MapValue2Position_MaxWeight",
        [](py::handle, py::handle cur_model_value, py::handle each_max_weight, py::handle secu_pct) {
            Array s = as_vector(cur_model_value, "cur_model_value");
            Array caps = as_vector(each_max_weight, "each_max_weight", s.size(), "cur_model_value");
            const double pct = as_double(secu_pct, "secu_pct");
            Array out = new_vector(s.size());
            compute([&] {
                position::Workspace& ws = scratch();
                position::capped_fill(span_of(s), span_of(caps), pct, ws, span_of_mutable(out));
            });
            return out;
        },
        py::arg("cur_model_value"), py::arg("each_max_weight"), py::arg("secu_pct"), doc::kCappedFill);

    cls.def(
        "MapValue2Position_MaxWeight_RiskCost",
        [](py::handle, py::handle model_value, py::handle each_max_weight, py::handle secu_pct,
           py::handle pre_weight, py::handle risk_cost) {
            Array s = as_vector(model_value, "model_value");
            Array caps = as_vector(each_max_weight, "each_max_weight", s.size(), "model_value");
            const double pct = as_double(secu_pct, "secu_pct");
            Array pre = as_vector(pre_weight, "pre_weight", s.size(), "model_value");
            const double cost = as_double(risk_cost, "risk_cost");
            Array out = new_vector(s.size());
            compute([&] {
                position::Workspace& ws = scratch();
                position::rebalance(span_of(s), span_of(caps), pct, span_of(pre), cost, ws, span_of_mutable(out));
            });
            return out;
        },
        py::arg("model_value"), py::arg("each_max_weight"), py::arg("secu_pct"), py::arg("pre_weight"),
        py::arg("risk_cost"), doc::kRebalance);

    cls.def(
        "MapValue2Position",
        [](py::handle, py::handle cur_model_value, py::handle num_long, py::handle secu_pct,
           py::handle bench_weight, py::handle bench_coeff, py::handle pre_weight, py::handle pre_coeff) {
            Array s = as_vector(cur_model_value, "cur_model_value");
            const Index k = as_index(num_long, "num_long");
            const double pct = as_double(secu_pct, "secu_pct");
            Array bench = as_vector(bench_weight, "bench_weight", s.size(), "cur_model_value");
            const double bc = as_double(bench_coeff, "bench_coeff");
            Array pre = as_vector(pre_weight, "pre_weight", s.size(), "cur_model_value");
            const double pc = as_double(pre_coeff, "pre_coeff");
            Array out = new_vector(s.size());
            compute([&] {
                position::Workspace& ws = scratch();
                position::top_n_blend(span_of(s), k, pct, span_of(bench), bc, span_of(pre), pc, ws,
                                      span_of_mutable(out));
            });
            return out;
        },
        py::arg("cur_model_value"), py::arg("num_long"), py::arg("secu_pct"), py::arg("bench_weight"),
        py::arg("bench_coeff"), py::arg("pre_weight"), py::arg("pre_coeff"), doc::kTopN);

    cls.def(
        "CalcCurrentPosition",
        [](py::handle self_obj, py::handle cur_model_value, py::handle try_ema_value, py::handle weight_multi,
           py::handle num_long, py::handle risk_cost, py::handle each_single_weight, py::handle cur_bench,
           py::handle bench_coeff, py::handle pre_weight, py::handle pre_coeff, py::handle max_weight) {
            const Optimizer& self = state_of(self_obj, "opt_name");
            Array ema = as_vector(try_ema_value, "try_ema_value");
            const auto n = ema.size();
            const position::DispatchParams p = dispatch_params(self, weight_multi, num_long, risk_cost,
                                                               each_single_weight, bench_coeff, pre_coeff, max_weight);
            const bool reads_model = p.algorithm == position::Algorithm::TopM ||
                                     p.algorithm == position::Algorithm::TopEqual;
            // Only the turnover-cost recipes read cur_model_value.
            Array model = reads_model ? as_vector(cur_model_value, "cur_model_value", n, "try_ema_value") : ema;
            Array bench = as_vector(cur_bench, "cur_bench", n, "try_ema_value");
            Array pre = as_vector(pre_weight, "pre_weight", n, "try_ema_value");
            Array out = new_vector(n);
            compute([&] {
                position::Workspace& ws = scratch();
                Vec caps;
                position::calc_current_position(p, {span_of(model), span_of(ema), span_of(bench), span_of(pre)}, ws,
                                                caps, span_of_mutable(out));
            });
            return out;
        },
        py::arg("cur_model_value"), py::arg("try_ema_value"), py::arg("weight_multi"), py::arg("num_long"),
        py::arg("risk_cost"), py::arg("each_single_weight"), py::arg("cur_bench"), py::arg("bench_coeff"),
        py::arg("pre_weight"), py::arg("pre_coeff"), py::arg("max_weight") = py::int_(-1), doc::kDispatch);

    const auto caps_method = [&cls](const char* name, const char* scalar, bool equal, const char* docstring) {
        cls.def(
            name,
            [scalar = std::string(scalar), equal](py::handle, py::handle model_value, py::handle level,
                                                   py::handle cur_bench, py::handle bench_coeff, py::handle pre_weight,
                                                   py::handle pre_coeff, py::handle max_weight) {
                Array s = as_vector(model_value, "model_value");
                const double lv = as_double(level, scalar);
                Array bench = as_vector(cur_bench, "cur_bench", s.size(), "model_value");
                const double bc = as_double(bench_coeff, "bench_coeff");
                Array pre = as_vector(pre_weight, "pre_weight", s.size(), "model_value");
                const double pc = as_double(pre_coeff, "pre_coeff");
                const double mw = as_double(max_weight, "max_weight");
                Array out = new_vector(s.size());
                compute([&] {
                    if (equal)
                        position::equal_caps(span_of(s).size(), lv, span_of(bench), bc, span_of(pre), pc, mw,
                                             span_of_mutable(out));
                    else
                        position::max_weight_caps(span_of(s), lv, span_of(bench), bc, span_of(pre), pc, mw,
                                                  span_of_mutable(out));
                });
                return out;
            },
            py::arg("model_value"), py::arg(scalar), py::arg("cur_bench"), py::arg("bench_coeff"),
            py::arg("pre_weight"), py::arg("pre_coeff"), py::arg("max_weight") = -1.0, docstring);
    };
    caps_method("GenMaxWeight", "weight_multi", false, doc::kGenMaxWeight);
    caps_method("GenMaxWeight_Equal", "each_single_weight", true, doc::kGenMaxWeightEqual);

    cls.def(
        "CalcRiskExposure",
        [](py::handle, py::handle barra, py::handle position, py::handle bench_weight) {
            Array f = as_vector(barra, "barra");
            Array w = as_vector(position, "position", f.size(), "barra");
            Array b = as_vector(bench_weight, "bench_weight", f.size(), "barra");
            const double hold = risk::weighted_sum(span_of(f), span_of(w));
            const double bench = risk::weighted_sum(span_of(f), span_of(b));
            return py::make_tuple(hold, bench, hold - bench);
        },
        py::arg("barra"), py::arg("position"), py::arg("bench_weight"), doc::kExposure);

    cls.def(
        "CalcRiskExposure_Multi",
        [](py::handle, py::handle arr_barra, py::handle position, py::handle bench_weight) {
            Array f = as_contiguous(arr_barra, "arr_barra");
            if (f.ndim() < 2) raise_axis_error(1, static_cast<int>(f.ndim()), "arr_barra");
            if (f.ndim() > 2) throw py::value_error("arr_barra must be 2-dimensional");
            const py::ssize_t k = f.shape(0), n = f.shape(1);
            Array w = as_vector(position, "position", n, "a row of arr_barra");
            Array b = as_vector(bench_weight, "bench_weight", n, "a row of arr_barra");
            Array hold = new_vector(k), bench = new_vector(k), expo = new_vector(k);
            compute([&] {
                const risk::FactorRows rows{f.data(), static_cast<std::size_t>(k), static_cast<std::size_t>(n),
                                            static_cast<std::size_t>(n)};
                risk::exposures(rows, span_of(w), span_of_mutable(hold));
                risk::exposures(rows, span_of(b), span_of_mutable(bench));
                for (py::ssize_t j = 0; j < k; ++j) expo.mutable_data()[j] = hold.data()[j] - bench.data()[j];
            });
            return py::make_tuple(hold, bench, expo);
        },
        py::arg("arr_barra"), py::arg("position"), py::arg("bench_weight"), doc::kExposureMulti);

    cls.def(
        "get_weight_name", [](py::handle self) { return weight_name(state_of(self, "bench_symbol")); },
        doc::kWeightName);

    cls.def(
        "GetValueOrDefault",
        [](py::handle, py::handle cfg, py::handle name, py::handle default_value) {
            return value_or_default(cfg, name, default_value);
        },
        py::arg("cfg"), py::arg("name"), py::arg("default_value"), doc::kValueOrDefault);

    cls.def(
        "gen_position",
        [](py::handle self, py::handle predictValues, py::handle univ_idx) {
            return gen_position(state_of(self, "opt_name"), predictValues, univ_idx);
        },
        py::arg("predictValues"), py::arg("univ_idx"), doc::kGenPosition);
}

}  // namespace kestrel::bind

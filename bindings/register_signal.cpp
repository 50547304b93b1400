// OptimizerTopM's smoothing and standardising steps.
#include "docstrings/signal.hpp"
#include "register.hpp"
#include "signal/smoothing.hpp"

namespace kestrel::bind {

namespace {

py::tuple shape_of(const py::array& a) {
    py::tuple t(a.ndim());
    for (py::ssize_t d = 0; d < a.ndim(); ++d) t[d] = a.shape(d);
    return t;
}

}  // namespace

void register_signal_methods(OptimizerClass& cls) {
    cls.def(
        "GenEma",
        [](py::handle, py::handle arr_orig, py::handle decay) {
            Array a = as_contiguous(arr_orig, "arr_orig");
            if (a.ndim() < 2)
                throw py::index_error("arr_orig: too many indices for array: array is " + std::to_string(a.ndim()) +
                                      "-dimensional, but 2 were indexed");
            if (a.ndim() > 2) throw py::value_error("arr_orig must be 2-dimensional");
            if (a.shape(0) == 0) throw py::index_error("arr_orig: index 0 is out of bounds for axis 0 with size 0");
            const double d = as_double(decay, "decay");
            const auto rows = static_cast<std::size_t>(a.shape(0)), cols = static_cast<std::size_t>(a.shape(1));
            Array out({a.shape(0), a.shape(1)});
            without_gil([&] {
                const Vec r = signal::ema_matrix(span_of(a), rows, cols, d);
                std::copy(r.begin(), r.end(), out.mutable_data());
            });
            return out;
        },
        py::arg("arr_orig"), py::arg("decay"), doc::GenEma);

    cls.def(
        "GenNorm",
        [](py::handle, py::handle arr_model_values) {
            Array a = as_contiguous(arr_model_values, "arr_model_values");
            if (a.ndim() < 2) raise_axis_error(1, static_cast<int>(a.ndim()), "arr_model_values");
            if (a.ndim() > 2) throw py::value_error("arr_model_values must be 2-dimensional");
            const auto rows = static_cast<std::size_t>(a.shape(0)), cols = static_cast<std::size_t>(a.shape(1));
            Array out({a.shape(0), a.shape(1)});
            without_gil([&] {
                const Vec r = signal::standardise_rows(span_of(a), rows, cols);
                std::copy(r.begin(), r.end(), out.mutable_data());
            });
            return out;
        },
        py::arg("arr_model_values"), doc::GenNorm);

    cls.def(
        "GenNorm_Step1",
        [](py::handle, py::handle model_value) {
            Array a = as_contiguous(model_value, "model_value");
            Array out(shape_of(a).cast<std::vector<py::ssize_t>>());
            without_gil([&] { signal::standardise(span_of(a), span_of_mutable(out)); });
            return out;
        },
        py::arg("model_value"), doc::GenNorm_Step1);

    cls.def(
        "GenEma_Step1",
        [](py::handle, py::object model_value, py::handle pre_ema_value, py::handle decay) -> py::object {
            if (pre_ema_value.is_none()) return model_value;
            Array m = as_contiguous(model_value, "model_value");
            Array p = as_contiguous(pre_ema_value, "pre_ema_value");
            if (!shape_of(m).equal(shape_of(p)))
                throw py::value_error("pre_ema_value has shape " + std::string(py::str(shape_of(p))) + ", expected " +
                                      std::string(py::str(shape_of(m))) + " (the shape of model_value)");
            const double d = as_double(decay, "decay");
            Array out(shape_of(m).cast<std::vector<py::ssize_t>>());
            without_gil([&] { signal::ema_step(span_of(m), span_of(p), d, span_of_mutable(out)); });
            return out;
        },
        py::arg("model_value"), py::arg("pre_ema_value"), py::arg("decay"), doc::GenEma_Step1);
}

}  // namespace kestrel::bind

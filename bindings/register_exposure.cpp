// OptimizerTopM's active-exposure methods.
#include "docstrings/exposure.hpp"
#include "register.hpp"
#include "risk/exposure.hpp"

namespace kestrel::bind {

void register_exposure_methods(OptimizerClass& cls) {
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
        py::arg("barra"), py::arg("position"), py::arg("bench_weight"), doc::CalcRiskExposure);

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
            without_gil([&] {
                const risk::FactorRows rows{f.data(), static_cast<std::size_t>(k), static_cast<std::size_t>(n),
                                            static_cast<std::size_t>(n)};
                risk::exposures(rows, span_of(w), span_of_mutable(hold));
                risk::exposures(rows, span_of(b), span_of_mutable(bench));
                for (py::ssize_t j = 0; j < k; ++j) expo.mutable_data()[j] = hold.data()[j] - bench.data()[j];
            });
            return py::make_tuple(hold, bench, expo);
        },
        py::arg("arr_barra"), py::arg("position"), py::arg("bench_weight"), doc::CalcRiskExposure_Multi);
}

}  // namespace kestrel::bind

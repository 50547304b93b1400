// numpydoc docstrings of OptimizerTopM's methods: active exposure.
// The first lines of each ("name(self, ...)\n--\n\n") are the call signature
// in the form CPython reads into __text_signature__, so that inspect.signature
// and help() show it.
#pragma once

namespace kestrel::bind::doc {

inline constexpr const char* CalcRiskExposure = R"doc(CalcRiskExposure(self, barra, position, bench_weight)
--

Exposure of a portfolio and of its benchmark to one factor.

Parameters
----------
barra : array_like, shape (N,)
    Each security's value of the factor.
position : array_like, shape (N,)
    Portfolio weights.
bench_weight : array_like, shape (N,)
    Benchmark weights.

Returns
-------
hold_barra, bench_barra, expo : float
    ``sum(barra * position)``, ``sum(barra * bench_weight)`` and their
    difference, the active exposure. NaN anywhere in `barra` makes all
    three NaN.

Raises
------
ValueError
    When the vectors differ in length.

Examples
--------
>>> opt = Kestrel.OptimizerTopM("TopM", "000300", 1.0, {})
>>> opt.CalcRiskExposure([1.0, -1.0, 2.0], [0.5, 0.5, 0.0], [0.25, 0.25, 0.5])
(0.0, 1.0, -1.0)
)doc";

inline constexpr const char* CalcRiskExposure_Multi =
    R"doc(CalcRiskExposure_Multi(self, arr_barra, position, bench_weight)
--

Exposures to K factors at once.

Parameters
----------
arr_barra : array_like, shape (K, N)
    Row k holds each security's value of factor k.
position : array_like, shape (N,)
    Portfolio weights.
bench_weight : array_like, shape (N,)
    Benchmark weights.

Returns
-------
hold_barra, bench_barra, expo : ndarray of float64, shape (K,)
    The portfolio's and the benchmark's exposures and their difference.

Raises
------
numpy.exceptions.AxisError
    When `arr_barra` has fewer than two dimensions.
ValueError
    When `arr_barra` has more than two dimensions or its rows and the
    vectors differ in length.

Examples
--------
>>> opt = Kestrel.OptimizerTopM("TopM", "000300", 1.0, {})
>>> opt.CalcRiskExposure_Multi([[1.0, -1.0, 2.0], [0.0, 1.0, 0.0]], [0.5, 0.5, 0.0], [0.25, 0.25, 0.5])
(array([0. , 0.5]), array([1.  , 0.25]), array([-1.  ,  0.25]))
)doc";

}  // namespace kestrel::bind::doc

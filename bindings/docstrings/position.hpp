// numpydoc docstrings of OptimizerTopM's methods: the caps, the three mappings and one date's dispatch.
// The first lines of each ("name(self, ...)\n--\n\n") are the call signature
// in the form CPython reads into __text_signature__, so that inspect.signature
// and help() show it.
#pragma once

namespace kestrel::bind::doc {

inline constexpr const char* GenMaxWeight =
    R"doc(GenMaxWeight(self, model_value, weight_multi, cur_bench, bench_coeff, pre_weight, pre_coeff, max_weight=-1.0)
--

Caps proportional to the positive part of the scores.

Parameters
----------
model_value : array_like, shape (N,)
    Smoothed scores.
weight_multi : float
    Total of the proportional caps.
cur_bench : array_like, shape (N,)
    Benchmark weights; ``cur_bench * bench_coeff`` is a floor.
bench_coeff : float
pre_weight : array_like, shape (N,)
    Previous weights; ``pre_weight * pre_coeff`` is a floor.
pre_coeff : float
max_weight : float, default -1.0
    Ceiling, applied before the floors when > 0 (so a floor may exceed it).

Returns
-------
ndarray of float64, shape (N,)
    ``max(min(positive share * weight_multi, max_weight), cur_bench *
    bench_coeff, pre_weight * pre_coeff)``; all NaN when no score is
    positive or a score is NaN.

Raises
------
ValueError
    When the vectors differ in length.

See Also
--------
GenMaxWeight_Equal : one uniform cap.

Examples
--------
>>> opt = Kestrel.OptimizerTopM("TopM", "000300", 1.0, {})
>>> opt.GenMaxWeight([3.0, 1.0, 0.0, -1.0], 2.0, [0.0] * 4, 1.0, [0.0] * 4, 1.0, max_weight=1.0)
array([1. , 0.5, 0. , 0. ])
)doc";

inline constexpr const char* GenMaxWeight_Equal =
    R"doc(GenMaxWeight_Equal(self, model_value, each_single_weight, cur_bench, bench_coeff, pre_weight, pre_coeff, max_weight=-1.0)
--

One uniform cap raised to the benchmark and previous-weight floors.

Parameters
----------
model_value : array_like, shape (N,)
    Only its length is used.
each_single_weight : float
    The uniform cap.
cur_bench : array_like, shape (N,)
    Benchmark weights; ``cur_bench * bench_coeff`` is a floor.
bench_coeff : float
pre_weight : array_like, shape (N,)
    Previous weights; ``pre_weight * pre_coeff`` is a floor.
pre_coeff : float
max_weight : float, default -1.0
    Ceiling, applied after the floors when > 0 (so no cap exceeds it).

Returns
-------
ndarray of float64, shape (N,)
    ``min(max(each_single_weight, cur_bench * bench_coeff, pre_weight *
    pre_coeff), max_weight)``.

Raises
------
ValueError
    When the vectors differ in length.

Examples
--------
>>> opt = Kestrel.OptimizerTopM("TopEqual", "000300", 1.0, {})
>>> opt.GenMaxWeight_Equal([0.0] * 3, 0.01, [0.0, 0.05, 0.0], 1.0, [0.0, 0.0, 0.03], 0.5, max_weight=0.02)
array([0.01 , 0.02 , 0.015])
)doc";

inline constexpr const char* MapValue2Position_MaxWeight =
    R"doc(MapValue2Position_MaxWeight(self, cur_model_value, each_max_weight, secu_pct)
--

Fill the portfolio greedily from the best score down, each security to its cap.

The mapping of "TopM2" and "TopEqual2".

Parameters
----------
cur_model_value : array_like, shape (N,)
    Ranking scores; NaN ranks last.
each_max_weight : array_like, shape (N,)
    Per-security caps (see ``GenMaxWeight``).
secu_pct : float
    Target total weight.

Returns
-------
ndarray of float64, shape (N,)
    Securities in descending score order get their full cap until the
    running total reaches `secu_pct`; the one at which it does gets the
    remainder, later ones 0. With NaN caps the running total is NaN and
    every security gets its cap, without error.

Raises
------
PositionError
    "Wrong Position Error" when the total misses `secu_pct` by 1e-4 or more
    (the caps cannot hold it); "Wrong Position MaxWeight Error" when a
    weight exceeds its cap by 1e-4 or more (the offending indices, weights
    and caps are printed to stdout first).
ValueError
    When the vectors differ in length.

Examples
--------
>>> opt = Kestrel.OptimizerTopM("TopM2", "000300", 1.0, {})
>>> opt.MapValue2Position_MaxWeight([0.9, 0.5, 0.7, -0.1], [0.4, 0.4, 0.4, 0.4], 1.0)
array([0.4, 0.2, 0.4, 0. ])
)doc";

inline constexpr const char* MapValue2Position_MaxWeight_RiskCost =
    R"doc(MapValue2Position_MaxWeight_RiskCost(self, model_value, each_max_weight, secu_pct, pre_weight, risk_cost)
--

Rebalance from the previous weights, trading only scores that clear a cost.

The mapping of "TopM" and "TopEqual".

Parameters
----------
model_value : array_like, shape (N,)
    Standardised scores; a NaN score keeps weight 0.
each_max_weight : array_like, shape (N,)
    Per-security caps.
secu_pct : float
    Target total weight.
pre_weight : array_like, shape (N,)
    The previous date's weights.
risk_cost : float
    Turnover cost in score units. Scores >= `risk_cost` start at their cap,
    scores <= -`risk_cost` at 0, the others hold ``min(previous weight,
    cap)``.

Returns
-------
ndarray of float64, shape (N,)
    When the start overshoots `secu_pct`, a reduce phase takes weight back,
    lowest cost-adjusted score first, down to the previous weight (or 0 for
    the middle band); when it falls short, an add phase adds weight,
    highest cost-adjusted score first, up to the cap (or to the previous
    weight for the low band).

Raises
------
PositionError
    "Wrong Position Error" when the total misses `secu_pct` by 1e-3 or more
    ("CheckPosition: <|sum|>" is printed to stdout first) or a weight
    exceeds its cap by 1e-4 or more (the offenders are printed first).
ValueError
    When the vectors differ in length.

Examples
--------
>>> opt = Kestrel.OptimizerTopM("TopM", "000300", 1.0, {})
>>> w = opt.MapValue2Position_MaxWeight_RiskCost(
...     [1.0, 0.2, -1.0, 0.8], [0.4, 0.4, 0.4, 0.4], 1.0, [0.1, 0.3, 0.2, 0.0], 0.5)
>>> w.round(6)
array([0.4, 0.3, 0. , 0.3])
)doc";

inline constexpr const char* MapValue2Position =
    R"doc(MapValue2Position(self, cur_model_value, num_long, secu_pct, bench_weight, bench_coeff, pre_weight, pre_coeff)
--

Weight the `num_long` best blended scores in proportion to their positive part.

The mapping of "TopKR". The blended score is the standardised
`cur_model_value`, plus `bench_coeff` times the standardised `bench_weight`
(when `bench_coeff` > 0), plus `pre_coeff` times the standardised
`pre_weight` (when `pre_coeff` > 0 and the previous weights sum to at least
0.8).

Parameters
----------
cur_model_value : array_like, shape (N,)
    Scores.
num_long : int
    Number of securities kept (slice semantics: a negative value drops that
    many from the end of the ranking).
secu_pct : float
    Target total weight.
bench_weight : array_like, shape (N,)
    Benchmark weights.
bench_coeff : float
    Weight of the standardised benchmark weights in the blend.
pre_weight : array_like, shape (N,)
    The previous date's weights.
pre_coeff : float
    Weight of the standardised previous weights in the blend.

Returns
-------
ndarray of float64, shape (N,)
    Sums to `secu_pct`; a kept security with a negative blended score gets
    0. All NaN when the kept positive scores sum to 0 or NaN (for example
    a constant `bench_weight` with `bench_coeff` > 0).

Raises
------
ValueError
    When the vectors differ in length.
TypeError
    When `num_long` is not an integer.

Examples
--------
>>> opt = Kestrel.OptimizerTopM("TopKR", "000300", 1.0, {})
>>> opt.MapValue2Position([1.0, 2.0, 3.0, 4.0], 2, 1.0, [0.0] * 4, 0.0, [0.0] * 4, 0.0)
array([0.  , 0.  , 0.25, 0.75])
)doc";

inline constexpr const char* CalcCurrentPosition =
    R"doc(CalcCurrentPosition(self, cur_model_value, try_ema_value, weight_multi, num_long, risk_cost, each_single_weight, cur_bench, bench_coeff, pre_weight, pre_coeff, max_weight=-1)
--

One date's weights by the object's current `opt_name` and `secu_pct`.

============  ======================  =========================================
opt_name      caps (from smoothed)    mapping (score it ranks)
============  ======================  =========================================
"TopM"        GenMaxWeight            MapValue2Position_MaxWeight_RiskCost
                                      (`cur_model_value`)
"TopM2"       GenMaxWeight            MapValue2Position_MaxWeight
                                      (`try_ema_value`)
"TopEqual"    GenMaxWeight_Equal      MapValue2Position_MaxWeight_RiskCost
                                      (`cur_model_value`)
"TopEqual2"   GenMaxWeight_Equal      MapValue2Position_MaxWeight
                                      (`try_ema_value`)
"TopKR"       none                    MapValue2Position (`try_ema_value`)
============  ======================  =========================================

Parameters
----------
cur_model_value : array_like, shape (N,)
    Standardised scores (read by "TopM" and "TopEqual" only).
try_ema_value : array_like, shape (N,)
    Smoothed scores: input of the caps and of the other mappings.
weight_multi : float or None
    Total of the proportional caps ("TopM", "TopM2").
num_long : int or None
    Securities held ("TopKR").
risk_cost : float or None
    Turnover cost ("TopM", "TopEqual").
each_single_weight : float or None
    Uniform cap ("TopEqual", "TopEqual2").
cur_bench : array_like, shape (N,)
    The date's benchmark weights, summing to 1.
bench_coeff : float
    Multiplier of the benchmark weights in the cap floors (the blend
    weight for "TopKR").
pre_weight : array_like, shape (N,)
    Previous weights.
pre_coeff : float
    Multiplier of the previous weights in the cap floors (the blend weight
    for "TopKR").
max_weight : float, default -1
    Per-security ceiling; 0 or less means none. Not read by "TopKR".

Returns
-------
ndarray of float64, shape (N,)
    The mapping's result, unchanged.

Raises
------
Exception
    "Wrong opt_name:<name>" for an unknown name.
PositionError
    A mapping's failure.
TypeError
    A scalar that the algorithm reads is None or not a number.
ValueError
    When the vectors differ in length.

Examples
--------
>>> opt = Kestrel.OptimizerTopM("TopM2", "000300", 1.0, {})
>>> s = [0.9, 0.5, 0.7, -0.1]
>>> opt.CalcCurrentPosition(s, s, 1.2, None, None, None, [0.25] * 4, 0.0, [0.0] * 4, 0.0)
array([0.51428571, 0.08571429, 0.4       , 0.        ])
)doc";

}  // namespace kestrel::bind::doc

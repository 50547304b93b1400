// numpydoc docstrings of OptimizerTopM's methods: the smoothing and standardising steps.
// The first lines of each ("name(self, ...)\n--\n\n") are the call signature
// in the form CPython reads into __text_signature__, so that inspect.signature
// and help() show it.
#pragma once

namespace kestrel::bind::doc {

inline constexpr const char* GenEma = R"doc(GenEma(self, arr_orig, decay)
--

Exponential smoothing of a score matrix down its rows.

Parameters
----------
arr_orig : array_like, shape (T, N)
    Scores, one row per date in time order.
decay : float
    Weight of the newest row, normally in [0, 1]; the running average
    keeps ``1 - decay``. Not range-checked.

Returns
-------
ndarray of float64, shape (T, N)
    Row 0 copied, then ``row * decay + previous * (1 - decay)``. NaN is not
    treated specially: it propagates down its column from where it occurs.

Raises
------
IndexError
    When `arr_orig` has no rows or fewer than two dimensions.
ValueError
    When `arr_orig` has more than two dimensions.
TypeError
    When `arr_orig` or `decay` is not numeric.

See Also
--------
GenEma_Step1 : one row of the same recurrence.

Examples
--------
>>> opt = Kestrel.OptimizerTopM("TopM", "000300", 1.0, {})
>>> opt.GenEma([[2.0, 4.0], [4.0, 8.0]], 0.5)
array([[2., 4.],
       [3., 6.]])
)doc";

inline constexpr const char* GenNorm = R"doc(GenNorm(self, arr_model_values)
--

Standardise every row of a score matrix.

Parameters
----------
arr_model_values : array_like, shape (T, N)
    Scores, one row per date.

Returns
-------
ndarray of float64, shape (T, N)
    Each row minus its NaN-ignoring mean, divided by its NaN-ignoring
    population standard deviation. NaN entries stay NaN; a constant row
    becomes all NaN (0/0).

Raises
------
numpy.exceptions.AxisError
    When the input has fewer than two dimensions.
ValueError
    When the input has more than two dimensions.

See Also
--------
GenNorm_Step1 : one mean and one deviation for all entries.

Examples
--------
>>> opt = Kestrel.OptimizerTopM("TopM", "000300", 1.0, {})
>>> opt.GenNorm([[1.0, float("nan"), 3.0], [5.0, 5.0, 5.0]])
array([[-1., nan,  1.],
       [nan, nan, nan]])
)doc";

inline constexpr const char* GenNorm_Step1 = R"doc(GenNorm_Step1(self, model_value)
--

Standardise all entries of an array with one mean and one deviation.

Parameters
----------
model_value : array_like
    Any shape; all entries form one sample.

Returns
-------
ndarray of float64, same shape as `model_value`
    ``(model_value - nanmean) / nanstd`` (population deviation). NaN
    entries stay NaN; a constant input gives NaN (0/0).

Raises
------
TypeError
    When `model_value` is None, text or complex.

Examples
--------
>>> opt = Kestrel.OptimizerTopM("TopM", "000300", 1.0, {})
>>> opt.GenNorm_Step1([1.0, 2.0, 3.0])
array([-1.22474487,  0.        ,  1.22474487])
)doc";

inline constexpr const char* GenEma_Step1 = R"doc(GenEma_Step1(self, model_value, pre_ema_value, decay)
--

One step of exponential smoothing.

Parameters
----------
model_value : array_like
    The newest scores.
pre_ema_value : array_like or None
    The previous smoothed scores, of the same shape, or None when there
    are none yet (the first date of a run).
decay : float
    Weight of the newest scores.

Returns
-------
ndarray or object
    `model_value` itself, unchanged and uncopied, when `pre_ema_value` is
    None; else a new float64 array ``model_value * decay + pre_ema_value *
    (1 - decay)``.

Raises
------
ValueError
    When the two shapes differ.

Examples
--------
>>> opt = Kestrel.OptimizerTopM("TopM", "000300", 1.0, {})
>>> opt.GenEma_Step1([1.0, 3.0], [3.0, 1.0], 0.25)
array([2.5, 1.5])
>>> scores = [1.0, 3.0]
>>> opt.GenEma_Step1(scores, None, 0.25) is scores
True
)doc";

}  // namespace kestrel::bind::doc

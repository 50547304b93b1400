// numpydoc docstrings of OptimizerTopM's methods: OptimizerTopM: the class, its attributes, get_weight_name,
// GetValueOrDefault and gen_position. The first lines of each ("name(self, ...)\n--\n\n") are the call
// signature in the form CPython reads into __text_signature__, so that inspect.signature and help() show it.
#pragma once

namespace kestrel::bind::doc {

inline constexpr const char* OptimizerTopM = R"doc(OptimizerTopM(opt_name, bench_symbol, secu_pct, cfg)
--

Long-only position generator for one algorithm against one benchmark.

Every step of a run is a public method: smoothing and standardising
scores (``GenEma``, ``GenEma_Step1``, ``GenNorm``, ``GenNorm_Step1``), the
weight caps (``GenMaxWeight``, ``GenMaxWeight_Equal``), the three mappings
from scores to weights (``MapValue2Position``,
``MapValue2Position_MaxWeight``, ``MapValue2Position_MaxWeight_RiskCost``),
one date's dispatch (``CalcCurrentPosition``), active exposure
(``CalcRiskExposure``, ``CalcRiskExposure_Multi``) and the whole run
(``gen_position``).

Parameters
----------
opt_name : str
    Algorithm, compared exactly (case-sensitive):

    - "TopM": caps proportional to the positive smoothed score, then the
      turnover-cost rebalance from the previous weights.
    - "TopM2": the same caps, then the capped fill from the best score down.
    - "TopKR": the ``num_long`` best scores blended with the benchmark and
      previous weights, weighted in proportion; no caps.
    - "TopEqual": one uniform cap, then the turnover-cost rebalance.
    - "TopEqual2": one uniform cap, then the capped fill.
bench_symbol : str
    Six-digit benchmark index code such as "000300" or "000905"; see
    ``get_weight_name``.
secu_pct : float
    Target total weight of the portfolio on each date, e.g. 1.0 for fully
    invested.
cfg : mapping
    Settings (setting name to value), read by ``gen_position``; see its
    Notes for the keys. Nothing is read at construction.

Attributes
----------
opt_name, bench_symbol, secu_pct, cfg
    The four arguments, stored as the very objects passed (no copy); they
    may be reassigned, and ``opt_name`` and ``secu_pct`` are read again on
    every date of a run.
barra_data : sequence or None
    Set by ``gen_position``: the data library's risk data of the last run
    (one item with an ``array`` per risk name), None when it had no risk
    names. Absent before the first run.
benchweight_data : ndarray
    Set by ``gen_position``: the benchmark-weight matrix (percent) of the
    last run. Absent before the first run.

Raises
------
Exception
    "Wrong opt_name:<name>" when `opt_name` is none of the five names,
    with a note listing them and the closest one.

See Also
--------
opt_gen_position_topm, opt_gen_position_type : construct and run in one call.

Examples
--------
>>> import Kestrel
>>> opt = Kestrel.OptimizerTopM("TopM2", "000300", 1.0, {})
>>> opt.get_weight_name()
'weight300'
>>> Kestrel.OptimizerTopM("topm", "000300", 1.0, {})
Traceback (most recent call last):
...
Exception: Wrong opt_name:topm
opt_name must be one of 'TopM', 'TopM2', 'TopKR', 'TopEqual' and 'TopEqual2', spelt exactly (letter case counts); did you mean 'TopM'?
)doc";

inline constexpr const char* OptimizerTopM_init = R"doc(__init__(self, opt_name, bench_symbol, secu_pct, cfg)
--

See ``help(Kestrel.OptimizerTopM)``.
)doc";

inline constexpr const char* get_weight_name = R"doc(get_weight_name(self)
--

Field name of the benchmark weights for `bench_symbol`.

Returns
-------
str
    "weight500", "weight800", "weight1000", "weight2000", "weightzz2000" or
    "weight300" for the codes "000905", "000906", "000852", "399303",
    "932000" and "000300"; any other code is returned unchanged, so a
    field of the data library can also be named directly.

Raises
------
AttributeError
    When the object was never initialised.

Examples
--------
>>> Kestrel.OptimizerTopM("TopM", "000905", 1.0, {}).get_weight_name()
'weight500'
>>> Kestrel.OptimizerTopM("TopM", "my_bench", 1.0, {}).get_weight_name()
'my_bench'
)doc";

inline constexpr const char* GetValueOrDefault = R"doc(GetValueOrDefault(self, cfg, name, default_value)
--

Read one setting with a fallback.

Parameters
----------
cfg : mapping
    Settings.
name : str
    Setting name.
default_value : object
    Returned when `name` is not in `cfg`.

Returns
-------
object
    ``cfg[name]`` exactly as stored (no conversion; a stored None stays
    None) when `name` is in `cfg`, else `default_value` itself.

Raises
------
Exception
    Whatever `cfg` raises for the membership test or the lookup.

Examples
--------
>>> opt = Kestrel.OptimizerTopM("TopM", "000300", 1.0, {})
>>> opt.GetValueOrDefault({"decay": "0.3"}, "decay", 0.5)
'0.3'
>>> opt.GetValueOrDefault({}, "decay", 0.5)
0.5
)doc";

inline constexpr const char* gen_position = R"doc(gen_position(self, predictValues, univ_idx)
--

Weights for a whole score matrix, date by date.

For each date: standardise and smooth the scores, take the universe's
benchmark weights (a date whose benchmark weights sum to less than 80
percent is skipped), map the scores to weights with ``CalcCurrentPosition``,
then, while an active exposure to a risk name exceeds its limit, shift the
scores away from it and map again (at most ``max_loop_num`` measurements).

Parameters
----------
predictValues : array_like, shape (T, N)
    Scores, one row per date; row t meets row t of the data library's
    matrices. NaN and infinities count as 0.
univ_idx : array_like of int, shape (N,)
    Column of each score column in the data library's all-securities
    matrices (negative values count from the end).

Returns
-------
ndarray of float64, shape (T, N)
    One row of weights per date; a date that is skipped or left empty
    keeps a zero row.

Raises
------
KeyError
    A required setting is missing from ``cfg``.
IndexError, ValueError, TypeError
    `univ_idx` or the data library's matrices do not fit the scores, or a
    setting is not a number.
Exception
    "Wrong opt_name:<name>" when `opt_name` names no algorithm.
PositionError
    "Wrong Position Error" or "Wrong Position MaxWeight Error" from a date's
    mapping (a subclass of Exception).

Warns
-----
RuntimeWarning
    When dates were left empty because their scores were constant (so
    could not be standardised) or their weights were not finite; the
    message lists their rows.

See Also
--------
opt_gen_position_type : construct and run in one call.

Notes
-----
Settings read from ``cfg`` (required unless a default is shown):

==================  =============================================  ========
key                 meaning                                        default
==================  =============================================  ========
decay               weight of the newest scores in the smoothing
bench_coeff         benchmark-weight floor multiplier of the caps
pre_coeff           previous-weight floor multiplier of the caps
each_sector_expo    sector limit; <= 0.2 adds the 28 sector limits
risk_factor_expo    mapping of risk name to its exposure limit
weight_multi        total of the caps ("TopM", "TopM2")
risk_cost           turnover cost ("TopM", "TopEqual")
each_single_weight  uniform cap ("TopEqual", "TopEqual2")
num_long            securities held ("TopKR")
max_weight          per-security ceiling; <= 0 means none          -1
learning_rate       step of the exposure correction                0.1
max_loop_num        exposure measurements per date                 100
print_result        write one report line per date to stdout       True
==================  =============================================  ========

With ``each_sector_expo`` at most 0.2 the 28 sector formulas
``"if(ZXZQSector==<code>,1,0)"`` are added to ``cfg["risk_factor_expo"]``
(the caller's own mapping). The risk data and the benchmark weights come
from ``VelaIntradayModel.RunLoopOnce``, one request each, and stay on the
object as ``barra_data`` and ``benchweight_data``. A tqdm progress bar is
drawn on stderr.

Examples
--------
>>> import numpy as np
>>> import VelaIntradayModel as vim
>>> market = vim.generate_market(None, n_dates=60, n_secu=1200, seed=0)
>>> univ_idx = vim.default_universe(market, 900)
>>> cfg = {"weight_multi": 1.5, "risk_cost": 0.3, "decay": 0.3, "bench_coeff": 0.8,
...        "pre_coeff": 0.9, "each_sector_expo": 1.0, "print_result": False,
...        "risk_factor_expo": {"size": 0.35, "beta": 0.35}}
>>> opt = Kestrel.OptimizerTopM("TopM", "000905", 1.0, cfg)
>>> w = opt.gen_position(vim.make_scores(market, univ_idx), univ_idx)
>>> w.shape, bool(np.allclose(w.sum(axis=1), 1.0))
((60, 900), True)
)doc";

}  // namespace kestrel::bind::doc

// numpydoc docstrings of the seven entry functions: a signature and a
// summary of their own, then the text they share.
#pragma once

#include <string>

namespace kestrel::bind::doc {

inline constexpr const char* kEntryShared = R"doc(
Constructs an ``OptimizerTopM`` for the algorithm, calls its
``gen_position(predictValues, univ_idx)`` and returns the result; the
object is dropped afterwards.

Parameters
----------
bench_symbol : str
    Six-digit benchmark index code such as "000300" or "000905" (see
    ``OptimizerTopM.get_weight_name``).
secu_pct : float
    Target total weight of the portfolio on each date, e.g. 1.0.
cfg : mapping
    Settings; ``help(Kestrel.OptimizerTopM.gen_position)`` lists the keys
    and defaults. With ``each_sector_expo`` at most 0.2 the 28 sector
    limits are added to the caller's own ``cfg["risk_factor_expo"]``.
predictValues : array_like, shape (T, N)
    Scores, one row per date; row t meets row t of the data library's
    matrices. NaN and infinities count as 0.
univ_idx : array_like of int, shape (N,)
    Column of each score column in the data library's all-securities
    matrices (negative values count from the end).

Returns
-------
ndarray of float64, shape (T, N)
    The weight matrix: one row per date, summing to `secu_pct` on every
    processed date; a skipped or empty date keeps a zero row.

Raises
------
KeyError
    A required setting (or, for ``opt_gen_position_type``, "type") is
    missing from `cfg`.
IndexError, ValueError, TypeError
    `univ_idx` or the data library's matrices do not fit the scores, or a
    setting is not a number.
Exception
    "Wrong opt_name:<name>" for an unknown algorithm name.
PositionError
    "Wrong Position Error" or "Wrong Position MaxWeight Error" when a date's
    caps cannot hold `secu_pct` (a subclass of Exception; the diagnostic
    line is printed to stdout first).

Warns
-----
RuntimeWarning
    When dates were left empty because their scores were constant or their
    weights not finite.

See Also
--------
OptimizerTopM.gen_position : the run itself, with its settings table.

Examples
--------
>>> cfg = {"weight_multi": 1.5, "risk_cost": 0.3, "decay": 0.3,  # doctest: +SKIP
...        "bench_coeff": 0.8, "pre_coeff": 0.9, "each_sector_expo": 0.03,
...        "risk_factor_expo": {"size": 0.35}, "print_result": False}
>>> weights = Kestrel.opt_gen_position_topm("000905", 1.0, cfg, scores, univ_idx)  # doctest: +SKIP
)doc";

// "<name>(bench_symbol, ...)\n--\n\nRun <what> over a whole score matrix.\n" and the shared text; the
// first lines become the function's __text_signature__.
inline std::string entry_function(const std::string& name, const std::string& what) {
    return name + "(bench_symbol, secu_pct, cfg, predictValues, univ_idx)\n--\n\nRun " + what +
           " over a whole score matrix.\n" + kEntryShared;
}

}  // namespace kestrel::bind::doc

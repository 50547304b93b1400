// numpydoc docstrings of Kestrel.run, RunResult and RunState. The first lines
// of each ("name(...)\n--\n\n") are the call signature in the form CPython
// reads into __text_signature__, so that inspect.signature and help() show it.
#pragma once

namespace kestrel::bind::doc {

inline constexpr const char* run =
    R"doc(run(opt_name, bench_symbol, secu_pct, cfg, predictValues, univ_idx, *, start=None, progress=True, print_result=False, finish=None)
--

A run as an object: the weights of the rows computed, with each date's diagnostics as arrays.

The weights equal, bit for bit, what ``OptimizerTopM(opt_name,
bench_symbol, secu_pct, cfg).gen_position(predictValues, univ_idx)`` gives
for those rows. Settings are read from `cfg` exactly as ``gen_position``
reads them (the sector entries are added to ``cfg["risk_factor_expo"]`` the
same way), except "print_result": the keyword `print_result` alone decides
whether anything is printed.

Parameters
----------
opt_name : {"TopM", "TopM2", "TopKR", "TopEqual", "TopEqual2"}
    Algorithm, compared exactly (see ``help(Kestrel.OptimizerTopM)``).
bench_symbol : str
    Six-digit benchmark index code as text, such as "000905" (leading
    zeros included); see ``OptimizerTopM.get_weight_name``.
secu_pct : float
    Target total weight of the portfolio on each date, e.g. 1.0.
cfg : mapping
    Settings; ``help(Kestrel.OptimizerTopM.gen_position)`` lists them.
predictValues : array_like, shape (T, N)
    Scores, one row per date; row t meets row t of the data library's
    matrices. NaN and infinities count as 0.
univ_idx : array_like of int, shape (N,)
    Column of each score column in the data library's matrices.
start : RunState, optional
    Go on from a state (``RunResult.state`` of an earlier run over the same
    rows of the library, or ``RunState(row, held_weights)``): the rows after
    ``start.row`` are computed and returned, bit for bit as in one whole run.
    A state recording another universe is refused (see
    ``kestrel_tools.runs.reindex_state``); another algorithm, benchmark,
    `secu_pct` or settings gives one StateMismatchWarning. Held weights
    above ``secu_pct + 0.001`` are refused.
progress : bool, default True
    Draw a progress bar (``tqdm.auto``: a widget in a notebook with
    ipywidgets, text on stderr elsewhere).
print_result : bool, default False
    Write each processed date's report line to ``sys.stdout``. When False
    nothing reaches stdout, failures included: the diagnostic line that a
    failing mapping prints under the entry functions ("CheckPosition: ...")
    ends the exception's note instead.
finish : {None, "exact"} or kestrel_tools.finish.Finisher, default None
    "exact": every processed date whose returned weights still exceed a
    limit by more than a relative 1e-9 (the control loop gave up) is
    replaced by the nearest portfolio inside every limit (smallest L1
    change; long-only, same total, each weight within the date's caps),
    solved with HiGHS (the "exact" extra: highspy). The repaired row is
    what the next date starts from. A date without such a portfolio keeps
    the loop's weights and is named in one RuntimeWarning.

Returns
-------
RunResult
    For M computed rows, N securities and K risk names (sectors included):
    ``weights`` (M x N), ``rows`` (M, int64), ``risk_names`` (K str),
    ``limits`` (K), ``status`` (M, int8: STATUS_PROCESSED 0,
    STATUS_SKIPPED 1 when the benchmark weights sum to less than 80
    percent, STATUS_EMPTY 2 when the scores or weights were not finite),
    ``loop_count`` (M, int64), ``first_expo`` and ``last_expo`` (M x K, NaN
    where not measured: the control loop's first and last measurements),
    ``expo`` (M x K, the active exposures of the weights returned, NaN
    where not processed), ``over_limit`` (M x K bool, of the weights
    returned), ``bench_hold``, ``total`` (M, NaN where not measured),
    ``hold_num`` (M, int64, -1 where not measured), ``finished`` (M bool:
    replaced by the exact finish), ``finish_moved`` (M, its L1 distance, 0
    where kept), ``finish_status`` (M str, the solver's status, "" where no
    finish was tried), ``univ_idx`` (N, as given), ``seconds`` ({"total",
    "requests"}) and ``state`` (RunState after the last row). When the loop
    gives up (``max_loop_num`` reached) the weights returned are its last
    correction, which only ``expo`` measures.

Raises
------
Exception
    "Wrong opt_name:<name>" when `opt_name` names no algorithm.
PositionError
    "Wrong Position Error" or "Wrong Position MaxWeight Error" when a date's
    caps cannot hold `secu_pct`; the note names the date and the settings.
KeyError
    A required setting is missing from `cfg`, or the data library has no
    such field (a benchmark code it does not know: the note lists the
    known codes and the closest one).
TypeError, ValueError, IndexError
    An input does not fit: `univ_idx` or the library's matrices against the
    scores, a setting that is not a number, a benchmark code given as a
    number, or a `start` that does not fit the scores.

Warns
-----
RuntimeWarning
    When dates were left empty because their scores were constant or their
    weights not finite, and when the exact finish could not repair a date.
StateMismatchWarning
    When `start` was made with another algorithm, benchmark, `secu_pct` or
    settings.

See Also
--------
OptimizerTopM.gen_position : the same weights as a bare matrix.
RunResult.to_pandas : the result as DataFrames.

Examples
--------
>>> run = Kestrel.run("TopM", "000905", 1.0, cfg, scores, univ_idx)  # doctest: +SKIP
>>> run.loop_count, run.last_expo, run.over_limit  # doctest: +SKIP
)doc";

inline constexpr const char* RunState =
    R"doc(RunState(row, weights, smoothed=None, *, univ_idx=None, algorithm=None, bench_symbol=None, secu_pct=None, settings=None)
--

What the date loop hands from one date to the next.

The last row done, its weights (the previous weights of row + 1) and the
smoothed scores the next date comes in with (None before any processed
date). ``RunResult.state`` is one; build one yourself to go on from the
portfolio you hold, mapped onto the universe's columns.

Parameters
----------
row : int
    The last row done; -1 starts before the first row.
weights : array_like, shape (N,)
    Finite, non-negative weights of that row (copied).
smoothed : array_like, shape (N,), optional
    Smoothed scores carried to the next date (copied), finite.
univ_idx : array_like of int, shape (N,), optional
    The universe's columns the weights are in the order of.
algorithm : str, optional
    The algorithm that made the state.
bench_symbol : str, optional
    The benchmark code it was made against.
secu_pct : float, optional
    Its target total weight.
settings : str, optional
    A fingerprint of the other settings that shape weights.

Raises
------
TypeError
    When `row` is not an integer.
ValueError
    When `row` is below -1, a weight is negative or not finite, or
    `smoothed` is not finite or differs from `weights` in length.

Notes
-----
A state made by a run records what made it (the last five parameters).
``run(start=...)`` refuses a state of another universe and warns
(StateMismatchWarning) when the rest differs. None means unknown: a state
built from held weights records nothing unless given, and is checked only
for its length.
)doc";

inline constexpr const char* RunState_init =
    R"doc(__init__(self, row, weights, smoothed=None, *, univ_idx=None, algorithm=None, bench_symbol=None, secu_pct=None, settings=None)
--

See ``help(Kestrel.RunState)``.
)doc";

inline constexpr const char* RunResult = R"doc(RunResult(**fields)
--

A run's computed rows with each date's diagnostics.

Made by ``Kestrel.run`` or ``RunResult.load``; ``help(Kestrel.run)``
describes the attributes. ``len(result)`` is the number of rows; in a
notebook the result shows as a short table.

Parameters
----------
**fields
    The fields ``save()`` writes, by name; shapes are checked against each
    other.

Raises
------
ValueError, TypeError
    A field is missing or does not fit the others.
)doc";

inline constexpr const char* RunResult_init = R"doc(__init__(self, **fields)
--

See ``help(Kestrel.RunResult)``.
)doc";

inline constexpr const char* to_pandas = R"doc(to_pandas(self)
--

The result as pandas DataFrames, labelled by the library's dates and codes.

Returns
-------
kestrel_tools.runs.RunFrames
    ``weights`` (dates x securities), ``dates`` (per-date diagnostics),
    ``first_expo``, ``last_expo``, ``over_limit`` and, when the run has
    it, ``expo`` (dates x risk names).

Raises
------
ImportError
    When pandas is not installed.
)doc";

inline constexpr const char* save = R"doc(save(self, path)
--

Write the result to a plain .npz file that numpy reads without Kestrel.

Parameters
----------
path : str or os.PathLike
    The file to write (no suffix is added).

Returns
-------
None

Raises
------
OSError
    When the file cannot be written.
)doc";

inline constexpr const char* load = R"doc(load(path)
--

Read a result written by ``save()``.

Parameters
----------
path : str or os.PathLike

Returns
-------
RunResult

Raises
------
OSError
    When the file cannot be read.
kestrel_tools.runs.RunFileError
    A ValueError naming the file and the fault: not an .npz, truncated or
    damaged, an array missing or of the wrong kind or shape, or values no
    run gives (a status other than 0, 1 or 2, rows not ascending, a state
    row other than the last row).
)doc";

inline constexpr const char* len = R"doc(__len__(self)
--

Number of rows computed (``len(result.rows)``).
)doc";

inline constexpr const char* repr_html = R"doc(_repr_html_(self)
--

A short HTML table for notebooks: rows, securities, risk names, dates
over a limit and the mean exposure-control pass count.
)doc";

}  // namespace kestrel::bind::doc

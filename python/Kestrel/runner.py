"""``Kestrel.run``: a whole run as an object, with each date's diagnostics, a
state to go on from, names that cannot be traded and a cap on turnover.

The compiled engine reads the settings and the data library's matrices and
runs the dates without the GIL; everything around it is here: the checks of
a start state, the blocks and the cap as arrays, the finish's options, the
result and its warnings.
"""

from __future__ import annotations

import importlib
import time
import warnings
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _engine
from ._engine import KestrelWarning
from .finish import FLOOR, TOLERANCE
from .result import STATUS_EMPTY, STATUS_SKIPPED, RunResult
from .state import RunState, settings_differences

if TYPE_CHECKING:
    from .finish import Finisher

__all__ = ["BlockedTotalWarning", "GaveWayWarning", "SkippedRowsWarning", "StateMismatchWarning", "run"]

#: A block: a data library field name, a list of them (blocked where any is
#: non-zero), or a dates x library-columns array of bool or 0/1.
Blocks = Union[str, Sequence[str], ArrayLike]


class StateMismatchWarning(KestrelWarning):
    """A run goes on from a state made with another algorithm, benchmark, secu_pct or weight-shaping settings."""


class SkippedRowsWarning(KestrelWarning, RuntimeWarning):
    """Rows a run did not compute (the benchmark not covered, or no usable scores): all zero, or held."""


class GaveWayWarning(KestrelWarning):
    """Rows on which the exact finish could not hold every limit with the blocks and the turnover cap."""


class BlockedTotalWarning(KestrelWarning):
    """Rows whose total weight the blocks or the turnover cap kept from secu_pct."""


# StateMismatchWarning and the others are Kestrel's, whatever module defines them.
for _cls in (StateMismatchWarning, SkippedRowsWarning, GaveWayWarning, BlockedTotalWarning):
    _cls.__module__ = "Kestrel"
del _cls

_FINISH_HELP = "finish must be None, 'exact' or a Kestrel.finish.Finisher"


def _type_name(x: Any) -> str:
    return type(x).__name__


def run(opt_name: str, bench_symbol: str, secu_pct: float, cfg: Mapping[str, Any], predictValues: ArrayLike,
        univ_idx: ArrayLike, *, start: RunState | None = None, progress: bool = True, print_result: bool = False,
        finish: Literal["exact"] | Finisher | None = None, finish_budget: float | Literal["nearest"] | None = None,
        no_buy: Blocks | None = None, no_sell: Blocks | None = None,
        max_turnover: float | ArrayLike | None = None, turnover_gives_way: bool = False,
        on_skip: Literal["zero", "hold"] = "zero") -> RunResult:
    """Run a whole history, or the rows after a state, and return a :class:`RunResult`.

    Does what ``OptimizerTopM(opt_name, bench_symbol, secu_pct,
    cfg).gen_position(predictValues, univ_idx)`` does, with the same weights
    bit for bit, and returns them with each date's diagnostics. Unlike the
    entry functions it leaves `cfg` as it was, refuses settings outside their
    range, and prints nothing unless `print_result` is set.

    Parameters
    ----------
    opt_name : {"TopM", "TopM2", "TopKR", "TopEqual", "TopEqual2"}
    bench_symbol : str
        Six-digit benchmark index code such as "000905".
    secu_pct : float
        Target total weight of each date, e.g. 1.0.
    cfg : mapping
        Settings, read as ``gen_position`` reads them (``help(Kestrel.OptimizerTopM.gen_position)``),
        except "print_result". A key no algorithm reads warns.
    predictValues : array_like, shape (T, N)
        Scores, one row per date of the data library.
    univ_idx : array_like of int, shape (N,)
        The data library's column of each score column.
    start : RunState, optional
        Go on from this state: compute the rows after ``start.row`` only.
    progress : bool, default True
        Draw a progress bar (tqdm).
    print_result : bool, default False
        Print each date's report line.
    finish : {None, "exact"} or Kestrel.finish.Finisher
        Repair the dates on which the exposure control loop gave up with limits
        still exceeded, by HiGHS (needs highspy).
    finish_budget : float >= 1 or "nearest", optional
        The finish first finds the smallest L1 move d* into the limits, then the
        best score within a move of ``finish_budget * d*``; "nearest" keeps the
        smallest move. Default: the Finisher's.
    no_buy, no_sell : str, list of str or array_like, optional
        Names that may not be bought (sold) on each row: a data library field
        name, a list of them (blocked where any is non-zero), or a dates x
        library-columns array of bool or 0/1 (NaN: not blocked). Row t's flags
        govern the trade from the previous row's weights to row t's. A
        suspended name belongs in both. Never relaxed. The engine reads them
        in place, the rows it computes at the universe's columns, and refuses
        any other value there as it reaches its row.
    max_turnover : float or array_like of float, optional
        A hard cap on each row's one-way turnover (half the sum of
        ``abs(w_t - w_{t-1})``), one number or one per row of the score matrix
        (``inf``: no cap). The first row of a run from cash is not capped.
    turnover_gives_way : bool, default False
        Let the finish exceed the turnover cap where the limits cannot hold
        within it (otherwise the limits give way).
    on_skip : {"zero", "hold"}, default "zero"
        What a row the run cannot compute (benchmark not covered, no usable
        scores) holds: all zero, or the previous row's weights.

    Returns
    -------
    RunResult

    Raises
    ------
    KeyError, TypeError, ValueError, IndexError, Exception, Kestrel.PositionError
        As the entry functions raise them; ValueError also for a setting outside
        its range, a start that does not fit, and blocks or a cap that do not.

    Warns
    -----
    SkippedRowsWarning
        Rows not computed, named, once per run.
    StateMismatchWarning
        `start` was made with other settings, naming each with both values.
    GaveWayWarning
        Finished rows whose limits (or cap) gave way, named, once per run.
    BlockedTotalWarning
        Rows whose total the blocks or the cap kept from `secu_pct` (names
        that cannot be sold hold more, or those that may be bought cannot
        take the rest): they keep the nearest total the blocks allow.
    RuntimeWarning
        Rows the finish could not repair.
    """
    began = time.perf_counter()
    finisher = _finisher(finish, finish_budget, turnover_gives_way)
    if on_skip not in ("zero", "hold"):
        raise ValueError(f"on_skip must be 'zero' (a row not computed is all zero) or 'hold' (it keeps the previous "
                         f"row's weights), got {on_skip!r}")
    prepared = _engine.prepare(opt_name, bench_symbol, secu_pct, cfg, predictValues, univ_idx)
    t_rows, n = prepared.shape
    univ = prepared.univ_idx
    univ.setflags(write=False)
    record = {"univ_idx": univ, "algorithm": str(opt_name), "bench_symbol": str(bench_symbol),
              "secu_pct": float(prepared.secu_pct), "settings": prepared.settings}
    start_row = -1
    if start is not None:
        _check_start(start, t_rows, univ, prepared.secu_pct, record)
        start_row = start.row
    first = start_row + 1
    fields_read: dict[str, NDArray[Any]] = {}
    buy = _blocks(no_buy, "no_buy", t_rows, univ, fields_read)
    sell = _blocks(no_sell, "no_sell", t_rows, univ, fields_read)
    cap = _cap(max_turnover, t_rows)
    out = _engine.run_dates(
        prepared, start_row=start_row, start_weights=None if start is None else start.weights,
        start_smoothed=None if start is None else start.smoothed, progress=progress, print_result=print_result,
        no_buy=buy, no_sell=sell,
        max_turnover=cap, hold_skipped=on_skip == "hold", finish=finisher, finish_relative=TOLERANCE,
        finish_absolute=FLOOR)

    weights = out["weights"]
    m = len(weights)
    status = out["status"]
    names = tuple(prepared.risk_names)
    limits = prepared.limits
    expo = out["expo"]
    fields: dict[str, Any] = {
        "weights": weights, "rows": np.arange(first, t_rows, dtype=np.int64), "risk_names": names,
        "limits": limits, "factor_count": int(prepared.factor_count), "status": status,
        "loop_count": out["loop_count"], "first_expo": out["first_expo"], "last_expo": out["last_expo"],
        "expo": expo, "over_limit": np.abs(expo) > limits * (1 + TOLERANCE) + FLOOR, "bench_hold": out["bench_hold"],
        "hold_num": out["hold_num"], "total": out["total"], "turnover": out["turnover"],
        "finished": out["finished"], "finish_moved": out["finish_moved"],
        "finish_status": np.array(out["finish_status"], dtype=str).reshape(m),
        "gave_way": np.array(out["gave_way"], dtype=str).reshape(m), "excess": out["excess"], "univ_idx": univ}
    for key in ("buy", "sell"):
        # The engine keeps each row's blocks, counts its blocked names and the weight they held before it.
        fields[f"no_{key}"] = out[f"no_{key}"]
        fields[f"blocked_{key}"] = out[f"blocked_{key}"]
        fields[f"blocked_{key}_weight"] = out[f"blocked_{key}_weight"]
    if m:
        state = RunState(t_rows - 1, weights[-1], out["smoothed"], **record)
    elif start is not None:
        state = start  # nothing computed: the start is still the state
    else:
        state = RunState(-1, np.zeros(n), None, **record)
    for value in fields.values():
        if isinstance(value, np.ndarray):
            value.setflags(write=False)
    fields["state"] = state
    fields["seconds"] = {"total": time.perf_counter() - began, "requests": float(prepared.request_seconds)}
    result = RunResult._trusted(**fields)
    _warn_about(result, on_skip)
    if buy is not None or sell is not None or cap is not None:
        _warn_total(result, float(prepared.secu_pct))
    return result


def _finisher(finish: Any, budget: Any, gives_way: bool) -> Any:
    """The finish's callable (None: no finish), with its options checked."""
    if finish is None:
        if budget is not None or gives_way:
            raise ValueError("finish_budget and turnover_gives_way are options of the exact finish: pass "
                             "finish='exact' with them")
        return None
    if isinstance(finish, str):
        if finish != "exact":
            raise ValueError(f"{_FINISH_HELP}, got {finish!r}")
        from .finish import Finisher

        options: dict[str, Any] = {}
        if gives_way:
            options["cap_gives_way"] = True
        if budget is not None:
            options["budget"] = budget
        return Finisher(**options)
    from .finish import Finisher

    if not isinstance(finish, Finisher):
        raise TypeError(f"{_FINISH_HELP}, not {_type_name(finish)}")
    if budget is not None or gives_way:
        raise ValueError("a Finisher carries its own options: give the budget and cap_gives_way to "
                         "Kestrel.finish.Finisher(...) rather than to run()")
    return finish


def _check_start(start: Any, t_rows: int, univ: NDArray[np.int64], secu_pct: float, record: dict[str, Any]) -> None:
    """The start checked against the run: refused when it cannot fit, warned about when made otherwise."""
    if not isinstance(start, RunState):
        raise TypeError(f"start must be a Kestrel.RunState or None, not {_type_name(start)}")
    if start.row >= t_rows:
        raise ValueError(f"start.row is {start.row}, outside the score matrix (rows -1 to {t_rows - 1})")
    if start.univ_idx is not None and not np.array_equal(start.univ_idx, univ):
        _refuse_universe(start.univ_idx, univ)
    n = len(univ)
    if len(start.weights) != n:
        raise ValueError(f"start.weights has length {len(start.weights)}, expected {n} (the column count of "
                         "predictValues)")
    # The mappings refuse a date whose weights miss secu_pct by 0.001 or
    # more; weights held above that are no portfolio a run could have left.
    held = float(np.sum(start.weights))
    if held - secu_pct >= 0.001:
        raise ValueError(f"start.weights sum to {held!r}, more than secu_pct {secu_pct!r} allows (at most "
                         f"{secu_pct!r} + 0.001): scale the held weights down to the target, or pass the secu_pct "
                         "they were made for")
    parts = []
    for label, key in (("algorithm", "algorithm"), ("benchmark", "bench_symbol"), ("secu_pct", "secu_pct")):
        was, now = getattr(start, key), record[key]
        if was is not None and was != now:
            parts.append(f"{label} {was!r} (this run: {now!r})")
    parts += settings_differences(start.settings, record["settings"])
    if parts:
        listed = parts[0] if len(parts) == 1 else ", ".join(parts[:-1]) + " and " + parts[-1]
        warnings.warn(f"start was made with {listed}; the rows after start.row follow this run's settings, from "
                      "the weights the state holds", StateMismatchWarning, stacklevel=3)


def _refuse_universe(recorded: NDArray[np.int64], univ: NDArray[np.int64]) -> None:
    before, now = set(recorded.tolist()), set(univ.tolist())
    gone, added = len(before - now), len(now - before)
    if not gone and not added and len(recorded) == len(univ):
        how = f"the same {len(univ)} columns in another order"
    else:
        how = (f"{gone} of its {len(recorded)} columns are not in univ_idx and {added} of univ_idx's {len(univ)} "
               "are new to it")
    raise ValueError(f"start was made for another universe ({how}): its weights are in the order of "
                     "start.univ_idx, not of this univ_idx. Map them onto this universe with "
                     "Kestrel.reindex_state(start, univ_idx), which also reports the weights of the columns "
                     "univ_idx drops, and go on from the state it returns")


def _library() -> Any:
    return importlib.import_module("VelaIntradayModel")


def _blocks(value: Any, name: str, t_rows: int, univ: NDArray[np.int64],
            fields_read: dict[str, NDArray[Any]]) -> list[tuple[str, NDArray[Any]]] | None:
    """Blocks as (name in errors, dates x library-columns array) pairs for the engine, or None.

    Only their shapes are checked here: the engine reads each row as its date
    comes, checks that it holds 0, 1 or NaN, and ORs a list of fields.
    fields_read keeps the fields already read by name, so that a field on
    both sides is one array, read once a date.
    """
    if value is None:
        return None
    if isinstance(value, str) or (isinstance(value, (list, tuple)) and value and all(isinstance(v, str)
                                                                                    for v in value)):
        fields = list(dict.fromkeys([value] if isinstance(value, str) else value))
        new = [field for field in fields if field not in fields_read]
        if new:
            for field, res in zip(new, _library().RunLoopOnce(new)):
                fields_read[field] = _matrix(getattr(res, "array", None), f"{name}: data library field {field!r}",
                                             t_rows)
        sources = [(f"{name}: data library field {field!r}", fields_read[field]) for field in fields]
        if len({a.shape[1] for _, a in sources}) > 1:
            raise ValueError(f"{name}: the fields {fields} do not have the same columns")
    else:
        sources = [(name, _matrix(value, name, t_rows))]
    width = sources[0][1].shape[1]
    if len(univ) and (univ.min() < -width or univ.max() >= width):
        bad = int(univ[(univ < -width) | (univ >= width)][0])
        raise IndexError(f"{name}: univ_idx column {bad} is out of bounds for its {width} library columns (a mask "
                         "has one column per data library column, not one per member of the universe)")
    return sources


def _matrix(value: Any, name: str, t_rows: int) -> NDArray[Any]:
    """A dates x library-columns matrix of blocks: bool, or numbers the engine checks to be 0 or 1 (NaN: not
    blocked)."""
    if value is None:
        raise TypeError(f"{name} must be a data library field name, a list of them, or a dates x library "
                        "columns array of bool or 0/1")
    a = np.asarray(value)
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{name} must hold bool or 0/1, not {a.dtype}")
    if a.ndim != 2:
        raise ValueError(f"{name} must be 2-dimensional (dates x library columns), got {a.ndim} dimensions")
    if a.shape[0] < t_rows:
        raise ValueError(f"{name} has {a.shape[0]} rows but predictValues has {t_rows} dates: its rows are the "
                         "data library's dates")
    return a


def _cap(value: Any, t_rows: int) -> NDArray[np.float64] | None:
    """The turnover cap per row, or None."""
    if value is None:
        return None
    try:
        cap = np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError) as e:
        raise TypeError(f"max_turnover must be a number or one number per row of predictValues: {e}") from None
    if cap.ndim == 0:
        cap = np.full(t_rows, float(cap))
    elif cap.shape != (t_rows,):
        raise ValueError(f"max_turnover must be one number or {t_rows} (one per row of predictValues), got shape "
                         f"{cap.shape}")
    bad = np.isnan(cap) | (cap < 0)
    if bad.any():
        raise ValueError(f"max_turnover must be 0 or more (inf for no cap); row {int(np.argmax(bad))} is "
                         f"{float(cap[bad][0])!r}")
    return cap


def _rows_text(rows: Any, limit: int = 20) -> str:
    rows = [int(r) for r in rows]
    text = ", ".join(map(str, rows[:limit]))
    return f"[{text}{', ...' if len(rows) > limit else ''}]"


def _runs_text(rows: Any, texts: Any, limit: int = 12) -> str:
    """Rows with their texts, consecutive rows of one text as a range: "3-9 (Infeasible); 12 (Optimal)"."""
    groups: list[list[Any]] = []
    for row, text in zip((int(r) for r in rows), texts):
        if groups and groups[-1][1] == row - 1 and groups[-1][2] == text:
            groups[-1][1] = row
        else:
            groups.append([row, row, text])
    shown = "; ".join(f"{a}{'' if a == b else f'-{b}'} ({text})" for a, b, text in groups[:limit])
    return shown + ("; ..." if len(groups) > limit else "")


def _warn_total(result: RunResult, secu_pct: float) -> None:
    """Rows the blocks or the cap kept from the target total (the engine takes the nearest they allow)."""
    done = np.asarray(result.status) == 0
    # The engine's total of each row, but where the finish moved it or no loop ran.
    totals = np.array(result.total, dtype=np.float64)
    redo = np.isnan(totals) | np.asarray(result.finished)
    if redo.any():
        totals[redo] = np.asarray(result.weights)[redo].sum(axis=1)
    off = done & (np.abs(totals - secu_pct) >= 1e-4)
    if not off.any():
        return
    rows = np.asarray(result.rows)[off]
    listed = ", ".join(f"{int(r)} ({t:.6g})" for r, t in zip(rows[:20], totals[off][:20]))
    warnings.warn(f"Kestrel: on {len(rows)} date(s) the names that cannot be bought or sold (no_buy, no_sell) or the "
                  f"turnover cap kept the total weight from secu_pct {secu_pct!r}; they hold the nearest total the "
                  f"blocks allow: rows (total) {listed}{', ...' if len(rows) > 20 else ''}", BlockedTotalWarning,
                  stacklevel=3)


def _warn_about(result: RunResult, on_skip: str) -> None:
    """One warning for each kind of row the caller must know about."""
    status, rows = np.asarray(result.status), np.asarray(result.rows)
    skipped, empty = rows[status == STATUS_SKIPPED], rows[status == STATUS_EMPTY]
    if len(skipped) or len(empty):
        parts = []
        if len(skipped):
            parts.append(f"{len(skipped)} date(s) skipped because the universe holds less than 80% of the "
                         f"benchmark's weight: rows {_rows_text(skipped)}")
        if len(empty):
            parts.append(f"{len(empty)} date(s) left empty because they had no usable scores (all missing or all "
                         f"equal) or their weights were not finite: rows {_rows_text(empty)}")
        then = ("they keep the previous row's weights (on_skip='hold')" if on_skip == "hold" else
                "their rows are all zero, which to a trading desk means selling everything: "
                "on_skip='hold' keeps the previous row's weights instead")
        warnings.warn(f"Kestrel: {'; '.join(parts)}; {then}", SkippedRowsWarning, stacklevel=3)
    status_text = np.asarray(result.finish_status)
    failed = rows[(status_text != "") & ~np.asarray(result.finished)]
    if len(failed):
        listed = _runs_text(failed, status_text[failed - rows[0]])
        warnings.warn(f"Kestrel: the exact finish could not repair {len(failed)} date(s); they keep the control "
                      f"loop's weights: rows {listed}", RuntimeWarning, stacklevel=3)
    gave = np.asarray(result.gave_way)
    gave_rows = rows[gave != ""]
    if len(gave_rows):
        listed = _runs_text(gave_rows, [f"{gave[r - rows[0]]}, excess {float(result.excess[r - rows[0]]):.3g}"
                                        for r in gave_rows])
        warnings.warn(f"Kestrel: on {len(gave_rows)} date(s) the limits could not all hold with the blocks and the "
                      f"turnover cap, and gave way by the least relative excess: rows {listed} (see "
                      "RunResult.gave_way and .excess)", GaveWayWarning, stacklevel=3)


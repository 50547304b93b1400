"""A :class:`Kestrel.RunResult` as pandas DataFrames and as a plain ``.npz`` file;
a :class:`Kestrel.RunState` moved onto another universe.

``RunResult.to_pandas()``, ``RunResult.save(path)`` and ``RunResult.load(path)``
call into this module. The ``.npz`` holds plain arrays only (no pickles), so
numpy reads it without Kestrel::

    z = np.load("run.npz")
    z["weights"], z["rows"], z["risk_names"], z["status"], z["last_expo"], ...
"""

from __future__ import annotations

import os
import zipfile
import zlib
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, NamedTuple

import numpy as np

if TYPE_CHECKING:
    import pandas as pd

    import Kestrel

__all__ = ["STATUS_NAMES", "Reindexed", "RunFileError", "RunFrames", "load", "reindex_state", "result_html", "save",
           "summary", "to_pandas"]

#: Text of each date status code.
STATUS_NAMES = ("processed", "skipped", "empty")

_ARRAYS = ("weights", "rows", "limits", "status", "loop_count", "first_expo", "last_expo", "over_limit",
           "bench_hold", "hold_num", "total", "univ_idx")
# Saved when present; files written before they existed load without them.
_LATER_ARRAYS = ("expo", "finished", "finish_moved", "finish_status")
# What made the state (Kestrel.RunState's record), saved when known.
_RECORD = ("univ_idx", "algorithm", "bench_symbol", "secu_pct", "settings")


class RunFileError(ValueError):
    """A file :meth:`Kestrel.RunResult.load` cannot read as a saved run: not
    an ``.npz``, damaged, or holding values a run cannot have. The message
    names the file and what is wrong with it."""


@dataclass(frozen=True, repr=False)
class RunFrames:
    """What :meth:`Kestrel.RunResult.to_pandas` returns.

    Attributes
    ----------
    weights : pandas.DataFrame
        Dates x security codes.
    dates : pandas.DataFrame
        One row per date: ``status`` (text, see :data:`STATUS_NAMES`),
        ``loop_count``, ``bench_hold``, ``hold_num``, ``total``, and
        ``finished``, ``finish_moved``, ``finish_status``.
    first_expo, last_expo, over_limit : pandas.DataFrame
        Dates x risk names.
    expo : pandas.DataFrame or None
        Dates x risk names: exposures of the weights returned (None for a
        result without them).
    """

    weights: pd.DataFrame
    dates: pd.DataFrame
    first_expo: pd.DataFrame
    last_expo: pd.DataFrame
    over_limit: pd.DataFrame
    expo: pd.DataFrame | None = None

    def __repr__(self) -> str:
        # One screen: shapes and what the per-date table says, not the frames themselves.
        index = self.weights.index
        ends = [getattr(x, "date", lambda x=x: x)() for x in index[[0, -1]]] if len(index) else []
        span = f" ({ends[0]} to {ends[1]})" if ends else ""
        counts = self.dates["status"].value_counts()
        status = ", ".join(f"{int(counts.get(name, 0))} {name}" for name in STATUS_NAMES)
        lines = [f"RunFrames: {len(index)} {index.name or 'row'}s{span} x {self.weights.shape[1]} securities, "
                 f"{self.last_expo.shape[1]} risk names",
                 f"  dates       {status}; {self.dates.shape[1]} columns"]
        for name in ("weights", "first_expo", "last_expo", "over_limit", "expo"):
            frame = getattr(self, name)
            if frame is None:
                continue
            lines.append(f"  {name:<11} DataFrame {frame.shape[0]} x {frame.shape[1]}")
        lines.append(f"  dates over some limit, returned weights: {int(self.over_limit.any(axis=1).sum())}")
        return "\n".join(lines)


def _labels(axis: Any, positions: np.ndarray) -> Any:
    """Library labels at `positions`, or the positions themselves."""
    if axis is None:
        return positions
    axis = np.asarray(axis)
    if axis.ndim != 1 or len(positions) and (positions.max() >= len(axis) or positions.min() < -len(axis)):
        return positions
    return axis[positions]


def to_pandas(result: Kestrel.RunResult, library: str = "VelaIntradayModel") -> RunFrames:
    """Label a result by the library's dates and security codes, and by risk names.

    Rows are labelled by ``library.dates()`` and columns by
    ``library.securities()`` when the library exposes them (and they cover
    the result's rows and columns); by plain integers (score-matrix rows,
    ``univ_idx`` positions) otherwise.
    """
    import pandas as pd

    from kestrel_tools.frames import library_axes

    try:
        secu, days = library_axes(library)
    except ImportError:
        secu, days = None, None
    index = pd.Index(_labels(days, np.asarray(result.rows)), name="date" if days is not None else "row")
    columns = pd.Index(_labels(secu, np.asarray(result.univ_idx)), name="security")
    names = pd.Index(list(result.risk_names), name="risk_name")
    per_date = pd.DataFrame({
        "status": pd.Categorical.from_codes(np.asarray(result.status), categories=list(STATUS_NAMES)),
        "loop_count": result.loop_count, "bench_hold": result.bench_hold, "hold_num": result.hold_num,
        "total": result.total}, index=index)
    if hasattr(result, "finished"):
        per_date["finished"] = np.asarray(result.finished)
        per_date["finish_moved"] = np.asarray(result.finish_moved)
        per_date["finish_status"] = np.asarray(result.finish_status)

    def frame(values: Any, cols: pd.Index) -> pd.DataFrame:
        return pd.DataFrame(np.array(values), index=index.copy(), columns=cols.copy())

    expo = frame(result.expo, names) if hasattr(result, "expo") else None
    return RunFrames(frame(result.weights, columns), per_date, frame(result.first_expo, names),
                     frame(result.last_expo, names), frame(result.over_limit, names), expo)


def summary(result: Kestrel.RunResult) -> dict[str, Any]:
    """The few numbers that describe a run at a glance.

    Returns
    -------
    dict
        ``rows`` (count), ``first_row`` and ``last_row`` (None when empty),
        ``securities``, ``risk_names``, ``dates_over_limit`` (processed dates
        still over some limit after control) and ``mean_loop_count`` (over
        processed dates; NaN when none).
    """
    rows = np.asarray(result.rows)
    done = np.asarray(result.status) == 0
    over = np.asarray(result.over_limit, dtype=bool).reshape(len(rows), -1)
    loops = np.asarray(result.loop_count)[done]
    return {"rows": len(rows), "first_row": int(rows[0]) if len(rows) else None,
            "last_row": int(rows[-1]) if len(rows) else None, "securities": len(result.univ_idx),
            "risk_names": len(result.risk_names), "dates_over_limit": int((over.any(axis=1) & done).sum()),
            "mean_loop_count": float(loops.mean()) if len(loops) else float("nan")}


def result_html(result: Kestrel.RunResult) -> str:
    """The short HTML table a notebook shows for a :class:`Kestrel.RunResult`."""
    s = summary(result)
    rows = f"{s['rows']} (rows {s['first_row']} to {s['last_row']})" if s["rows"] else "0"
    cells = [("rows", rows), ("securities", s["securities"]), ("risk names", s["risk_names"]),
             ("dates over a limit", s["dates_over_limit"]), ("mean loop count", f"{s['mean_loop_count']:.2f}")]
    body = "".join(f"<tr><th style='text-align:left'>{k}</th><td>{v}</td></tr>" for k, v in cells)
    return f"<table><caption>Kestrel.RunResult</caption>{body}</table>"


def save(result: Kestrel.RunResult, path: str | os.PathLike[str]) -> None:
    """Write `result` to `path` as an uncompressed ``.npz`` of plain arrays."""
    arrays = {name: np.asarray(getattr(result, name)) for name in _ARRAYS}
    arrays.update({name: np.asarray(getattr(result, name)) for name in _LATER_ARRAYS if hasattr(result, name)})
    arrays["risk_names"] = np.array(list(result.risk_names), dtype=str)
    arrays["seconds_total"] = np.float64(result.seconds.get("total", np.nan))
    arrays["seconds_requests"] = np.float64(result.seconds.get("requests", np.nan))
    state = result.state
    arrays["state_row"] = np.int64(state.row)
    arrays["state_weights"] = np.asarray(state.weights)
    if state.smoothed is not None:
        arrays["state_smoothed"] = np.asarray(state.smoothed)
    for name in _RECORD:
        value = getattr(state, name)
        if value is not None:
            arrays[f"state_{name}"] = np.asarray(value)
    with open(path, "wb") as f:  # np.savez would append ".npz" to a name without it
        np.savez(f, **arrays)


_DTYPES = {"weights": "f", "limits": "f", "first_expo": "f", "last_expo": "f", "bench_hold": "f", "total": "f",
           "rows": "iu", "status": "iu", "loop_count": "iu", "hold_num": "iu", "univ_idx": "iu", "over_limit": "b",
           "state_row": "iu", "state_weights": "f", "state_smoothed": "f", "state_univ_idx": "iu",
           "state_secu_pct": "f", "seconds_total": "f", "seconds_requests": "f", "risk_names": "U",
           "state_algorithm": "U", "state_bench_symbol": "U", "state_settings": "U",
           "expo": "f", "finished": "b", "finish_moved": "f", "finish_status": "U"}
_SCALARS = ("state_row", "seconds_total", "seconds_requests", "state_algorithm", "state_bench_symbol",
            "state_secu_pct", "state_settings")


def _read(path: str | os.PathLike[str]) -> dict[str, np.ndarray]:
    """Every array of the file, each of the kind it must be; RunFileError otherwise."""
    name = os.fspath(path)
    try:
        with open(name, "rb") as f:
            magic = f.read(6)
    except IsADirectoryError:
        raise RunFileError(f"{name!r} is a folder, not a saved Kestrel run") from None
    if magic[:4] != b"PK\x03\x04":
        what = ("empty" if not magic else "a single .npy array, not the .npz of a saved run"
                if magic == b"\x93NUMPY" else "not an .npz file (no zip archive)")
        raise RunFileError(f"{name!r} is {what}")
    try:
        with open(name, "rb") as f, np.load(f, allow_pickle=False) as z:
            missing = [k for k in (*_ARRAYS, "risk_names", "state_row", "state_weights", "seconds_total",
                                   "seconds_requests") if k not in z.files]
            if missing:
                raise RunFileError(f"{name!r} is not a saved Kestrel run: no {', '.join(missing)}")
            arrays = {k: z[k] for k in z.files if k in _DTYPES}
    except RunFileError:
        raise
    except (zipfile.BadZipFile, zlib.error, EOFError, OSError, ValueError, KeyError) as e:
        # Truncated, damaged, or holding a pickled object (never loaded).
        raise RunFileError(f"{name!r} is damaged or not a saved Kestrel run: {e}") from e
    for k, a in arrays.items():
        if a.dtype.kind not in _DTYPES[k]:
            raise RunFileError(f"{name!r}: {k} has dtype {a.dtype}, not the kind a saved run holds")
        if k in _SCALARS and a.ndim != 0:
            raise RunFileError(f"{name!r}: {k} must be a single value, got shape {a.shape}")
    return arrays


def _check_values(name: str, a: dict[str, np.ndarray]) -> None:
    """Values against their meaning (shapes are checked by RunResult itself)."""
    status, rows, state_row = a["status"], a["rows"], int(a["state_row"])
    bad = ~np.isin(status, (0, 1, 2))
    if bad.any():
        raise RunFileError(f"{name!r}: status {status[bad][0]} at position {int(np.argmax(bad))} is no date "
                           "status (0 processed, 1 skipped, 2 empty)")
    if rows.ndim == 1 and rows.size:
        if rows[0] < 0:
            raise RunFileError(f"{name!r}: rows start at {rows[0]}; rows of the score matrix are 0 or more")
        if (np.diff(rows) <= 0).any():
            at = int(np.argmax(np.diff(rows) <= 0))
            raise RunFileError(f"{name!r}: rows are not ascending ({rows[at]} then {rows[at + 1]})")
        if state_row != rows[-1]:
            raise RunFileError(f"{name!r}: state_row is {state_row}, not the last row {rows[-1]}")
    elif state_row < -1:
        raise RunFileError(f"{name!r}: state_row is {state_row}; -1 or more expected")
    weights = a["weights"]
    if weights.size and not (np.isfinite(weights).all() and (weights >= 0).all()):
        raise RunFileError(f"{name!r}: weights must be finite and non-negative")


def load(path: str | os.PathLike[str]) -> Kestrel.RunResult:
    """Read a result written by :func:`save`.

    Raises :class:`RunFileError` (a ValueError) naming the file and the fault
    when it is no ``.npz``, is truncated or damaged, lacks an array, holds
    arrays of the wrong kind or shape, or values no run gives (a status other
    than 0, 1 or 2, rows not ascending or negative, a state row other than the
    last row). Files saved before states recorded what made them load with
    that record unknown. Pickled data is never loaded.
    """
    import Kestrel

    name = os.fspath(path)
    a = _read(path)
    _check_values(name, a)
    fields: dict[str, Any] = {k: a[k] for k in (*_ARRAYS, *_LATER_ARRAYS) if k in a}
    fields["risk_names"] = tuple(str(s) for s in a["risk_names"].tolist())
    fields["seconds"] = {"total": float(a["seconds_total"]), "requests": float(a["seconds_requests"])}
    record = {k: a[f"state_{k}"] for k in _RECORD if f"state_{k}" in a}
    for k in ("algorithm", "bench_symbol", "settings"):
        if k in record:
            record[k] = str(record[k])
    try:
        fields["state"] = Kestrel.RunState(int(a["state_row"]), a["state_weights"], a.get("state_smoothed"),
                                           **record)
        return Kestrel.RunResult(**fields)
    except (TypeError, ValueError) as e:
        raise RunFileError(f"{name!r} is not a consistent saved Kestrel run: {e}") from e


class Reindexed(NamedTuple):
    """What :func:`reindex_state` returns."""

    #: The state on the new universe, recording it.
    state: Kestrel.RunState
    #: Columns of the old universe that the new one lacks, with the weight
    #: held in each (non-zero weights only), in the old order.
    dropped: dict[int, float]


def reindex_state(state: Kestrel.RunState, univ_idx: Any, *, old_univ_idx: Any = None,
                  new_smoothed: float | None = 0.0) -> Reindexed:
    """Move `state` onto another universe, column by column.

    Weights and smoothed scores follow their library column; columns new to
    `univ_idx` start with no weight. The weights held in columns `univ_idx`
    drops are left out and reported in ``dropped``. The new state keeps the
    old one's row and its record of algorithm, benchmark, ``secu_pct`` and
    settings, and records `univ_idx`.

    Parameters
    ----------
    state : Kestrel.RunState
    univ_idx : sequence of int
        The new universe's columns, as the next run will be given them.
    old_univ_idx : sequence of int, optional
        The columns `state` is in the order of; needed only when the state
        does not record them (one built by hand from held weights).
    new_smoothed : float or None
        Smoothed score given to columns new to the universe: 0.0 (the
        default) is the average standardised score. None drops the smoothed
        scores altogether, so that the next date smooths afresh.
    """
    import Kestrel

    old = state.univ_idx if old_univ_idx is None else np.asarray(old_univ_idx)
    if old is None:
        raise ValueError("state does not record its universe: pass old_univ_idx, the columns its weights are in "
                         "the order of")
    old, new = np.asarray(old), np.asarray(univ_idx)
    for label, cols in (("old_univ_idx", old), ("univ_idx", new)):
        if cols.ndim != 1 or cols.dtype.kind not in "iu":
            raise TypeError(f"{label} must be a one-dimensional array of integer columns")
        if len(np.unique(cols)) != len(cols):
            raise ValueError(f"{label} lists a column twice: a column's weight cannot be told apart")
    if len(old) != len(state.weights):
        raise ValueError(f"old_univ_idx has {len(old)} columns, the state {len(state.weights)} weights")
    where = {int(c): i for i, c in enumerate(old.tolist())}
    at = np.array([where.get(int(c), -1) for c in new.tolist()], dtype=np.int64)
    kept = at >= 0
    weights = np.zeros(len(new))
    weights[kept] = np.asarray(state.weights)[at[kept]]
    smoothed = None
    if state.smoothed is not None and new_smoothed is not None:
        smoothed = np.full(len(new), float(new_smoothed))
        smoothed[kept] = np.asarray(state.smoothed)[at[kept]]
    now = set(new.tolist())
    held = np.asarray(state.weights)
    dropped = {c: float(held[i]) for i, c in enumerate(old.tolist()) if c not in now and held[i] != 0.0}
    moved = Kestrel.RunState(state.row, weights, smoothed, univ_idx=new.astype(np.int64), algorithm=state.algorithm,
                             bench_symbol=state.bench_symbol, secu_pct=state.secu_pct, settings=state.settings)
    return Reindexed(moved, dropped)

"""A :class:`Kestrel.RunResult` as pandas DataFrames and as a plain ``.npz`` file.

``RunResult.to_pandas()``, ``RunResult.save(path)`` and ``RunResult.load(path)``
call into this module. The ``.npz`` holds plain arrays only (no pickles), so
numpy reads it without Kestrel::

    z = np.load("run.npz")
    z["weights"], z["rows"], z["risk_names"], z["status"], z["last_expo"], ...
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import pandas as pd

    import Kestrel

__all__ = ["STATUS_NAMES", "RunFrames", "load", "save", "to_pandas"]

#: Text of each date status code.
STATUS_NAMES = ("processed", "skipped", "empty")

_ARRAYS = ("weights", "rows", "limits", "status", "loop_count", "first_expo", "last_expo", "over_limit",
           "bench_hold", "hold_num", "total", "univ_idx")
# Saved when present; files written before they existed load without them.
_LATER_ARRAYS = ("expo", "finished", "finish_moved", "finish_status")


@dataclass(frozen=True)
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
    with open(path, "wb") as f:  # np.savez would append ".npz" to a name without it
        np.savez(f, **arrays)


def load(path: str | os.PathLike[str]) -> Kestrel.RunResult:
    """Read a result written by :func:`save`; shapes are checked against each other."""
    import Kestrel

    with np.load(path, allow_pickle=False) as z:
        missing = [k for k in (*_ARRAYS, "risk_names", "state_row", "state_weights") if k not in z.files]
        if missing:
            raise ValueError(f"{os.fspath(path)!r} is not a saved Kestrel run: no {', '.join(missing)}")
        fields: dict[str, Any] = {name: z[name] for name in (*_ARRAYS, *_LATER_ARRAYS) if name in z.files}
        fields["risk_names"] = tuple(str(s) for s in z["risk_names"].tolist())
        fields["seconds"] = {"total": float(z["seconds_total"]), "requests": float(z["seconds_requests"])}
        smoothed = z["state_smoothed"] if "state_smoothed" in z.files else None
        fields["state"] = Kestrel.RunState(int(z["state_row"]), z["state_weights"], smoothed)
    return Kestrel.RunResult(**fields)

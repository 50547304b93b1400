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

__all__ = ["STATUS_NAMES", "RunFrames", "load", "result_html", "save", "summary", "to_pandas"]

#: Text of each date status code.
STATUS_NAMES = ("processed", "skipped", "empty")

_ARRAYS = ("weights", "rows", "limits", "status", "loop_count", "first_expo", "last_expo", "over_limit",
           "bench_hold", "hold_num", "total", "univ_idx")


@dataclass(frozen=True, repr=False)
class RunFrames:
    """What :meth:`Kestrel.RunResult.to_pandas` returns.

    Attributes
    ----------
    weights : pandas.DataFrame
        Dates x security codes.
    dates : pandas.DataFrame
        One row per date: ``status`` (text, see :data:`STATUS_NAMES`),
        ``loop_count``, ``bench_hold``, ``hold_num``, ``total``.
    first_expo, last_expo, over_limit : pandas.DataFrame
        Dates x risk names.
    """

    weights: pd.DataFrame
    dates: pd.DataFrame
    first_expo: pd.DataFrame
    last_expo: pd.DataFrame
    over_limit: pd.DataFrame

    def __repr__(self) -> str:
        # One screen: shapes and what the per-date table says, not the frames themselves.
        index = self.weights.index
        ends = [getattr(x, "date", lambda x=x: x)() for x in index[[0, -1]]] if len(index) else []
        span = f" ({ends[0]} to {ends[1]})" if ends else ""
        counts = self.dates["status"].value_counts()
        status = ", ".join(f"{int(counts.get(name, 0))} {name}" for name in STATUS_NAMES)
        lines = [f"RunFrames: {len(index)} {index.name or 'row'}s{span} x {self.weights.shape[1]} securities, "
                 f"{self.last_expo.shape[1]} risk names",
                 f"  dates       {status}; columns {', '.join(map(str, self.dates.columns))}"]
        for name in ("weights", "first_expo", "last_expo", "over_limit"):
            frame = getattr(self, name)
            lines.append(f"  {name:<11} DataFrame {frame.shape[0]} x {frame.shape[1]}")
        lines.append(f"  dates over some limit after control: {int(self.over_limit.any(axis=1).sum())}")
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

    def frame(values: Any, cols: pd.Index) -> pd.DataFrame:
        return pd.DataFrame(np.array(values), index=index.copy(), columns=cols.copy())

    return RunFrames(frame(result.weights, columns), per_date, frame(result.first_expo, names),
                     frame(result.last_expo, names), frame(result.over_limit, names))


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
        fields: dict[str, Any] = {name: z[name] for name in _ARRAYS}
        fields["risk_names"] = tuple(str(s) for s in z["risk_names"].tolist())
        fields["seconds"] = {"total": float(z["seconds_total"]), "requests": float(z["seconds_requests"])}
        smoothed = z["state_smoothed"] if "state_smoothed" in z.files else None
        fields["state"] = Kestrel.RunState(int(z["state_row"]), z["state_weights"], smoothed)
    return Kestrel.RunResult(**fields)

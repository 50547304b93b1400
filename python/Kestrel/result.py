"""What :func:`Kestrel.run` returns: the rows it computed with each date's
diagnostics as arrays, labelled frames of them, and a one-screen summary."""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Final

import numpy as np
from numpy.typing import NDArray

from .state import RunState

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["STATUS_EMPTY", "STATUS_NAMES", "STATUS_PROCESSED", "STATUS_SKIPPED", "RunFrames", "RunResult",
           "result_html", "summary", "to_pandas"]

#: A date whose weights were computed.
STATUS_PROCESSED: Final = 0
#: The universe's benchmark weights sum to NaN or less than 80 percent: the row is zero (or held).
STATUS_SKIPPED: Final = 1
#: Scores or weights not finite: the row is zero (or held).
STATUS_EMPTY: Final = 2
#: Text of each date status code.
STATUS_NAMES = ("processed", "skipped", "empty")

# name: (dtype, dimensions, what the rows of weights are to it). "M": one per
# row of weights, "MK": rows x risk names, "MN": rows x securities.
_FIELDS: dict[str, tuple[str, int, str]] = {
    "weights": ("float64", 2, ""), "rows": ("int64", 1, "M"), "limits": ("float64", 1, "K"),
    "status": ("int8", 1, "M"), "loop_count": ("int64", 1, "M"), "first_expo": ("float64", 2, "MK"),
    "last_expo": ("float64", 2, "MK"), "over_limit": ("bool", 2, "MK"), "bench_hold": ("float64", 1, "M"),
    "hold_num": ("int64", 1, "M"), "total": ("float64", 1, "M"), "univ_idx": ("int64", 1, "N"),
}
# Fields added after the first saved files; absent from those, they take these values.
_LATER: dict[str, tuple[str, int, str, Any]] = {
    "expo": ("float64", 2, "MK", np.nan), "finished": ("bool", 1, "M", False),
    "finish_moved": ("float64", 1, "M", 0.0), "finish_status": ("U", 1, "M", ""),
    "gave_way": ("U", 1, "M", ""), "excess": ("float64", 1, "M", 0.0), "turnover": ("float64", 1, "M", np.nan),
    "blocked_buy": ("int64", 1, "M", 0), "blocked_sell": ("int64", 1, "M", 0),
    "blocked_buy_weight": ("float64", 1, "M", 0.0), "blocked_sell_weight": ("float64", 1, "M", 0.0),
}
# Per-row blocks: M x N, or None for a run without them.
_BLOCKS = ("no_buy", "no_sell")


def _read_only(a: NDArray[Any]) -> NDArray[Any]:
    a.setflags(write=False)
    return a


class RunResult:
    """The rows a run computed, with each date's diagnostics (M rows, N securities, K risk names).

    Made by :func:`Kestrel.run` and :meth:`RunResult.load`; ``RunResult(**fields)``
    builds one from arrays (each converted to its dtype and checked against the
    others' shapes). Arrays are read-only. docs/runs.md describes every field.

    Parameters
    ----------
    **fields : array_like
        The attributes below, by name; those added by later releases may be
        left out (they then take their neutral values: NaN, False, 0, "").

    Raises
    ------
    TypeError, ValueError
        A field missing, of the wrong kind, or of a shape that does not fit
        the others, naming it ("RunResult.<field>").

    Attributes
    ----------
    weights : ndarray, shape (M, N)
        The computed rows of the weight matrix.
    rows : ndarray of int64, shape (M,)
        Which rows of the score matrix (and of the data library) these are.
    risk_names : tuple of str, length K
        Every controlled risk name, the caller's factors first, sector formulas last.
    limits : ndarray, shape (K,)
    factor_count : int
        How many of `risk_names` are the caller's factors (the rest are sectors).
    status : ndarray of int8, shape (M,)
        :data:`STATUS_PROCESSED`, :data:`STATUS_SKIPPED` or :data:`STATUS_EMPTY`.
    loop_count : ndarray of int64, shape (M,)
        Exposure measurements made (0 where the loop did not run).
    first_expo, last_expo : ndarray, shape (M, K)
        Active exposures at the control loop's first and last measurement; NaN where not measured.
    expo : ndarray, shape (M, K)
        Active exposures of the weights returned; NaN where the date was not processed.
    over_limit : ndarray of bool, shape (M, K)
        ``abs(expo) > limits * (1 + 1e-9) + 1e-12``: over a limit beyond the
        tolerance the exact finish keeps (:data:`Kestrel.finish.TOLERANCE`, ``FLOOR``).
    bench_hold, total : ndarray, shape (M,)
        Weight held in benchmark members and in all (the loop's weights); NaN where the loop did not run.
    hold_num : ndarray of int64, shape (M,)
        Securities with weight at least 0.0001; -1 where the loop did not run.
    turnover : ndarray, shape (M,)
        One-way turnover from the previous row (the start's weights for the first): half the sum of
        ``abs(w_t - w_{t-1})``.
    blocked_buy, blocked_sell : ndarray of int64, shape (M,)
        Names blocked for buying and for selling on each row (0 without blocks).
    blocked_buy_weight, blocked_sell_weight : ndarray, shape (M,)
        The previous row's weight in those names.
    no_buy, no_sell : ndarray of bool, shape (M, N), or None
        The blocks each row was made under (None: the run had none).
    finished : ndarray of bool, shape (M,)
        The row was replaced by the exact finish.
    finish_moved : ndarray, shape (M,)
        L1 distance the finish moved the row; 0 where it was kept.
    finish_status : ndarray of str, shape (M,)
        The solver's status; "" where no finish was tried.
    gave_way : ndarray of str, shape (M,)
        What gave way on a finished row that could not hold everything ("limits", "turnover"); "" elsewhere.
    excess : ndarray, shape (M,)
        The relative excess t with every ``abs(expo) <= limit * (1 + t)`` on rows whose limits gave way; 0 elsewhere.
    univ_idx : ndarray of int64, shape (N,)
        The universe's library columns, as given.
    seconds : dict
        ``"total"`` for the whole call, ``"requests"`` for the data library's requests.
    state : RunState
        What the next date needs: the last row, its weights and the smoothed scores.
    """

    weights: NDArray[np.float64]
    rows: NDArray[np.int64]
    risk_names: tuple[str, ...]
    limits: NDArray[np.float64]
    factor_count: int
    status: NDArray[np.int8]
    loop_count: NDArray[np.int64]
    first_expo: NDArray[np.float64]
    last_expo: NDArray[np.float64]
    expo: NDArray[np.float64]
    over_limit: NDArray[np.bool_]
    bench_hold: NDArray[np.float64]
    hold_num: NDArray[np.int64]
    total: NDArray[np.float64]
    turnover: NDArray[np.float64]
    blocked_buy: NDArray[np.int64]
    blocked_sell: NDArray[np.int64]
    blocked_buy_weight: NDArray[np.float64]
    blocked_sell_weight: NDArray[np.float64]
    no_buy: NDArray[np.bool_] | None
    no_sell: NDArray[np.bool_] | None
    finished: NDArray[np.bool_]
    finish_moved: NDArray[np.float64]
    finish_status: NDArray[np.str_]
    gave_way: NDArray[np.str_]
    excess: NDArray[np.float64]
    univ_idx: NDArray[np.int64]
    seconds: dict[str, float]
    state: RunState

    def __init__(self, **fields: Any) -> None:
        """Build a result from its fields, as saved (see :meth:`load`); each array is
        copied, converted to its dtype and checked against the shapes of the others."""
        for name, value in _checked(fields).items():
            object.__setattr__(self, name, value)

    @classmethod
    def _trusted(cls, **fields: Any) -> RunResult:
        """A result of arrays the engine just made: taken as they are."""
        self = object.__new__(cls)
        for name, value in fields.items():
            object.__setattr__(self, name, value)
        return self

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"RunResult is read-only: cannot set {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"RunResult is read-only: cannot delete {name!r}")

    def __len__(self) -> int:
        """The number of rows computed."""
        return len(self.rows)

    def __repr__(self) -> str:
        return (f"RunResult({len(self.rows)} rows, {len(self.univ_idx)} securities, "
                f"{len(self.risk_names)} risk names)")

    def _repr_html_(self) -> str:
        """The short table a notebook shows."""
        return result_html(self)

    def to_pandas(self, library: str = "VelaIntradayModel") -> RunFrames:
        """The result as pandas DataFrames labelled by dates, security codes and risk names.

        Parameters
        ----------
        library : str, default "VelaIntradayModel"
            The data library whose ``dates()`` label the rows and whose
            ``securities()`` label the columns, when it offers them (and they
            cover the result's rows and columns); plain integers (score-matrix
            rows, ``univ_idx`` positions) otherwise.

        Returns
        -------
        RunFrames

        Raises
        ------
        ImportError
            pandas is not installed.
        """
        return to_pandas(self, library)

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the result to `path` as an uncompressed ``.npz`` of plain arrays (no pickles).

        The file is written beside `path` under a temporary name, flushed to
        the disk and then put in its place, so an interrupted save leaves the
        previous file whole.

        Parameters
        ----------
        path : str or os.PathLike
            The file to write (replaced when it exists); no ".npz" is added.

        Returns
        -------
        None

        Raises
        ------
        OSError
            The folder cannot be written; the previous file is left as it was.
        """
        from .runfile import save

        save(self, path)

    @staticmethod
    def load(path: str | os.PathLike[str]) -> RunResult:
        """Read a result written by :meth:`save` (files of earlier releases included).

        Parameters
        ----------
        path : str or os.PathLike

        Returns
        -------
        RunResult

        Raises
        ------
        Kestrel.RunFileError
            A ValueError naming the file and the fault when it is no saved run.
        FileNotFoundError
            There is no such file.
        """
        from .runfile import load

        return load(path)


def _checked(fields: Mapping[str, Any]) -> dict[str, Any]:
    """The fields converted (private copies, read-only) and checked against each other."""
    out: dict[str, Any] = {}

    def array(name: str, dtype: str, ndim: int) -> NDArray[Any]:
        try:
            a = np.array(fields[name]).astype(dtype, casting="same_kind")
        except (TypeError, ValueError) as e:
            raise type(e)(f"RunResult.{name}: {e}") from None
        if a.ndim != ndim:
            raise ValueError(f"RunResult.{name} must be {ndim}-dimensional, got {a.ndim} dimensions")
        return _read_only(a)

    for name, (dtype, ndim, _) in _FIELDS.items():
        if name not in fields:
            raise ValueError(f"RunResult: missing field '{name}'")
        out[name] = array(name, dtype, ndim)
    names = tuple(fields.get("risk_names", ()))
    if not all(isinstance(s, str) for s in names):
        raise TypeError("RunResult.risk_names must hold text only")
    out["risk_names"] = names
    m, n = out["weights"].shape
    k = len(names)
    for name, (dtype, ndim, _, fallback) in _LATER.items():
        if name in fields:
            out[name] = array(name, dtype, ndim)
        else:
            out[name] = _read_only(np.full((m, k) if ndim == 2 else m, fallback, dtype=dtype if dtype != "U" else "U1"))
    sizes = {"M": (m,), "K": (k,), "N": (n,), "MK": (m, k), "MN": (m, n)}
    for name, (_, _, rule) in {**_FIELDS, **{k_: v[:3] for k_, v in _LATER.items()}}.items():
        if rule and out[name].shape != sizes[rule]:
            what = {"M": "the rows of weights", "K": "one entry per risk name", "N": "one entry per column of weights"}
            expected = sizes[rule]
            if len(expected) == 1:
                raise ValueError(f"RunResult.{name} has length {len(out[name])}, expected {expected[0]} "
                                 f"({what[rule]})")
            raise ValueError(f"RunResult.{name} must have shape {expected}")
    for name in _BLOCKS:
        value = fields.get(name)
        out[name] = None if value is None else array(name, "bool", 2)
        if out[name] is not None and out[name].shape != (m, n):
            raise ValueError(f"RunResult.{name} must have shape {(m, n)} (rows x securities) or be None")
    count = fields.get("factor_count")
    out["factor_count"] = _factor_count(names) if count is None else int(count)
    if not 0 <= out["factor_count"] <= k:
        raise ValueError(f"RunResult.factor_count must be in [0, {k}], got {out['factor_count']}")
    seconds = fields.get("seconds", {})
    out["seconds"] = {str(key): float(v) for key, v in dict(seconds).items()}
    state = fields.get("state")
    if not isinstance(state, RunState):
        raise TypeError("RunResult.state must be a Kestrel.RunState")
    if len(state.weights) != n:
        raise ValueError("RunResult.state.weights must have one entry per column of weights")
    out["state"] = state
    return out


def _factor_count(names: tuple[str, ...]) -> int:
    """The caller's factors of an older result: the names before the first sector formula."""
    from .tables import SECTOR_COUNT, sector_formula

    sectors = {sector_formula(code) for code in range(SECTOR_COUNT)}
    for j, name in enumerate(names):
        if name in sectors:
            return j
    return len(names)


@dataclass(frozen=True, repr=False)
class RunFrames:
    """What :meth:`RunResult.to_pandas` returns.

    Attributes
    ----------
    weights : pandas.DataFrame
        Dates x security codes.
    dates : pandas.DataFrame
        One row per date: ``status`` (text, see :data:`STATUS_NAMES`),
        ``loop_count``, ``bench_hold``, ``hold_num``, ``total``, ``turnover``,
        ``finished``, ``finish_moved``, ``finish_status``, ``gave_way``,
        ``excess`` and the blocked counts and weights.
    first_expo, last_expo, over_limit : pandas.DataFrame
        Dates x risk names.
    expo : pandas.DataFrame or None
        Dates x risk names: exposures of the weights returned.
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


def _labels(axis: Any, positions: NDArray[np.int64]) -> Any:
    """Library labels at `positions`, or the positions themselves."""
    if axis is None:
        return positions
    axis = np.asarray(axis)
    if axis.ndim != 1 or len(positions) and (positions.max() >= len(axis) or positions.min() < -len(axis)):
        return positions
    return axis[positions]


_PER_DATE = ("loop_count", "bench_hold", "hold_num", "total", "turnover", "finished", "finish_moved",
             "finish_status", "gave_way", "excess", "blocked_buy", "blocked_sell", "blocked_buy_weight",
             "blocked_sell_weight")


def to_pandas(result: RunResult, library: str = "VelaIntradayModel") -> RunFrames:
    """Label a result by the library's dates and security codes, and by risk names.

    Rows are labelled by ``library.dates()`` and columns by
    ``library.securities()`` when the library exposes them (and they cover
    the result's rows and columns); by plain integers (score-matrix rows,
    ``univ_idx`` positions) otherwise.
    """
    import pandas as pd

    from .frames import library_axes

    try:
        secu, days = library_axes(library)
    except ImportError:
        secu, days = None, None
    index = pd.Index(_labels(days, np.asarray(result.rows)), name="date" if days is not None else "row")
    columns = pd.Index(_labels(secu, np.asarray(result.univ_idx)), name="security")
    names = pd.Index(list(result.risk_names), name="risk_name")
    per_date = pd.DataFrame({"status": pd.Categorical.from_codes(np.asarray(result.status),
                                                                 categories=list(STATUS_NAMES))}, index=index)
    for name in _PER_DATE:
        per_date[name] = np.asarray(getattr(result, name))

    def frame(values: Any, cols: pd.Index) -> pd.DataFrame:
        return pd.DataFrame(np.array(values), index=index.copy(), columns=cols.copy())

    return RunFrames(frame(result.weights, columns), per_date, frame(result.first_expo, names),
                     frame(result.last_expo, names), frame(result.over_limit, names), frame(result.expo, names))


def summary(result: RunResult) -> dict[str, Any]:
    """The few numbers that describe a run at a glance.

    Returns
    -------
    dict
        ``rows`` (count), ``first_row`` and ``last_row`` (None when empty),
        ``securities``, ``risk_names``, ``dates_over_limit`` (processed dates
        still over some limit), ``dates_gave_way`` (finished rows whose limits
        or cap gave way), ``mean_loop_count`` (over processed dates; NaN when
        none) and ``mean_turnover`` (one-way, over processed dates).
    """
    rows = np.asarray(result.rows)
    done = np.asarray(result.status) == STATUS_PROCESSED
    over = np.asarray(result.over_limit, dtype=bool).reshape(len(rows), -1)
    loops = np.asarray(result.loop_count)[done]
    turnover = np.asarray(result.turnover)[done]
    return {"rows": len(rows), "first_row": int(rows[0]) if len(rows) else None,
            "last_row": int(rows[-1]) if len(rows) else None, "securities": len(result.univ_idx),
            "risk_names": len(result.risk_names), "dates_over_limit": int((over.any(axis=1) & done).sum()),
            "dates_gave_way": int((np.asarray(result.gave_way) != "").sum()),
            "mean_loop_count": float(loops.mean()) if len(loops) else float("nan"),
            "mean_turnover": float(np.nanmean(turnover)) if np.isfinite(turnover).any() else float("nan")}


def result_html(result: RunResult) -> str:
    """The short HTML table a notebook shows for a :class:`RunResult`."""
    s = summary(result)
    rows = f"{s['rows']} (rows {s['first_row']} to {s['last_row']})" if s["rows"] else "0"
    cells = [("rows", rows), ("securities", s["securities"]), ("risk names", s["risk_names"]),
             ("dates over a limit", s["dates_over_limit"]), ("mean loop count", f"{s['mean_loop_count']:.2f}"),
             ("mean turnover (one-way)", f"{s['mean_turnover']:.2%}")]
    if s["dates_gave_way"]:
        cells.append(("dates where limits or the cap gave way", s["dates_gave_way"]))
    body = "".join(f"<tr><th style='text-align:left'>{k}</th><td>{v}</td></tr>" for k, v in cells)
    return f"<table><caption>Kestrel.RunResult</caption>{body}</table>"


RunResult.__module__ = "Kestrel"  # where users meet it

"""What the date loop hands from one date to the next: a :class:`RunState`, the
start of a later run, with the record of what made it; moving one onto
another universe."""

from __future__ import annotations

import math
import operator
from collections.abc import Mapping
from typing import Any, NamedTuple, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["Reindexed", "RunState", "reindex_state", "settings_differences"]

#: The settings a state records: key -> value as the run read it, and
#: ``"limits"``: risk name -> limit. A text instead is the fingerprint that
#: states saved by earlier releases hold.
Settings = Union[dict[str, Any], str]


def _type_name(x: Any) -> str:
    return type(x).__name__


def _vector(value: Any, name: str, length: int | None = None, reference: str = "") -> NDArray[np.float64]:
    """A private read-only float64 copy of a one-dimensional argument."""
    if value is None:
        raise TypeError(f"RunState.{name} must be a sequence of numbers, not None")
    try:
        a = np.array(value, dtype=np.float64)
    except (TypeError, ValueError) as e:
        raise type(e)(f"RunState.{name}: {e}") from None
    if a.ndim != 1:
        raise ValueError(f"RunState.{name} must be 1-dimensional, got {a.ndim} dimensions")
    if length is not None and len(a) != length:
        raise ValueError(f"RunState.{name} has length {len(a)}, expected {length} ({reference})")
    a.setflags(write=False)
    return a


def _finite(a: NDArray[np.float64], name: str, non_negative: bool) -> None:
    bad = ~np.isfinite(a) | ((a < 0) if non_negative else False)
    if bad.any():
        at = int(np.argmax(bad))
        raise ValueError(f"RunState.{name} must be finite{' and non-negative' if non_negative else ''}; "
                         f"entry {at} is {float(a[at])!r}")


def _text(value: Any, name: str) -> str | None:
    if value is not None and not isinstance(value, str):
        raise TypeError(f"RunState.{name} must be text or None, not {_type_name(value)}")
    return value


def _settings(value: Any) -> Settings | None:
    if value is None or isinstance(value, str):
        return value
    if not isinstance(value, Mapping):
        raise TypeError(f"RunState.settings must be a mapping of setting to value, text or None, "
                        f"not {_type_name(value)}")
    out = dict(value)
    if "limits" in out:
        out["limits"] = dict(out["limits"])
    return out


class RunState:
    """What the date loop hands from one date to the next; a start for :func:`Kestrel.run`.

    Parameters
    ----------
    row : int
        The last row done (-1: none).
    weights : array_like, shape (N,)
        The weights held after that row, finite and non-negative, in the order
        of the run's ``univ_idx``: the previous weights of row ``row + 1``.
    smoothed : array_like, shape (N,), optional
        The smoothed scores of the last processed date; None (the default)
        makes the next date smooth afresh, as the first date of a run does.
    univ_idx, algorithm, bench_symbol, secu_pct, settings : optional
        What made the state (a run records them; None: unknown, not compared).
        ``settings`` maps each setting that shapes weights to its value, with
        ``"limits"`` mapping risk names to limits.

    Raises
    ------
    TypeError, ValueError
        A field of the wrong type or value, naming it ("RunState.<field>").
    """

    row: int
    weights: NDArray[np.float64]
    smoothed: NDArray[np.float64] | None
    univ_idx: NDArray[np.int64] | None
    algorithm: str | None
    bench_symbol: str | None
    secu_pct: float | None
    settings: Settings | None

    __slots__ = ("row", "weights", "smoothed", "univ_idx", "algorithm", "bench_symbol", "secu_pct", "settings")

    def __init__(self, row: int, weights: ArrayLike, smoothed: ArrayLike | None = None, *,
                 univ_idx: ArrayLike | None = None, algorithm: str | None = None, bench_symbol: str | None = None,
                 secu_pct: float | None = None, settings: Settings | None = None) -> None:
        if isinstance(row, (bool, np.bool_)) or not hasattr(row, "__index__"):
            raise TypeError(f"RunState.row must be an integer, not {_type_name(row)}")
        row = operator.index(row)
        if row < -1:
            raise ValueError(f"RunState.row must be -1 or more, got {row}")
        w = _vector(weights, "weights")
        _finite(w, "weights", True)
        e = None
        if smoothed is not None:
            e = _vector(smoothed, "smoothed", len(w), "RunState.weights")
            _finite(e, "smoothed", False)
        cols = None
        if univ_idx is not None:
            raw = np.asarray(univ_idx)
            if raw.dtype.kind not in "iu":
                raise TypeError(f"RunState.univ_idx must hold integers, not {raw.dtype}")
            if raw.ndim != 1 or len(raw) != len(w):
                raise ValueError(f"RunState.univ_idx must be one column per weight ({len(w)})")
            cols = raw.astype(np.int64)
            cols.setflags(write=False)
        pct = None
        if secu_pct is not None:
            try:
                pct = float(secu_pct)
            except (TypeError, ValueError) as err:
                raise type(err)(f"RunState.secu_pct: {err}") from None
            if not math.isfinite(pct):
                raise ValueError("RunState.secu_pct must be finite")
        for name, value in (("row", row), ("weights", w), ("smoothed", e), ("univ_idx", cols),
                            ("algorithm", _text(algorithm, "algorithm")),
                            ("bench_symbol", _text(bench_symbol, "bench_symbol")), ("secu_pct", pct),
                            ("settings", _settings(settings))):
            object.__setattr__(self, name, value)

    def __setattr__(self, name: str, value: Any) -> None:
        raise AttributeError(f"RunState is read-only: cannot set {name!r}")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"RunState is read-only: cannot delete {name!r}")

    def __repr__(self) -> str:
        made = ""
        if self.algorithm is not None:
            made += f", {self.algorithm}"
        if self.bench_symbol is not None:
            made += f" on {self.bench_symbol}"
        return (f"RunState(row={self.row}, {len(self.weights)} weights, "
                f"smoothed {'None' if self.smoothed is None else 'given'}{made})")

    def __reduce__(self) -> tuple[Any, ...]:
        # Pickled for Dask and multiprocessing as its constructor's arguments.
        return (_rebuild, (self.row, self.weights, self.smoothed, self.univ_idx, self.algorithm, self.bench_symbol,
                           self.secu_pct, self.settings))


def _rebuild(row: int, weights: Any, smoothed: Any, univ_idx: Any, algorithm: Any, bench_symbol: Any, secu_pct: Any,
             settings: Any) -> RunState:
    return RunState(row, weights, smoothed, univ_idx=univ_idx, algorithm=algorithm, bench_symbol=bench_symbol,
                    secu_pct=secu_pct, settings=settings)


def _number(v: Any) -> str:
    if isinstance(v, float) and v.is_integer() and abs(v) < 1e15:
        return str(int(v))
    return repr(v)


def fingerprint(settings: Mapping[str, Any]) -> str:
    """The text earlier releases recorded instead of the settings: a hash of
    them with the unread ones at their defaults, so that a state saved then
    can still be told apart from this run's settings."""
    values = [settings.get(key, 0.0) for key in ("weight_multi", "num_long", "risk_cost", "each_single_weight",
                                                 "bench_coeff", "pre_coeff", "max_weight", "learning_rate",
                                                 "max_loop_num", "decay")]
    text = "".join(repr(float(v)) + ";" for v in values)
    text += "".join(f"{name}={float(limit)!r};" for name, limit in settings.get("limits", {}).items())
    h = 14695981039346656037
    for byte in text.encode():
        h = ((h ^ byte) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return f"{h:016x}"


def settings_differences(was: Settings | None, now: Mapping[str, Any]) -> list[str]:
    """Each setting a state records differently from `now` (this run's), with both values."""
    if was is None:
        return []
    if isinstance(was, str):
        if was == fingerprint(now):
            return []
        return ["other settings that shape weights (its file, saved by an earlier release, records only a "
                "fingerprint of them, so they cannot be named)"]
    out = []
    for key in sorted(set(was) | set(now), key=lambda k: (k == "limits", k)):
        if key == "limits":
            continue
        a, b = was.get(key), now.get(key)
        if a != b:
            was_text, now_text = ("unset" if v is None else _number(v) for v in (a, b))
            out.append(f"{key} {was_text} (this run: {now_text})")
    old, new = dict(was.get("limits", {})), dict(now.get("limits", {}))
    for name in list(old) + [n for n in new if n not in old]:
        a, b = old.get(name), new.get(name)
        if a != b:
            out.append(f"the limit of {name!r} {'none' if a is None else _number(a)} "
                       f"(this run: {'none' if b is None else _number(b)})")
    return out


class Reindexed(NamedTuple):
    """What :func:`reindex_state` returns."""

    #: The state on the new universe, recording it.
    state: RunState
    #: Columns of the old universe that the new one lacks, with the weight
    #: held in each (non-zero weights only), in the old order.
    dropped: dict[int, float]


def reindex_state(state: RunState, univ_idx: Any, *, old_univ_idx: Any = None,
                  new_smoothed: float | None = 0.0) -> Reindexed:
    """Move `state` onto another universe, column by column.

    Weights and smoothed scores follow their library column; columns new to
    `univ_idx` start with no weight. The weights held in columns `univ_idx`
    drops are left out and reported in ``dropped``. The new state keeps the
    old one's row and its record of algorithm, benchmark, ``secu_pct`` and
    settings, and records `univ_idx`.

    Parameters
    ----------
    state : RunState
    univ_idx : sequence of int
        The new universe's columns, as the next run will be given them.
    old_univ_idx : sequence of int, optional
        The columns `state` is in the order of; needed only when the state
        does not record them (one built by hand from held weights).
    new_smoothed : float or None
        Smoothed score given to columns new to the universe: 0.0 (the
        default) is the average standardised score. None drops the smoothed
        scores altogether, so that the next date smooths afresh.

    Returns
    -------
    Reindexed
        ``(state, dropped)``.

    Raises
    ------
    TypeError
        A universe that is not a one-dimensional array of integer columns.
    ValueError
        The state records no universe and `old_univ_idx` is not given, a
        universe lists a column twice, or `old_univ_idx` does not fit the state.
    """
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
    moved = RunState(state.row, weights, smoothed, univ_idx=new.astype(np.int64), algorithm=state.algorithm,
                     bench_symbol=state.bench_symbol, secu_pct=state.secu_pct, settings=state.settings)
    return Reindexed(moved, dropped)


for _cls in (RunState, Reindexed):  # where users meet them
    _cls.__module__ = "Kestrel"
del _cls

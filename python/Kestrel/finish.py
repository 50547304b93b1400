"""The exact finish of ``Kestrel.run(..., finish="exact")``, and the exact optimum it is measured against.

When the exposure control loop gives up on a date (``max_loop_num``
reached), its weights may still exceed some limits. The finish replaces such
a row by the nearest portfolio inside every limit: the smallest L1 change

    minimise   sum |w - w0|
    subject to 0 <= w <= caps,  sum(w) = sum(w0),
               |F' w - b| <= limit   for every risk name (sectors included)

as a linear program with w = w0 + u - v, u, v >= 0: 2N bounded columns, one
total row and K ranged exposure rows, with only the non-zero factor values
stored (a sector row holds its members only). It is solved by HiGHS'
dual simplex from the row itself (all of u and v at their lower bounds),
which is already optimal for the cost and only has to mend the few
exposure rows that are out of range.

HiGHS meets its bounds to an absolute tolerance, so the limits are
tightened by ``limit * 1e-6 + 1e-9`` (at most half the limit) before the
solve; Kestrel then recomputes the exposures of the answer from the
library's data and refuses it unless every one is within
``limit * (1 + 1e-9)``.

Needs ``highspy`` (``pip install "kestrel[exact]"``); Kestrel imports this
module only when the finish is asked for.
"""

from __future__ import annotations

import os
import sys
import time
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

try:
    import highspy
except ImportError as e:  # pragma: no cover - depends on the installation
    raise ImportError('finish="exact" needs the HiGHS solver: pip install highspy (or "kestrel[exact]")') from e

__all__ = ["FLOOR", "TOLERANCE", "Finisher", "best_feasible", "nearest_feasible", "tightened"]

#: Relative tolerance on the limits that a finished row keeps.
TOLERANCE = 1e-9
#: Absolute tolerance beside it, so that a limit of 0 can be kept.
FLOOR = 1e-12


def tightened(limits: ArrayLike) -> NDArray[np.float64]:
    """The limits the solver is given: a margin for its absolute feasibility tolerance."""
    lim = np.asarray(limits, dtype=np.float64)
    return lim - np.minimum(lim * 1e-6 + 1e-9, lim / 2)


_quiet = False


def _new_highs() -> Any:
    """A Highs object. The first one a process makes prints a banner with C stdio,
    past sys.stdout; that banner goes to /dev/null instead."""
    global _quiet
    if _quiet:
        return highspy.Highs()
    sys.stdout.flush()
    saved = os.dup(1)
    try:
        with open(os.devnull, "w") as null:
            os.dup2(null.fileno(), 1)
            h = highspy.Highs()
    finally:
        os.dup2(saved, 1)
        os.close(saved)
    _quiet = True
    return h


def _solver(warm_start: bool, time_limit: float) -> Any:
    h = _new_highs()
    h.silent()
    h.setOptionValue("primal_feasibility_tolerance", 1e-10)
    h.setOptionValue("time_limit", float(time_limit))
    if warm_start:
        # Presolve would rebuild the model and drop the start at the row itself.
        h.setOptionValue("presolve", "off")
        h.setOptionValue("solver", "simplex")
        h.setOptionValue("simplex_strategy", 1)  # dual
        h.setOptionValue("simplex_dual_edge_weight_strategy", 1)  # Devex: a third faster here than steepest edge
    return h


def _columns(f: NDArray[np.float64], sign: NDArray[np.float64] | None = None
             ) -> tuple[NDArray[np.int32], NDArray[np.int32], NDArray[np.float64]]:
    """Column-wise storage of sign * [1 | F] per row of `f` (the total row, then
    K exposure rows), non-zeros only."""
    full = np.empty((f.shape[0], f.shape[1] + 1))
    full[:, 0] = 1.0
    full[:, 1:] = f
    if sign is not None:
        full *= sign[:, None]
    mask = full != 0.0
    index = np.nonzero(mask)[1].astype(np.int32)
    value = full[mask]
    start = np.zeros(f.shape[0] + 1, dtype=np.int32)
    np.cumsum(mask.sum(axis=1), out=start[1:])
    return start, index, value


def _pass(h: Any, cost: Any, lower: Any, upper: Any, row_lower: Any, row_upper: Any,
          columns: tuple[Any, Any, Any]) -> None:
    # The arrays overload: a HighsLp built attribute by attribute costs ten
    # times as much to hand over as the solve of a typical date takes.
    start, index, value = columns
    status = h.passModel(len(cost), len(row_lower), len(value), int(highspy.MatrixFormat.kColwise),
                         int(highspy.ObjSense.kMinimize), 0.0, cost, lower, upper, row_lower, row_upper,
                         start, index, value, np.zeros(len(cost), dtype=np.int32))
    if status == highspy.HighsStatus.kError:
        raise ValueError("HiGHS refused the model (non-finite bounds or factor values?)")


@dataclass(frozen=True)
class Solution:
    """One solve: the weights (None unless optimal), HiGHS' model status, seconds and simplex iterations."""

    weights: NDArray[np.float64] | None
    status: str
    seconds: float
    iterations: int


def _run(h: Any, t0: float) -> tuple[str, float, int, bool]:
    """Solve the model passed to `h`: its status text, the seconds since `t0`, simplex iterations, optimal."""
    h.run()
    seconds = time.perf_counter() - t0
    model_status = h.getModelStatus()
    return (h.modelStatusToString(model_status), seconds, int(h.getInfo().simplex_iteration_count),
            model_status == highspy.HighsModelStatus.kOptimal)


def nearest_feasible(w0: ArrayLike, caps: ArrayLike, factors: ArrayLike, expo: ArrayLike, limits: ArrayLike, *,
                     solver: Any = None, warm_start: bool = True, time_limit: float = 60.0) -> Solution:
    """The portfolio nearest to `w0` in L1 inside every limit.

    Parameters
    ----------
    w0 : array_like, shape (N,)
        The row to repair (non-negative).
    caps : array_like, shape (N,)
        Largest weight of each security.
    factors : array_like, shape (N, K)
        Factor values of each security, sector indicators included.
    expo : array_like, shape (K,)
        Active exposures of `w0` (``factors.T @ w0`` minus the benchmark's).
    limits : array_like, shape (K,)
    solver : highspy.Highs, optional
        Reused between calls (its options are kept); made afresh without it.
    warm_start : bool, default True
        Start the dual simplex at `w0` itself; False leaves the start to
        HiGHS (presolve on).

    Returns
    -------
    Solution
        ``weights`` clipped to [0, caps] (the solver's tolerance), or None
        when the solve did not end optimal.
    """
    w0 = np.asarray(w0, dtype=np.float64)
    caps = np.asarray(caps, dtype=np.float64)
    f = np.asarray(factors, dtype=np.float64)
    e0 = np.asarray(expo, dtype=np.float64)
    lim = tightened(limits)
    n = len(w0)
    h = solver if solver is not None else _solver(warm_start, time_limit)
    # Columns u (buy) then v (sell) per security; those fixed by their bounds
    # (nothing to buy at the cap, nothing to sell at 0) are left out, which
    # halves the model of a capped fill.
    lower = np.concatenate([np.zeros(n), np.maximum(w0 - caps, 0.0)])
    upper = np.concatenate([np.maximum(caps - w0, 0.0), w0])
    free = np.flatnonzero(upper > lower)
    x = lower.copy()  # fixed columns stay at their bound: sales forced by a cap below w0
    x[free] = 0.0
    forced = x[n:]
    moved = f.T @ forced
    row_lower = np.concatenate([[forced.sum()], -lim - e0 + moved])
    row_upper = np.concatenate([[forced.sum()], lim - e0 + moved])
    t0 = time.perf_counter()
    _pass(h, np.ones(len(free)), lower[free], upper[free], row_lower, row_upper,
          _columns(f[free % n], np.where(free < n, 1.0, -1.0)))
    status, seconds, iterations, optimal = _run(h, t0)
    if not optimal:
        return Solution(None, status, seconds, iterations)
    x[free] = np.asarray(h.getSolution().col_value)
    w = np.clip(w0 + x[:n] - x[n:], 0.0, caps)
    return Solution(w, status, seconds, iterations)


class Finisher:
    """What Kestrel calls on each date that needs finishing; one per run.

    ``Kestrel.run(..., finish="exact")`` makes one with the defaults; pass
    your own ``finish=Finisher(...)`` to choose its options and to read
    ``solutions`` afterwards: every :class:`Solution` of the run, in order,
    without their weights. A call ``finisher(w0, caps, factors, expo,
    limits)`` returns ``(weights or None, status)``.
    """

    def __init__(self, *, warm_start: bool = True, time_limit: float = 60.0) -> None:
        self.warm_start = warm_start
        self.solver = _solver(warm_start, time_limit)
        self.solutions: list[Solution] = []

    def __call__(self, w0: ArrayLike, lower: ArrayLike, upper: ArrayLike, factors: ArrayLike, bench_expo: ArrayLike,
                 limits: ArrayLike, pre: ArrayLike | None, max_turnover: float, score: ArrayLike,
                 cost: float) -> tuple[NDArray[np.float64] | None, str, str, float]:
        f = np.asarray(factors, dtype=np.float64)
        expo = f.T @ np.asarray(w0, dtype=np.float64) - np.asarray(bench_expo, dtype=np.float64)
        s = nearest_feasible(w0, upper, f, expo, limits, solver=self.solver)
        self.solutions.append(Solution(None, s.status, s.seconds, s.iterations))
        return s.weights, s.status, "", 0.0


def best_feasible(score: ArrayLike, caps: ArrayLike, total: float, factors: ArrayLike, bench_expo: ArrayLike,
                  limits: ArrayLike, *, time_limit: float = 60.0) -> Solution:
    """The exact optimum a finished row is measured against: maximise ``score @ w``
    with 0 <= w <= caps, sum(w) = total and ``|factors.T @ w - bench_expo| <= limits``."""
    c = -np.asarray(score, dtype=np.float64)
    caps = np.asarray(caps, dtype=np.float64)
    lim = tightened(limits)
    b = np.asarray(bench_expo, dtype=np.float64)
    h = _solver(False, time_limit)
    t0 = time.perf_counter()
    _pass(h, c, np.zeros(len(c)), caps, np.concatenate([[total], b - lim]), np.concatenate([[total], b + lim]),
          _columns(np.asarray(factors, dtype=np.float64)))
    status, seconds, iterations, optimal = _run(h, t0)
    if not optimal:
        return Solution(None, status, seconds, iterations)
    return Solution(np.clip(np.asarray(h.getSolution().col_value), 0.0, caps), status, seconds, iterations)

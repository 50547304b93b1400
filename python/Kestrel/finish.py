"""The exact finish of ``Kestrel.run(..., finish="exact")``, and the exact optimum it is measured against.

When the exposure control loop gives up on a date (``max_loop_num``
reached), its weights may still exceed some limits. The finish replaces such
a row by a portfolio inside every limit, found in two linear programs:

1. the nearest row: the smallest L1 change d* from the loop's row w0,

       minimise   sum |w - w0|
       subject to lower <= w <= upper,  sum(w) = sum(w0),
                  |F' w - b| <= limit          for every risk name (sectors included),
                  sum |w - pre| / 2 <= max_turnover   (when a previous row is given);

2. the best row near it: within the same constraints and
   ``sum |w - w0| <= budget * d*``, maximise ``score @ w - cost * sum |w - pre|``.
   The nearest row alone mends the limits at the expense of whatever score
   the moves happen to cost; a budget of 2 recovers most of it (on strict
   limits, 98-99% of the exact optimum's score against 96% for the nearest
   row) while the row stays a repair of the loop's, with about its turnover.

Trading blocks arrive folded into the bounds (a name blocked for buying has
``upper <= its previous weight``, one fixed has ``lower == upper``). Each LP
moves w0 by ``w = w0 + u - v``; a move towards ``pre`` and a move past it are
separate columns, so that the turnover is one row, ``sum |w0 - pre|`` plus
the moves past ``pre`` minus those towards it, never below the true
turnover. Columns fixed by their bounds are left out and the K exposure rows
are ranged. Both solves are HiGHS' dual simplex: the first starts at w0
itself (already optimal for its cost, only the rows out of range to mend),
the second from the first one's basis with its cost changed and the L1 row
added.

Where no row holds every limit the bounds never give way; the turnover cap
gives way only when the :class:`Finisher` is told so; the limits give way by
the smallest uniform relative excess t (every ``|exposure| <= limit + t *
scale``, scale the limit itself, or for a limit of 0 the smallest positive
limit of the date), and the finish then proceeds as above within those
relaxed limits.

HiGHS meets its bounds to an absolute tolerance, so the limits are
tightened by ``limit * 1e-6 + 1e-9`` (at most half the limit) before the
solve. A limit of 0 is not tightened: its row is an equality, which a vertex
of the simplex meets to rounding (|exposure| of 1e-15 on real dates). A
finished row keeps ``|exposure| <= limit * (1 + TOLERANCE) + FLOOR``
(:func:`within`), its bounds exactly, its total, and the cap to the same
tolerances; the row is checked before it is handed back.

Needs ``highspy`` (``pip install "kestrel[exact]"``); importing this module
needs numpy only, the solver is imported by the functions that solve.
"""

from __future__ import annotations

import math
import os
import sys
import time
from dataclasses import dataclass
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["DEFAULT_BUDGET", "FLOOR", "TOLERANCE", "Finisher", "Record", "Solution", "Solve", "best_feasible",
           "nearest_feasible", "relaxed", "tightened", "within"]

#: Relative tolerance on the limits that a finished row keeps.
TOLERANCE = 1e-9
#: Absolute tolerance beside it, so that a limit of 0 can be kept.
FLOOR = 1e-12
#: The score stage may move the row up to this many times the nearest row's L1 distance.
DEFAULT_BUDGET = 2.0

_FEASIBILITY = 1e-10  # HiGHS' primal feasibility tolerance (absolute)
_MISSING = 'finish="exact" needs the HiGHS solver: pip install highspy (or "kestrel[exact]")'


def _highspy() -> Any:
    try:
        import highspy
    except ImportError as e:
        raise ImportError(_MISSING) from e
    return highspy


def tightened(limits: ArrayLike) -> NDArray[np.float64]:
    """The limits the solver is given: a margin for its absolute feasibility tolerance
    (none for a limit of 0, whose row the simplex meets as an equality)."""
    lim = np.asarray(limits, dtype=np.float64)
    return lim - np.minimum(lim * 1e-6 + 1e-9, lim / 2)


def _scale(limits: NDArray[np.float64]) -> NDArray[np.float64]:
    """What a limit gives way in units of: itself, or for a limit of 0 the smallest positive limit (else 1)."""
    positive = limits[limits > 0]
    return np.where(limits > 0, limits, positive.min() if positive.size else 1.0)


def relaxed(limits: ArrayLike, excess: float) -> NDArray[np.float64]:
    """The limits a row that gave way by `excess` keeps: ``limit + excess * scale``, where
    scale is the limit itself, or for a limit of 0 the smallest positive limit (1 if none)."""
    lim = np.asarray(limits, dtype=np.float64)
    return lim + excess * _scale(lim) if excess > 0 else lim.copy()


def within(expo: ArrayLike, limits: ArrayLike, excess: float = 0.0) -> NDArray[np.bool_]:
    """Which exposures a finished row may keep: ``|expo| <= relaxed(limits, excess) * (1 + TOLERANCE) + FLOOR``."""
    return np.abs(np.asarray(expo, dtype=np.float64)) <= relaxed(limits, excess) * (1 + TOLERANCE) + FLOOR


_quiet = False


def _new_highs() -> Any:
    """A Highs object. The first one a process makes prints a banner with C stdio,
    past sys.stdout; that banner goes to /dev/null instead."""
    global _quiet
    highspy = _highspy()
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
    h.setOptionValue("primal_feasibility_tolerance", _FEASIBILITY)
    h.setOptionValue("time_limit", float(time_limit))
    if warm_start:
        # Presolve would rebuild the model and drop the start at the row itself.
        h.setOptionValue("presolve", "off")
        h.setOptionValue("solver", "simplex")
        h.setOptionValue("simplex_strategy", 1)  # dual
        # The factor values and weights are of one scale already: scaling them
        # doubles the iterations of the score stage.
        h.setOptionValue("simplex_scale_strategy", 0)
    return h


_DEVEX, _STEEPEST = 1, 2


def _pricing(h: Any, rule: int) -> None:
    # Devex is a third faster than steepest edge from the row itself; from
    # the nearest row's basis, steepest edge takes a fifth fewer iterations.
    h.setOptionValue("simplex_dual_edge_weight_strategy", rule)


def _pass(h: Any, cost: Any, lower: Any, upper: Any, row_lower: Any, row_upper: Any,
          columns: tuple[Any, Any, Any]) -> None:
    # The arrays overload: a HighsLp built attribute by attribute costs ten
    # times as much to hand over as the solve of a typical date takes.
    highspy = _highspy()
    start, index, value = columns
    status = h.passModel(len(cost), len(row_lower), len(value), int(highspy.MatrixFormat.kColwise),
                         int(highspy.ObjSense.kMinimize), 0.0, cost, lower, upper, row_lower, row_upper,
                         start, index, value, np.zeros(len(cost), dtype=np.int32))
    if status == highspy.HighsStatus.kError:
        raise ValueError("HiGHS refused the model (non-finite bounds or factor values?)")


def _csc(dense: NDArray[np.float64]) -> tuple[NDArray[np.int32], NDArray[np.int32], NDArray[np.float64]]:
    """Column-wise storage of a (columns x rows) array, non-zeros only."""
    mask = dense != 0.0
    index = np.nonzero(mask)[1].astype(np.int32)
    start = np.zeros(dense.shape[0] + 1, dtype=np.int32)
    np.cumsum(mask.sum(axis=1), out=start[1:])
    return start, index, dense[mask]


# Products without numpy's BLAS: it runs these in threads that then spin for
# a while, taking half the machine from the simplex that follows (twice its
# time on two cores).
def _dot(a: NDArray[np.float64], b: NDArray[np.float64]) -> float:
    return float((a * b).sum())


def _expo(f: NDArray[np.float64], w: NDArray[np.float64]) -> NDArray[np.float64]:
    return np.einsum("nk,n->k", f, w)


@dataclass(frozen=True)
class Solution:
    """One solve: the weights (None unless optimal), HiGHS' model status, seconds and simplex iterations."""

    weights: NDArray[np.float64] | None
    status: str
    seconds: float
    iterations: int


@dataclass(frozen=True)
class Solve:
    """One LP of a finish: what it solved ("nearest", "score", "excess" or "turnover"),
    HiGHS' model status, seconds (model hand-over included) and simplex iterations."""

    stage: str
    status: str
    seconds: float
    iterations: int


@dataclass(frozen=True)
class Record:
    """One date's finish, as :attr:`Finisher.solutions` keeps it.

    ``status`` is what the call returned; ``nearest`` the L1 distance d* of
    the nearest row (NaN without one); ``moved`` the L1 distance of the row
    returned (NaN without one); ``gave_way`` and ``excess`` as returned;
    ``seconds`` and ``iterations`` add up ``solves``.
    """

    status: str
    solves: tuple[Solve, ...]
    nearest: float
    moved: float
    gave_way: str
    excess: float

    @property
    def seconds(self) -> float:
        return sum(s.seconds for s in self.solves)

    @property
    def iterations(self) -> int:
        return sum(s.iterations for s in self.solves)


def _run(h: Any, stage: str, t0: float) -> tuple[Solve, bool]:
    """Solve the model held by `h`: the record of the solve since `t0`, and whether it ended optimal."""
    highspy = _highspy()
    h.run()
    seconds = time.perf_counter() - t0
    model_status = h.getModelStatus()
    solve = Solve(stage, h.modelStatusToString(model_status), seconds, int(h.getInfo().simplex_iteration_count))
    return solve, model_status == highspy.HighsModelStatus.kOptimal


class _Moves:
    """The columns of the finish's LPs: moves x >= 0 away from a row r, ``w = r + sum(sign * x)``.

    Each security has a buying and a selling column; with a previous row
    `pre`, the one that heads towards `pre` is split at it, so that
    ``sum |w - pre| <= turn0 + turn @ x`` with equality whenever no column
    past `pre` is used before the one towards it. Columns fixed by their
    bounds stay out of the model at their lower bound (a forced move when r
    lies outside [lower, upper]).
    """

    def __init__(self, r: NDArray[np.float64], lower: NDArray[np.float64], upper: NDArray[np.float64],
                 pre: NDArray[np.float64] | None) -> None:
        n = len(r)
        up = (np.maximum(lower - r, 0.0), np.maximum(upper - r, 0.0))
        down = (np.maximum(r - upper, 0.0), np.maximum(r - lower, 0.0))
        if pre is None:
            parts = [(*up, 1.0, 0.0), (*down, -1.0, 0.0)]
            self.turn0 = 0.0
        else:
            gap = r - pre
            to_up, to_down = np.maximum(-gap, 0.0), np.maximum(gap, 0.0)  # room towards pre
            parts = [(np.minimum(up[0], to_up), np.minimum(up[1], to_up), 1.0, -1.0),
                     (np.maximum(up[0] - to_up, 0.0), np.maximum(up[1] - to_up, 0.0), 1.0, 1.0),
                     (np.minimum(down[0], to_down), np.minimum(down[1], to_down), -1.0, -1.0),
                     (np.maximum(down[0] - to_down, 0.0), np.maximum(down[1] - to_down, 0.0), -1.0, 1.0)]
            self.turn0 = float(np.abs(gap).sum())
        lo = np.concatenate([p[0] for p in parts])
        hi = np.concatenate([p[1] for p in parts])
        free = hi > lo
        fixed = ~free
        name = np.tile(np.arange(n), len(parts))
        sign = np.repeat([p[2] for p in parts], n)
        turn = np.repeat([p[3] for p in parts], n)
        self.n = n
        self.name, self.sign, self.turn = name[free], sign[free], turn[free]
        self.lo, self.hi = lo[free], hi[free]
        # Forced moves of the columns left out, applied to r once.
        forced = lo[fixed]
        self.base = r + np.bincount(name[fixed], weights=sign[fixed] * forced, minlength=n)
        self.turn0 += _dot(turn[fixed], forced)
        self.l1_0 = float(forced.sum())  # L1 of the forced moves from r

    def __len__(self) -> int:
        return len(self.lo)

    def weights(self, x: NDArray[np.float64]) -> NDArray[np.float64]:
        return self.base + np.bincount(self.name, weights=self.sign * x, minlength=self.n)


@dataclass
class _Problem:
    """One date's finish, its arrays checked."""

    w0: NDArray[np.float64]
    lower: NDArray[np.float64]
    upper: NDArray[np.float64]
    f: NDArray[np.float64]
    b: NDArray[np.float64]
    limits: NDArray[np.float64]
    pre: NDArray[np.float64] | None
    max_turnover: float
    score: NDArray[np.float64] | None
    cost: float
    total: float


def _vector(name: str, x: ArrayLike, n: int | None = None, like: str = "") -> NDArray[np.float64]:
    a = np.asarray(x, dtype=np.float64)
    if a.ndim != 1 or (n is not None and len(a) != n):
        want = f"shape ({n},){' (' + like + ')' if like else ''}" if n is not None else "one dimension"
        raise ValueError(f"{name} must have {want}, got shape {a.shape}")
    if not np.isfinite(a).all():
        raise ValueError(f"{name} has non-finite values at {np.flatnonzero(~np.isfinite(a))[:5].tolist()}; "
                         "pass finite numbers")
    return a


def _number(name: str, x: Any, *, allow_inf: bool = False) -> float:
    if isinstance(x, bool) or not isinstance(x, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a real number, not {type(x).__name__}")
    v = float(x)
    if math.isnan(v) or v < 0 or (math.isinf(v) and not allow_inf):
        raise ValueError(f"{name} must be {'>= 0 (math.inf for none)' if allow_inf else 'finite and >= 0'}, got {v}")
    return v


def _problem(w0: ArrayLike, lower: ArrayLike | None, upper: ArrayLike, factors: ArrayLike, bench_expo: ArrayLike,
             limits: ArrayLike, pre: ArrayLike | None, max_turnover: Any, score: ArrayLike | None, cost: Any,
             total: float | None = None) -> _Problem:
    n = len(_vector("w0", w0)) if w0 is not None else None
    per_name = "one per security, as w0" if w0 is not None else "one per security, as upper"
    upper_ = _vector("upper", upper, n, per_name)
    n = len(upper_)
    lower_ = np.zeros(n) if lower is None else _vector("lower", lower, n, per_name)
    if (lower_ > upper_).any():
        raise ValueError(f"lower exceeds upper at {np.flatnonzero(lower_ > upper_)[:5].tolist()}")
    f = np.asarray(factors, dtype=np.float64)
    if f.ndim != 2 or f.shape[0] != n:
        raise ValueError(f"factors must have shape ({n}, K), got {f.shape}")
    if not np.isfinite(f).all():
        raise ValueError("factors has non-finite values; pass 0 for a missing factor value")
    k = f.shape[1]
    lim = _vector("limits", limits, k, "one per column of factors")
    if (lim < 0).any():
        raise ValueError(f"limits must be >= 0, got negative ones at {np.flatnonzero(lim < 0)[:5].tolist()}")
    w0_ = np.zeros(n) if w0 is None else _vector("w0", w0, n)
    pre_ = None if pre is None else _vector("pre", pre, n, per_name)
    score_ = None if score is None else _vector("score", score, n, per_name)
    b = _vector("bench_expo", bench_expo, k, "one per column of factors")
    return _Problem(w0_, lower_, upper_, f, b, lim, pre_,
                    _number("max_turnover", max_turnover, allow_inf=True), score_, _number("cost", cost),
                    float(w0_.sum()) if total is None else float(total))


class _Finish:
    """The LPs of one date, all on one Highs object."""

    def __init__(self, p: _Problem, h: Any, warm_start: bool, time_limit: float, start: NDArray[np.float64]) -> None:
        self.p, self.h, self.warm, self.time_limit = p, h, warm_start, time_limit
        # The columns split at pre only where the turnover is capped or costs.
        self.has_pre = p.pre is not None and (not math.isinf(p.max_turnover) or p.cost > 0)
        self.mv = _Moves(start, p.lower, p.upper, p.pre if self.has_pre else None)
        self.solves: list[Solve] = []
        mv = self.mv
        # Rows: the total, the K exposures, then (per model) the turnover row.
        self.dense = np.empty((len(mv), 1 + p.f.shape[1]))
        self.dense[:, 0] = mv.sign
        np.multiply(p.f[mv.name], mv.sign[:, None], out=self.dense[:, 1:])
        self.total_rhs = p.total - mv.base.sum()
        self.expo0 = _expo(p.f, mv.base) - p.b  # active exposures of the columns' start

    def _turn_row(self, cap: float) -> tuple[bool, float]:
        """Whether a turnover row applies, and its upper bound on ``turn @ x``."""
        if not self.has_pre or math.isinf(cap):
            return False, math.inf
        two_way = 2 * cap
        return True, two_way - min(two_way * 1e-9 + 1e-9, two_way / 2) - self.mv.turn0

    def _columns(self, turnover: bool, excess_scale: NDArray[np.float64] | None,
                 l1: bool = False) -> tuple[Any, Any, Any]:
        """The matrix: [total | exposures | (exposures again, for the excess) | (turnover) | (L1)],
        plus a column t for the excess."""
        blocks = [self.dense]
        if excess_scale is not None:
            blocks.append(self.dense[:, 1:])
        if turnover:
            blocks.append(self.mv.turn[:, None])
        if l1:
            blocks.append(np.ones((len(self.mv), 1)))
        dense = np.hstack(blocks) if len(blocks) > 1 else self.dense
        if excess_scale is None:
            return _csc(dense)
        start, index, value = _csc(dense)
        k = len(excess_scale)
        rows = np.concatenate([np.arange(1, k + 1), np.arange(k + 1, 2 * k + 1)]).astype(np.int32)
        vals = np.concatenate([-excess_scale, excess_scale])
        keep = vals != 0
        return (np.append(start, start[-1] + keep.sum()).astype(np.int32), np.concatenate([index, rows[keep]]),
                np.concatenate([value, vals[keep]]))

    def _solve(self, stage: str, cost: NDArray[np.float64], band: NDArray[np.float64], cap: float,
               excess_scale: NDArray[np.float64] | None = None, tighten: bool = True
               ) -> tuple[NDArray[np.float64] | None, bool]:
        """Pass and solve one model; the column values when optimal."""
        t0 = time.perf_counter()
        mv, lim = self.mv, (tightened(band) if tighten else band)
        turnover, turn_upper = self._turn_row(cap)
        lo_e, hi_e = -lim - self.expo0, lim - self.expo0
        if excess_scale is None:
            row_lower = np.concatenate([[self.total_rhs], lo_e])
            row_upper = np.concatenate([[self.total_rhs], hi_e])
        else:
            row_lower = np.concatenate([[self.total_rhs], np.full(len(lim), -np.inf), lo_e])
            row_upper = np.concatenate([[self.total_rhs], hi_e, np.full(len(lim), np.inf)])
        if turnover:
            row_lower = np.append(row_lower, -np.inf)
            row_upper = np.append(row_upper, turn_upper)
        col_lower, col_upper = mv.lo, mv.hi
        if excess_scale is not None:
            col_lower, col_upper = np.append(col_lower, 0.0), np.append(col_upper, np.inf)
        _pass(self.h, cost, col_lower, col_upper, row_lower, row_upper, self._columns(turnover, excess_scale))
        if self.warm:
            _pricing(self.h, _DEVEX)
        solve, optimal = _run(self.h, stage, t0)
        self.solves.append(solve)
        return (np.asarray(self.h.getSolution().col_value) if optimal else None), optimal

    def nearest(self, band: NDArray[np.float64], cap: float) -> NDArray[np.float64] | None:
        x, _ = self._solve("nearest", np.ones(len(self.mv)), band, cap)
        return x

    def score_cost(self) -> NDArray[np.float64]:
        """-score @ w per move column, plus the cost of its turnover."""
        p, mv = self.p, self.mv
        assert p.score is not None
        cost = -p.score[mv.name] * mv.sign
        return cost + p.cost * mv.turn if self.has_pre and p.cost > 0 else cost

    def score_stage(self, d: float, budget: float, band: NDArray[np.float64],
                    cap: float) -> NDArray[np.float64] | None:
        """Maximise score @ w - cost * turnover within L1 budget * d (d: the nearest row's distance from
        the start); None when not optimal."""
        mv, h = self.mv, self.h
        cost = self.score_cost()
        room = budget * d * (1 + 1e-9) + 1e-12 - mv.l1_0
        every = np.arange(len(mv), dtype=np.int32)
        t0 = time.perf_counter()
        if self.warm:
            h.changeColsCost(len(mv), every, cost)
            h.addRow(-np.inf, room, len(mv), every, np.ones(len(mv)))
            _pricing(h, _STEEPEST)
        else:
            turnover, turn_upper = self._turn_row(cap)
            lim = tightened(band)
            row_lower = np.concatenate([[self.total_rhs], -lim - self.expo0, [-np.inf] * turnover, [-np.inf]])
            row_upper = np.concatenate([[self.total_rhs], lim - self.expo0, [turn_upper] * turnover, [room]])
            _pass(h, cost, mv.lo, mv.hi, row_lower, row_upper, self._columns(turnover, None, l1=True))
        solve, optimal = _run(h, "score", t0)
        self.solves.append(solve)
        return np.asarray(h.getSolution().col_value) if optimal else None

    def least_excess(self, cap: float) -> float | None:
        """The smallest uniform relative excess of the limits for which a row exists; None if none does."""
        p, mv = self.p, self.mv
        scale = _scale(p.limits)
        cost = np.zeros(len(mv) + 1)
        cost[-1] = 1.0
        # No tightening here: the row solved for afterwards has a margin on t.
        x, _ = self._solve("excess", cost, p.limits, cap, excess_scale=scale, tighten=False)
        if x is None:
            return None
        t = max(float(x[-1]), 0.0)
        return t + 2e-6 * (1 + t) + 2e-9 / float(scale.min()) if scale.size else 0.0

    def least_turnover(self, band: NDArray[np.float64]) -> float | None:
        """The smallest one-way turnover from pre within `band`; None if no row is within it."""
        x, _ = self._solve("turnover", self.mv.turn.copy(), band, math.inf)
        if x is None:
            return None
        return (self.mv.turn0 + _dot(self.mv.turn, x)) / 2


def _refusal(p: _Problem, w: NDArray[np.float64], band: NDArray[np.float64], cap: float) -> str:
    """Why a row cannot be handed back; empty when it can."""
    if not (np.isfinite(w).all() and (w >= p.lower).all() and (w <= p.upper).all()):
        return "weights outside their bounds"
    if abs(w.sum() - p.total) > 1e-10 * max(1.0, abs(p.total)):
        return "total changed"
    over = ~within(_expo(p.f, w) - p.b, band)
    if over.any():
        return f"exposure {int(np.argmax(over))} over its limit"
    if p.pre is not None and np.abs(w - p.pre).sum() / 2 > cap * (1 + TOLERANCE) + FLOOR:
        return "turnover over its cap"
    return ""


def _budget(budget: Any) -> float | str:
    if isinstance(budget, str):
        if budget != "nearest":
            raise ValueError(f'budget must be a number >= 1 or "nearest", got {budget!r}')
        return budget
    if isinstance(budget, bool) or not isinstance(budget, (int, float, np.integer, np.floating)):
        raise TypeError(f'budget must be a number >= 1 or "nearest", not {type(budget).__name__}')
    if not budget >= 1 or math.isinf(budget):
        raise ValueError(f'budget must be a finite number >= 1 (1: the best of the nearest rows) or "nearest", '
                         f"got {budget}")
    return float(budget)


def _finish(p: _Problem, h: Any, *, budget: float | str, cap_gives_way: bool, warm_start: bool,
            time_limit: float) -> tuple[NDArray[np.float64] | None, str, str, float, tuple[Solve, ...], float]:
    """The finish of one date: (weights or None, status, gave_way, excess, solves, d*)."""
    fin = _Finish(p, h, warm_start, time_limit, p.w0)
    band, cap, gave, excess = p.limits, p.max_turnover, [], 0.0

    def done(w: NDArray[np.float64] | None, status: str, d: float = math.nan):
        return w, status, ", ".join(gave), excess, tuple(fin.solves), d

    x = fin.nearest(band, cap)
    if x is None and fin.solves[-1].status != "Infeasible":
        return done(None, fin.solves[-1].status)
    has_cap = p.pre is not None and not math.isinf(cap)
    if x is None and has_cap and cap_gives_way:
        least = fin.least_turnover(band)
        if least is None:
            if fin.solves[-1].status != "Infeasible":
                return done(None, fin.solves[-1].status)
            t = fin.least_excess(math.inf)
            if t is None:
                return done(None, f"{fin.solves[-1].status}: the bounds leave no portfolio of this total")
            excess, band = t, relaxed(p.limits, t)
            gave.append("limits")
            least = fin.least_turnover(band)
            if least is None:
                return done(None, fin.solves[-1].status)
        if least > cap * (1 - 1e-9):  # (a cap just above the least one was missed by the solver's tolerance)
            cap = max(least, cap) * (1 + 1e-6) + 1e-9
            gave.append("turnover")
        x = fin.nearest(band, cap)
    elif x is None:
        t = fin.least_excess(cap)
        if t is None:
            what = "the bounds and the turnover cap" if has_cap else "the bounds"
            return done(None, f"{fin.solves[-1].status}: {what} leave no portfolio of this total")
        excess, band = t, relaxed(p.limits, t)
        gave.append("limits")
        x = fin.nearest(band, cap)
    for _ in range(3):  # the excess found may need a little more room in the solve that follows
        if x is not None or not gave or fin.solves[-1].status != "Infeasible":
            break
        if "limits" in gave:
            excess = excess * 1.001 + 1e-6
            band = relaxed(p.limits, excess)
        else:
            cap = cap * 1.001 + 1e-7
        x = fin.nearest(band, cap)
    if x is None:
        return done(None, fin.solves[-1].status)
    status = fin.solves[-1].status
    d = fin.mv.l1_0 + float(x.sum())
    if budget != "nearest" and p.score is not None:
        x2 = fin.score_stage(d, float(budget), band, cap)
        if x2 is not None:
            x = x2
        else:
            status = f"{status} (score stage: {fin.solves[-1].status})"
    w = np.clip(fin.mv.weights(x), p.lower, p.upper)
    why = _refusal(p, w, band, cap)
    if why:
        return done(None, f"refused ({why}): {status}", d)
    if "turnover" in gave and np.abs(w - p.pre).sum() / 2 <= p.max_turnover * (1 + TOLERANCE) + FLOOR:
        gave.remove("turnover")  # the row found keeps the cap after all
    return done(w, status, d)


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
    w0_ = _vector("w0", w0)
    f = np.asarray(factors, dtype=np.float64)
    bench = (_expo(f, w0_) - _vector("expo", expo)) if f.ndim == 2 and len(f) == len(w0_) else np.zeros(0)
    p = _problem(w0_, None, caps, f, bench, limits, None, math.inf, None, 0.0)
    h = solver if solver is not None else _solver(warm_start, time_limit)
    fin = _Finish(p, h, warm_start, time_limit, p.w0)
    x = fin.nearest(p.limits, math.inf)
    s = fin.solves[-1]
    w = None if x is None else np.clip(fin.mv.weights(x), 0.0, p.upper)
    return Solution(w, s.status, s.seconds, s.iterations)


class Finisher:
    """What Kestrel calls on each date that needs finishing; one per run.

    ``Kestrel.run(..., finish="exact")`` makes one with the defaults; pass
    your own ``finish=Finisher(...)`` to choose its options and to read
    ``solutions`` afterwards: a :class:`Record` per date, in order.

    Parameters
    ----------
    budget : float >= 1 or "nearest", default DEFAULT_BUDGET
        How far the score stage may move the row: up to ``budget`` times the
        L1 distance of the nearest row inside the limits. "nearest" returns
        the nearest row itself (no score stage).
    cap_gives_way : bool, default False
        Whether the turnover cap may give way, before the limits do, on a
        date where no row holds both. The bounds never give way.
    warm_start : bool, default True
        Start the dual simplex at the row itself, and the score stage from
        the nearest row's basis; False leaves the start to HiGHS (presolve on).
    time_limit : float, default 60
        Seconds for each solve.

    A call ``finisher(w0, lower, upper, factors, bench_expo, limits, pre,
    max_turnover, score, cost)`` returns ``(weights or None, status,
    gave_way, excess)``: status is HiGHS' model status of the last solve, or
    says why there is no answer; gave_way is "" or names what gave way
    ("limits", "turnover", "limits, turnover"); excess is the relative excess
    t the limits gave way by (0 when they held): the row keeps
    ``within(exposures, limits, excess)``.
    """

    def __init__(self, *, budget: float | str = DEFAULT_BUDGET, cap_gives_way: bool = False, warm_start: bool = True,
                 time_limit: float = 60.0) -> None:
        self.budget = _budget(budget)
        if not isinstance(cap_gives_way, (bool, np.bool_)):
            raise TypeError(f"cap_gives_way must be True or False, not {type(cap_gives_way).__name__}")
        self.cap_gives_way = bool(cap_gives_way)
        self.warm_start = bool(warm_start)
        self.time_limit = _number("time_limit", time_limit)
        if self.time_limit == 0:
            raise ValueError("time_limit must be > 0 seconds")
        self.solver = _solver(self.warm_start, self.time_limit)
        self.solutions: list[Record] = []

    def __call__(self, w0: ArrayLike, lower: ArrayLike, upper: ArrayLike, factors: ArrayLike, bench_expo: ArrayLike,
                 limits: ArrayLike, pre: ArrayLike | None = None, max_turnover: float = math.inf,
                 score: ArrayLike | None = None, cost: float = 0.0
                 ) -> tuple[NDArray[np.float64] | None, str, str, float]:
        p = _problem(w0, lower, upper, factors, bench_expo, limits, pre, max_turnover, score, cost)
        w, status, gave_way, excess, solves, d = _finish(p, self.solver, budget=self.budget,
                                                         cap_gives_way=self.cap_gives_way,
                                                         warm_start=self.warm_start, time_limit=self.time_limit)
        moved = float(np.abs(w - p.w0).sum()) if w is not None else math.nan
        self.solutions.append(Record(status, solves, d, moved, gave_way, excess))
        return w, status, gave_way, excess


def best_feasible(score: ArrayLike, caps: ArrayLike, total: float, factors: ArrayLike, bench_expo: ArrayLike,
                  limits: ArrayLike, *, lower: ArrayLike | None = None, pre: ArrayLike | None = None,
                  max_turnover: float = math.inf, cost: float = 0.0, excess: float = 0.0,
                  time_limit: float = 60.0) -> Solution:
    """The exact optimum a finished row is measured against: maximise
    ``score @ w - cost * sum |w - pre|`` with ``lower <= w <= caps`` (lower
    0 by default), ``sum(w) = total``, ``|factors.T @ w - bench_expo| <=
    relaxed(limits, excess)`` and, with `pre`, ``sum |w - pre| / 2 <=
    max_turnover``."""
    p = _problem(None, lower, caps, factors, bench_expo, limits, pre, max_turnover, score, cost,
                 total=_number("total", total))
    if p.score is None:
        raise ValueError("score must be given")
    start = np.clip(p.pre, p.lower, p.upper) if p.pre is not None else p.lower
    fin = _Finish(p, _solver(False, time_limit), False, time_limit, start)
    x, _ = fin._solve("best", fin.score_cost(), relaxed(p.limits, _number("excess", excess)), p.max_turnover)
    s = fin.solves[-1]
    w = None if x is None else np.clip(fin.mv.weights(x), p.lower, p.upper)
    return Solution(w, s.status, s.seconds, s.iterations)

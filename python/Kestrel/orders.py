"""Orders a trading desk can send: target weights rounded to board lots,
within the cash, the blocks and the exposure limits.

::

    from Kestrel.orders import to_orders, orders_from_run

    o = to_orders(run.weights[-1], run.univ_idx, 1e8, "close", row=run.rows[-1], held=held,
                  risk_names=run.risk_names, limits=run.limits, bench_symbol="000905")
    o                      # one screen: trades, cash, distance, exposures
    o.table                # one row per security (pandas)
    o.exposures            # before and after rounding, beside the limits (pandas)
    o.to_csv("orders.csv") # the non-zero orders, written atomically

    # The same from a run in one call, its blocks, limits and benchmark included:
    o = orders_from_run(run, held, 1e8, path="orders.csv")

The rules (docs/orders.md has them in full):

- a buy is whole lots; a sell is whole lots, or whole lots plus the whole odd
  remainder held (an odd lot goes at once, never in part);
- no buy of a name blocked for buying, no sell of one blocked for selling, no
  order for a name without a positive price (its shares stay);
- rounding never turns a buy into a sell or a sell into a buy, and never
  opens a name whose target weight is 0;
- the buys never cost more than the cash plus what the sells bring.

Within those rules each name may take one of a few quantities around its
unrounded target (the two allowed below it and the two above, and what is
held). The methods choose among them:

- ``"round"``: the nearest quantity, then a greedy pass that keeps within the
  cash and spends what is left while that brings the invested total nearer the
  target's;
- ``"repair"``: the same, then a greedy pass that also brings back within its
  limit every exposure the rounding pushed over (numpy only);
- ``"lp"`` (the default): the nearest quantities mended by a linear program
  that keeps the cash, the invested total and every limit at the least L1
  distance, its few fractional steps then fixed (needs ``highspy``).

Pandas is needed only for :attr:`Orders.table` and :attr:`Orders.exposures`;
every column is also a numpy array on the result.
"""

from __future__ import annotations

import importlib
import math
import os
import time
import uuid
import warnings
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from Kestrel.tables import weight_field

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["CSV_COLUMNS", "DEFAULT_METHOD", "METHODS", "LimitWarning", "Orders", "UnpricedWarning",
           "orders_from_run", "to_orders"]

#: The rounding methods, see the module's docstring.
METHODS = ("round", "repair", "lp")
#: What :func:`to_orders` uses when not told.
DEFAULT_METHOD = "lp"
#: Columns of the file :meth:`Orders.to_csv` writes.
CSV_COLUMNS = ("code", "side", "shares", "price", "notional")

# An exposure counts as over its limit beyond this relative margin, a run's own (with an
# absolute floor of 1e-15 here, where a run's is 1e-12).
_LIMIT_TOL = 1e-9
# Cost of the invested total's gap to the target's, per unit of weight: the
# cash's own distance, as if it were one more name. So leftover cash goes to
# names below their target weight; a name is never pushed above its target
# only to spend cash (cash meant for a name that cannot be bought stays cash).
_GAP_COST = 1.0
# Weight of normalised limit excess against the L1 distance: a limit comes first.
_EXCESS_COST = 1e3
# Candidates kept on each side of the unrounded target.
_SIDE = 2
# Most solves of the LP with bounds tightened where rounding broke them.
_ROUNDS = 8
# Seconds HiGHS may take (a 2,000-name rounding takes milliseconds).
_TIME_LIMIT = 10.0
_MAX_NAMED = 12


class UnpricedWarning(RuntimeWarning):
    """Names without a positive price got no order; their shares stay."""


class LimitWarning(RuntimeWarning):
    """Rounding left exposures over limits that the target weights kept (or further over)."""


def _named(items: Sequence[Any] | NDArray[Any]) -> str:
    shown = ", ".join(str(x) for x in list(items)[:_MAX_NAMED])
    return shown + (f" and {len(items) - _MAX_NAMED} more" if len(items) > _MAX_NAMED else "")


@dataclass(frozen=True, repr=False, eq=False)
class Orders:
    """Target shares and the orders that reach them (N securities, K risk names).

    Attributes
    ----------
    codes : ndarray, N
        The library's security codes (text), or its column numbers when it keeps none.
    columns : ndarray of int64, N
        The library column of each security (``univ_idx``).
    held, target, order : ndarray of int64, N
        Shares held, shares after the orders, and the order (``target - held``:
        positive buys, negative sells).
    price : ndarray, N
        Price per share; NaN where it was missing or not positive (no order).
    weight : ndarray, N
        The target weights given.
    weight_rounded : ndarray, N
        ``target * price / capital``; NaN for a held name without a price.
    capital, cash_before, cash : float
        Capital, cash before the orders, and cash left after all of them.
    distance : float
        L1 distance between ``weight`` and ``weight_rounded`` (a held name
        without a price left out).
    method : str
    lot : int
    unpriced : tuple
        Codes of names without a positive price.
    risk_names : tuple of str
    limits : ndarray, K
        NaN where no limit was given.
    exposure_before, exposure_after : ndarray, K
        Active exposures of the target weights and of the rounded ones.
    over_limit : ndarray of bool, K
        ``|exposure_after|`` above its limit.
    unmet : tuple of str
        Risk names that rounding left over their limit, and further over than
        the target weights were (those within it: over only after rounding).
    seconds : float
        Time spent in :func:`to_orders`.
    """

    codes: NDArray[Any]
    columns: NDArray[np.int64]
    held: NDArray[np.int64]
    target: NDArray[np.int64]
    order: NDArray[np.int64]
    price: NDArray[np.float64]
    weight: NDArray[np.float64]
    weight_rounded: NDArray[np.float64]
    capital: float
    cash_before: float
    cash: float
    distance: float
    method: str
    lot: int
    unpriced: tuple[Any, ...]
    risk_names: tuple[str, ...]
    limits: NDArray[np.float64]
    exposure_before: NDArray[np.float64]
    exposure_after: NDArray[np.float64]
    over_limit: NDArray[np.bool_]
    unmet: tuple[str, ...]
    seconds: float

    @property
    def side(self) -> NDArray[np.str_]:
        """"buy", "sell" or "" per security."""
        return np.where(self.order > 0, "buy", np.where(self.order < 0, "sell", ""))

    @property
    def notional(self) -> NDArray[np.float64]:
        """Signed value of each order, ``order * price`` (buys positive, 0 where no order)."""
        return np.where(self.order != 0, self.order * np.nan_to_num(self.price), 0.0)

    @property
    def table(self) -> pd.DataFrame:
        """One row per security: code, held, target, order, side, price,
        notional (signed), weight, weight_rounded."""
        import pandas as pd

        return pd.DataFrame({"code": self.codes, "held": self.held, "target": self.target, "order": self.order,
                             "side": self.side, "price": self.price, "notional": self.notional,
                             "weight": self.weight, "weight_rounded": self.weight_rounded})

    @property
    def exposures(self) -> pd.DataFrame | None:
        """One row per risk name: before, after, limit and over (after beyond the limit); None without risk names."""
        if not self.risk_names:
            return None
        import pandas as pd

        return pd.DataFrame({"before": self.exposure_before, "after": self.exposure_after, "limit": self.limits,
                             "over": self.over_limit}, index=pd.Index(list(self.risk_names), name="risk_name"))

    def to_csv(self, path: str | os.PathLike[str]) -> None:
        """Write the non-zero orders to `path`: columns code, side, shares and
        notional (both unsigned: the side gives the direction) and price.

        The file is written beside `path` under a temporary name and then
        renamed, so a reader never sees half of it.
        """
        path = os.fspath(path)
        folder = os.path.dirname(os.path.abspath(path))
        rows = np.flatnonzero(self.order)
        lines = [",".join(CSV_COLUMNS)]
        side = self.side
        for i in rows:
            lines.append(f"{_csv_text(self.codes[i])},{side[i]},{abs(int(self.order[i]))},"
                         f"{self.price[i]:.4f},{abs(self.order[i] * self.price[i]):.2f}")
        # Created like any new file (the umask's mode), under a name no one else uses.
        tmp = os.path.join(folder, f".{os.path.basename(path)}.{os.getpid()}.{uuid.uuid4().hex}.tmp")
        try:
            with open(tmp, "x", newline="", encoding="utf-8") as f:
                f.write("\n".join(lines) + "\n")
                f.flush()
                os.fsync(f.fileno())
            os.replace(tmp, path)
        except BaseException:
            try:
                os.unlink(tmp)
            except OSError:
                pass
            raise

    def __repr__(self) -> str:
        buy, sell = self.order > 0, self.order < 0
        value = np.abs(self.notional)
        lines = [f"Orders ({self.method}, lots of {self.lot}): {int(buy.sum())} buys {value[buy].sum():,.0f}, "
                 f"{int(sell.sum())} sells {value[sell].sum():,.0f}; "
                 f"{int((self.target > 0).sum())} names held after",
                 f"  capital {self.capital:,.0f}  cash {self.cash_before:,.0f} before, {self.cash:,.0f} after "
                 f"({self.cash / self.capital:.3%})",
                 f"  L1 distance to the target weights {self.distance:.4%}"]
        if self.unpriced:
            lines.append(f"  no price, no order: {_named(self.unpriced)}")
        if self.risk_names:
            lim = self.limits
            has = np.isfinite(lim) & (lim > 0)
            if has.any():
                ratio_b = np.abs(self.exposure_before[has]) / lim[has]
                ratio_a = np.abs(self.exposure_after[has]) / lim[has]
                lines.append(f"  worst |exposure| / limit: {ratio_b.max():.3f} before, {ratio_a.max():.3f} after "
                             f"({len(self.risk_names)} risk names)")
            if self.unmet:
                lines.append(f"  limits the lots did not allow: {_named(self.unmet)}")
        return "\n".join(lines)


def _csv_text(x: Any) -> str:
    s = str(x)
    return '"' + s.replace('"', '""') + '"' if any(c in s for c in ',"\n\r') else s


# ---------------------------------------------------------------------------
# Inputs

def _number(x: Any, name: str) -> float:
    if isinstance(x, bool) or not isinstance(x, (int, float, np.integer, np.floating)) or not math.isfinite(x):
        raise ValueError(f"{name} must be a finite number, got {x!r}")
    return float(x)


def _vector(x: Any, n: int, name: str) -> NDArray[Any]:
    arr = np.asarray(x)
    if arr.shape != (n,):
        raise ValueError(f"{name} must hold one value per security of the universe ({n}), got shape {arr.shape}")
    return arr


def _real(arr: NDArray[Any], name: str) -> NDArray[np.float64]:
    if arr.dtype == bool or not (np.issubdtype(arr.dtype, np.integer) or np.issubdtype(arr.dtype, np.floating)):
        raise ValueError(f"{name} must be numbers, got {arr.dtype}")
    return arr.astype(np.float64)


def _mask(x: Any, n: int, name: str) -> NDArray[np.bool_]:
    if x is None:
        return np.zeros(n, dtype=bool)
    arr = _vector(x, n, name)
    if arr.dtype == bool:
        return arr.copy()
    if (np.issubdtype(arr.dtype, np.integer) or np.issubdtype(arr.dtype, np.floating)) and \
            np.isin(arr, (0, 1)).all():
        return arr.astype(bool)
    raise ValueError(f"{name} must be booleans (True where the name is blocked), got {arr.dtype} values")


def _held(x: Any, n: int) -> NDArray[np.int64]:
    if x is None:
        return np.zeros(n, dtype=np.int64)
    arr = _vector(x, n, "held")
    if np.issubdtype(arr.dtype, np.integer) and arr.dtype != bool:
        out = arr.astype(np.int64)
    else:
        f = _real(arr, "held")
        bad = ~np.isfinite(f) | (f != np.round(f))
        if bad.any():
            raise ValueError(f"held must be whole numbers of shares; positions {_named(np.flatnonzero(bad))} "
                             "are not")
        out = f.astype(np.int64)
    if (out < 0).any():
        raise ValueError(f"held must be shares >= 0; positions {_named(np.flatnonzero(out < 0))} are negative")
    return out


def _row(row: Any, what: str) -> int:
    if row is None:
        raise ValueError(f"row is needed to read {what} from the data library: the library row of the weights")
    if isinstance(row, bool) or not isinstance(row, (int, np.integer)) or row < 0:
        raise ValueError(f"row must be a library row (an integer >= 0), got {row!r}")
    return int(row)


def _read(lib: Any, names: list[str], row: int, univ: NDArray[np.int64], what: str) -> list[NDArray[np.float64]]:
    """Each field's values at `row` over the universe's columns."""
    out = []
    try:
        items = lib.RunLoopOnce(list(names))
    except Exception as e:  # the library's own error, with what it was asked for
        e.add_note(f"while reading {what} from the data library: {_named(names)}")
        raise
    if len(items) < len(names):
        raise ValueError(f"the data library answered {len(items)} item(s) for the {len(names)} field(s) asked for")
    for name, item in zip(names, items):
        arr = item.array
        shape = np.shape(arr)
        if len(shape) != 2:
            raise ValueError(f"data library field {name!r} must be 2-D (dates x securities), got shape {shape}")
        if row >= shape[0]:
            raise ValueError(f"row {row} is beyond data library field {name!r}, which has {shape[0]} rows")
        if len(univ) and univ.max() >= shape[1]:
            raise ValueError(f"univ_idx reaches column {univ.max()} but data library field {name!r} has "
                             f"{shape[1]} columns")
        out.append(np.asarray(np.asarray(arr[row])[univ], dtype=np.float64))
    return out


def _codes(library: str, univ: NDArray[np.int64], lib: Any) -> NDArray[Any]:
    if lib is None:
        try:
            lib = importlib.import_module(library)
        except ImportError:
            return univ.copy()
    secu = getattr(lib, "securities", None)
    codes = secu() if callable(secu) else None
    if codes is None:
        return univ.copy()
    codes = np.asarray(codes)
    if codes.ndim != 1 or (len(univ) and univ.max() >= len(codes)):
        return univ.copy()
    return codes[univ].astype(str)


# ---------------------------------------------------------------------------
# Candidates: the allowed quantities near each unrounded target

@dataclass
class _Problem:
    """Names that may trade (n), each with up to M candidate quantities, and the
    data the methods score them with. Weights are fractions of capital."""

    qty: NDArray[np.float64]  # n x M shares, sorted, +inf where no candidate
    x: NDArray[np.float64]  # n x M weights of the candidates, 0 where none
    cost: NDArray[np.float64]  # n x M |x - w|, +inf where none
    cost_add: NDArray[np.float64]  # n x M: what a candidate adds to cash (hold - candidate, CNY)
    held: NDArray[np.float64]  # n shares held
    price: NDArray[np.float64]  # n
    start: NDArray[np.intp]  # n: the nearest candidate
    fixed_total: float  # weight of the priced names that cannot trade
    target_total: float  # the target's total over the priced names
    cash: float  # CNY the buys may cost beyond what the sells bring
    capital: float
    f: NDArray[np.float64] | None  # K x n factor values
    expo_fixed: NDArray[np.float64] | None  # K: exposure of everything that cannot trade
    bound: NDArray[np.float64] | None  # K: what each exposure must stay within
    scale: NDArray[np.float64] | None  # K: the limits, to normalise excess


def _candidates(s: NDArray[np.float64], h: NDArray[np.int64], lot: int, buy: NDArray[np.bool_],
                sell: NDArray[np.bool_]) -> NDArray[np.float64]:
    """n x M sorted candidate share counts (+inf padding): the two allowed
    quantities at or below `s` and the two above, and the holding `h`.

    A buy is h + k lots; a sell leaves h - k lots or a whole number of lots
    (the odd remainder sold with them), never below 0.
    """
    hf = h.astype(np.float64)
    cols = [hf]
    kb = np.floor((s - hf) / lot)
    ka = np.floor((hf - s) / lot)
    mb = np.floor(s / lot)
    for d in range(-_SIDE + 1, _SIDE + 1):
        k = kb + d
        cols.append(np.where(buy & (k >= 1), hf + k * lot, np.inf))
        k = ka + d
        v = hf - k * lot
        cols.append(np.where(sell & (k >= 1) & (v >= 0), v, np.inf))
        m = mb + d
        v = m * lot
        cols.append(np.where(sell & (m >= 0) & (v < hf), v, np.inf))
    q = np.sort(np.stack(cols, axis=1), axis=1)
    q[:, 1:][q[:, 1:] == q[:, :-1]] = np.inf
    q = np.sort(q, axis=1)
    valid = np.isfinite(q)
    below = (q <= s[:, None]).sum(axis=1)
    pos = np.arange(q.shape[1])[None, :]
    keep = valid & (pos >= (below - _SIDE)[:, None]) & (pos < (below + _SIDE)[:, None])
    keep |= q == hf[:, None]
    q = np.sort(np.where(keep, q, np.inf), axis=1)
    width = int(np.isfinite(q).sum(axis=1).max()) if len(q) else 1
    return q[:, :max(width, 1)]


# ---------------------------------------------------------------------------
# Methods

class _State:
    """A choice of candidate per name, with its totals kept up to date."""

    def __init__(self, p: _Problem, j: NDArray[np.intp]) -> None:
        self.p = p
        self.j = j.copy()
        rows = np.arange(len(j))
        self.rows = rows
        self.total = p.fixed_total + p.x[rows, j].sum()
        self.spend = _spend(p, self.j)
        self.expo: NDArray[np.float64] | None = None
        if p.f is not None and p.expo_fixed is not None:
            self.expo = p.expo_fixed + p.f @ p.x[rows, j]

    def moves(self, step: int) -> tuple[NDArray[np.intp], NDArray[np.bool_]]:
        to = self.j + step
        ok = (to >= 0) & (to < self.p.qty.shape[1])
        to = np.where(ok, to, self.j)
        ok &= np.isfinite(self.p.qty[self.rows, to])
        return to, ok

    def set(self, i: int, to: int) -> None:
        p = self.p
        dx = p.x[i, to] - p.x[i, self.j[i]]
        self.total += dx
        if self.expo is not None and p.f is not None:
            self.expo = self.expo + p.f[:, i] * dx
        self.j[i] = to
        self.spend = _spend(p, self.j)


def _spend(p: _Problem, j: NDArray[np.intp]) -> float:
    """What the orders of choice `j` cost net of what they bring (CNY); the
    reported cash is computed by the same sum."""
    return float((p.qty[np.arange(len(j)), j] - p.held) @ p.price)


def _objective(p: _Problem, j: NDArray[np.intp]) -> tuple[float, float]:
    """Limits' excess first, then the L1 distance plus the invested total's gap (the smaller the better)."""
    st = _State(p, j)
    return (round(float(_excess(p, st.expo)), 12),
            float(p.cost[st.rows, j].sum() + _GAP_COST * abs(st.total - p.target_total)))


def _excess(p: _Problem, expo: NDArray[np.float64] | None) -> Any:
    """Normalised excess of exposures over their bounds, summed over risk names (per column of `expo`)."""
    if expo is None or p.bound is None or p.scale is None:
        return 0.0
    over = np.maximum(np.abs(expo) - p.bound[:, None] if expo.ndim == 2 else np.abs(expo) - p.bound, 0.0)
    return (over / p.scale[:, None] if expo.ndim == 2 else over / p.scale).sum(axis=0)


def _greedy(p: _Problem, j: NDArray[np.intp], limits: bool, max_steps: int = 100000) -> NDArray[np.intp]:
    """Single steps to the next candidate up or down, from choice `j`.

    Three phases: while the orders cost more than the cash, the step that
    gives up least per CNY freed; then (with `limits`) while an exposure is
    beyond its bound, the step that adds least to the objective per unit of
    excess it removes; then, while any lowers it, the step that lowers the
    objective most (the L1 distance plus the gap to the target's total, plus
    the excess with `limits`)."""
    st = _State(p, j)
    use_limits = limits and p.f is not None and p.bound is not None
    rows = st.rows
    stuck = False  # no step removes excess any more
    for _ in range(max_steps):
        over_cash = st.spend > p.cash
        if over_cash and not use_limits:
            # Many steps may be needed (sales that cannot be made leave the buys short of
            # cash): take at once the best of each name until they free enough.
            to, ok = st.moves(-1)
            freed = p.cost_add[rows, to] - p.cost_add[rows, st.j]
            ok &= freed > 0
            score = np.divide(_delta(p, st, to, ok, False), freed, out=np.full(len(ok), np.inf), where=ok)
            order = np.argsort(score)[:int(ok.sum())]
            take = order[:int(np.searchsorted(np.cumsum(freed[order]), st.spend - p.cash)) + 1]
            for i in take:
                st.set(int(i), int(to[i]))
            if not len(take):
                break
            continue
        repairing = use_limits and not over_cash and not stuck and _excess(p, st.expo) > 0
        best_score, best = (np.inf if over_cash or repairing else -1e-15), None
        for step in (1, -1):
            to, ok = st.moves(step)
            more = p.cost_add[rows, st.j] - p.cost_add[rows, to]  # what the step spends
            ok &= (more < 0) if over_cash else (st.spend + more <= p.cash)
            if not ok.any():
                continue
            if repairing:
                gain, dl1 = _excess_gain(p, st, to, ok, removing=True)
                ok &= gain > 1e-12
                score = np.divide(dl1, gain, out=np.full(len(ok), np.inf), where=ok)
            else:
                delta = _delta(p, st, to, ok, use_limits, lowering=not over_cash)
                if over_cash:
                    score = np.divide(delta, -more, out=np.full(len(ok), np.inf), where=ok)
                else:
                    score = np.where(ok, delta, np.inf)
            i = int(np.argmin(score))
            if score[i] < best_score:
                best_score, best = score[i], (i, int(to[i]))
        if best is None and repairing:
            if not _pair_step(p, st):
                stuck = True
            continue
        if best is None:
            break
        st.set(*best)
    return st.j


def _pair_step(p: _Problem, st: _State) -> bool:
    """A step that removes excess but needs more cash than is left, paid for
    by a step that frees enough cash without adding excess: the pair that
    adds least to the objective per unit of excess removed. Taken (True)
    only if the excess falls."""
    rows = st.rows
    now = _excess(p, st.expo)
    free: list[tuple[Any, ...]] = []  # (name, to, cash freed, cost) of steps that free cash, add no excess
    need: list[tuple[Any, ...]] = []  # (name, to, cash short, cost, excess removed) of steps short of cash
    for step in (1, -1):
        to, ok = st.moves(step)
        more = p.cost_add[rows, st.j] - p.cost_add[rows, to]
        gain, dl1 = _excess_gain(p, st, to, ok)
        f = np.flatnonzero(ok & (more < 0) & (gain >= -1e-15))
        free.append((f, to[f], -more[f], dl1[f]))
        g = np.flatnonzero(ok & (gain > 1e-12) & (st.spend + more > p.cash))
        need.append((g, to[g], st.spend + more[g] - p.cash, dl1[g], gain[g]))
    fi, fto, fcash, fcost = (np.concatenate(v) for v in zip(*free))
    gi, gto, gcash, gcost, ggain = (np.concatenate(v) for v in zip(*need))
    if not len(fi) or not len(gi):
        return False
    # For each step short of cash, the cheapest freeing step that frees enough:
    # by cash freed, the cheapest among those at or above each.
    order = np.argsort(fcash)
    cheapest = order.copy()
    for t in range(len(order) - 2, -1, -1):
        if fcost[cheapest[t + 1]] < fcost[order[t]]:
            cheapest[t] = cheapest[t + 1]
    at = np.searchsorted(fcash[order], gcash, side="left")
    ok = at < len(order)
    pay = cheapest[np.minimum(at, len(order) - 1)]
    ok &= fi[pay] != gi
    if not ok.any():
        return False
    score = np.where(ok, (gcost + fcost[pay]) / ggain, np.inf)
    c = int(np.argmin(score))
    k = int(pay[c])
    saved = st.j.copy()
    st.set(int(fi[k]), int(fto[k]))
    st.set(int(gi[c]), int(gto[c]))
    if st.spend <= p.cash and _excess(p, st.expo) < now - 1e-15:
        return True
    for i in np.flatnonzero(st.j != saved):
        st.set(int(i), int(saved[i]))
    return False


def _excess_gain(p: _Problem, st: _State, to: NDArray[np.intp], ok: NDArray[np.bool_], removing: bool = False
                 ) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Per step: the excess it removes, and what it adds to the L1 distance
    plus the total's gap. With `removing`, the excess is weighed only for the
    names that bear on an exposure over its bound (the others cannot remove
    any; their gain is left at 0)."""
    assert st.expo is not None and p.f is not None and p.bound is not None
    rows = st.rows
    dx = p.x[rows, to] - p.x[rows, st.j]
    gap = st.total - p.target_total
    dl1 = p.cost[rows, to] - p.cost[rows, st.j] + _GAP_COST * (np.abs(gap + dx) - abs(gap))
    gain = np.zeros(len(dx))
    moving = ok & (dx != 0)
    if removing:
        moving &= (p.f[np.abs(st.expo) > p.bound] != 0).any(axis=0)
    moved = np.flatnonzero(moving)
    if len(moved):
        gain[moved] = _excess(p, st.expo) - _excess(p, st.expo[:, None] + p.f[:, moved] * dx[moved])
    return gain, np.where(ok, dl1, 0.0)


def _delta(p: _Problem, st: _State, to: NDArray[np.intp], ok: NDArray[np.bool_], use_limits: bool,
           lowering: bool = False) -> NDArray[np.float64]:
    """Change of the objective by each name's step to `to` (only where `ok`
    matters; with `lowering`, only where it is negative: the excess is then
    weighed only for steps that lower the rest, as no step removes any)."""
    rows = st.rows
    dx = p.x[rows, to] - p.x[rows, st.j]
    gap = st.total - p.target_total
    delta = p.cost[rows, to] - p.cost[rows, st.j] + _GAP_COST * (np.abs(gap + dx) - abs(gap))
    if use_limits:
        assert st.expo is not None and p.f is not None
        now = _excess(p, st.expo)
        moved = np.flatnonzero(ok & (dx != 0) & ((delta < 0) if lowering else True))
        if len(moved):
            after = _excess(p, st.expo[:, None] + p.f[:, moved] * dx[moved])
            delta = delta.copy()
            delta[moved] += _EXCESS_COST * (after - now)
    return delta


def _solve_lp(p: _Problem) -> tuple[NDArray[np.intp] | None, str]:
    """Round with a linear program over steps between candidates, then fix the fractional steps.

    From the nearest candidate of every name, each step to the next one up
    or down is a column between 0 and 1 costing what it adds to the L1
    distance (never negative: the distance is convex in the shares and the
    start is its minimum). Rows: the invested total (its gap to the target's
    costs 1), the spend (within the cash) and every exposure (within its
    bound; excess costs :data:`_EXCESS_COST` per unit of limit). HiGHS' dual
    simplex starts at the nearest rounding, which is already optimal for the
    costs, and mends only the rows it breaks; at most one fractional step
    per row is left. Those are rounded to their nearer end; where that puts
    an exposure over its bound, the bound given to the solver is tightened
    by twice the excess and the program solved again from the same basis, a
    few times over. The greedy pass after it keeps the cash exactly.

    Returns the choice per name, or None with HiGHS' status when the solve
    did not end optimal.
    """
    try:
        import highspy
    except ImportError as e:
        raise ImportError('method="lp" needs the HiGHS solver: pip install highspy (or "kestrel[exact]"), '
                          'or choose method="repair"') from e
    from Kestrel.finish import _new_highs, _pass, tightened

    origin = p.start
    n, m = p.qty.shape
    col = np.arange(m)[None, :]
    valid = np.isfinite(p.qty)
    ui, uj = np.nonzero(valid & (col > origin[:, None]))  # step from uj - 1 up to uj
    di, dj = np.nonzero(col < origin[:, None])  # step from dj + 1 down to dj
    name = np.concatenate([ui, di])
    to = np.concatenate([uj, dj])
    frm = np.concatenate([uj - 1, dj + 1])
    rank = np.concatenate([uj - origin[ui], origin[di] - dj])  # 1 for the steps next to the start
    ns = len(name)
    dx = p.x[name, to] - p.x[name, frm]
    st = _State(p, origin)
    k = 0 if p.f is None or p.bound is None else p.f.shape[0]
    none = np.zeros(0)
    expo0, bound, scale = (none if v is None else v for v in (st.expo, p.bound, p.scale))

    # Rows: 0 the total, 1 the spend, 2.. the exposures; every coefficient a fraction of capital.
    a = np.empty((ns, 2 + k))
    a[:, 0] = dx
    a[:, 1] = (p.cost_add[name, frm] - p.cost_add[name, to]) / p.capital
    if k:
        assert p.f is not None
        a[:, 2:] = (p.f[:, name] * dx).T
    rowno = np.broadcast_to(np.arange(2 + k, dtype=np.int32), a.shape)
    keep = a != 0.0
    ncols = ns + 2 + 2 * k
    start = np.zeros(ncols + 1, dtype=np.int32)
    np.cumsum(np.concatenate([keep.sum(axis=1), np.ones(2 + 2 * k, dtype=np.int64)]), out=start[1:])
    # Slack columns, one coefficient each: the total above / below the target's, then each exposure's excess.
    index = np.concatenate([rowno[keep], [0, 0], np.repeat(2 + np.arange(k, dtype=np.int32), 2)]).astype(np.int32)
    value = np.concatenate([a[keep], [-1.0, 1.0], np.tile([-1.0, 1.0], k)])
    # The distance is linear between candidates on either side of the target,
    # so steps further out cost the same per unit of weight as nearer ones:
    # a tiny surcharge growing outward makes the solver take them in order.
    cost = np.concatenate([p.cost[name, to] - p.cost[name, frm] + 1e-5 * np.abs(dx) * rank, [_GAP_COST, _GAP_COST],
                           np.repeat(_EXCESS_COST / scale, 2) if k else []])
    gap = p.target_total - st.total
    row_lower = np.array([gap, -np.inf])
    # HiGHS meets rows to a tolerance: the greedy pass after it keeps within the cash exactly.
    row_upper = np.array([gap, (p.cash - st.spend) / p.capital])
    if k:
        b = tightened(bound)
        row_lower = np.concatenate([row_lower, -b - expo0])
        row_upper = np.concatenate([row_upper, b - expo0])
    lower = np.zeros(ncols)
    upper = np.concatenate([np.ones(ns), np.full(ncols - ns, np.inf)])

    h = _new_highs()
    h.silent()
    h.setOptionValue("presolve", "off")  # keeps the basis between the solves
    h.setOptionValue("time_limit", _TIME_LIMIT)
    # Tighter than HiGHS' own 1e-7, which is the size of some costs here; the
    # greedy pass after checks the cash and the limits exactly.
    h.setOptionValue("primal_feasibility_tolerance", 1e-9)
    h.setOptionValue("dual_feasibility_tolerance", 1e-9)
    _pass(h, cost, lower, upper, row_lower, row_upper, (start, index, value))
    h.run()
    optimal = highspy.HighsModelStatus.kOptimal
    if h.getModelStatus() != optimal:  # badly scaled (a huge step, a tiny limit): once more at HiGHS' own
        h.setOptionValue("primal_feasibility_tolerance", 1e-7)
        h.setOptionValue("dual_feasibility_tolerance", 1e-7)
        h.run()
    if h.getModelStatus() != optimal:
        return None, h.modelStatusToString(h.getModelStatus())

    rows = np.arange(n)
    step_shares = p.qty[name, to] - p.qty[name, frm]
    j = None
    for _ in range(_ROUNDS):
        if h.getModelStatus() != optimal:
            break
        col = np.asarray(h.getSolution().col_value)
        excess = col[ns + 2:].sum() > 1e-12
        if excess and j is not None:
            break  # tightened beyond reach: keep the last rounding
        shares = p.qty[rows, origin] + np.bincount(name, weights=np.round(col[:ns]) * step_shares, minlength=n)
        j = np.argmin(np.abs(np.where(valid, p.qty, np.inf) - shares[:, None]), axis=1).astype(np.intp)
        if not k or excess:
            break  # no limits, or some out of reach even in fractions: the greedy pass takes it from here
        expo = _State(p, j).expo
        assert expo is not None and p.bound is not None
        over = np.abs(expo) - p.bound
        if not (over > 0).any():
            break
        # Rounding put these over: give the solver less room on them and solve again.
        hit = np.flatnonzero(over > 0)
        cut = 2 * over[hit] + 1e-12
        hi = np.where(expo[hit] > 0, row_upper[2 + hit] - cut, row_upper[2 + hit])
        lo = np.where(expo[hit] < 0, row_lower[2 + hit] + cut, row_lower[2 + hit])
        if (lo > hi).any():
            break
        row_lower[2 + hit], row_upper[2 + hit] = lo, hi
        for row, low, high in zip((2 + hit).tolist(), lo.tolist(), hi.tolist()):  # highspy 1.7 has no batch form
            h.changeRowBounds(row, low, high)
        h.run()
    return (origin if j is None else j), "Optimal"


# ---------------------------------------------------------------------------

def to_orders(
    weights: ArrayLike,
    univ_idx: ArrayLike,
    capital: float,
    prices: str | ArrayLike,
    *,
    held: ArrayLike | None = None,
    lot: int = 100,
    no_buy: ArrayLike | None = None,
    no_sell: ArrayLike | None = None,
    row: int | None = None,
    risk_names: Sequence[str] | None = None,
    limits: ArrayLike | None = None,
    bench_symbol: str | None = None,
    method: str = DEFAULT_METHOD,
    cash: float | None = None,
    library: str = "VelaIntradayModel",
) -> Orders:
    """Round one row of target weights to the shares a desk can trade.

    Parameters
    ----------
    weights : array_like, shape (N,)
        Target weights over the universe, fractions of `capital` (>= 0,
        summing to at most 1), e.g. a run's last row.
    univ_idx : array_like of int, shape (N,)
        The data library column of each weight.
    capital : float
        Cash plus the value of what is held (> 0), in the prices' currency.
    prices : str or array_like, shape (N,)
        Price per share over the universe (NaN or 0 where missing: no order),
        or a data library field read at `row`.
    held : array_like of int, shape (N,), optional
        Shares held (whole numbers >= 0); none by default.
    lot : int, default 100
        Board lot: buys are whole lots, sells whole lots or the odd remainder with them.
    no_buy, no_sell : array_like of bool, shape (N,), optional
        Names that cannot be bought / sold today.
    row : int, optional
        Library row to read `prices` (when a field) and the risk data at.
    risk_names : sequence of str, optional
        Factor fields and sector formulas whose active exposures to report and keep.
    limits : array_like, shape (K,), optional
        A limit per risk name (>= 0); without them exposures are only reported.
    bench_symbol : str, optional
        Index code or benchmark-weight field; needed with `risk_names`.
    method : {"lp", "repair", "round"}
        How to round, see the module's docstring; "lp" needs ``highspy``.
    cash : float, optional
        Cash on hand (>= 0); default `capital` minus the value of the held
        shares at `prices` (a held name without a price counted at its
        target weight).
    library : str, default "VelaIntradayModel"

    Returns
    -------
    Orders

    Raises
    ------
    ValueError
        For an argument that is not what is described above, naming it.

    Warns
    -----
    UnpricedWarning
        Once, naming the codes without a positive price.
    LimitWarning
        Naming the risk names that rounding left over their limit although
        the target weights kept them.
    """
    t0 = time.perf_counter()
    if method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, got {method!r}")
    univ = np.asarray(univ_idx)
    if univ.ndim != 1 or (univ.size and (univ.dtype == bool or not np.issubdtype(univ.dtype, np.integer))):
        raise ValueError(f"univ_idx must be a 1-D array of integers (library columns), got shape {univ.shape} "
                         f"of {univ.dtype}")
    univ = univ.astype(np.int64)
    n = len(univ)
    if n and univ.min() < 0:
        raise ValueError("univ_idx must be library columns >= 0")
    w = _real(_vector(weights, n, "weights"), "weights")
    if not np.isfinite(w).all():
        raise ValueError(f"weights must be finite; positions {_named(np.flatnonzero(~np.isfinite(w)))} are not")
    if (w < 0).any():
        raise ValueError(f"weights must be >= 0 (long only); positions {_named(np.flatnonzero(w < 0))} are negative")
    if w.sum() > 1 + 1e-6:
        raise ValueError(f"weights sum to {w.sum():.6g}; they are fractions of capital and must sum to at most 1")
    capital = _number(capital, "capital")
    if capital <= 0:
        raise ValueError(f"capital must be > 0 (cash plus the value held), got {capital!r}")
    if isinstance(lot, bool) or not isinstance(lot, (int, np.integer)) or lot < 1:
        raise ValueError(f"lot must be an integer >= 1 (shares per board lot), got {lot!r}")
    lot = int(lot)
    h = _held(held, n)
    blocked_buy = _mask(no_buy, n, "no_buy")
    blocked_sell = _mask(no_sell, n, "no_sell")
    names = [] if risk_names is None else list(risk_names)
    if isinstance(risk_names, str) or not all(isinstance(x, str) for x in names):
        raise ValueError("risk_names must be a sequence of str (factor fields and sector formulas)")
    lim = None
    if limits is not None:
        if not names:
            raise ValueError("limits were given without risk_names; pass the risk name of each limit")
        lim = _real(_vector(limits, len(names), "limits"), "limits")
        if not np.isfinite(lim).all() or (lim < 0).any():
            raise ValueError("limits must be finite and >= 0, one per risk name")
    if names and bench_symbol is None:
        raise ValueError("bench_symbol is needed with risk_names: the benchmark code (e.g. \"000905\") the "
                         "active exposures are measured against")
    if cash is not None:
        cash = _number(cash, "cash")
        if cash < 0:
            raise ValueError(f"cash must be >= 0, got {cash!r}")

    lib = None
    if isinstance(prices, str):
        r = _row(row, f"prices {prices!r}")
        lib = importlib.import_module(library)
        p = _read(lib, [prices], r, univ, "prices")[0]
        p = np.where(np.isfinite(p) & (p > 0), p, np.nan)
    else:
        p = _real(_vector(prices, n, "prices"), "prices")
        if np.isinf(p).any() or (p < 0).any():
            bad = np.flatnonzero(np.isinf(p) | (p < 0))
            raise ValueError(f"prices must be > 0 (NaN where missing); positions {_named(bad)} are negative or "
                             "infinite")
        p = np.where(p > 0, p, np.nan)
    f = bench_expo = None
    if names:
        r = _row(row, "the risk data")
        lib = lib or importlib.import_module(library)
        big = np.finfo(np.float64).max
        f = np.nan_to_num(np.stack(_read(lib, names, r, univ, "risk_names")), nan=0.0, posinf=big, neginf=-big)
        field = weight_field(str(bench_symbol))
        raw = np.nan_to_num(_read(lib, [field], r, univ, "the benchmark of bench_symbol")[0], nan=0.0, posinf=big,
                            neginf=-big)
        if not raw.sum() > 0:
            raise ValueError(f"benchmark field {field!r} has no weight over the universe on row {r}")
        bench_expo = f @ (raw / raw.sum())
    codes = _codes(library, univ, lib)

    priced = np.isfinite(p)
    unpriced = np.flatnonzero(~priced & ((w > 0) | (h > 0)))
    held_value = float(h[priced] @ p[priced])
    guessed = float(w[~priced & (h > 0)].sum() * capital)
    if cash is None:
        cash = capital - held_value - guessed
        if cash < -1e-9 * capital:
            raise ValueError(f"capital ({capital:,.2f}) is less than the value held at these prices "
                             f"({held_value + guessed:,.2f}); capital is cash plus the value held")
        cash = max(cash, 0.0)
    if len(unpriced):
        warnings.warn(f"no positive price for {len(unpriced)} name(s), so no order: {_named(codes[unpriced])}; "
                      "held shares stay" + (" (counted at their target weight)" if guessed else ""),
                      UnpricedWarning, stacklevel=2)

    # Names that may trade: priced, wanted or held, and free to move toward the target.
    s = np.where(priced, w * capital / np.where(priced, p, 1.0), h)
    buy = priced & (s > h) & ~blocked_buy
    sell = priced & (s < h) & ~blocked_sell
    act = np.flatnonzero(buy | sell)
    fixed = np.flatnonzero(~(buy | sell))
    # A held name without a price counts at its target weight (its value is not known).
    x_fixed = np.where(priced, h * np.where(priced, p, 0.0) / capital, np.where(h > 0, w, 0.0))[fixed]

    q = _candidates(s[act], h[act], lot, buy[act], sell[act])
    pa = p[act][:, None]
    x = np.where(np.isfinite(q), q * pa / capital, 0.0)
    cost = np.where(np.isfinite(q), np.abs(x - w[act][:, None]), np.inf)
    cost_add = np.where(np.isfinite(q), (h[act][:, None] - q) * pa, 0.0)
    start = np.argmin(cost, axis=1).astype(np.intp)  # the nearest candidate
    fixed_priced = fixed[priced[fixed]]
    prob = _Problem(qty=q, x=x, cost=cost, cost_add=cost_add, held=h[act].astype(np.float64),
                    price=p[act], start=start,
                    fixed_total=float(h[fixed_priced] @ p[fixed_priced] / capital),
                    target_total=float(w[priced].sum()), cash=cash, capital=capital,
                    f=None, expo_fixed=None, bound=None, scale=None)
    expo_before = np.full(len(names), np.nan)
    if f is not None:
        assert bench_expo is not None
        expo_before = f @ w - bench_expo
        prob.f = f[:, act]
        prob.expo_fixed = f[:, fixed] @ x_fixed - bench_expo
        if lim is not None:
            prob.bound = np.maximum(lim, np.abs(expo_before))
            prob.scale = np.maximum(lim, 1e-12)

    j = _greedy(prob, start, limits=False)
    if method == "repair":
        j = _greedy(prob, j, limits=True)
    elif method == "lp" and len(act):
        j_lp, status = _solve_lp(prob)
        j = _greedy(prob, j, limits=True)
        if j_lp is None:
            warnings.warn(f"HiGHS ended the rounding with status {status!r}; the greedy repair was used instead",
                          RuntimeWarning, stacklevel=2)
        else:
            # The solver's tolerances and its rounding: within the cash exactly, then any gain left. Where
            # lots are coarse the greedy repair now and then does better: the better of the two is kept.
            j_lp = _greedy(prob, j_lp, limits=True)
            if _objective(prob, j_lp) <= _objective(prob, j):
                j = j_lp

    target = h.copy()
    if len(act):
        target[act] = q[np.arange(len(act)), j].astype(np.int64)
    order = target - h
    spend = _spend(prob, j) if len(act) else 0.0
    x_after = np.where(priced, target * np.where(priced, p, 0.0) / capital, np.nan)
    x_after[~priced & (h == 0)] = 0.0
    distance = float(np.nansum(np.abs(x_after - w)))
    expo_after = np.full(len(names), np.nan)
    if f is not None:
        assert bench_expo is not None
        expo_after = f @ np.where(np.isnan(x_after), w, x_after) - bench_expo
    lim_out = np.full(len(names), np.nan) if lim is None else lim
    over = np.abs(expo_after) > lim_out * (1 + _LIMIT_TOL) + 1e-15
    # Over the limit, and further than the target weights were.
    worse = over & (np.abs(expo_after) > np.abs(expo_before) * (1 + _LIMIT_TOL) + 1e-15)
    unmet = tuple(nm for nm, bad in zip(names, worse) if bad)
    if unmet:
        warnings.warn(f"the lots allow no rounding that keeps {len(unmet)} exposure(s) within the limit (or, "
                      f"where the target weights were over it, no further over): {_named(unmet)}",
                      LimitWarning, stacklevel=2)
    return Orders(codes=codes, columns=univ, held=h, target=target, order=order, price=p, weight=w,
                  weight_rounded=x_after, capital=capital, cash_before=float(cash), cash=float(cash - spend),
                  distance=distance, method=method, lot=lot, unpriced=tuple(codes[unpriced].tolist()),
                  risk_names=tuple(names), limits=lim_out, exposure_before=expo_before,
                  exposure_after=expo_after, over_limit=over, unmet=unmet, seconds=time.perf_counter() - t0)


def orders_from_run(run: Any, held: ArrayLike | None, capital: float, *, prices: str | ArrayLike = "close",
                    row: int | None = None, path: str | os.PathLike[str] | None = None, **kw: Any) -> Orders:
    """Tomorrow's orders from a run's row of weights (its last by default) and the shares held.

    Parameters
    ----------
    run : Kestrel.RunResult
        Its ``weights``, ``rows`` and ``univ_idx``; its ``risk_names``,
        ``limits`` and ``state.bench_symbol`` for the exposures, and its
        ``no_buy`` / ``no_sell`` blocks of that row when it has them.
    held : array_like of int, shape (N,), or None
    capital : float
    prices : str or array_like, default "close"
        A data library field read at `row`, or prices over the universe.
    row : int, optional
        The library row whose weights to trade to (one of ``run.rows``; default the last).
    path : path-like, optional
        Where to write the orders as CSV (see :meth:`Orders.to_csv`).
    **kw
        Passed on to :func:`to_orders`; ``no_buy``, ``no_sell``,
        ``risk_names``, ``limits`` and ``bench_symbol`` given here replace the run's.

    Returns
    -------
    Orders
    """
    rows = np.asarray(run.rows)
    if not len(rows):
        raise ValueError("the run has no rows of weights to trade to")
    if row is None:
        pos = len(rows) - 1
    else:
        hit = np.flatnonzero(rows == row)
        if not len(hit):
            raise ValueError(f"row {row!r} is not one of the run's rows ({rows[0]} to {rows[-1]})")
        pos = int(hit[0])
    status = getattr(run, "status", None)
    if status is not None and int(np.asarray(status)[pos]) != 0:
        raise ValueError(f"row {int(rows[pos])} of the run was not processed (skipped or left empty: its weights "
                         "are zero, and trading to them would sell everything); pass row= of a processed date")
    weights = np.asarray(run.weights)[pos]
    for key in ("no_buy", "no_sell"):
        if kw.get(key) is None:
            block = getattr(run, key, None)
            kw[key] = None if block is None else np.asarray(block)[pos]
    if "risk_names" not in kw:
        kw["risk_names"] = tuple(getattr(run, "risk_names", ()) or ())
        if "limits" not in kw and kw["risk_names"]:
            kw["limits"] = getattr(run, "limits", None)
    if kw.get("risk_names") and kw.get("bench_symbol") is None:
        kw["bench_symbol"] = getattr(getattr(run, "state", None), "bench_symbol", None)
    out = to_orders(weights, run.univ_idx, capital, prices, held=held, row=int(rows[pos]), **kw)
    if path is not None:
        out.to_csv(path)
    return out

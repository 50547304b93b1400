"""What a run's weights earned: returns, costs, tracking and attribution.

:func:`evaluate` holds each row of weights over the security returns of a
later date and measures the portfolio against its benchmark, after costs::

    from Kestrel.evaluation import evaluate

    run = Kestrel.run("TopM", "000905", 1.0, cfg, scores, univ_idx)
    ev = evaluate(run, "000905", buy_bps=5, sell_bps=15)   # returns read by name from the library
    ev                        # one screen: the summary
    ev.summary["information_ratio"], ev.active_net, ev.attribution.selection
    ev.to_pandas().daily      # one row per date

Conventions (docs/evaluation.md has them in full):

- Weights decided on row t are held over the return of row ``t + lag``
  (``lag=1``: formed at the close, earned the next date). A row whose return
  is beyond the returns' last row is left out.
- The benchmark is the benchmark-weight field over all its members, each row
  scaled to sum to 1, held on the same rows as the portfolio.
- Trades are the change from the previous row's weights (from ``initial``,
  cash by default, before the first); buys and sells are charged their own
  rate in basis points of the traded weight, on the date the weights are held.
  A row of zeros (a date the run skipped or emptied) is held as cash.
- Per-date returns are simple fractions; the summary annualises with 252
  dates per year (means times 252, deviations times sqrt(252)).
- Attribution regresses each date's returns on the run's own risk data (the
  style factors and sector formulas of ``risk_names``, read from the library
  on the rows the weights were decided), sectors as dummies; the active
  return is the cash's (the uninvested weight times minus the benchmark
  return), plus each style factor's active exposure times its return, plus
  the sectors' total, plus the residual (selection), exactly.
- What would be warned is also kept as text in :attr:`Evaluation.notes`, so
  ``warn=False`` loses nothing.

Everything is vectorised over blocks of dates: the only dates x columns
arrays are the caller's own returns and the blocks.
"""

from __future__ import annotations

import importlib
import math
import re
import textwrap
import warnings
from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from Kestrel.frames import _preview
from Kestrel.tables import weight_field

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["ANNUAL_DATES", "RETURNS_FIELD", "SUMMARY_KEYS", "Attribution", "BlockedTradesWarning", "EmptyRowsWarning",
           "Evaluation",
           "EvaluationFrames", "EvaluationWarning", "MissingReturnsWarning", "ShortHistoryWarning", "costs_text",
           "drawdown", "evaluate", "summarise"]

#: The stand-in library's daily returns field; pass your library's name as ``returns=``.
RETURNS_FIELD = "daily_return"
#: Dates per year for annualising.
ANNUAL_DATES = 252
#: Keys of :attr:`Evaluation.summary`, in order.
SUMMARY_KEYS = ("dates", "active_return", "active_return_net", "tracking_error", "information_ratio",
                "information_ratio_gross", "max_drawdown", "hit_rate", "mean_turnover", "annual_cost",
                "mean_holdings", "mean_cash", "buy_bps", "sell_bps", "blocked_trades")

_FORMULA = re.compile(r"if\((?P<field>[^=()]+)==(?P<code>-?\d+),1,0\)")
_NO_DATES = "no dates to evaluate"
_SHORT = (_NO_DATES, "one date to evaluate")
_BLOCK_CELLS = 1 << 16  # dates x columns per block: cache-sized, and few columns held or in the benchmark
_NO_TRADE = 1e-12  # a weight change below this is rounding, not a trade


class EvaluationWarning(RuntimeWarning):
    """Part of an evaluation means less than it seems; :attr:`Evaluation.notes` keeps the text."""


class MissingReturnsWarning(EvaluationWarning):
    """Held securities had no return (NaN or infinite) on some dates; those returns counted as 0."""


class EmptyRowsWarning(EvaluationWarning):
    """Some rows hold no weight (dates a run skipped or emptied): they were evaluated as cash."""


class ShortHistoryWarning(EvaluationWarning):
    """No date, or a single one, to evaluate: the summary's deviations and ratios are NaN."""


class BlockedTradesWarning(EvaluationWarning):
    """The weights trade names that could not be traded (bought while blocked for buying, sold while blocked
    for selling)."""


@dataclass(frozen=True, repr=False)
class Attribution:
    """The active return of every date split by the run's risk names.

    For D dates, S style factors and G sector groups (the run's sector
    formulas, plus "other" for securities in none of them; a single "market"
    group when the run had no sector limits).

    Attributes
    ----------
    styles : tuple of str
        Style factor names (S).
    groups : tuple of str
        Sector group names (G): the run's sector formulas, then "other".
    style_exposure, style_returns : ndarray, D x S
        Active exposure (portfolio minus benchmark) and the factor return
        estimated that date.
    group_exposure, group_returns : ndarray, D x G
        The same for the sector groups.
    selection : ndarray, D
        The rest of the active return: active weights times the regression's residuals.
    cash : ndarray, D
        What the uninvested weight cost against the benchmark: minus the cash
        weight (``1 - sum of weights``) times the benchmark return.
    weighting : str
        "equal" or "sqrt_bench": the regression's weights.

    The exposures are those of the invested weights against the benchmark
    scaled to the same total, ``w - sum(w) * b``: for a fully invested row
    the run's own active exposures, and none at all for a row of zeros,
    whose whole active return is cash. ``factors + sectors + cash +
    selection`` is the active return on every date, to rounding.
    """

    styles: tuple[str, ...]
    groups: tuple[str, ...]
    style_exposure: NDArray[np.float64]
    style_returns: NDArray[np.float64]
    group_exposure: NDArray[np.float64]
    group_returns: NDArray[np.float64]
    selection: NDArray[np.float64]
    cash: NDArray[np.float64]
    weighting: str

    @property
    def contributions(self) -> NDArray[np.float64]:
        """D x S: each style factor's active exposure times its return."""
        return self.style_exposure * self.style_returns

    @property
    def sectors(self) -> NDArray[np.float64]:
        """D: the sector groups' total contribution."""
        return (self.group_exposure * self.group_returns).sum(axis=1)

    @property
    def factors(self) -> NDArray[np.float64]:
        """D: all style factors together."""
        return self.contributions.sum(axis=1)

    def __repr__(self) -> str:
        return (f"Attribution({len(self.selection)} dates, {len(self.styles)} style factors, "
                f"{len(self.groups)} sector groups, weighting {self.weighting!r})")


@dataclass(frozen=True)
class EvaluationFrames:
    """What :meth:`Evaluation.to_pandas` returns.

    Attributes
    ----------
    daily : pandas.DataFrame
        One row per evaluated date (indexed by the return's date, or its row).
    attribution : pandas.DataFrame or None
        Per date: one column per style factor, then ``sectors``, ``cash``,
        ``selection`` and ``active`` (their sum).
    summary : pandas.Series
    """

    daily: pd.DataFrame
    attribution: pd.DataFrame | None
    summary: pd.Series


@dataclass(frozen=True, repr=False)
class Evaluation:
    """Per-date results of :func:`evaluate` (D dates) and their summary.

    Attributes
    ----------
    rows : ndarray of int64, D
        Rows the weights were decided on.
    return_rows : ndarray of int64, D
        Rows whose return they earned (``rows + lag``).
    dates : ndarray of datetime64[D] or None
        Dates of ``return_rows`` when the library keeps dates.
    gross, net : ndarray, D
        Portfolio return before and after costs.
    benchmark : ndarray, D
    active, active_net : ndarray, D
        ``gross - benchmark`` and ``net - benchmark``.
    turnover : ndarray, D
        One-way: half the sum of |weight change| (from ``initial`` on the first date).
    buys, sells : ndarray, D
        Weight bought and sold.
    cost : ndarray, D
        ``(buys * buy_bps + sells * sell_bps) / 10000``.
    holdings : ndarray of int64, D
        Securities with positive weight.
    missing_weight : ndarray, D
        Weight held in securities whose return was NaN or infinite (counted as 0).
    attribution : Attribution or None
    lag : int
    buy_bps, sell_bps : float
    cash_weight : ndarray, D
        Weight not invested: 1 minus the sum of the row's weights (1 on a row of zeros).
    empty_rows : ndarray of int64
        Decision rows whose weights were all zero (held as cash).
    notes : tuple of str
        What :func:`evaluate` warned of (or would have, with ``warn=False``):
        returns missing on held securities, rows of zeros, no or one date.
    blocked_trades : ndarray of int64, D, or None
        Names bought while blocked for buying plus names sold while blocked for
        selling, on each date; None when no blocks were given. A run made with
        its blocks trades none.
    """

    rows: NDArray[np.int64]
    return_rows: NDArray[np.int64]
    dates: NDArray[np.datetime64] | None
    gross: NDArray[np.float64]
    net: NDArray[np.float64]
    benchmark: NDArray[np.float64]
    active: NDArray[np.float64]
    active_net: NDArray[np.float64]
    turnover: NDArray[np.float64]
    buys: NDArray[np.float64]
    sells: NDArray[np.float64]
    cost: NDArray[np.float64]
    holdings: NDArray[np.int64]
    missing_weight: NDArray[np.float64]
    attribution: Attribution | None
    lag: int
    buy_bps: float
    sell_bps: float
    cash_weight: NDArray[np.float64]
    empty_rows: NDArray[np.int64]
    notes: tuple[str, ...]
    blocked_trades: NDArray[np.int64] | None = None
    summary: dict[str, float] = field(init=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "summary", summarise(self))

    def to_pandas(self) -> EvaluationFrames:
        """The per-date arrays, the attribution and the summary as pandas objects."""
        import pandas as pd

        if self.dates is not None:
            index = pd.Index(self.dates, name="date")
        else:
            index = pd.Index(self.return_rows, name="return_row")
        daily = pd.DataFrame({
            "row": self.rows, "return_row": self.return_rows, "gross": self.gross, "net": self.net,
            "benchmark": self.benchmark, "active": self.active, "active_net": self.active_net,
            "turnover": self.turnover, "buys": self.buys, "sells": self.sells, "cost": self.cost,
            "holdings": self.holdings, "cash_weight": self.cash_weight, "missing_weight": self.missing_weight},
            index=index)
        attr = None
        a = self.attribution
        if a is not None:
            attr = pd.DataFrame(a.contributions, index=index.copy(), columns=list(a.styles))
            attr["sectors"] = a.sectors
            attr["cash"] = a.cash
            attr["selection"] = a.selection
            attr["active"] = self.active
        return EvaluationFrames(daily, attr, pd.Series(self.summary, name="summary"))

    @property
    def costs_used(self) -> str:
        """The cost rates charged, as text: ``"costs: 5 bp buy / 15 bp sell"``."""
        return costs_text(self.buy_bps, self.sell_bps)

    def __repr__(self) -> str:
        s = self.summary
        n = s["dates"]
        span = ""
        if n:
            first, last = (self.dates[[0, -1]] if self.dates is not None else self.return_rows[[0, -1]])
            span = f", returns of {first} to {last}" if n > 1 else f", the return of {first}"
        lines = [f"Evaluation: {n} date{'' if n == 1 else 's'}{span}, lag {self.lag}, {self.costs_used}"]
        # The short-history notes stand in for the figures they explain; the others follow them.
        notes = [t for t in self.notes if not t.startswith(_SHORT)]
        if n == 0:
            notes = [t for t in self.notes if t.startswith(_NO_DATES)] + notes
        else:
            spread = (f"{s['tracking_error']:9.2%}        information ratio {s['information_ratio']:.2f} net, "
                      f"{s['information_ratio_gross']:.2f} gross" if n > 1 else
                      "one date: no deviation, so no tracking error or information ratio")
            cash = f", cash {s['mean_cash']:.2%} of the weight" if abs(s["mean_cash"]) >= 5e-5 else ""
            lines += [f"  active return    {s['active_return']:+9.2%} gross  {s['active_return_net']:+9.2%} net"
                      "   (per year)",
                      f"  tracking error   {spread}",
                      f"  max drawdown     {s['max_drawdown']:9.2%}        positive dates {s['hit_rate']:.1%}",
                      f"  turnover         {s['mean_turnover']:9.2%} a day (one-way)  costs {s['annual_cost']:.2%} "
                      f"a year, {s['mean_holdings']:.0f} holdings{cash}"]
            if self.blocked_trades is not None:
                lines.append(f"  trades on names that could not be traded: {int(self.blocked_trades.sum())}")
            a = self.attribution
            if a is not None:
                years = n / ANNUAL_DATES
                parts = [(name, v) for name, v in zip(a.styles, a.contributions.sum(axis=0))]
                parts += [("sectors", a.sectors.sum()), ("cash", a.cash.sum()), ("selection", a.selection.sum())]
                # Cash shows where some was held; a fully invested run's rounding is no line.
                text = ", ".join(f"{name} {v / years:+.2%}" for name, v in parts
                                 if name != "cash" or abs(v / years) >= 5e-5)
                lines += textwrap.wrap(f"attribution (per year, regression weights {a.weighting}): {text}", 96,
                                       initial_indent="  ", subsequent_indent="    ")
        for t in notes:
            lines += textwrap.wrap(t, 96, initial_indent="  ", subsequent_indent="    ")
        return "\n".join(lines)


def costs_text(buy_bps: float, sell_bps: float) -> str:
    """``"costs: 5 bp buy / 15 bp sell"``, saying so when none were charged."""
    text = f"costs: {buy_bps:g} bp buy / {sell_bps:g} bp sell"
    return text + " (none charged)" if buy_bps == 0 and sell_bps == 0 else text


def _annual(x: NDArray[np.float64]) -> float:
    return float(x.mean() * ANNUAL_DATES) if len(x) else math.nan


def _deviation(x: NDArray[np.float64]) -> float:
    return float(x.std(ddof=1) * math.sqrt(ANNUAL_DATES)) if len(x) > 1 else math.nan


def _ratio(a: float, b: float) -> float:
    return a / b if b > 0 else math.nan


def drawdown(active: ArrayLike) -> NDArray[np.float64]:
    """Distance of the cumulative (summed) active return below its running peak, from 0 at the start."""
    cum = np.cumsum(np.asarray(active, dtype=np.float64))
    return np.maximum.accumulate(np.maximum(cum, 0.0)) - cum


def summarise(ev: Evaluation) -> dict[str, float]:
    """The summary of an evaluation (see :data:`SUMMARY_KEYS` and docs/evaluation.md)."""
    te_net, te_gross = _deviation(ev.active_net), _deviation(ev.active)
    ar, ar_net = _annual(ev.active), _annual(ev.active_net)
    n = len(ev.rows)
    return {
        "dates": n,
        "active_return": ar,
        "active_return_net": ar_net,
        "tracking_error": te_net,
        "information_ratio": _ratio(ar_net, te_net),
        "information_ratio_gross": _ratio(ar, te_gross),
        "max_drawdown": float(drawdown(ev.active_net).max()) if n else math.nan,
        "hit_rate": float((ev.active_net > 0).mean()) if n else math.nan,
        "mean_turnover": float(ev.turnover.mean()) if n else math.nan,
        "annual_cost": _annual(ev.cost),
        "mean_holdings": float(ev.holdings.mean()) if n else math.nan,
        "mean_cash": float(ev.cash_weight.mean()) if n else math.nan,
        "buy_bps": ev.buy_bps,
        "sell_bps": ev.sell_bps,
        "blocked_trades": math.nan if ev.blocked_trades is None else int(ev.blocked_trades.sum()),
    }


# ---------------------------------------------------------------------------
# Inputs

def _int_vector(values: Any, what: str) -> NDArray[np.int64]:
    arr = np.asarray(values)
    if arr.ndim != 1 or (arr.size and not np.issubdtype(arr.dtype, np.integer)):
        raise ValueError(f"{what} must be a 1-D array of integers, got shape {arr.shape} of {arr.dtype}")
    return arr.astype(np.int64, copy=False)


def _matrix(values: Any, what: str) -> Any:
    """A 2-D float array, memory maps kept as they are."""
    arr = values if isinstance(values, np.ndarray) else np.asarray(values, dtype=np.float64)
    if arr.ndim != 2:
        raise ValueError(f"{what} must be 2-D (dates x securities), got shape {arr.shape}")
    return arr


def _request(lib: Any, names: Sequence[str]) -> list[Any]:
    out = lib.RunLoopOnce(list(names))
    return [_matrix(r.array, f"data library field {n!r}") for n, r in zip(names, out)]


def _split_risk_names(names: Sequence[str]) -> tuple[list[str], list[tuple[str, str, int]]]:
    styles, sectors = [], []
    for n in names:
        m = _FORMULA.fullmatch(n)
        if m:
            sectors.append((n, m["field"], int(m["code"])))
        else:
            styles.append(n)
    return styles, sectors


class _Groups:
    """Sector group of every column of a block: the code field read once, or the
    run's formulas themselves when the library does not serve the field."""

    def __init__(self, lib: Any, sectors: list[tuple[str, str, int]]) -> None:
        self.names = tuple(n for n, _, _ in sectors) + ("other",) if sectors else ("market",)
        self.count = len(self.names)
        self.codes: Any = None
        self.formulas: list[Any] = []
        if not sectors:
            return
        fields = {f for _, f, _ in sectors}
        codes = [c for _, _, c in sectors]
        if len(fields) == 1 and min(codes) >= 0:
            try:
                self.codes = _request(lib, [fields.pop()])[0]
            except Exception:  # a library that serves the formulas only: read those below
                self.codes = None
        if self.codes is not None:
            table = np.full(max(codes) + 2, len(sectors), dtype=np.intp)
            table[codes] = np.arange(len(sectors))
            self.table = table
        else:
            self.formulas = _request(lib, [n for n, _, _ in sectors])

    def block(self, take: Any, width: int) -> NDArray[np.intp]:
        if self.count == 1:
            return np.zeros(width, dtype=np.intp)[None, :]
        other = self.count - 1
        if self.codes is not None:
            x = take(self.codes)
            top = len(self.table) - 1
            # NaN and codes that are not the run's go to "other".
            ok = (x >= 0) & (x < top) & (x == np.floor(x))
            return self.table[np.where(ok, x, top).astype(np.intp)]
        g = np.full(take(self.formulas[0]).shape, other, dtype=np.intp)
        for k, f in enumerate(self.formulas):
            g[take(f) == 1] = k
        return g


def _rows_text(rows: Any, limit: int = 8) -> str:
    return _preview([int(r) for r in rows], limit)


def _check_unique(univ: NDArray[np.int64], whose: str) -> None:
    s = np.sort(univ)
    repeated = np.unique(s[1:][s[1:] == s[:-1]])
    if repeated.size:
        where = "; ".join(f"column {c} at weight columns {_rows_text(np.flatnonzero(univ == c), 4)}"
                          for c in repeated[:3]) + ("; ..." if len(repeated) > 3 else "")
        raise ValueError(
            f"{whose} univ_idx repeats library column(s) {_rows_text(repeated)} ({where}): each weight column "
            "must be a security of its own; add the weights of a repeated security into one column")


def _short_history_notes(T: int, D: int, run_rows: NDArray[np.int64], lag: int, n_ret: int,
                         source_name: str) -> list[str]:
    if D > 1:
        return []
    if T == 0:
        return [f"{_NO_DATES}: the weights have no rows"]
    if D == 0:
        return [f"{_NO_DATES}: with lag {lag}, the first row's weights (row {run_rows[0]}) would earn the return "
                f"of row {run_rows[0] + lag}, but {source_name} end at row {n_ret - 1}; the summary is NaN"]
    return ["one date to evaluate: no deviation, so the tracking error and the information ratios are NaN"
            + (f" (with lag {lag} the later rows' returns lie beyond row {n_ret - 1} of {source_name})"
               if T > 1 else "")]


def _missing_note(source_name: str, hit: NDArray[np.int64], infinite: list[NDArray[np.int64]],
                  missing: NDArray[np.float64]) -> str:
    inf = np.concatenate(infinite) if infinite else np.zeros(0, dtype=np.int64)
    what = "NaN or infinite" if len(inf) else "NaN"
    text = (f"{source_name}: {what} returns on held securities counted as 0 on {len(hit)} date(s) "
            f"(decided on rows {_rows_text(hit)}); up to {missing.max():.4g} of the weight on one date")
    if len(inf):
        text += f"; infinite on rows {_rows_text(inf)}"
    return text


def _blocks(value: Any, name: str, T: int, N: int) -> NDArray[np.bool_] | None:
    """Blocks over the weights' rows and columns as bool, or None."""
    if value is None:
        return None
    mask = np.asarray(value)
    if mask.dtype.kind not in "biuf" or mask.shape != (T, N):
        raise ValueError(f"{name} must be a {T} x {N} array of bool (rows x universe, as the weights), got "
                         f"{mask.dtype} of shape {mask.shape}")
    # As a run reads blocks: 0/1 only, so that a NaN or a stray value is not taken as a block.
    if mask.dtype.kind != "b" and not np.isin(mask, (0, 1)).all():
        bad = np.argwhere(~np.isin(mask, (0, 1)))
        raise ValueError(f"{name} must hold only 0 and 1 (or bool); it holds {mask[tuple(bad[0])]!r} at row "
                         f"{bad[0][0]}, column {bad[0][1]} ({len(bad)} such entries)")
    return mask.astype(bool)


def _empty_note(whose: str, empty: NDArray[np.bool_], run_rows: NDArray[np.int64], status: Any) -> str:
    D, empty_rows = len(run_rows), run_rows[empty]
    why = ""
    st = None if status is None else np.asarray(status)
    if st is not None and st.ndim == 1 and len(st) >= D:  # a run's status, one per row
        codes = st[:D][empty]
        parts = [f"{int((codes == c).sum())} {name}" for c, name in ((1, "skipped"), (2, "emptied"))
                 if (codes == c).any()]
        why = f" ({' and '.join(parts)} by the run)" if parts else ""
    weights = "the run's weights" if whose == "the run's" else "the weights"
    return (f"{weights} are all zero on {len(empty_rows)} of {D} rows{why}: rows "
            f"{_rows_text(empty_rows)}; they are held as cash, earning 0 (minus the benchmark's return as active "
            "return: the attribution's cash), and the sales into them and the purchases after them are charged")


# ---------------------------------------------------------------------------

def evaluate(
    source: Any,
    bench_symbol: str | None = None,
    returns: str | ArrayLike = RETURNS_FIELD,
    *,
    rows: ArrayLike | None = None,
    univ_idx: ArrayLike | None = None,
    risk_names: Sequence[str] | None = None,
    columns: str = "library",
    lag: int = 1,
    buy_bps: float = 0.0,
    sell_bps: float = 0.0,
    initial: ArrayLike | None = None,
    attribution: bool = True,
    weighting: str = "sqrt_bench",
    library: str = "VelaIntradayModel",
    warn: bool = True,
    no_buy: ArrayLike | None = None,
    no_sell: ArrayLike | None = None,
) -> Evaluation:
    """Returns, costs, benchmark, active return and attribution of a run's weights.

    Parameters
    ----------
    source : Kestrel.RunResult or array_like
        A run (its ``weights``, ``rows``, ``univ_idx`` and ``risk_names`` are
        used), or a plain weight matrix (dates x universe) with `rows` and `univ_idx`.
    bench_symbol : str, optional
        Index code or benchmark-weight field, as given to the run (weights in
        any scale, e.g. percent; each row is scaled to sum to 1). Optional for
        a run whose state records its benchmark (``run.state.bench_symbol``).
    returns : str or array_like, default :data:`RETURNS_FIELD`
        Daily security returns as fractions: a data library field name
        (read through ``RunLoopOnce``), or a dates x columns array whose row
        t is the library's row t.
    rows : array_like of int, optional
        Library rows of a plain weight matrix (default 0, 1, ...); ignored for a run.
    univ_idx : array_like of int, optional
        Library columns of a plain weight matrix; required for one.
    risk_names : sequence of str, optional
        Risk names to attribute to for a plain weight matrix (a run's own are used otherwise).
    columns : {"library", "universe"}
        The columns of a `returns` array: all library columns, or the
        universe's in ``univ_idx`` order. With "universe", the benchmark and
        the regression see only the universe's securities (the benchmark
        scaled to sum to 1 over them).
    lag : int, default 1
        Weights of row t earn the return of row t + lag.
    buy_bps, sell_bps : float
        Cost of buying and of selling, in basis points of the weight traded.
    initial : array_like, optional
        Weights held before the first row (universe order); default cash.
    attribution : bool, default True
    weighting : {"sqrt_bench", "equal"}, default "sqrt_bench"
        Regression weights: the square root of the benchmark weight (the
        benchmark's members only), or every security with a return and risk
        data alike.
    library : str, default "VelaIntradayModel"
    warn : bool, default True
        Warn, once per kind and call, of what makes part of the result mean
        less than it seems (all :class:`EvaluationWarning`):
        :class:`MissingReturnsWarning` (held securities without a finite
        return, counted as 0), :class:`EmptyRowsWarning` (rows of zeros, held
        as cash) and :class:`ShortHistoryWarning` (no date or one date to
        evaluate). ``False`` is silent; :attr:`Evaluation.notes` has the same
        texts either way.
    no_buy, no_sell : array_like of bool, shape (T, N), optional
        Names that could not be bought (sold) on each row of the weights: the
        trades on them are counted (:attr:`Evaluation.blocked_trades`). A run
        made with blocks brings its own (``run.no_buy``, ``run.no_sell``).

    Returns
    -------
    Evaluation

    Raises
    ------
    ValueError
        For returns, weights, rows or columns whose sizes do not fit, naming
        them, and for a `univ_idx` that repeats a library column.
    """
    if columns not in ("library", "universe"):
        raise ValueError(f"columns must be 'library' or 'universe', got {columns!r}")
    if weighting not in ("equal", "sqrt_bench"):
        raise ValueError(f"weighting must be 'equal' or 'sqrt_bench', got {weighting!r}")
    if isinstance(lag, bool) or not isinstance(lag, (int, np.integer)) or lag < 0:
        raise ValueError(f"lag must be an integer >= 0, got {lag!r}")
    lag = int(lag)
    for name, v in (("buy_bps", buy_bps), ("sell_bps", sell_bps)):
        if not (isinstance(v, (int, float, np.floating, np.integer)) and math.isfinite(v)):
            raise ValueError(f"{name} must be a finite number, got {v!r}")

    if hasattr(source, "weights") and hasattr(source, "rows"):
        weights = np.asarray(source.weights, dtype=np.float64)
        run_rows = _int_vector(source.rows, "the run's rows")
        univ = _int_vector(source.univ_idx, "the run's univ_idx")
        names = [str(n) for n in source.risk_names] if risk_names is None else list(risk_names)
        whose = "the run's"
        if bench_symbol is None:
            bench_symbol = getattr(getattr(source, "state", None), "bench_symbol", None)
    else:
        weights = np.asarray(source, dtype=np.float64)
        if weights.ndim != 2:
            raise ValueError(f"weights must be 2-D (dates x universe), got shape {weights.shape}")
        run_rows = (np.arange(len(weights), dtype=np.int64) if rows is None
                    else _int_vector(rows, "rows"))
        if univ_idx is None:
            raise ValueError("a plain weight matrix needs univ_idx, the library column of each weight column")
        univ = _int_vector(univ_idx, "univ_idx")
        names = list(risk_names or ())
        whose = "the weights'"
    T, N = weights.shape
    if len(run_rows) != T:
        raise ValueError(f"{whose} weights have {T} rows but there are {len(run_rows)} row numbers")
    if len(univ) != N:
        raise ValueError(f"{whose} weights have {N} columns but univ_idx has {len(univ)}")
    _check_unique(univ, whose)
    if T and (run_rows[0] < 0 or (np.diff(run_rows) <= 0).any()):
        raise ValueError(f"{whose} rows must be increasing library rows >= 0")

    if bench_symbol is None:
        raise ValueError("bench_symbol is needed: the benchmark code the weights were made against, such as "
                         "\"000905\" (a run made by Kestrel.run records it in run.state.bench_symbol)")
    lib = importlib.import_module(library)
    bench = _request(lib, [weight_field(bench_symbol)])[0]
    n_lib_rows, n_lib_cols = bench.shape
    if N and (univ.min() < 0 or univ.max() >= n_lib_cols):
        raise ValueError(f"univ_idx must be library columns in [0, {n_lib_cols}), "
                         f"got {univ.min()} to {univ.max()}")
    if T and run_rows[-1] >= n_lib_rows:
        raise ValueError(f"{whose} rows reach row {run_rows[-1]} but the library's benchmark field has "
                         f"{n_lib_rows} rows")
    source_name = returns if isinstance(returns, str) else "returns"
    ret = _request(lib, [returns])[0] if isinstance(returns, str) else _matrix(returns, "returns")
    width = n_lib_cols if columns == "library" else N
    if ret.shape[1] != width:
        raise ValueError(f"returns have {ret.shape[1]} columns; columns={columns!r} needs {width} "
                         f"({'library columns' if columns == 'library' else 'universe securities'})")
    if T and ret.shape[0] <= run_rows[-1]:
        raise ValueError(f"returns have {ret.shape[0]} rows but {whose} rows reach row {run_rows[-1]}")
    prev = np.zeros(N) if initial is None else np.asarray(initial, dtype=np.float64)
    if prev.shape != (N,):
        raise ValueError(f"initial must hold the {N} weights of the universe, got shape {prev.shape}")
    if not np.isfinite(prev).all():
        raise ValueError(f"initial must hold finite weights; it has {int((~np.isfinite(prev)).sum())} that are "
                         "NaN or infinite (use 0 for a security not held)")

    # Rows whose return is not known yet are left out (at most `lag` of them).
    # Rows are increasing, so the rows kept are a leading run of them.
    D = int((run_rows + lag < ret.shape[0]).sum())
    notes = _short_history_notes(T, D, run_rows, lag, ret.shape[0], source_name)
    status = getattr(source, "status", None) if whose == "the run's" else None
    weights, run_rows = weights[:D], run_rows[:D]
    if not np.isfinite(weights).all():
        raise ValueError(f"{whose} weights are not all finite")

    blocks = [_blocks(b if b is not None else getattr(source, f"no_{side}", None), f"no_{side}", T, N)
              for side, b in (("buy", no_buy), ("sell", no_sell))]
    counted = any(b is not None for b in blocks)
    blocked_trades = np.zeros(D, dtype=np.int64)

    styles, sectors = _split_risk_names(names) if attribution else ([], [])
    style_fields = _request(lib, styles) if attribution and styles else []
    groups = _Groups(lib, sectors) if attribution else None
    G = groups.count if groups is not None else 0
    S = len(styles)

    out = {k: np.zeros(D) for k in ("gross", "benchmark", "buys", "sells", "missing", "invested")}
    holdings = np.zeros(D, dtype=np.int64)
    if attribution:
        se, sr = np.zeros((D, S)), np.zeros((D, S))
        ge, gr = np.zeros((D, G)), np.zeros((D, G))
    pos = univ if columns == "library" else np.arange(N)
    gather = None if columns == "library" else univ
    block = max(1, _BLOCK_CELLS // max(width, 1))
    missing_rows: list[NDArray[np.int64]] = []
    infinite_rows: list[NDArray[np.int64]] = []

    for b0 in range(0, D, block):
        b1 = min(D, b0 + block)
        d = run_rows[b0:b1]
        c = b1 - b0

        contiguous = d[-1] - d[0] + 1 == len(d)

        def take(field: Any, d: NDArray[np.int64] = d, contiguous: bool = contiguous) -> NDArray[np.float64]:
            # Library rows of this block (a slice when contiguous, so maps are read, not copied twice).
            x = field[d[0]:d[-1] + 1] if contiguous else field[d]
            return np.asarray(x if gather is None else x[:, gather], dtype=np.float64)

        raw = np.asarray(ret[d[0] + lag:d[-1] + lag + 1] if contiguous else ret[d + lag], dtype=np.float64)
        # NaN and infinite returns alike are missing (isfinite costs what isnan does).
        ok = np.isfinite(raw)
        R = np.where(ok, raw, 0.0)
        nan = np.logical_not(ok, out=ok)
        W = weights[b0:b1]
        held_nan = nan[:, pos] & (W != 0)
        if held_nan.any():
            out["missing"][b0:b1] = np.where(held_nan, W, 0.0).sum(axis=1)
            missing_rows.append(d[held_nan.any(axis=1)])
            held_inf = held_nan & np.isinf(raw[:, pos])
            if held_inf.any():
                infinite_rows.append(d[held_inf.any(axis=1)])
        out["gross"][b0:b1] = np.einsum("tn,tn->t", W, R[:, pos])
        out["invested"][b0:b1] = W.sum(axis=1)
        holdings[b0:b1] = (W > 0).sum(axis=1)
        dw = np.diff(W, axis=0, prepend=(prev if b0 == 0 else weights[b0 - 1])[None, :])
        out["buys"][b0:b1] = np.maximum(dw, 0.0).sum(axis=1)
        out["sells"][b0:b1] = np.maximum(-dw, 0.0).sum(axis=1)
        if counted:
            # A change below rounding is no trade.
            for mask, traded in zip(blocks, (dw > _NO_TRADE, dw < -_NO_TRADE)):
                if mask is not None:
                    blocked_trades[b0:b1] += (traded & mask[b0:b1]).sum(axis=1)

        raw = take(bench)
        B = np.where(raw > 0, raw, 0.0)  # NaN is no weight
        total = B.sum(axis=1)
        unit = np.divide(1.0, total, out=np.zeros_like(total), where=total > 0)[:, None]
        out["benchmark"][b0:b1] = np.einsum("te,te->t", B, R) * unit[:, 0]
        if not attribution:
            continue

        # With benchmark weighting only members enter the regression, and the
        # active weights are zero outside members and holdings: read those columns only.
        part: Any
        if weighting == "sqrt_bench":
            keep: NDArray[np.bool_] = np.asarray((B > 0).any(axis=0))
            keep[pos[(W != 0).any(axis=0)]] = True
            cols = np.flatnonzero(keep)
            where = np.full(width, -1, dtype=np.intp)
            where[cols] = np.arange(len(cols))
            at = where[pos]
            inside = at >= 0
            Wc, at = W[:, inside], at[inside]
            Bc, Rc, valid = B[:, cols] * unit, R[:, cols], ~nan[:, cols]

            def part(field: Any, out: Any = None, take: Any = take, cols: NDArray[np.intp] = cols) -> Any:
                return np.take(take(field), cols, axis=1, out=out, mode="clip")  # type: ignore[call-overload]
        else:
            cols, at, Wc, Bc, Rc, valid, part = None, pos, W, B * unit, R, ~nan, take
        width_c = Bc.shape[1]
        # One buffer, factor by factor: the styles, then the returns and the
        # active weights (benchmark short, portfolio long), so that one batched
        # product gives the styles' cross products, their products with the
        # returns and the active exposures, and each row is a contiguous matrix
        # for the group sums.
        Y = np.empty((S + 2, c, width_c))
        for k, f in enumerate(style_fields):
            if cols is None:
                Y[k] = take(f)
            else:
                part(f, Y[k])
        Y[S] = Rc
        # Against the benchmark scaled to the invested total: the cash is a line of its own.
        A = Y[S + 1]
        np.multiply(Bc, -out["invested"][b0:b1, None], out=A)
        A[:, at] += Wc
        X = Y[:S]
        if S:
            bad = ~np.isfinite(X.sum(axis=0))
            if bad.any():
                valid &= ~bad
                np.nan_to_num(X, copy=False, nan=0.0, posinf=0.0, neginf=0.0)
        assert groups is not None
        g = groups.block(part, width_c)
        # Group index of every cell, the block's dates kept apart.
        gi = (np.broadcast_to(g, (c, width_c)) + (np.arange(c) * G)[:, None]).ravel()
        n = c * G
        if weighting == "sqrt_bench":
            V = np.sqrt(Bc)
            V *= valid
        elif valid.all():
            V = None  # every cell counts alike: skip the weighting products
        else:
            V = valid.astype(np.float64)
        sv = (np.bincount(gi, None if V is None else V.ravel(), n)).astype(np.float64).reshape(c, G)
        # Weighted styles and returns, then the active weights as they are.
        if V is None:
            YV = Y
        else:
            YV = np.empty_like(Y)
            np.multiply(Y[:S + 1], V, out=YV[:S + 1])
            YV[S + 1] = A
        sums = [np.bincount(gi, YV[k].ravel(), n).reshape(c, G) for k in range(S + 2)]
        sr_g, ge[b0:b1] = sums[S], sums[S + 1]
        inv = np.divide(1.0, sv, out=np.zeros_like(sv), where=sv > 0)
        if S:
            sx = np.stack(sums[:S], axis=2)
            # Cross products: rows 0..S-1 styles, S returns, S+1 active weights.
            cross = YV.transpose(1, 0, 2) @ X.transpose(1, 2, 0)
            gram, rhs = cross[:, :S], cross[:, S]
            se[b0:b1] = cross[:, S + 1]
            # Sectors as dummies, partialled out (Frisch-Waugh): the style part
            # needs only per-group sums, not a dummy column per sector.
            gram -= np.einsum("tgk,tgl,tg->tkl", sx, sx, inv)
            rhs -= np.einsum("tgk,tg,tg->tk", sx, sr_g, inv)
            try:
                f = np.linalg.solve(gram, rhs[..., None])[..., 0]
            except np.linalg.LinAlgError:
                # A factor missing or collinear on some date: least squares'
                # shortest solution gives it no return.
                f = (np.linalg.pinv(gram, hermitian=True) @ rhs[..., None])[..., 0]
            sr[b0:b1] = f
            gr[b0:b1] = (sr_g - np.einsum("tgk,tk->tg", sx, f)) * inv
        else:
            gr[b0:b1] = sr_g * inv

    gross, bench_ret = out["gross"], out["benchmark"]
    buys, sells = out["buys"], out["sells"]
    cost = (buys * float(buy_bps) + sells * float(sell_bps)) / 1e4
    net = gross - cost
    active = gross - bench_ret
    cash_weight = 1.0 - out["invested"]
    attr = None
    if attribution:
        assert groups is not None
        cash = 0.0 - cash_weight * bench_ret  # not -0.0 where nothing is in cash
        explained = (se * sr).sum(axis=1) + (ge * gr).sum(axis=1)
        attr = Attribution(tuple(styles), groups.names, se, sr, ge, gr, active - cash - explained, cash,
                           weighting)

    kinds: list[type[EvaluationWarning]] = [ShortHistoryWarning] * len(notes)
    if missing_rows:
        notes.append(_missing_note(source_name, np.concatenate(missing_rows), infinite_rows, out["missing"]))
        kinds.append(MissingReturnsWarning)
    # A row of zeros: no holding, and no weight held short either.
    empty = holdings == 0
    if empty.any():
        empty[empty] = ~weights[empty].any(axis=1)
    empty_rows = run_rows[empty]
    if len(empty_rows):
        notes.append(_empty_note(whose, empty, run_rows, status))
        kinds.append(EmptyRowsWarning)
    if counted and blocked_trades.any():
        hit = run_rows[blocked_trades > 0]
        notes.append(f"{int(blocked_trades.sum())} trade(s) on names that could not be traded (bought while "
                     f"blocked for buying, or sold while blocked for selling) on {len(hit)} date(s): rows "
                     f"{_rows_text(hit)}; a desk could not have made them")
        kinds.append(BlockedTradesWarning)
    if warn:
        for text, kind in zip(notes, kinds):
            warnings.warn(text, kind, stacklevel=2)

    return_rows = run_rows + lag
    dates = None
    days = getattr(lib, "dates", None)
    axis = days() if callable(days) else None
    if axis is not None:
        axis = np.asarray(axis, dtype="datetime64[D]")
        if axis.ndim == 1 and (not D or return_rows[-1] < len(axis)):
            dates = axis[return_rows]
    return Evaluation(run_rows.copy(), return_rows, dates, gross, net, bench_ret, active, net - bench_ret,
                      (buys + sells) / 2, buys, sells, cost, holdings, out["missing"], attr, lag,
                      float(buy_bps), float(sell_bps), cash_weight, empty_rows, tuple(notes),
                      blocked_trades if counted else None)

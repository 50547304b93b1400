"""A one-page tear sheet (PNG) of an evaluation: what the weights earned, and from what.

Drawn on matplotlib's Agg canvas without pyplot, so it works on servers and
leaves a notebook's backend alone::

    from Kestrel.evaluation import evaluate
    from Kestrel.tearsheet import plot_tearsheet

    plot_tearsheet(evaluate(run, "000905", buy_bps=5, sell_bps=15), "tearsheet.png")
"""

from __future__ import annotations

from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import NDArray

from Kestrel.evaluation import ANNUAL_DATES, Evaluation, drawdown

__all__ = ["PANELS", "ROLLING_DATES", "plot_tearsheet", "rolling_information_ratio", "tearsheet_figure"]

#: Dates in the rolling information ratio's window.
ROLLING_DATES = 60

#: Panel titles, in order.
PANELS = ("Cumulative active return", "Drawdown of the active return (net)",
          f"Rolling {ROLLING_DATES}-date information ratio (net)", "One-way turnover and cost",
          "Cumulative attribution of the active return (gross)")


def rolling_information_ratio(active: Any, window: int = ROLLING_DATES) -> NDArray[np.float64]:
    """Annualised mean over standard deviation of the last `window` dates; NaN before a full window."""
    x = np.asarray(active, dtype=np.float64)
    out = np.full(len(x), np.nan)
    if window < 2 or len(x) < window:
        return out
    # Moving sums from cumulative sums; deviations of the window around its own mean.
    c1 = np.concatenate([[0.0], np.cumsum(x)])
    c2 = np.concatenate([[0.0], np.cumsum(x * x)])
    s1 = c1[window:] - c1[:-window]
    s2 = c2[window:] - c2[:-window]
    mean = s1 / window
    var = np.maximum(s2 - window * mean * mean, 0.0) / (window - 1)
    sd = np.sqrt(var)
    with np.errstate(divide="ignore", invalid="ignore"):
        out[window - 1:] = np.where(sd > 0, mean / sd * np.sqrt(ANNUAL_DATES), np.nan)
    return out


def tearsheet_figure(ev: Evaluation, *, title: str | None = None, top_factors: int = 6, dpi: int = 110) -> Any:
    """The tear sheet of :func:`plot_tearsheet` as a matplotlib Figure (not saved)."""
    from matplotlib.dates import AutoDateLocator, ConciseDateFormatter
    from matplotlib.figure import Figure

    x: Any = ev.dates if ev.dates is not None else ev.return_rows
    s = ev.summary
    fig = Figure(figsize=(14, 13), dpi=dpi, layout="constrained")
    grid = fig.add_gridspec(4, 2, height_ratios=[2.6, 1.6, 1.8, 2.8])
    span = f"\n{x[0]} to {x[-1]}, {len(x)} dates" if len(x) else ""
    fig.suptitle((title or "Kestrel tear sheet") + span, fontsize=15, fontweight="bold")

    def finish(ax: Any, panel: int, note: str = "") -> None:
        if ev.dates is not None:
            loc = AutoDateLocator(minticks=3, maxticks=8)
            ax.xaxis.set_major_locator(loc)
            ax.xaxis.set_major_formatter(ConciseDateFormatter(loc))
        if len(x) > 1:
            ax.set_xlim(x[0], x[-1])  # every panel on the same dates, the rolling ratio's included
        ax.grid(True, alpha=0.3)
        ax.set_title(PANELS[panel] + note, fontsize=12, loc="left")

    ax = fig.add_subplot(grid[0, :])
    ax.plot(x, np.cumsum(ev.active) * 100, color="tab:blue", lw=1.6, label="gross of costs")
    ax.plot(x, np.cumsum(ev.active_net) * 100, color="tab:green", lw=1.6, label="net of costs")
    ax.axhline(0, color="black", lw=0.8)
    ax.set_ylabel("% (sum of daily active returns)")
    ax.legend(loc="upper left", fontsize=9)
    finish(ax, 0, f"   {s['active_return']:+.2%} a year gross, {s['active_return_net']:+.2%} net, "
                  f"tracking error {s['tracking_error']:.2%}, IR {s['information_ratio']:.2f}")

    ax = fig.add_subplot(grid[1, :])
    dd = drawdown(ev.active_net) * 100
    ax.fill_between(x, -dd, 0, color="tab:red", alpha=0.4, lw=0)
    ax.set_ylabel("% below the peak")
    finish(ax, 1, f"   max {s['max_drawdown']:.2%}")

    ax = fig.add_subplot(grid[2, 0])
    ir = rolling_information_ratio(ev.active_net)
    ax.plot(x, ir, color="tab:purple", lw=1.3)
    ax.axhline(0, color="black", lw=0.8)
    if len(x) and not np.isfinite(ir).any():
        # Too short a history for one window: keep the dates, say why it is empty.
        ax.set_xlim(x[0], x[-1])
        ax.set_yticks([])
        ax.text(0.5, 0.5, f"needs {ROLLING_DATES} dates, the history has {len(x)}", ha="center", va="center",
                transform=ax.transAxes)
    finish(ax, 2)

    ax = fig.add_subplot(grid[2, 1])
    ax.plot(x, ev.turnover * 100, color="tab:gray", lw=1.0, label="turnover (% of the portfolio)")
    ax.set_ylabel("% a day")
    twin = ax.twinx()
    twin.plot(x, ev.cost * 1e4, color="tab:orange", lw=1.0, label="cost (bp)")
    twin.set_ylabel("bp")
    if len(x) > 2 and ev.turnover[0] > 2 * np.max(ev.turnover[1:]):
        # The first date buys from cash; scaled to it, the daily turnover would be a flat line.
        ax.set_ylim(0, np.max(ev.turnover[1:]) * 130)
        twin.set_ylim(0, np.max(ev.cost[1:]) * 2.2e4)  # below the turnover, which it would otherwise trace
        ax.annotate(f"first date, from cash: {ev.turnover[0]:.0%}, {ev.cost[0] * 1e4:.1f} bp", (0.01, 0.97),
                    xycoords="axes fraction", va="top", fontsize=8)
    handles = ax.get_legend_handles_labels()[0] + twin.get_legend_handles_labels()[0]
    ax.legend(handles, [str(h.get_label()) for h in handles], loc="upper right", fontsize=9)
    finish(ax, 3, f"   mean {s['mean_turnover']:.2%} a day, costs {s['annual_cost']:.2%} a year")

    ax = fig.add_subplot(grid[3, :])
    a = ev.attribution
    if a is not None:
        contrib = np.cumsum(a.contributions, axis=0) * 100
        order = np.argsort(-np.abs(contrib[-1])) if len(contrib) else np.arange(len(a.styles))
        shown = order[:top_factors]
        colors = iter(["tab:blue", "tab:orange", "tab:purple", "tab:brown", "tab:pink", "tab:olive",
                       "tab:cyan", "tab:gray"] * 4)
        for k in shown:
            ax.plot(x, contrib[:, k], lw=1.0, color=next(colors), label=a.styles[k])
        rest = [k for k in range(len(a.styles)) if k not in set(shown)]
        if rest:
            ax.plot(x, contrib[:, rest].sum(axis=1), lw=1.0, ls=":", color="black",
                    label=f"{len(rest)} other factors")
        ax.plot(x, np.cumsum(a.sectors) * 100, lw=1.8, color="tab:red", label="sectors")
        ax.plot(x, np.cumsum(a.selection) * 100, lw=1.8, color="tab:green", label="selection")
        ax.plot(x, np.cumsum(ev.active) * 100, lw=1.2, ls="--", color="black", label="active (their sum)")
        ax.axhline(0, color="black", lw=0.8)
        ax.set_ylabel("% (sum of daily contributions)")
        ax.legend(loc="upper left", fontsize=9, ncols=3)
        note = f"   regression weighted {'by √benchmark weight' if a.weighting == 'sqrt_bench' else 'equally'}"
    else:
        ax.text(0.5, 0.5, "not computed (attribution=False)", ha="center", va="center", transform=ax.transAxes)
        note = ""
    finish(ax, 4, note)
    return fig


def plot_tearsheet(ev: Evaluation, path: str | Path = "kestrel_tearsheet.png", *, title: str | None = None,
                   top_factors: int = 6, dpi: int = 110) -> Path:
    """Draw a one-page PNG tear sheet of an evaluation.

    Panels: cumulative active return gross and net of costs; its drawdown;
    the rolling 60-date information ratio; one-way turnover and cost per
    date; the cumulative attribution (the `top_factors` style factors that
    contributed most, the rest together, sectors, selection).

    Parameters
    ----------
    ev : kestrel_tools.evaluation.Evaluation
    path : str or pathlib.Path, default "kestrel_tearsheet.png"
    title : str, optional
    top_factors : int, default 6
    dpi : int, default 110

    Returns
    -------
    pathlib.Path
        `path`.
    """
    fig = tearsheet_figure(ev, title=title, top_factors=top_factors, dpi=dpi)
    out = Path(path)
    fig.savefig(out, dpi=dpi)
    return out

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
          "Cumulative attribution of the active return (gross)", "Style factors' contributions, cumulative")


def rolling_information_ratio(active: Any, window: int = ROLLING_DATES,
                              min_dates: int | None = None) -> NDArray[np.float64]:
    """Annualised mean over standard deviation of the dates of each trailing window.

    Each window is computed on its own (no running sums, so one bad date or a
    large early value spoils nothing outside its windows). NaN and infinite
    values are left out of the windows they fall in; a window with fewer than
    `min_dates` finite values (default: half the window, at least 2) gives NaN,
    as do the first ``window - 1`` dates and a window whose values are all equal.

    Parameters
    ----------
    active : array_like, 1-D
        Daily active returns.
    window : int, default :data:`ROLLING_DATES`
    min_dates : int, optional
        Finite values a window needs, between 2 and `window`.

    Returns
    -------
    ndarray, same length as `active`
    """
    from numpy.lib.stride_tricks import sliding_window_view

    x = np.asarray(active, dtype=np.float64)
    if x.ndim != 1:
        raise ValueError(f"active must be 1-D (one value per date), got shape {x.shape}")
    if isinstance(window, bool) or not isinstance(window, (int, np.integer)) or window < 2:
        raise ValueError(f"window must be an integer >= 2, got {window!r}")
    need = max(2, window // 2) if min_dates is None else min_dates
    if isinstance(need, bool) or not isinstance(need, (int, np.integer)) or not 2 <= need <= window:
        raise ValueError(f"min_dates must be an integer from 2 to window ({window}), got {min_dates!r}")
    out = np.full(len(x), np.nan)
    if len(x) < window:
        return out
    ok = np.isfinite(x)
    views = sliding_window_view(np.where(ok, x, 0.0), window), sliding_window_view(ok, window)
    step = max(1, (1 << 20) // window)  # windows at a time: the deviations stay a few megabytes
    for w0 in range(0, len(views[0]), step):
        v, m = views[0][w0:w0 + step], views[1][w0:w0 + step]
        n = m.sum(axis=1)
        with np.errstate(divide="ignore", invalid="ignore"):
            mean = v.sum(axis=1) / n
            dev = np.where(m, v - mean[:, None], 0.0)
            sd = np.sqrt((dev * dev).sum(axis=1) / (n - 1))
            ir = mean / sd * np.sqrt(ANNUAL_DATES)
        # A flat window's deviation is rounding: no ratio, rather than a huge one.
        good = (n >= need) & (sd > 1e-12 * np.abs(mean))
        out[window - 1 + w0:window - 1 + w0 + len(v)] = np.where(good, ir, np.nan)
    return out


def _pct(v: float) -> str:
    return f"{v:+.2f}%" if abs(v) >= 0.005 else "0.00%"


def tearsheet_figure(ev: Evaluation, *, title: str | None = None, top_factors: int = 5, dpi: int = 110) -> Any:
    """The tear sheet of :func:`plot_tearsheet` as a matplotlib Figure (not saved)."""
    import textwrap

    from matplotlib.dates import AutoDateLocator, ConciseDateFormatter
    from matplotlib.figure import Figure

    if isinstance(top_factors, bool) or not isinstance(top_factors, (int, np.integer)) or top_factors < 0:
        raise ValueError(f"top_factors must be an integer >= 0, got {top_factors!r}")
    x: Any = ev.dates if ev.dates is not None else ev.return_rows
    n = len(x)
    s = ev.summary
    notes = list(ev.notes)
    note_lines = [line for t in notes for line in textwrap.wrap(t, 190, initial_indent="• ", subsequent_indent="  ")]
    fig = Figure(figsize=(14, 15 + 0.19 * len(note_lines)), dpi=dpi, layout="constrained")
    # Rows of their own, so that a legend beside one pair of panels does not narrow the others.
    heights = [4.0, 1.9, 2.8] + ([0.11 * len(note_lines) + 0.05] if note_lines else [])
    rows: Any = fig.subfigures(len(heights), 1, height_ratios=heights)
    top_rows = rows[0].subplots(2, 1, height_ratios=[2.4, 1.5])
    middle, bottom = rows[1].subplots(1, 2), rows[2].subplots(1, 2, width_ratios=[1.1, 1.0])
    span = f"{x[0]} to {x[-1]}, {n} dates" if n > 1 else f"{x[0]}, one date" if n else "no dates"
    blocked = ("" if ev.blocked_trades is None else
               f", trades on names that could not be traded: {int(ev.blocked_trades.sum())}")
    fig.suptitle(f"{title or 'Kestrel tear sheet'}\n{span}, lag {ev.lag}, {ev.costs_used}{blocked}",
                 fontsize=15, fontweight="bold")
    marker = "o" if n == 1 else None  # a single date draws no line

    def finish(ax: Any, panel: int, note: str = "") -> None:
        if ev.dates is not None and n:
            loc = AutoDateLocator(minticks=3, maxticks=8)
            ax.xaxis.set_major_locator(loc)
            ax.xaxis.set_major_formatter(ConciseDateFormatter(loc))
        if n:
            # Every panel on the same dates, the rolling ratio's included; a day either side of a single one.
            ax.set_xlim(*((x[0], x[-1]) if n > 1 else (x[0] - 1, x[0] + 1)))
        ax.grid(True, alpha=0.3)
        ax.set_title(PANELS[panel] + note, fontsize=12, loc="left")
        if not n:
            # Nothing to draw: an empty frame that says so, no axes to read.
            for artist in [*ax.lines, *ax.collections, *ax.texts, *([ax.get_legend()] if ax.get_legend() else [])]:
                artist.remove()
            ax.set_xticks([])
            ax.set_yticks([])
            ax.set_ylabel("")
            ax.text(0.5, 0.5, "no dates to evaluate", ha="center", va="center", transform=ax.transAxes)

    def outside_legend(ax: Any, title: str | None = None) -> None:
        # Beside the axes, so that no line runs under it.
        ax.legend(loc="upper left", bbox_to_anchor=(1.01, 1.0), fontsize=9, title=title, title_fontsize=9,
                  borderaxespad=0.0)

    # Cumulative active return, gross and net.
    ax = top_rows[0]
    gross, net = np.cumsum(ev.active) * 100, np.cumsum(ev.active_net) * 100
    ax.plot(x, gross, color="tab:blue", lw=1.6, marker=marker, label=f"gross of costs {_pct(gross[-1]) if n else ''}")
    ax.plot(x, net, color="tab:green", lw=1.6, marker=marker, label=f"net of costs {_pct(net[-1]) if n else ''}")
    ax.axhline(0, color="black", lw=0.8)
    ax.set_ylabel("% (sum of daily active returns)")
    outside_legend(ax, "sum over the period")
    spread = (f", tracking error {s['tracking_error']:.2%}, IR {s['information_ratio']:.2f} net"
              if n > 1 else ", one date: no deviation" if n else "")
    finish(ax, 0, f"   {s['active_return']:+.2%} a year gross, {s['active_return_net']:+.2%} net{spread}"
           if n else "")

    # Drawdown of the net active return, its deepest point marked.
    ax = top_rows[1]
    ax.sharex(top_rows[0])
    dd = drawdown(ev.active_net) * 100
    ax.fill_between(x, -dd, 0, color="tab:red", alpha=0.4, lw=0)
    ax.set_ylabel("% below the peak")
    note = ""
    if n:
        k = int(np.argmax(dd))
        ax.plot([x[k]], [-dd[k]], "v", color="tab:red")
        note = f"   max {s['max_drawdown']:.2%}" + (f" on {x[k]}" if dd[k] > 0 else "")
    finish(ax, 1, note)

    # Rolling information ratio: the latest value and the whole period's.
    ax = middle[0]
    ir = rolling_information_ratio(ev.active_net)
    ax.plot(x, ir, color="tab:purple", lw=1.3)
    note = ""
    if np.isfinite(ir).any():
        ax.axhline(0, color="black", lw=0.8)
        last = int(np.flatnonzero(np.isfinite(ir))[-1])
        ax.plot([x[last]], [ir[last]], "o", color="tab:purple", ms=5, clip_on=False)
        whole = s["information_ratio"]
        if np.isfinite(whole):
            ax.axhline(whole, color="tab:purple", lw=0.9, ls="--")
        note = f"\nlatest {ir[last]:.2f} ({x[last]}), whole period {whole:.2f} (dashed)"
    elif n:
        # Too short a history for one window: keep the dates, say why it is empty.
        ax.set_yticks([])
        ax.text(0.5, 0.5, f"needs {ROLLING_DATES} dates, the history has {n}", ha="center", va="center",
                transform=ax.transAxes)
    finish(ax, 2, note)

    # One-way turnover per date and its mean; the costs in figures (their sum is the gap
    # between the gross and the net curves above).
    ax = middle[1]
    turn = ev.turnover * 100
    ax.plot(x, turn, color="tab:gray", lw=1.0, marker=marker, label="one-way turnover")
    if n:
        ax.axhline(s["mean_turnover"] * 100, color="black", lw=0.9, ls="--",
                   label=f"mean {s['mean_turnover']:.2%} a day")
    ax.set_ylabel("% of the portfolio a day")
    top = float(np.max(turn)) if n else 1.0
    if n > 2 and ev.turnover[0] > 2 * np.max(ev.turnover[1:]):
        # The first date buys from cash; scaled to it, the daily turnover would be a flat line.
        top = float(np.max(turn[1:]))
        ax.annotate(f"first date, from cash: bought {ev.buys[0]:.0%} (turnover {ev.turnover[0]:.0%}), "
                    f"cost {ev.cost[0] * 1e4:.1f} bp", (0.01, 0.97), xycoords="axes fraction", va="top", fontsize=8)
    ax.set_ylim(0, max(top, 1e-9) * 1.45)  # room for the note and the legend along the top
    ax.legend(loc="upper right", fontsize=8, ncols=2, bbox_to_anchor=(1.0, 0.9))
    charged = ev.buy_bps != 0 or ev.sell_bps != 0
    cost = (f"{ev.costs_used}: {s['annual_cost']:.2%} a year, {ev.cost.sum():.2%} in all" if charged and n
            else ev.costs_used)
    finish(ax, 3, f"\n{cost}")

    # Attribution: the parts of the active return, then the style factors on their own scale.
    ax, fx = bottom
    a = ev.attribution
    if a is not None:
        parts = [("active (their sum)", ev.active, "black", "--", 1.2),
                 ("selection", a.selection, "tab:green", "-", 1.8), ("style factors", a.factors, "tab:blue", "-", 1.8),
                 ("sectors", a.sectors, "tab:red", "-", 1.8), ("cash", a.cash, "tab:gray", "-", 1.8)]
        for name, values, color, ls, lw in parts:
            c = np.cumsum(values) * 100
            label = f"{name} {_pct(c[-1]) if n else ''}"
            if name == "cash" and n and not np.any(ev.cash_weight > 5e-5):
                label = "cash: fully invested"
            ax.plot(x, c, lw=lw, ls=ls, color=color, marker=marker, label=label)
        ax.axhline(0, color="black", lw=0.8)
        ax.set_ylabel("% (sum of daily contributions)")
        outside_legend(ax, "sum over the period")
        weighted = "by √benchmark weight" if a.weighting == "sqrt_bench" else "equally"
        finish(ax, 4, f"\nregression weighted {weighted}")

        contrib = np.cumsum(a.contributions, axis=0) * 100
        order = np.argsort(-np.abs(contrib[-1]), kind="stable") if n else np.arange(len(a.styles))
        shown = [int(k) for k in order[:top_factors]]
        # Not the colours of the parts beside them (blue is all the style factors there).
        colors = ["tab:purple", "tab:orange", "tab:brown", "tab:pink", "tab:olive", "tab:cyan", "darkblue"]
        for i, k in enumerate(shown):
            fx.plot(x, contrib[:, k], lw=1.3, color=colors[i % len(colors)], marker=marker,
                    label=f"{a.styles[k].replace('_', ' ')} {_pct(contrib[-1, k]) if n else ''}")
        rest = [k for k in range(len(a.styles)) if k not in set(shown)]
        if rest:
            c = contrib[:, rest].sum(axis=1)
            fx.plot(x, c, lw=1.3, ls=":", color="black", marker=marker,
                    label=f"{len(rest)} other factor{'s' if len(rest) > 1 else ''} {_pct(c[-1]) if n else ''}")
        fx.axhline(0, color="black", lw=0.8)
        if a.styles:
            outside_legend(fx, "sum over the period")
        else:
            fx.text(0.5, 0.5, "the run has no style factors", ha="center", va="center", transform=fx.transAxes)
        what = f"the {len(shown)} largest of {len(a.styles)}, the rest together" if rest else f"all {len(shown)}"
        finish(fx, 5, f"\n{what}" if n and a.styles else "")
    else:
        for axis, panel in ((ax, 4), (fx, 5)):
            axis.text(0.5, 0.5, "not computed (attribution=False)", ha="center", va="center",
                      transform=axis.transAxes)
            finish(axis, panel)

    if note_lines:
        ax = rows[3].subplots()
        ax.axis("off")
        ax.text(0.0, 1.0, "\n".join(note_lines), va="top", ha="left", fontsize=9, transform=ax.transAxes,
                color="darkred")
    return fig


def plot_tearsheet(ev: Evaluation, path: str | Path = "kestrel_tearsheet.png", *, title: str | None = None,
                   top_factors: int = 5, dpi: int = 110) -> Path:
    """Draw a one-page PNG tear sheet of an evaluation.

    Panels: cumulative active return gross and net of costs; its drawdown,
    the deepest point marked; the rolling 60-date information ratio, its
    latest value and the whole period's; one-way turnover per date with the
    costs charged; the cumulative attribution (style factors, sectors, cash
    and selection, and their sum); the `top_factors` style factors that
    contributed most, the rest together. Legends give each line's sum over
    the period; the title gives the dates, the lag and the costs charged, and
    the evaluation's notes (what it warned of) close the page.

    Parameters
    ----------
    ev : Kestrel.evaluation.Evaluation
    path : str or pathlib.Path, default "kestrel_tearsheet.png"
    title : str, optional
    top_factors : int, default 5
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

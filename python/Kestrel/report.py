"""Read Kestrel's per-date report lines, and draw a PNG report of a run.

With ``print_result`` set, a run writes one line per processed date to
``sys.stdout``::

    17 LoopCount: 3 FirstExpo: [0.41 -0.02] LastExpo: [0.33 -0.01] BenchHold: 0.87 HoldNum: (112,) 1.0

:func:`parse_report` turns captured text into :class:`ReportLine` records.

:func:`plot_run` draws a one-page PNG of a run from the per-date arrays of a
run object (``Kestrel.run``'s ``RunResult``, or anything with the same
attributes): holdings and turnover, exposure-control passes, benchmark
membership and active share, how often each limit binds, the configured
factors before and after control, and the 28 sector exposures against their
limit. It uses matplotlib's Agg canvas and touches no pyplot state.

Each panel is one ``_<name>_panel(ax, d)`` function drawing from the shaped
arrays in ``d`` (:class:`_Report`); :func:`report_figure` places them in bands
of one subfigure each, so a new panel is a function and a slot in a band.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from Kestrel.tables import SECTOR_COUNT, sector_formula, sector_names

__all__ = ["AT_LIMIT", "PANELS", "REPORT_LINE", "ReportLine", "exposures", "holdings", "parse_report", "plot_run",
           "report_figure", "risk_label", "run_turnover", "traded_between", "turnover"]

_VEC = r"(\[[^\]]*\]|None)"
#: One report line; groups: row, loop count, first and last exposures (text),
#: bench hold, hold count, total.
REPORT_LINE = re.compile(
    rf"^(\d+) LoopCount: (-?\d+) FirstExpo: {_VEC} LastExpo: {_VEC} "
    r"BenchHold: (\S+) HoldNum: \((\d+),\) (\S+)$"
)


@dataclass(frozen=True)
class ReportLine:
    """One date's report line.

    Attributes
    ----------
    row : int
        Row of the date in the score matrix.
    loop_count : int
        Exposure measurements made on the date (1 when the first position
        was already inside every limit).
    first_expo, last_expo : tuple of float or None
        Active exposure to each configured risk factor (sectors are not
        printed) at the first and at the last measurement; None when no
        measurement was made (``max_loop_num`` below 1).
    bench_hold : float
        Weight held in benchmark members.
    hold_num : int
        Number of securities with a weight of at least 0.0001.
    total : float
        Sum of the date's weights.
    """

    row: int
    loop_count: int
    first_expo: tuple[float, ...] | None
    last_expo: tuple[float, ...] | None
    bench_hold: float
    hold_num: int
    total: float


def _vector(text: str) -> tuple[float, ...] | None:
    if text == "None":
        return None
    return tuple(float(v) for v in text[1:-1].split())


def parse_report(text: str | Iterable[str]) -> list[ReportLine]:
    """Parse the report lines out of captured standard output.

    Parameters
    ----------
    text : str or iterable of str
        Captured output; lines that are not report lines (diagnostics,
        other prints) are passed over.

    Returns
    -------
    list of ReportLine
        In the order the lines appear; empty for the output of a run made
        with ``print_result`` off (cfg's key for the entry functions, the
        keyword for ``Kestrel.run``), which prints no report lines.
    """
    lines = text.splitlines() if isinstance(text, str) else text
    out = []
    for line in lines:
        m = REPORT_LINE.match(line.strip())
        if m:
            out.append(ReportLine(int(m[1]), int(m[2]), _vector(m[3]), _vector(m[4]),
                                  float(m[5]), int(m[6]), float(m[7])))
    return out


def exposures(
    lines: Sequence[ReportLine], n_rows: int, n_factors: int
) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """First and last measured exposures as (n_rows, n_factors) matrices, NaN where no line.

    Parameters
    ----------
    lines : sequence of ReportLine
    n_rows : int
        Rows of the run (dates of the score matrix).
    n_factors : int
        Configured risk factors, in the order of ``cfg["risk_factor_expo"]``.

    Returns
    -------
    first, last : ndarray of float64, shape (n_rows, n_factors)
    """
    first = np.full((n_rows, n_factors), np.nan)
    last = np.full((n_rows, n_factors), np.nan)
    for line in lines:
        if line.first_expo is not None:
            first[line.row, : len(line.first_expo)] = line.first_expo[:n_factors]
        if line.last_expo is not None:
            last[line.row, : len(line.last_expo)] = line.last_expo[:n_factors]
    return first, last


def holdings(weights: ArrayLike) -> NDArray[np.int64]:
    """Number of securities held (weight > 0) on each date."""
    return np.asarray((np.asarray(weights) > 0).sum(axis=1), dtype=np.int64)


def turnover(weights: ArrayLike, initial: ArrayLike | None = None) -> NDArray[np.float64]:
    """One-way turnover of each row: half the sum of |weight change| from the row before.

    The one definition of turnover in Kestrel's tools: the run report and
    the sweep summary use it, and the evaluation's per-date turnover is the
    same number. Buying a whole portfolio
    from cash is a turnover of half its total weight; a date left empty
    (all weights 0) is a sale of everything held, and the next date a
    purchase from cash.

    Parameters
    ----------
    weights : array_like, shape (T, N)
        Weights per row (date), e.g. ``RunResult.weights``.
    initial : array_like, shape (N,), optional
        Weights held before the first row; default cash (no weights).

    Returns
    -------
    ndarray of float64, shape (T,)
        ``0.5 * sum(|w[t] - w[t-1]|)``, with ``w[-1]`` = `initial`.

    Raises
    ------
    ValueError
        `weights` is not 2-D, or `initial` does not hold one weight per column.
    """
    w = np.asarray(weights, dtype=np.float64)
    if w.ndim != 2:
        raise ValueError(f"weights must be 2-D (dates x securities), got shape {w.shape}")
    prev = np.zeros(w.shape[1]) if initial is None else np.asarray(initial, dtype=np.float64)
    if prev.shape != (w.shape[1],):
        raise ValueError(f"initial must hold one weight per column of weights ({w.shape[1]}), got shape "
                         f"{prev.shape}")
    return np.asarray(0.5 * np.abs(np.diff(w, axis=0, prepend=prev[None, :])).sum(axis=1), dtype=np.float64)


def run_turnover(run: Any) -> NDArray[np.float64]:
    """A run's one-way turnover per row: its own ``turnover`` when it has one, else :func:`turnover` from cash.

    A run continued from a state starts from the state's weights, which only
    the run itself knows; a result without a ``turnover`` of its own is
    taken to start from cash.
    """
    own = getattr(run, "turnover", None)
    if own is None:
        return turnover(run.weights)
    out = np.asarray(own, dtype=np.float64)
    if out.shape != (len(run.weights),):
        raise ValueError(f"the run's turnover has shape {out.shape}; one value per row of its weights "
                         f"({len(run.weights)}) expected")
    return out


def traded_between(status: ArrayLike) -> NDArray[np.bool_]:
    """Rows that trade from one processed date to the next: processed, after a processed row.

    Row 0 is never one (it starts from cash or from a state), nor a row after
    a skipped or empty date (a purchase from cash).
    """
    done = np.asarray(status) == 0
    out = np.zeros(len(done), dtype=bool)
    out[1:] = done[1:] & done[:-1]
    return out


_SECTOR_OF = {sector_formula(code): code for code in range(SECTOR_COUNT)}

#: Titles of the report's panels, in drawing order (the factor panels are
#: titled by factor name).
PANELS = ("Holdings and turnover", "Exposure control: control passes per date",
          "Benchmark membership and active share", "Factor limits: share of processed dates",
          "Sector exposures after control", "Sectors: share of processed dates")

#: An exposure after control of at least this fraction of its limit (and not
#: over it) counts as at the limit: the limit binds.
AT_LIMIT = 0.9


def risk_label(name: str, library: str | None = "VelaIntradayModel") -> str:
    """A risk name as a reader knows it: the sector's name for a sector formula, the name itself otherwise.

    Sector names come from the data library (:func:`Kestrel.tables.sector_names`);
    without them, or with `library` None, the sector formula of code 7 reads "sector 7".
    """
    names = sector_names(library) if library is not None and name in _SECTOR_OF else None
    return _risk_labels([name], names)[0]


def _risk_labels(names: Sequence[str], sectors: Sequence[str] | None) -> list[str]:
    out = []
    for name in names:
        code = _SECTOR_OF.get(name)
        out.append(name if code is None else sectors[code] if sectors is not None else f"sector {code}")
    return out


def _active_share(w: NDArray[np.float64], bench: ArrayLike | None, rows: NDArray[np.int64]) -> NDArray[np.float64]:
    if bench is None:
        return np.full(len(w), np.nan)
    b = np.nan_to_num(np.asarray(bench, dtype=np.float64)[rows])
    with np.errstate(invalid="ignore", divide="ignore"):
        b = b / b.sum(axis=1, keepdims=True)  # scaled to sum to 1, as the run scales it
    return 0.5 * np.abs(w - b).sum(axis=1)


def _dates_over(run: Any, done: NDArray[np.bool_]) -> str:
    """Dates whose returned weights are over a limit, before and after the exact finish."""
    after = int(np.asarray(run.over_limit, dtype=bool).reshape(len(done), -1)[done].any(axis=1).sum())
    status = np.asarray(getattr(run, "finish_status", np.full(len(done), "")))
    tried = int((status[done] != "").sum())
    if not tried:
        return ""  # without the finish, the "still over after" bars say it
    finished = int(np.asarray(run.finished)[done].sum())
    return (f"\nreturned weights over a limit on {after + finished} date(s) before the exact finish, "
            f"{after} after it ({finished} finished)")


def _percent(values: NDArray[np.float64]) -> str:
    """A mean in percent, or "n/a" when there is nothing to average."""
    return f"{np.nanmean(values):.1f}%" if np.isfinite(values).any() else "n/a"


@dataclass
class _Report:
    """What the panels draw from: the run's arrays, shaped, and the caller's extras."""

    run: Any
    x: Any  # date or row of each result row
    dated: bool
    rows: NDArray[np.int64]
    w: NDArray[np.float64]
    names: list[str]
    labels: list[str]  # names as a reader knows them (sector names)
    limits: NDArray[np.float64]
    status: NDArray[Any]
    done: NDArray[np.bool_]
    first: NDArray[np.float64]
    last: NDArray[np.float64]
    over: NDArray[np.bool_]
    factors: list[int]
    sectors: list[int]
    bench: ArrayLike | None
    max_loop_num: int | None

    def shares(self, cols: list[int]) -> dict[str, NDArray[np.float64]]:
        """Per risk name, % of processed dates: over the limit before control, at it and over it after."""
        n = max(int(self.done.sum()), 1)
        lim = self.limits[cols]
        first, last = self.first[self.done][:, cols], self.last[self.done][:, cols]
        with np.errstate(invalid="ignore"):
            before = (np.abs(first) > lim).sum(axis=0)
            at = ((np.abs(last) >= AT_LIMIT * lim) & ~self.over[self.done][:, cols]).sum(axis=0)
        after = self.over[self.done][:, cols].sum(axis=0)
        return {_BEFORE: before / n * 100, _AT: at / n * 100, _AFTER: after / n * 100}

    def median_use(self, cols: list[int]) -> NDArray[np.float64]:
        """Per risk name, the median over processed dates of |exposure after control| / limit, in %."""
        with np.errstate(invalid="ignore", divide="ignore"):
            ratio = np.abs(self.last[self.done][:, cols]) / self.limits[cols] * 100
        out = np.full(len(cols), np.nan)
        seen = np.isfinite(ratio).any(axis=0)
        if seen.any():
            out[seen] = np.nanmedian(ratio[:, seen], axis=0)
        return out


_BEFORE, _AFTER = "over its limit before control", "still over after control"
_AT = f"within {(1 - AT_LIMIT) * 100:.0f}% of its limit after control"
_SHARE_COLOURS = {_BEFORE: "tab:orange", _AT: "tab:blue", _AFTER: "tab:red"}
_SHORT = {_BEFORE: "over before control", _AT: "near it after", _AFTER: "still over after"}


def _date_axis(ax: Any, d: _Report) -> None:
    if d.dated:
        from matplotlib.dates import AutoDateLocator, ConciseDateFormatter

        loc = AutoDateLocator(minticks=3, maxticks=7)
        # Days as "Jan 08" so that a short run's ticks name the month; the title gives the years.
        fmt = ConciseDateFormatter(loc, formats=["%Y", "%b", "%b %d", "%H:%M", "%H:%M", "%S.%f"], show_offset=False)
        ax.xaxis.set_major_locator(loc)
        ax.xaxis.set_major_formatter(fmt)
    else:
        _counts(ax.xaxis)  # row numbers
    ax.grid(True, alpha=0.3)


def _counts(axis: Any) -> None:
    """Whole-number ticks on an axis of counts."""
    from matplotlib.ticker import MaxNLocator

    axis.set_major_locator(MaxNLocator(integer=True))


def _med(v: float) -> str:
    return "n/a" if not np.isfinite(v) else f"{v:.0f}%"


def _share_bars(ax: Any, shares: dict[str, NDArray[np.float64]], labels: list[str],
                horizontal: bool) -> tuple[str, float]:
    """Grouped bars, one group per risk name; empty series left out.

    Each group's values above zero are written once, past its longest bar,
    in the colours of their bars: one label per bar would overlap its
    neighbours' once bars are thinner than a number.

    Returns what was left out ("" when nothing), for the panel's title, and
    the title's pad in points that keeps the legend between title and bars.
    """
    from matplotlib.offsetbox import AnnotationBbox, HPacker, TextArea, VPacker

    series = {k: v for k, v in shares.items() if (v > 0).any()}
    pos = np.arange(len(labels))
    width = 0.8 / max(len(series), 1)
    for i, (label, values) in enumerate(series.items()):
        at = pos + (i - (len(series) - 1) / 2) * width
        (ax.barh if horizontal else ax.bar)(at, values, width * 0.95, color=_SHARE_COLOURS[label], label=label)
    for g in pos:
        parts: list[Any] = [
            TextArea(f"{v[g]:.0f}" if v[g] >= 1 else f"{v[g]:.1f}",
                     textprops={"color": _SHARE_COLOURS[k], "fontsize": 7, "fontweight": "bold"})
            for k, v in series.items() if v[g] > 0]
        if not parts:
            continue
        end, at_g = max(float(v[g]) for v in series.values()), float(g)
        box = (HPacker if horizontal else VPacker)(children=parts, sep=3, pad=0,
                                                   align="baseline" if horizontal else "center")
        ax.add_artist(AnnotationBbox(box, (end, at_g) if horizontal else (at_g, end),
                                     xybox=(3, 0) if horizontal else (0, 3), xycoords="data",
                                     boxcoords="offset points", frameon=False,
                                     box_alignment=(0, 0.5) if horizontal else (0.5, 0)))
    top = max((float(v.max()) for v in series.values()), default=0.0)
    room = 1.15 + 0.12 * len(series)  # for the values past the longest bar
    if horizontal:
        ax.set_yticks(pos, labels, fontsize=7)
        ax.set_ylim(len(labels) - 0.5, -0.5)
        ax.set_xlim(0, max(top * room, 5.0))
        ax.set_xlabel("% of processed dates", fontsize=9)
        ax.grid(True, axis="x", alpha=0.3)
    else:
        ax.set_xticks(pos, labels, rotation=40, ha="right", rotation_mode="anchor", fontsize=8)
        ax.set_xlim(-0.6, len(labels) - 0.4)
        ax.set_ylim(0, max(top * room, 5.0))
        ax.set_ylabel("% of processed dates", fontsize=9)
        ax.grid(True, axis="y", alpha=0.3)
    pad = 6.0
    if series:
        # Above the bars, under the title (lifted to make room): inside, it would hide some bars.
        pad = _legend_above(ax, ncols=1 if horizontal else len(series), rows=len(series) if horizontal else 1)
    return ", ".join(_SHORT[k] for k in shares if k not in series), pad


def _legend_above(ax: Any, ncols: int, rows: int = 1, handles: Any = None) -> float:
    """A legend between the panel and its title, clear of the data; returns the title pad, in points, it needs."""
    kw = {} if handles is None else {"handles": handles}
    ax.legend(**kw, fontsize=7, loc="lower left", bbox_to_anchor=(0.0, 1.0), framealpha=0.9, borderaxespad=0.2,
              ncols=ncols)
    return 6.0 + 11.0 * rows


def _line(ax: Any, x: Any, y: NDArray[np.float64], **kw: Any) -> None:
    """A line over time, with a dot where a value stands alone between gaps (a line alone would not show it)."""
    ax.plot(x, y, **kw)
    ok = np.isfinite(y)
    alone = ok.copy()
    alone[1:] &= ~ok[:-1]
    alone[:-1] &= ~ok[1:]
    if alone.any():
        ax.plot(x[alone], y[alone], ls="", marker="o", ms=3, color=kw.get("color"))


def _holdings_panel(ax: Any, d: _Report) -> None:
    held = holdings(d.w).astype(float)
    held[~d.done] = np.nan
    _line(ax, d.x, held, color="tab:green", lw=1.5, label="securities held")
    ax.set_ylabel("securities held")
    ax.set_ylim(0, np.nanmax(held, initial=1.0) * 1.15)
    _counts(ax.yaxis)
    tax = ax.twinx()
    t = run_turnover(d.run) * 100
    # Purchases from cash (the first date, a date after an empty one) are a
    # whole portfolio, not trading: on the line they would flatten the rest.
    traded = traded_between(d.status)
    line = np.where(traded, t, np.nan)
    _line(tax, d.x, line, color="tab:brown", lw=1.0, label="one-way turnover (half the sum of |weight change|)")
    tax.set_ylabel("turnover, % of capital")
    tax.set_ylim(0, np.nanmax(line) * 1.15 if np.isfinite(line).any() else 1.0)
    handles = ax.get_legend_handles_labels()[0] + tax.get_legend_handles_labels()[0]
    pad = _legend_above(ax, ncols=2, handles=handles)
    subtitle = ""
    if d.done.any():
        first = f" (first date, from cash: {t[0]:.1f}%)" if d.done[0] else ""
        subtitle = f"\nmean {np.nanmean(held):.0f} held; one-way turnover {_percent(line)} a date{first}"
        after_empty = int((d.done & ~traded)[1:].sum())
        if after_empty:
            subtitle += f"\nleft off the line: {after_empty} purchase(s) from cash after a date not processed"
    ax.set_title(PANELS[0] + subtitle, fontsize=12, loc="left", pad=pad)


def _passes_panel(ax: Any, d: _Report) -> None:
    loops = np.asarray(d.run.loop_count, dtype=float)
    shown = np.where(d.done, loops, np.nan)
    ax.step(d.x, shown, where="mid", color="tab:gray", lw=1.0)
    top = float(np.nanmax(shown, initial=1.0))
    subtitle = f"\nmean {np.nanmean(shown):.1f}, most {top:.0f}" if d.done.any() else ""
    if d.max_loop_num is not None:
        gave_up = int((loops[d.done] >= d.max_loop_num).sum())
        subtitle += f"; cap {d.max_loop_num} reached on {gave_up} date(s)"
        if d.max_loop_num <= 1.5 * top:  # the cap only when within reach, so the line keeps the panel
            ax.axhline(d.max_loop_num, color="tab:red", ls="--", lw=1)
            top = max(top, d.max_loop_num)
    ax.set_ylim(0, max(top, 1) * 1.15)
    _counts(ax.yaxis)
    ax.set_ylabel("control passes")
    ax.set_title(PANELS[1] + subtitle, fontsize=12, loc="left")


def _membership_panel(ax: Any, d: _Report) -> None:
    bench_hold = np.where(d.done, np.asarray(d.run.bench_hold, dtype=float), np.nan) * 100
    _line(ax, d.x, bench_hold, color="tab:blue", lw=1.5, label="weight in benchmark members")
    share = np.where(d.done, _active_share(d.w, d.bench, d.rows), np.nan) * 100
    means = f"\nmean {_percent(bench_hold)} of the weight in benchmark members"
    if np.isfinite(share).any():
        _line(ax, d.x, share, color="tab:purple", lw=1.5, label="active share")
        means += f", active share {_percent(share)}"
    for code, mark, label in ((1, "v", "skipped: benchmark short"), (2, "x", "left empty")):
        hit = d.status == code
        if hit.any():
            ax.plot(d.x[hit], np.zeros(hit.sum()), mark, color="tab:red", ms=6, label=label)
            means += f"; {int(hit.sum())} {label.split(':')[0]}"
    ax.set_ylim(-4, 105)  # the markers at 0 clear of the frame
    ax.set_ylabel("% of the portfolio")
    pad = _legend_above(ax, ncols=4)
    ax.set_title(PANELS[2] + (means if d.done.any() else ""), fontsize=12, loc="left", pad=pad)


def _factor_limits_panel(ax: Any, d: _Report) -> None:
    medians = d.median_use(d.factors)
    labels = [f"{d.labels[k]} ({_med(m)})" for k, m in zip(d.factors, medians)]
    missing, pad = _share_bars(ax, d.shares(d.factors), labels, horizontal=False)
    ax.set_xlabel("factor (median |exposure| after control, % of its limit)", fontsize=8)
    ax.set_title(PANELS[3] + (f"\n(none {missing})" if missing else "") + _dates_over(d.run, d.done), fontsize=12,
                 loc="left", pad=pad)


def _factor_panel(ax: Any, d: _Report, k: int, span: float) -> None:
    lim = d.limits[k]
    ax.axhspan(-lim, lim, color="tab:green", alpha=0.08, lw=0)
    for s in (lim, -lim):
        ax.axhline(s, color="tab:green", ls="--", lw=1)
    _line(ax, d.x, np.where(d.done, d.first[:, k], np.nan), color="tab:orange", lw=0.8, alpha=0.7,
          label="active exposure before control")
    _line(ax, d.x, np.where(d.done, d.last[:, k], np.nan), color="tab:blue", lw=1.2,
          label="after control (the weights returned)")
    ax.set_ylim(-span, span)
    ax.set_title(f"{d.labels[k]} (limit ±{lim:g})", fontsize=10)
    ax.tick_params(labelsize=8)


#: Bands of |exposure| / limit in the sector map, inside the limit.
_BANDS = (0.5, 0.75, AT_LIMIT)


def _sector_heatmap(ax: Any, d: _Report) -> Any:
    """Exposure after control as a multiple of the limit, in bands that make sitting at the limit stand out."""
    from matplotlib.colors import BoundaryNorm, ListedColormap

    with np.errstate(invalid="ignore", divide="ignore"):
        ratio = (d.last[:, d.sectors] / d.limits[d.sectors]).T
    ratio[:, ~d.done] = np.nan
    bounds = [-10, -1.0001, *(-b for b in reversed(_BANDS)), *_BANDS, 1.0001, 10]
    colours = ["#40004b", "#08306b", "#6baed6", "#deebf7", "#ffffff", "#fee0d2", "#fb6a4a", "#67000d", "#3f007d"]
    cmap = ListedColormap(colours).with_extremes(bad="0.85")
    if d.dated:
        from matplotlib.dates import date2num

        centres = date2num(d.x)
    else:
        centres = d.x.astype(float)
    step = np.diff(centres) if len(centres) > 1 else np.array([1.0])
    edges = np.concatenate([[centres[0] - step[0] / 2], centres[:-1] + step / 2, [centres[-1] + step[-1] / 2]])
    mesh = ax.pcolormesh(edges, np.arange(len(d.sectors) + 1) - 0.5, ratio, cmap=cmap,
                         norm=BoundaryNorm(bounds, cmap.N), shading="flat")
    ax.set_ylim(len(d.sectors) - 0.5, -0.5)
    ax.set_yticks(np.arange(len(d.sectors)), [d.labels[k] for k in d.sectors], fontsize=7)
    ax.set_title(f"{PANELS[4]} against their limit ±{d.limits[d.sectors].max():g}: darkest within "
                 f"{(1 - AT_LIMIT) * 100:.0f}% of it, purple over it, grey not measured", fontsize=12, loc="left")
    return mesh, bounds


def _sector_shares_panel(ax: Any, d: _Report) -> None:
    missing, pad = _share_bars(ax, d.shares(d.sectors), [d.labels[k] for k in d.sectors], horizontal=True)
    # The rows are the map's rows, whose labels name them: this side gives each sector's median use.
    ax.yaxis.tick_right()
    ax.set_yticks(np.arange(len(d.sectors)), [_med(m) for m in d.median_use(d.sectors)], fontsize=7)
    ax.yaxis.set_label_position("right")
    ax.set_ylabel("median |exposure| after control, % of its limit", fontsize=8)
    ax.set_title(PANELS[5] + (f"\n(none {missing})" if missing else ""), fontsize=11, loc="left", pad=pad)


def report_figure(run: Any, *, bench: ArrayLike | None = None, dates: ArrayLike | None = None,
                  max_loop_num: int | None = None, title: str | None = None, dpi: int = 110,
                  library: str | None = "VelaIntradayModel") -> Any:
    """Build the report of :func:`plot_run` as a matplotlib Figure (not saved).

    Parameters are those of :func:`plot_run` without `path`.
    """
    from matplotlib.figure import Figure
    from matplotlib.layout_engine import ConstrainedLayoutEngine
    from matplotlib.patches import Patch

    rows = np.asarray(run.rows, dtype=np.int64)
    names = [str(n) for n in run.risk_names]
    shape = (len(rows), len(names))
    status = np.asarray(run.status)
    dated = dates is not None and len(rows) > 0
    sectors = [k for k, n in enumerate(names) if n in _SECTOR_OF]
    d = _Report(
        run=run, x=np.asarray(dates, dtype="datetime64[D]")[rows] if dated else rows, dated=dated, rows=rows,
        w=np.asarray(run.weights, dtype=np.float64), names=names,
        labels=_risk_labels(names, sector_names(library) if sectors and library is not None else None),
        limits=np.asarray(run.limits, dtype=np.float64),
        status=status, done=status == 0, first=np.asarray(run.first_expo, dtype=np.float64).reshape(shape),
        # After control: the weights returned (the loop's last measurement where the run has no expo).
        last=np.asarray(getattr(run, "expo", run.last_expo), dtype=np.float64).reshape(shape),
        over=np.asarray(run.over_limit, dtype=bool).reshape(shape),
        factors=[k for k in range(len(names)) if k not in sectors], sectors=sectors, bench=bench,
        max_loop_num=max_loop_num)

    ncols = 5
    nrows_f = -(-len(d.factors) // ncols) if d.factors else 0
    # One subfigure per band of panels, so that each band lays out its own columns.
    bands: list[tuple[str, float]] = [("top", 2.8), ("middle", 3.2)]
    if nrows_f:
        bands.append(("factors", 2.0 * nrows_f))
    if d.sectors:
        bands.append(("sectors", 0.13 * len(d.sectors) + 1.2))
    # Room between neighbouring panels, so that an axis label reads as its own panel's.
    fig = Figure(figsize=(16, sum(h for _, h in bands) + 1.0), dpi=dpi,
                 layout=ConstrainedLayoutEngine(w_pad=0.12, wspace=0.05))
    span_text = (f"{d.x[0]} to {d.x[-1]}" if dated else f"rows {rows[0]} to {rows[-1]}") if len(rows) else "no rows"
    secu = f"{d.w.shape[1]} securities"
    facts = f"{len(rows)} dates, {int(d.done.sum())} processed" + ("" if title and secu in title else f", {secu}")
    fig.suptitle(f"{title or 'Kestrel run'}\n{span_text}: {facts}", fontsize=14, fontweight="bold")
    subs = fig.subfigures(len(bands), 1, height_ratios=[h for _, h in bands])
    band = dict(zip((name for name, _ in bands), np.atleast_1d(subs)))

    # Every time axis shares one x range and one tick layout.
    time_axes: list[Any] = []

    def timed(sub: Any, slot: Any) -> Any:
        ax = sub.add_subplot(slot, sharex=time_axes[0] if time_axes else None)
        time_axes.append(ax)
        return ax

    top = band["top"].add_gridspec(1, 5)
    _holdings_panel(timed(band["top"], top[0, :3]), d)
    _passes_panel(timed(band["top"], top[0, 3:]), d)
    middle = band["middle"].add_gridspec(1, 5)
    _membership_panel(timed(band["middle"], middle[0, :3]), d)
    _factor_limits_panel(band["middle"].add_subplot(middle[0, 3:]), d)

    if nrows_f:
        span = np.nanmax(np.abs(np.concatenate([d.first[:, d.factors], d.last[:, d.factors]])))
        span = max(float(np.nan_to_num(span)), float(d.limits[d.factors].max())) * 1.1 or 1.0
        grid = band["factors"].add_gridspec(nrows_f, ncols)
        for i, k in enumerate(d.factors):
            ax = timed(band["factors"], grid[i // ncols, i % ncols])
            _factor_panel(ax, d, k, span)
            if i == 0:  # one legend for the band, above it: inside a panel it would hide a line
                handles, labels = ax.get_legend_handles_labels()
                limit = Patch(facecolor="tab:green", alpha=0.15, edgecolor="tab:green", ls="--", label="± its limit")
                band["factors"].legend([*handles, limit], [*labels, limit.get_label()], loc="outside upper left",
                                       ncols=3, fontsize=8, frameon=False)
            if i % ncols == 0:
                ax.set_ylabel("active exposure", fontsize=9)

    if d.sectors:
        grid = band["sectors"].add_gridspec(1, 5)
        axh = timed(band["sectors"], grid[0, :4])
        mesh, bounds = _sector_heatmap(axh, d)
        cbar = band["sectors"].colorbar(mesh, ax=axh, pad=0.02, fraction=0.025, ticks=bounds[1:-1])
        inner = [f"{b:g}" for b in _BANDS]
        cbar.ax.set_yticklabels(["−1 (over)", *(f"−{b}" for b in reversed(inner)), *inner, "1 (over)"], fontsize=7)
        cbar.set_label("exposure / limit", fontsize=8)
        cbar.ax.yaxis.set_label_position("left")
        _sector_shares_panel(band["sectors"].add_subplot(grid[0, 4]), d)

    for ax in time_axes:
        _date_axis(ax, d)
    if len(rows):
        first, last = (d.x[0], d.x[-1])
        pad = (last - first) * 0.01 if len(rows) > 1 else 1
        time_axes[0].set_xlim(first - pad, last + pad)
    return fig


def plot_run(run: Any, path: str | Path = "kestrel_report.png", *, bench: ArrayLike | None = None,
             dates: ArrayLike | None = None, max_loop_num: int | None = None, title: str | None = None,
             dpi: int = 110, library: str | None = "VelaIntradayModel") -> Path:
    """Draw a one-page PNG report of a run.

    Panels (titles in :data:`PANELS`): securities held and one-way turnover
    over time; exposure-control passes per date; weight held in benchmark
    members and active share, with their means; per configured factor, the
    share of processed dates on which it was over its limit before control,
    within 10% of it after control (:data:`AT_LIMIT`) and still over it, each
    factor labelled with its median |exposure| after control as a share of
    its limit; one chart per configured factor (one y-scale for all) with its
    exposure before and after control against its ±limit; the 28 sector
    exposures after control as multiples of their limit, in bands that make
    sitting at the limit stand out, beside the same per-sector shares of
    dates and medians. Sectors carry the data library's names where it
    offers them (:func:`Kestrel.tables.sector_names`). The title gives
    the date range.

    Parameters
    ----------
    run : Kestrel.RunResult or an object with the same attributes
        Reads ``weights``, ``rows``, ``risk_names``, ``limits``, ``status``,
        ``loop_count``, ``first_expo``, ``last_expo``, ``over_limit`` and
        ``bench_hold``; "after control" is ``expo`` (the exposures of the
        weights returned) where the run has it, ``last_expo`` otherwise, and
        the dates over a limit are counted before and after the exact finish
        when the run used it. Turnover is the run's ``turnover`` where it has
        one, :func:`turnover` of its weights from cash otherwise.
    path : str or pathlib.Path, default "kestrel_report.png"
        Where to write the PNG.
    bench : array_like, shape (T, N), optional
        The universe's benchmark weights per score-matrix row, any scale
        (each row is scaled to sum to 1, as the run does); needed for the
        active share, which is left out without it.
    dates : array_like of datetime64, optional
        Date of each score-matrix row; row numbers are used without it.
    max_loop_num : int, optional
        The run's setting, drawn as a line on the control passes.
    title : str, optional
    dpi : int, default 110
    library : str or None, default "VelaIntradayModel"
        Data library asked for sector names; None labels sectors by code.

    Returns
    -------
    pathlib.Path
        `path`.
    """
    fig = report_figure(run, bench=bench, dates=dates, max_loop_num=max_loop_num, title=title, dpi=dpi,
                        library=library)
    out = Path(path)
    fig.savefig(out, dpi=dpi)
    return out

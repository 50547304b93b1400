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

from Kestrel.tables import SECTOR_COUNT, sector_formula

__all__ = ["PANELS", "REPORT_LINE", "ReportLine", "exposures", "holdings", "parse_report", "plot_run", "report_figure",
           "risk_label", "turnover"]

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


def turnover(weights: ArrayLike) -> NDArray[np.float64]:
    """Sum of |weight change| from the previous date; NaN where either date is empty.

    Returns
    -------
    ndarray of float64, shape (T,)
        Entry 0 is NaN (no previous date).
    """
    w = np.asarray(weights, dtype=np.float64)
    out = np.full(len(w), np.nan)
    if len(w) > 1:
        held = np.asarray((w > 0).any(axis=1))
        both = held[1:] & held[:-1]
        out[1:] = np.where(both, np.abs(np.diff(w, axis=0)).sum(axis=1), np.nan)
    return out


_SECTOR_OF = {sector_formula(code): code for code in range(SECTOR_COUNT)}

#: Titles of the report's panels, in drawing order (the factor panels are
#: titled by factor name).
PANELS = ("Holdings and turnover", "Exposure control: control passes per date",
          "Benchmark membership and active share", "Factor limits: share of processed dates",
          "Sector exposures after control", "Sectors: share of processed dates")

#: An exposure within this fraction of its limit counts as sitting at the limit.
AT_LIMIT = 0.99


def risk_label(name: str) -> str:
    """A risk name as a reader knows it: "sector 7" for the sector formula of code 7."""
    return f"sector {_SECTOR_OF[name]}" if name in _SECTOR_OF else name


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


@dataclass
class _Report:
    """What the panels draw from: the run's arrays, shaped, and the caller's extras."""

    run: Any
    x: Any  # date or row of each result row
    dated: bool
    rows: NDArray[np.int64]
    w: NDArray[np.float64]
    names: list[str]
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
        return {"over its limit before control": before / n * 100, "at its limit after control": at / n * 100,
                "still over after control": after / n * 100}


_SHARE_COLOURS = {"over its limit before control": "tab:orange", "at its limit after control": "tab:blue",
                  "still over after control": "tab:red"}


def _date_axis(ax: Any, d: _Report) -> None:
    if d.dated:
        from matplotlib.dates import AutoDateLocator, ConciseDateFormatter

        loc = AutoDateLocator(minticks=3, maxticks=7)
        # Days as "Jan 08" so that a short run's ticks name the month; the title gives the years.
        fmt = ConciseDateFormatter(loc, formats=["%Y", "%b", "%b %d", "%H:%M", "%H:%M", "%S.%f"], show_offset=False)
        ax.xaxis.set_major_locator(loc)
        ax.xaxis.set_major_formatter(fmt)
    ax.grid(True, alpha=0.3)


_SHORT = {"over its limit before control": "over before control", "at its limit after control": "at it after",
          "still over after control": "still over after"}


def _share_bars(ax: Any, shares: dict[str, NDArray[np.float64]], labels: list[str], horizontal: bool) -> str:
    """Grouped bars, one group per risk name, each bar above zero labelled; empty series left out.

    Returns what was left out ("" when nothing), for the panel's title.
    """
    series = {k: v for k, v in shares.items() if (v > 0).any()}
    pos = np.arange(len(labels))
    width = 0.8 / max(len(series), 1)
    for i, (label, values) in enumerate(series.items()):
        at = pos + (i - (len(series) - 1) / 2) * width
        bars = (ax.barh if horizontal else ax.bar)(at, values, width * 0.95, color=_SHARE_COLOURS[label],
                                                   label=label)
        ax.bar_label(bars, labels=[f"{v:.0f}" if v >= 1 else (f"{v:.1f}" if v > 0 else "") for v in values],
                     fontsize=7, padding=1)
    top = max((float(v.max()) for v in series.values()), default=0.0)
    if horizontal:
        ax.set_yticks(pos, labels, fontsize=7)
        ax.set_ylim(len(labels) - 0.5, -0.5)
        ax.set_xlim(0, max(top * 1.25, 5.0))
        ax.set_xlabel("% of processed dates", fontsize=9)
        ax.grid(True, axis="x", alpha=0.3)
    else:
        ax.set_xticks(pos, labels, rotation=45, ha="right", fontsize=8)
        ax.set_xlim(-0.6, len(labels) - 0.4)
        ax.set_ylim(0, max(top * 1.2, 5.0))
        ax.set_ylabel("% of processed dates", fontsize=9)
        ax.grid(True, axis="y", alpha=0.3)
    if series:
        ax.legend(fontsize=8, loc="lower right" if horizontal else "upper right", framealpha=0.9)
    return ", ".join(_SHORT[k] for k in shares if k not in series)


def _holdings_panel(ax: Any, d: _Report) -> None:
    held = holdings(d.w).astype(float)
    held[~d.done] = np.nan
    ax.plot(d.x, held, color="tab:green", lw=1.5, label="securities held")
    ax.set_ylabel("securities held")
    ax.set_ylim(0, np.nanmax(held, initial=1.0) * 1.15)
    tax = ax.twinx()
    t = turnover(d.w) * 100
    t[~d.done] = np.nan
    tax.plot(d.x, t, color="tab:brown", lw=1.0, label="turnover (sum of |weight change|)")
    tax.set_ylabel("turnover, % of capital")
    tax.set_ylim(0, np.nanmax(t, initial=1.0) * 1.15 if np.isfinite(t).any() else 1.0)
    handles = ax.get_legend_handles_labels()[0] + tax.get_legend_handles_labels()[0]
    ax.legend(handles=handles, loc="lower left", fontsize=8, ncols=2, framealpha=0.9)
    mean_t = np.nanmean(t) if np.isfinite(t).any() else float("nan")
    ax.set_title(f"{PANELS[0]} (mean {np.nanmean(held):.0f} held, turnover {mean_t:.1f}% a date)",
                 fontsize=12, loc="left")


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
    ax.set_ylabel("control passes")
    ax.set_title(PANELS[1] + subtitle, fontsize=12, loc="left")


def _membership_panel(ax: Any, d: _Report) -> None:
    bench_hold = np.where(d.done, np.asarray(d.run.bench_hold, dtype=float), np.nan)
    ax.plot(d.x, bench_hold * 100, color="tab:blue", lw=1.5, label="weight in benchmark members")
    share = _active_share(d.w, d.bench, d.rows)
    if np.isfinite(share[d.done]).any():
        ax.plot(d.x, np.where(d.done, share, np.nan) * 100, color="tab:purple", lw=1.5, label="active share")
    for code, mark, label in ((1, "v", "skipped: benchmark short"), (2, "x", "left empty")):
        hit = d.status == code
        if hit.any():
            ax.plot(d.x[hit], np.zeros(hit.sum()), mark, color="tab:red", ms=6, label=label)
    ax.set_ylim(0, 105)
    ax.set_ylabel("% of the portfolio")
    ax.legend(loc="lower left", fontsize=8, framealpha=0.9, ncols=2)
    ax.set_title(PANELS[2], fontsize=12, loc="left")


def _factor_limits_panel(ax: Any, d: _Report) -> None:
    missing = _share_bars(ax, d.shares(d.factors), [d.names[k] for k in d.factors], horizontal=False)
    ax.set_title(PANELS[3] + (f"\n(none {missing})" if missing else "") + _dates_over(d.run, d.done), fontsize=12,
                 loc="left")


def _factor_panel(ax: Any, d: _Report, k: int, span: float) -> None:
    lim = d.limits[k]
    ax.axhspan(-lim, lim, color="tab:green", alpha=0.08, lw=0)
    for s in (lim, -lim):
        ax.axhline(s, color="tab:green", ls="--", lw=1)
    ax.plot(d.x, np.where(d.done, d.first[:, k], np.nan), color="tab:orange", lw=0.8, alpha=0.7,
            label="before control")
    ax.plot(d.x, np.where(d.done, d.last[:, k], np.nan), color="tab:blue", lw=1.2, label="after control")
    ax.set_ylim(-span, span)
    ax.set_title(f"{d.names[k]} (limit ±{lim:g})", fontsize=10)
    ax.tick_params(labelsize=8)


def _sector_heatmap(ax: Any, d: _Report) -> Any:
    """Exposure after control as a multiple of the limit, in bands that make sitting at the limit stand out."""
    from matplotlib.colors import BoundaryNorm, ListedColormap

    with np.errstate(invalid="ignore", divide="ignore"):
        ratio = (d.last[:, d.sectors] / d.limits[d.sectors]).T
    ratio[:, ~d.done] = np.nan
    bounds = [-10, -1.0001, -AT_LIMIT, -0.9, -0.5, 0.5, 0.9, AT_LIMIT, 1.0001, 10]
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
    ax.set_yticks(np.arange(len(d.sectors)), [risk_label(d.names[k]) for k in d.sectors], fontsize=7)
    ax.set_title(f"{PANELS[4]} against their limit ±{d.limits[d.sectors].max():g}: dark at the limit, "
                 "purple over it, grey not measured", fontsize=12, loc="left")
    return mesh, bounds


def report_figure(run: Any, *, bench: ArrayLike | None = None, dates: ArrayLike | None = None,
                  max_loop_num: int | None = None, title: str | None = None, dpi: int = 110) -> Any:
    """Build the report of :func:`plot_run` as a matplotlib Figure (not saved).

    Parameters are those of :func:`plot_run` without `path`.
    """
    from matplotlib.figure import Figure

    rows = np.asarray(run.rows, dtype=np.int64)
    names = [str(n) for n in run.risk_names]
    shape = (len(rows), len(names))
    status = np.asarray(run.status)
    dated = dates is not None and len(rows) > 0
    d = _Report(
        run=run, x=np.asarray(dates, dtype="datetime64[D]")[rows] if dated else rows, dated=dated, rows=rows,
        w=np.asarray(run.weights, dtype=np.float64), names=names, limits=np.asarray(run.limits, dtype=np.float64),
        status=status, done=status == 0, first=np.asarray(run.first_expo, dtype=np.float64).reshape(shape),
        # After control: the weights returned (the loop's last measurement where the run has no expo).
        last=np.asarray(getattr(run, "expo", run.last_expo), dtype=np.float64).reshape(shape),
        over=np.asarray(run.over_limit, dtype=bool).reshape(shape),
        factors=[k for k, n in enumerate(names) if n not in _SECTOR_OF],
        sectors=[k for k, n in enumerate(names) if n in _SECTOR_OF], bench=bench, max_loop_num=max_loop_num)

    ncols = 5
    nrows_f = -(-len(d.factors) // ncols) if d.factors else 0
    # One subfigure per band of panels, so that each band lays out its own columns.
    bands: list[tuple[str, float]] = [("top", 2.6), ("middle", 2.6)]
    if nrows_f:
        bands.append(("factors", 2.0 * nrows_f))
    if d.sectors:
        bands.append(("sectors", 0.13 * len(d.sectors) + 1.2))
    fig = Figure(figsize=(16, sum(h for _, h in bands) + 1.0), dpi=dpi, layout="constrained")
    span_text = (f"{d.x[0]} to {d.x[-1]}" if dated else f"rows {rows[0]} to {rows[-1]}") if len(rows) else "no rows"
    fig.suptitle(f"{title or 'Kestrel run'}\n{span_text}: {len(rows)} dates, {int(d.done.sum())} processed, "
                 f"{d.w.shape[1]} securities", fontsize=14, fontweight="bold")
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
            if i == 0:
                ax.legend(fontsize=8, loc="lower left", framealpha=0.9)
            if i % ncols == 0:
                ax.set_ylabel("active exposure", fontsize=9)

    if d.sectors:
        grid = band["sectors"].add_gridspec(1, 5)
        axh = timed(band["sectors"], grid[0, :4])
        mesh, bounds = _sector_heatmap(axh, d)
        cbar = band["sectors"].colorbar(mesh, ax=axh, pad=0.01, fraction=0.025, ticks=bounds[1:-1])
        cbar.ax.set_yticklabels(["−1 (over)", f"−{AT_LIMIT:g}", "−0.9", "−0.5", "0.5", "0.9", f"{AT_LIMIT:g}",
                                 "1 (over)"], fontsize=7)
        cbar.set_label("exposure / limit", fontsize=8)
        cbar.ax.yaxis.set_label_position("left")
        axs = band["sectors"].add_subplot(grid[0, 4])
        missing = _share_bars(axs, d.shares(d.sectors), [risk_label(d.names[k]) for k in d.sectors],
                              horizontal=True)
        axs.set_title(PANELS[5] + (f"\n(none {missing})" if missing else ""), fontsize=11, loc="left")

    for ax in time_axes:
        _date_axis(ax, d)
    if len(rows):
        first, last = (d.x[0], d.x[-1])
        pad = (last - first) * 0.01 if len(rows) > 1 else 1
        time_axes[0].set_xlim(first - pad, last + pad)
    return fig


def plot_run(run: Any, path: str | Path = "kestrel_report.png", *, bench: ArrayLike | None = None,
             dates: ArrayLike | None = None, max_loop_num: int | None = None, title: str | None = None,
             dpi: int = 110) -> Path:
    """Draw a one-page PNG report of a run.

    Panels (titles in :data:`PANELS`): securities held and turnover over
    time; exposure-control passes per date; weight held in benchmark members
    and active share; per configured factor, the share of processed dates on
    which it was over its limit before control, at it after control and
    still over it; one chart per configured factor (one y-scale for all)
    with its exposure before and after control against its ±limit; the 28
    sector exposures after control as multiples of their limit, in bands
    that make sitting at the limit stand out, beside the same per-sector
    shares of dates. The title gives the date range.

    Parameters
    ----------
    run : Kestrel.RunResult or an object with the same attributes
        Reads ``weights``, ``rows``, ``risk_names``, ``limits``, ``status``,
        ``loop_count``, ``first_expo``, ``last_expo``, ``over_limit`` and
        ``bench_hold``; "after control" is ``expo`` (the exposures of the
        weights returned) where the run has it, ``last_expo`` otherwise, and
        the dates over a limit are counted before and after the exact finish
        when the run used it.
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

    Returns
    -------
    pathlib.Path
        `path`.
    """
    fig = report_figure(run, bench=bench, dates=dates, max_loop_num=max_loop_num, title=title, dpi=dpi)
    out = Path(path)
    fig.savefig(out, dpi=dpi)
    return out

"""Read Kestrel's per-date report lines, and draw a PNG report of a run.

With ``print_result`` set, a run writes one line per processed date to
``sys.stdout``::

    17 LoopCount: 3 FirstExpo: [0.41 -0.02] LastExpo: [0.33 -0.01] BenchHold: 0.87 HoldNum: (112,) 1.0

:func:`parse_report` turns captured text into :class:`ReportLine` records.

:func:`plot_run` draws a one-page PNG of a run from the per-date arrays of a
run object (``Kestrel.run``'s ``RunResult``, or anything with the same
attributes): benchmark membership and active share, exposure-control loop
counts and how often each limit binds, the configured factors before and
after control, and the 28 sector exposures against their limit. It uses
matplotlib's Agg canvas and touches no pyplot state.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kestrel_tools.tables import SECTOR_COUNT, sector_formula

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
PANELS = ("Benchmark membership and active share", "Exposure control: measurements per date",
          "Share of dates on which each limit binds", "Sector exposures after control")


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


def report_figure(run: Any, *, bench: ArrayLike | None = None, dates: ArrayLike | None = None,
                  max_loop_num: int | None = None, title: str | None = None, dpi: int = 110) -> Any:
    """Build the report of :func:`plot_run` as a matplotlib Figure (not saved).

    Parameters are those of :func:`plot_run` without `path`.
    """
    from matplotlib import colormaps
    from matplotlib.dates import AutoDateLocator, ConciseDateFormatter, date2num
    from matplotlib.figure import Figure

    rows = np.asarray(run.rows, dtype=np.int64)
    w = np.asarray(run.weights, dtype=np.float64)
    names = [str(n) for n in run.risk_names]
    limits = np.asarray(run.limits, dtype=np.float64)
    status = np.asarray(run.status)
    first = np.asarray(run.first_expo, dtype=np.float64).reshape(len(rows), len(names))
    last = np.asarray(run.last_expo, dtype=np.float64).reshape(len(rows), len(names))
    done = status == 0
    sectors = [k for k, n in enumerate(names) if n in _SECTOR_OF]
    factors = [k for k, n in enumerate(names) if n not in _SECTOR_OF]
    x: Any = rows if dates is None else np.asarray(dates, dtype="datetime64[D]")[rows]

    ncols = min(5, max(len(factors), 1))
    nrows_f = -(-len(factors) // ncols) if factors else 0
    heights = [2.6, 2.4] + [2.1] * nrows_f + ([0.12 * len(sectors) + 1.2] if sectors else [])
    fig = Figure(figsize=(16, sum(heights) + 1.0), dpi=dpi, layout="constrained")
    grid = fig.add_gridspec(len(heights), max(ncols, 5), height_ratios=heights)
    if title:
        fig.suptitle(title, fontsize=15, fontweight="bold")

    def date_axis(ax: Any) -> None:
        if dates is not None:
            loc = AutoDateLocator(minticks=3, maxticks=7)
            ax.xaxis.set_major_locator(loc)
            ax.xaxis.set_major_formatter(ConciseDateFormatter(loc))
        ax.margins(x=0.01)
        ax.grid(True, alpha=0.3)

    # Benchmark membership and active share, both as shares of the portfolio.
    ax = fig.add_subplot(grid[0, :3])
    ax.plot(x[done], np.asarray(run.bench_hold)[done] * 100, color="tab:blue", lw=1.5,
            label="weight in benchmark members")
    share = _active_share(w, bench, rows)
    if np.isfinite(share[done]).any():
        ax.plot(x[done], share[done] * 100, color="tab:purple", lw=1.5, label="active share")
    for code, mark, label in ((1, "v", "skipped: benchmark short"), (2, "x", "left empty")):
        if (status == code).any():
            ax.plot(x[status == code], np.zeros((status == code).sum()), mark, color="tab:red", ms=6, label=label)
    ax.set_ylim(0, 105)
    ax.set_ylabel("% of the portfolio")
    ax.legend(loc="lower left", fontsize=9, framealpha=0.9, ncols=2)
    ax.set_title(PANELS[0], fontsize=12, loc="left")
    date_axis(ax)

    # Measurements per date: 1 means the first position was already inside every limit.
    ax = fig.add_subplot(grid[0, 3:])
    loops = np.asarray(run.loop_count)
    ax.bar(x[done], loops[done], width=1.0, color="tab:gray")
    top = int(loops[done].max()) if done.any() else 1
    subtitle = ""
    if max_loop_num is not None:
        # The cap is drawn only when it is within reach, so that the bars keep the panel.
        gave_up = int((loops[done] >= max_loop_num).sum())
        subtitle = f"\nmax_loop_num {max_loop_num}: reached on {gave_up} date(s)"
        if max_loop_num <= 1.5 * top:
            ax.axhline(max_loop_num, color="tab:red", ls="--", lw=1)
            top = max(top, max_loop_num)
    ax.set_ylim(0, max(top, 1) * 1.15)
    ax.set_ylabel("measurements")
    ax.set_title(PANELS[1] + subtitle, fontsize=12, loc="left")
    date_axis(ax)

    # How often each limit binds: over it before control, and still over after.
    ax = fig.add_subplot(grid[1, :])
    n_done = max(int(done.sum()), 1)
    with np.errstate(invalid="ignore"):
        before = (np.abs(first[done]) > limits).sum(axis=0) / n_done * 100
    after = np.asarray(run.over_limit, dtype=bool).reshape(len(rows), len(names))[done].sum(axis=0) / n_done * 100
    pos = np.arange(len(names))
    ax.bar(pos - 0.2, before, width=0.4, color="tab:orange", label="over its limit before control")
    ax.bar(pos + 0.2, after, width=0.4, color="tab:red", label="still over after control")
    ax.set_xticks(pos, [risk_label(n) for n in names], rotation=60, ha="right", fontsize=8)
    ax.set_xlim(-0.6, len(names) - 0.4)
    ax.set_ylim(0, max(5.0, float(np.nanmax(before, initial=0.0))) * 1.1)
    ax.set_ylabel("% of processed dates")
    ax.legend(loc="upper right", fontsize=9)
    ax.grid(True, axis="y", alpha=0.3)
    ax.set_title(PANELS[2], fontsize=12, loc="left")

    # Configured factors, all on one y-scale so that their sizes compare.
    span = np.nanmax(np.abs(np.concatenate([first[:, factors], last[:, factors]]))) if factors else 0.0
    span = max(float(np.nan_to_num(span)), float(limits[factors].max()) if factors else 0.0) * 1.1 or 1.0
    shared = None
    for i, k in enumerate(factors):
        axk = fig.add_subplot(grid[2 + i // ncols, i % ncols], sharey=shared)
        shared = shared or axk
        lim = limits[k]
        axk.axhspan(-lim, lim, color="tab:green", alpha=0.08, lw=0)
        for s in (lim, -lim):
            axk.axhline(s, color="tab:green", ls="--", lw=1)
        axk.plot(x[done], first[done, k], color="tab:orange", lw=0.8, alpha=0.7, label="before control")
        axk.plot(x[done], last[done, k], color="tab:blue", lw=1.2, label="after control")
        axk.set_ylim(-span, span)
        axk.set_title(f"{names[k]} (limit ±{lim:g})", fontsize=10)
        date_axis(axk)
        axk.tick_params(labelsize=8)
        if i == 0:
            axk.legend(fontsize=8, loc="lower left", framealpha=0.9)
        if i % ncols == 0:
            axk.set_ylabel("active exposure", fontsize=9)

    # Sectors: exposure after control as a multiple of the limit (±1 is the limit).
    if sectors:
        axh = fig.add_subplot(grid[-1, :])
        with np.errstate(invalid="ignore", divide="ignore"):
            ratio = (last[:, sectors] / limits[sectors]).T
        extent: Any = None
        if dates is not None and len(rows):
            extent = (date2num(x[0]), date2num(x[-1]) + 1, len(sectors) - 0.5, -0.5)
        else:
            extent = (rows[0] - 0.5, rows[-1] + 0.5, len(sectors) - 0.5, -0.5) if len(rows) else None
        im = axh.imshow(ratio, aspect="auto", interpolation="nearest", cmap=colormaps["RdBu_r"], vmin=-1.5,
                        vmax=1.5, extent=extent)
        axh.set_facecolor("0.93")
        axh.set_yticks(np.arange(len(sectors)), [risk_label(names[k]) for k in sectors], fontsize=7)
        if dates is not None:
            axh.xaxis_date()
        date_axis(axh)
        axh.grid(False)
        axh.set_title(f"{PANELS[3]}, as a multiple of the limit ±{limits[sectors].max():g} (grey: not measured)",
                      fontsize=12, loc="left")
        cbar = fig.colorbar(im, ax=axh, pad=0.01, fraction=0.03, ticks=[-1.5, -1, 0, 1, 1.5])
        cbar.ax.set_yticklabels(["", "−limit", "0", "+limit", ""])
    return fig


def plot_run(run: Any, path: str | Path = "kestrel_report.png", *, bench: ArrayLike | None = None,
             dates: ArrayLike | None = None, max_loop_num: int | None = None, title: str | None = None,
             dpi: int = 110) -> Path:
    """Draw a one-page PNG report of a run.

    Panels: weight held in benchmark members and active share over time;
    exposure measurements per date; per risk name, the share of processed
    dates on which it was over its limit before control and still over after
    it; one chart per configured factor (one y-scale for all) with its
    exposure before and after control against its ±limit; a heatmap of the 28
    sector exposures after control as multiples of their limit.

    Parameters
    ----------
    run : Kestrel.RunResult or an object with the same attributes
        Reads ``weights``, ``rows``, ``risk_names``, ``limits``, ``status``,
        ``loop_count``, ``first_expo``, ``last_expo``, ``over_limit`` and
        ``bench_hold``.
    path : str or pathlib.Path, default "kestrel_report.png"
        Where to write the PNG.
    bench : array_like, shape (T, N), optional
        The universe's benchmark weights per score-matrix row, any scale
        (each row is scaled to sum to 1, as the run does); needed for the
        active share, which is left out without it.
    dates : array_like of datetime64, optional
        Date of each score-matrix row; row numbers are used without it.
    max_loop_num : int, optional
        The run's setting, drawn as a line on the measurement counts.
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

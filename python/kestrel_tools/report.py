"""Read Kestrel's per-date report lines, and draw a PNG report of a run.

With ``print_result`` set, a run writes one line per processed date to
``sys.stdout``::

    17 LoopCount: 3 FirstExpo: [0.41 -0.02] LastExpo: [0.33 -0.01] BenchHold: 0.87 HoldNum: (112,) 1.0

:func:`parse_report` turns captured text into :class:`ReportLine` records;
:func:`plot_run` draws holdings, turnover, factor exposures against their
limits and the largest weights into one PNG (matplotlib, Agg canvas, no
pyplot state is touched).
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["REPORT_LINE", "ReportLine", "exposures", "holdings", "parse_report", "plot_run", "turnover"]

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
        In the order the lines appear.
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


def plot_run(
    weights: ArrayLike,
    report: str | Sequence[ReportLine],
    limits: Mapping[str, float],
    path: str | Path = "kestrel_report.png",
    *,
    dates: ArrayLike | None = None,
    securities: Sequence[str] | None = None,
    top: int = 30,
    title: str | None = None,
    dpi: int = 110,
) -> Path:
    """Draw a one-page PNG report of a run.

    Panels: holdings count and turnover over time; one small chart per
    configured factor with its active exposure at the first and at the last
    measurement of each date against its +/- limit; a heatmap of the `top`
    securities by mean weight over time.

    Parameters
    ----------
    weights : array_like, shape (T, N)
        The run's weight matrix.
    report : str or sequence of ReportLine
        Captured standard output of the run (``print_result`` set), or its
        parsed lines.
    limits : mapping of str to float
        The configured factors and their limits (``cfg["risk_factor_expo"]``
        as passed, without the sector entries).
    path : str or pathlib.Path, default "kestrel_report.png"
        Where to write the PNG.
    dates : array_like of datetime64, optional
        Date of each row; row numbers are used without it.
    securities : sequence of str, optional
        Code of each column, for the heatmap's labels.
    top : int, default 30
        Securities in the heatmap.
    title : str, optional
    dpi : int, default 110

    Returns
    -------
    pathlib.Path
        `path`.
    """
    from matplotlib import colormaps
    from matplotlib.dates import AutoDateLocator, ConciseDateFormatter
    from matplotlib.figure import Figure

    w = np.asarray(weights, dtype=np.float64)
    T, N = w.shape
    lines = parse_report(report) if isinstance(report, str) else list(report)
    names = list(limits)
    K = len(names)
    first, last = exposures(lines, T, K)
    x: Any = np.arange(T) if dates is None else np.asarray(dates, dtype="datetime64[D]")
    held = holdings(w)
    processed = held > 0

    ncols = min(5, max(K, 1))
    nrows_f = -(-K // ncols) if K else 0
    fig = Figure(figsize=(16, 5.2 + 2.3 * nrows_f + 0.16 * min(top, N) + 1.5), dpi=dpi, layout="constrained")
    grid = fig.add_gridspec(2 + nrows_f, ncols, height_ratios=[3.2] + [2.3] * nrows_f + [0.16 * min(top, N) + 1.5])
    if title:
        fig.suptitle(title, fontsize=15, fontweight="bold")

    def date_axis(ax: Any) -> None:
        if dates is not None:
            loc = AutoDateLocator(maxticks=6)
            ax.xaxis.set_major_locator(loc)
            ax.xaxis.set_major_formatter(ConciseDateFormatter(loc))
        ax.grid(True, alpha=0.3)

    # Holdings and turnover.
    ax = fig.add_subplot(grid[0, :])
    ax.plot(x[processed], held[processed], color="tab:blue", lw=1.6, label="holdings (securities held)")
    ax.set_ylabel("securities held", color="tab:blue", fontsize=11)
    ax.tick_params(axis="y", labelcolor="tab:blue")
    ax.set_ylim(0, max(1, held.max()) * 1.15)
    empty = ~processed
    if empty.any():
        ax.plot(x[empty], np.zeros(empty.sum()), "x", color="tab:red", ms=6, label="date left empty")
    ax2 = ax.twinx()
    to = turnover(w)
    ax2.plot(x, to, color="tab:orange", lw=1.1, alpha=0.9, label="turnover (sum |Δw|)")
    ax2.set_ylabel("turnover, sum |Δw|", color="tab:orange", fontsize=11)
    ax2.tick_params(axis="y", labelcolor="tab:orange")
    ax2.set_ylim(0, (np.nanmax(to) if np.isfinite(to).any() else 1.0) * 1.15)
    handles = ax.get_legend_handles_labels()[0] + ax2.get_legend_handles_labels()[0]
    ax.legend(handles=handles, loc="lower right", fontsize=10, framealpha=0.9)
    mean_to = np.nanmean(to) if np.isfinite(to).any() else float("nan")
    ax.set_title(f"Holdings and turnover — {processed.sum()} of {T} dates processed, "
                 f"mean {held[processed].mean() if processed.any() else 0:.0f} held, "
                 f"mean turnover {mean_to:.3f}", fontsize=12, loc="left")
    date_axis(ax)

    # Factor exposures, one small chart each.
    for k, name in enumerate(names):
        axk = fig.add_subplot(grid[1 + k // ncols, k % ncols])
        lim = float(limits[name])
        axk.axhspan(-lim, lim, color="tab:green", alpha=0.08, lw=0)
        axk.axhline(lim, color="tab:green", ls="--", lw=1)
        axk.axhline(-lim, color="tab:green", ls="--", lw=1)
        axk.axhline(0, color="0.6", lw=0.6)
        ok = ~np.isnan(first[:, k])
        axk.plot(x[ok], first[ok, k], color="tab:red", lw=0.8, alpha=0.55, label="first measurement")
        ok = ~np.isnan(last[:, k])
        axk.plot(x[ok], last[ok, k], color="tab:blue", lw=1.2, label="last measurement")
        worst = np.nanmax(np.abs(last[:, k])) if ok.any() else float("nan")
        axk.set_title(f"{name}\nlimit ±{lim:g}, worst last {worst:.3f}", fontsize=10)
        date_axis(axk)
        axk.tick_params(labelsize=8)
        if k == 0:
            axk.legend(fontsize=8, loc="upper left", framealpha=0.9)
        if k % ncols == 0:
            axk.set_ylabel("active exposure", fontsize=9)

    # Largest weights.
    axh = fig.add_subplot(grid[1 + nrows_f, :])
    n_top = min(top, N)
    order = np.argsort(-w.mean(axis=0), kind="stable")[:n_top]
    heat = w[:, order].T * 100.0
    extent: Any = None
    if dates is not None and T:
        lo, hi = _date_num(x[0]), _date_num(x[-1]) + 1
        extent = (lo, hi, n_top - 0.5, -0.5)
    im = axh.imshow(np.where(heat > 0, heat, np.nan), aspect="auto", interpolation="nearest",
                    cmap=colormaps["viridis"], extent=extent)
    axh.set_facecolor("0.93")
    labels = [securities[j] if securities is not None else f"col {j}" for j in order]
    axh.set_yticks(np.arange(n_top), labels, fontsize=8)
    if dates is not None:
        axh.xaxis_date()
    date_axis(axh)
    axh.grid(False)
    axh.set_title(f"The {n_top} largest holdings by mean weight (grey: not held)", fontsize=12, loc="left")
    cbar = fig.colorbar(im, ax=axh, pad=0.01, fraction=0.03)
    cbar.set_label("weight, %", fontsize=10)

    out = Path(path)
    fig.savefig(out, dpi=dpi)
    return out


def _date_num(d: np.datetime64) -> float:
    from matplotlib.dates import date2num

    return float(date2num(d))

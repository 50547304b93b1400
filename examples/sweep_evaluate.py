"""Rank a sweep of settings by what the portfolios earned, on a Dask cluster.

Writes a seeded synthetic market as a stand-in store (its daily returns
included) and the score matrix, runs every grid point as an independent task
and evaluates each run on its worker (the returns are read there from the
store, never sent from here), after costs of 5 bp to buy and 15 bp to sell.
Prints the table best information ratio first and draws information ratio
against turnover, one point per setting, the best ones numbered on the chart
and listed under it.

    python examples/sweep_evaluate.py [--quick] [--png sweep_ir.png] [--address tcp://HOST:8786 --dir /shared/x]
"""

from __future__ import annotations

import argparse
import contextlib
import tempfile
from pathlib import Path

import numpy as np
import pandas as pd
from dask.distributed import Client, LocalCluster

import VelaIntradayModel as vim
from Kestrel.sweep import grid, run_sweep, write_sweep_data

COSTS = {"buy_bps": 5.0, "sell_bps": 15.0}


def base_settings(factors, limit=0.35):
    return {"type": "TopM", "weight_multi": 1.5, "risk_cost": 0.3, "decay": 0.3, "bench_coeff": 0.8,
            "pre_coeff": 0.9, "max_weight": 0.02, "each_sector_expo": 0.03,
            "risk_factor_expo": {name: limit for name in factors}, "learning_rate": 0.1, "max_loop_num": 100}


def points(quick=False):
    if quick:
        return grid(decay=[0.1, 0.6], risk_cost=[0.0, 1.0])
    return grid(decay=[0.1, 0.3, 0.6], risk_cost=[0.0, 0.3, 1.0], weight_multi=[1.2, 2.0])


def label(row, axes):
    return ", ".join(f"{k}={row[k]:g}" if isinstance(row[k], (int, float)) else f"{k}={row[k]}" for k in axes)


# Where a point's number may go, in points from the point: beside it first, then further out.
OFFSETS = [(d * dx, d * dy) for d in (11, 18, 26) for dx, dy in
           ((1, 1), (1, -1), (-1, 1), (-1, -1), (1.3, 0), (-1.3, 0), (0, 1.3), (0, -1.3))]


def text_box(ann, renderer):
    """Where an annotation's text sits, in pixels (its connector, which runs to the point, left out)."""
    from matplotlib.text import Text

    ann.update_positions(renderer)
    return Text.get_window_extent(ann, renderer)


def place_numbers(fig, ax, x, y, chosen, marker_points):
    """Number the `chosen` points (indices into x, y) 1, 2, ... where the number covers no point and no other number.

    Each number tries the spots of OFFSETS in turn and takes the first one
    inside the axes that is clear; returns the annotations.
    """
    import matplotlib.patheffects as pe
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.transforms import Bbox

    if not isinstance(fig.canvas, FigureCanvasAgg):
        FigureCanvasAgg(fig)
    fig.draw_without_rendering()  # the final layout, so that display positions hold
    renderer = fig.canvas.get_renderer()
    centres = ax.transData.transform(np.column_stack([x, y]))
    r = np.sqrt(marker_points) / 2 * fig.dpi / 72  # marker radius in pixels
    taken = [Bbox.from_extents(cx - r, cy - r, cx + r, cy + r) for cx, cy in centres]
    frame = ax.get_window_extent(renderer)
    out = []
    for rank, i in enumerate(chosen, 1):
        first = None
        for dx, dy in OFFSETS:
            ann = ax.annotate(str(rank), (x[i], y[i]), xytext=(dx, dy), textcoords="offset points", ha="center",
                              va="center", fontsize=10, fontweight="bold", color="tab:red",
                              path_effects=[pe.withStroke(linewidth=3, foreground="white")],
                              arrowprops={"arrowstyle": "-", "color": "tab:red", "lw": 0.8, "shrinkA": 0,
                                          "shrinkB": r * 72 / fig.dpi})
            ann.set_in_layout(False)
            box = text_box(ann, renderer)
            clear = (frame.contains(box.x0, box.y0) and frame.contains(box.x1, box.y1)
                     and not any(box.overlaps(t) for t in taken))
            if clear:
                break
            first = first or (dx, dy)
            ann.remove()
        else:  # nowhere clear: the nearest spot, still numbered
            ann = ax.annotate(str(rank), (x[i], y[i]), xytext=first, textcoords="offset points", ha="center",
                              va="center", fontsize=10, fontweight="bold", color="tab:red")
            ann.set_in_layout(False)
            box = text_box(ann, renderer)
        taken.append(box)
        out.append(ann)
    return out


def draw(table, axes, path, best=3):
    """Information ratio against one-way turnover; the `best` points numbered and listed under the chart."""
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D

    ok = table[table["error"].isna()].reset_index(drop=True)
    fig = Figure(figsize=(9, 6.5), dpi=110, layout="constrained")
    ax = fig.add_subplot()
    x, y = (ok["mean_turnover"] * 100).to_numpy(), ok["information_ratio"].to_numpy()
    size = 60
    sc = ax.scatter(x, y, c=ok["active_return_net"] * 100, cmap="viridis", s=size, edgecolor="black", lw=0.5)
    fig.colorbar(sc, ax=ax, label="active return net of costs, % a year")
    chosen = list(ok.nlargest(best, "information_ratio").index)
    ring = 170
    ax.scatter(x[chosen], y[chosen], s=ring, facecolors="none", edgecolors="tab:red", lw=1.2)
    ax.margins(0.08)  # room for the numbers at the edges
    ax.set_xlabel("one-way turnover, % of the portfolio a day")
    ax.set_ylabel("information ratio, net of costs")
    ax.grid(True, alpha=0.3)
    ax.set_title(f"{len(ok)} settings: information ratio against turnover (best {len(chosen)} numbered)", loc="left")
    handles = [Line2D([], [], ls="", marker=f"${rank}$", color="tab:red", ms=7) for rank in range(1, len(chosen) + 1)]
    texts = [f"{label(ok.loc[i], axes)}: information ratio {y[i]:.2f}, turnover {x[i]:.1f}% a day, "
             f"net {ok.loc[i, 'active_return_net']:.1%} a year" for i in chosen]
    if handles:
        fig.legend(handles, texts, loc="outside lower left", fontsize=8, frameon=False)
    place_numbers(fig, ax, x, y, chosen, ring)
    fig.savefig(path)
    return Path(path)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--address", help="scheduler address such as tcp://HOST:8786; default: a LocalCluster")
    ap.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes")
    ap.add_argument("--dir", help="work directory every worker can read (default: a temporary one)")
    ap.add_argument("--dates", type=int, default=250)
    ap.add_argument("--secu", type=int, default=3000)
    ap.add_argument("--univ", type=int, default=2000)
    ap.add_argument("--factors", type=int, default=10)
    ap.add_argument("--quick", action="store_true", help="a 4-point grid instead of 18")
    ap.add_argument("--png", default="kestrel_sweep_ir.png", help="where to draw the picture")
    args = ap.parse_args(argv)

    grid_points = points(args.quick)
    axes = list(grid_points[0])
    with tempfile.TemporaryDirectory(prefix="kestrel-sweep-") as tmp:
        work = Path(args.dir or tmp)
        market = vim.generate_market(work / "store", n_dates=args.dates, n_secu=args.secu,
                                     n_factors=args.factors, seed=7)
        univ_idx = vim.default_universe(market, args.univ, seed=7)
        data = write_sweep_data(work / "inputs", vim.make_scores(market, univ_idx, seed=7), univ_idx,
                                store_dir=market.path)
        with contextlib.ExitStack() as stack:
            if args.address:
                client = stack.enter_context(Client(args.address))
            else:
                cluster = stack.enter_context(LocalCluster(
                    n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=":0",
                    env={"TQDM_DISABLE": "1"}))
                client = stack.enter_context(Client(cluster))
            print(f"{len(grid_points)} runs of {args.dates} dates x {args.univ} securities, evaluated on "
                  f"{len(client.scheduler_info()['workers'])} workers")
            table = run_sweep(client, data, "000905", 1.0, base_settings(market.factors), grid_points,
                              evaluate={"returns": market.returns_field, **COSTS})

    table = table.sort_values("information_ratio", ascending=False, ignore_index=True)
    shown = table[axes + ["information_ratio", "active_return_net", "tracking_error", "mean_turnover",
                          "max_drawdown", "error"]]
    if shown["error"].isna().all():
        shown = shown.drop(columns=["error"])
    with pd.option_context("display.width", 160, "display.max_columns", 20):
        print(shown.to_string(index=False, float_format=lambda v: f"{v:.4f}"))
    for _, row in table[table["notes"] != ""].iterrows():  # what the runs and evaluations would warn about
        print(f"notes, {label(row, axes)}: {row['notes']}")
    png = draw(table, axes, args.png)
    print(f"picture written to {png.resolve()}")
    return table


if __name__ == "__main__":
    main()

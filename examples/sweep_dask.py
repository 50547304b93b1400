"""Sweep a grid of settings over a whole history on a Dask cluster.

Writes a seeded synthetic market as a stand-in store of ``.npy`` files plus
the score matrix, then runs every grid point as an independent task: each
worker memory-maps the store and the scores, runs Kestrel with its point's
settings and returns one summary row. Prints the summary table (settings,
dates processed, mean holdings, one-way turnover a date, max |active
exposure|, seconds, and what a run would warn about, if anything).

Local, two worker processes (the default):

    python examples/sweep_dask.py

A real cluster: start ``dask scheduler`` and ``dask worker tcp://HOST:8786``
on machines that have Kestrel and the data library installed, put the work
directory on a filesystem all of them mount at the same path, and add the
address:

    python examples/sweep_dask.py --address tcp://HOST:8786 --dir /shared/kestrel-sweep
"""

from __future__ import annotations

import argparse
import contextlib
import tempfile
from pathlib import Path

import pandas as pd
from dask.distributed import Client, LocalCluster

import VelaIntradayModel as vim
from Kestrel.sweep import METRICS, grid, run_sweep, write_sweep_data


def base_settings(factors, limit=0.35):
    """Settings shared by every point; each algorithm finds the keys it reads."""
    return {
        "type": "TopM",
        "weight_multi": 1.5,
        "risk_cost": 0.3,
        "each_single_weight": 0.01,
        "num_long": 200,
        "decay": 0.3,
        "bench_coeff": 0.8,
        "pre_coeff": 0.9,
        "max_weight": 0.02,
        "each_sector_expo": 0.03,
        "risk_factor_expo": {name: limit for name in factors},
        "learning_rate": 0.1,
        "max_loop_num": 100,
    }


def points(quick=False):
    if quick:
        return grid(type=["TopM", "TopEqual2"], learning_rate=[0.05, 0.2])
    return grid(type=["TopM", "TopM2", "TopEqual2"], learning_rate=[0.05, 0.2], each_sector_expo=[0.03, 1.0])


def print_notes(table):
    """What the runs would warn about, point by point (the table's last column is too wide to print)."""
    settings = [c for c in table.columns if c not in METRICS]
    for _, row in table[table["notes"] != ""].iterrows():
        print(f"notes, {', '.join(f'{k}={row[k]}' for k in settings)}: {row['notes']}")


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--address", help="scheduler address such as tcp://HOST:8786; default: a LocalCluster")
    ap.add_argument("--workers", type=int, default=2, help="LocalCluster worker processes")
    ap.add_argument("--dir", help="work directory every worker can read (default: a temporary one)")
    ap.add_argument("--dates", type=int, default=250)
    ap.add_argument("--secu", type=int, default=3000)
    ap.add_argument("--univ", type=int, default=2000)
    ap.add_argument("--factors", type=int, default=10)
    ap.add_argument("--quick", action="store_true", help="a 4-point grid instead of 12")
    ap.add_argument("--csv", help="also write the table to this CSV file")
    args = ap.parse_args(argv)

    with tempfile.TemporaryDirectory(prefix="kestrel-sweep-") as tmp:
        work = Path(args.dir or tmp)
        market = vim.generate_market(work / "store", n_dates=args.dates, n_secu=args.secu,
                                     n_factors=args.factors, seed=7)
        univ_idx = vim.default_universe(market, args.univ, seed=7)
        data = write_sweep_data(work / "inputs", vim.make_scores(market, univ_idx, seed=7), univ_idx,
                                store_dir=market.path)
        grid_points = points(args.quick)

        with contextlib.ExitStack() as stack:
            if args.address:
                client = stack.enter_context(Client(args.address))
            else:
                # Worker processes, one thread each: runs share no interpreter state.
                cluster = stack.enter_context(LocalCluster(
                    n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=":0",
                    env={"TQDM_DISABLE": "1"}))
                client = stack.enter_context(Client(cluster))
            print(f"{len(grid_points)} runs of {args.dates} dates x {args.univ} securities on "
                  f"{len(client.scheduler_info()['workers'])} workers ({client.scheduler.address})")
            table = run_sweep(client, data, "000905", 1.0, base_settings(market.factors), grid_points)

    with pd.option_context("display.width", 160, "display.max_columns", 20):
        quiet = ["error"] if table["error"].isna().all() else []
        shown = table.drop(columns=["memory_mapped", "notes", *quiet])
        # A mean count of securities reads as a count, turnover as a percentage; the rest keeps four decimals.
        print(shown.to_string(index=False, float_format=lambda v: f"{v:.4f}",
                              formatters={"mean_holdings": lambda v: f"{v:.0f}", "seconds": lambda v: f"{v:.2f}",
                                          "daily_turnover": lambda v: f"{v:.2%}"}))
    print_notes(table)
    if args.csv:
        table.to_csv(args.csv, index=False)
        print(f"table written to {Path(args.csv).resolve()}")
    return table


if __name__ == "__main__":
    main()

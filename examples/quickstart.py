"""Quickstart: a whole synthetic history through Kestrel.

Builds a seeded synthetic market in the stand-in data library (250 dates,
3,000 securities, a 500-member benchmark, 10 style factors and 28 sectors),
runs the "TopM" algorithm with a turnover cost and sector limits, prints a
short summary of the run and writes a one-page PNG report of it (holdings,
turnover, factor exposures against their limits, largest weights).

    python examples/quickstart.py [--dates 250] [--secu 3000] [--univ 2000] [--png PATH]
"""

from __future__ import annotations

import argparse
import contextlib
import io
import time
import warnings

import numpy as np

import Kestrel
import VelaIntradayModel as vim
from kestrel_tools.report import plot_run


def summarise(weights, exposures, limits, seconds):
    held = weights > 0
    processed = held.any(axis=1)
    turnover = np.abs(np.diff(weights, axis=0)).sum(axis=1)[processed[1:] & processed[:-1]]
    print(f"dates processed      {processed.sum()} of {len(weights)}")
    print(f"dates left empty     {len(weights) - processed.sum()}")
    print(f"mean holdings        {held.sum(axis=1)[processed].mean():.1f}")
    print(f"mean daily turnover  {turnover.mean():.4f}")
    print(f"seconds              {seconds:.2f}")
    print("largest |active exposure| per factor (last measurement) against its limit:")
    for name, limit in limits.items():
        worst = np.nanmax(np.abs(exposures[name])) if exposures[name] else float("nan")
        print(f"  {name:<22} {worst:8.4f}  limit {limit}")


def last_exposures(report_text, names):
    """Per factor, the LastExpo values of every report line."""
    out = {name: [] for name in names}
    for line in report_text.splitlines():
        if "LastExpo: [" not in line:
            continue
        values = line.split("LastExpo: [", 1)[1].split("]", 1)[0].split()
        for name, v in zip(names, values):
            out[name].append(float(v))
    return out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dates", type=int, default=250)
    ap.add_argument("--secu", type=int, default=3000)
    ap.add_argument("--univ", type=int, default=2000)
    ap.add_argument("--factors", type=int, default=10)
    ap.add_argument("--png", default="kestrel_quickstart.png", help="where to write the PNG report")
    args = ap.parse_args(argv)

    market = vim.generate_market(None, n_dates=args.dates, n_secu=args.secu, n_factors=args.factors, seed=7)
    univ_idx = vim.default_universe(market, args.univ, seed=7)
    scores = vim.make_scores(market, univ_idx, seed=7)

    limits = {name: 0.35 for name in market.factors}
    cfg = {
        "weight_multi": 1.5,
        "risk_cost": 0.3,
        "decay": 0.3,
        "bench_coeff": 0.8,
        "pre_coeff": 0.9,
        "max_weight": 0.02,
        "each_sector_expo": 0.03,
        "risk_factor_expo": dict(limits),
        "learning_rate": 0.1,
        "max_loop_num": 100,
        "print_result": True,
    }

    report = io.StringIO()
    start = time.perf_counter()
    with contextlib.redirect_stdout(report), warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        weights = Kestrel.opt_gen_position_topm("000905", 1.0, cfg, scores, univ_idx)
    seconds = time.perf_counter() - start

    lines = report.getvalue().splitlines()
    print(f"Kestrel quickstart: {args.dates} dates, {args.univ} of {args.secu} securities, "
          f"benchmark 000905, {len(limits)} factors + 28 sectors")
    print("first report line:", lines[0] if lines else "(none)")
    for w in caught:
        print("warning:", w.message)
    summarise(weights, last_exposures(report.getvalue(), list(limits)), limits, seconds)

    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print("PNG report skipped: matplotlib is not installed (pip install \".[examples]\")")
        return
    png = plot_run(weights, report.getvalue(), limits, args.png, dates=market.dates,
                   securities=list(market.securities[univ_idx]),
                   title=f"Kestrel quickstart — TopM on benchmark 000905, {args.univ} securities")
    print(f"PNG report written to {png.resolve()}")


if __name__ == "__main__":
    main()

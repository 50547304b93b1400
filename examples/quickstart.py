"""Quickstart: a whole synthetic history through Kestrel.

Builds a seeded synthetic market in the stand-in data library (250 dates,
3,000 securities, a 500-member benchmark, 10 style factors and 28 sectors),
runs the "TopM" algorithm with a turnover cost and sector limits, prints a
short summary of the run and writes a one-page PNG report of it (holdings and
turnover, exposure-control passes, benchmark membership and active share, how
often each limit binds, factor and sector exposures before and after control).
Then it evaluates what the weights earned against the benchmark over the
market's next-date returns, after costs of 5 bp to buy and 15 bp to sell, and
writes a tear sheet beside the report.

    python examples/quickstart.py [--dates 250] [--secu 3000] [--univ 2000] [--png PATH]

The tear sheet goes to PATH with "_tearsheet" added to its name.
"""

from __future__ import annotations

import argparse
import time
import warnings
from pathlib import Path

import numpy as np

import Kestrel
import VelaIntradayModel as vim
from Kestrel.evaluation import evaluate
from Kestrel.report import plot_run, run_turnover, traded_between


def summarise(run, seconds):
    held = np.asarray(run.weights) > 0
    done = np.asarray(run.status) == 0
    turnover = run_turnover(run)  # one-way: half the sum of |weight change|
    print(f"dates processed      {done.sum()} of {len(done)}")
    print(f"dates left empty     {len(done) - done.sum()}")
    print(f"mean holdings        {held.sum(axis=1)[done].mean():.0f}")
    print(f"mean turnover        {turnover[traded_between(run.status)].mean():.2%} a date, one-way "
          f"(first date, from cash: {turnover[0]:.2%})")
    print(f"seconds              {seconds:.2f}")
    print("largest |active exposure| per factor of the weights returned, against its limit:")
    for k, name in enumerate(run.risk_names):
        if not name.startswith("if("):
            worst = np.nanmax(np.abs(run.expo[done, k])) if done.any() else float("nan")
            print(f"  {name:<22} {worst:8.4f}  limit {run.limits[k]:g}")


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
    }

    start = time.perf_counter()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        run = Kestrel.run("TopM", "000905", 1.0, cfg, scores, univ_idx, progress=True)
    seconds = time.perf_counter() - start

    print(f"Kestrel quickstart: {args.dates} dates, {args.univ} of {args.secu} securities, "
          f"benchmark 000905, {len(limits)} factors + 28 sectors")
    for w in caught:
        print("warning:", w.message)
    summarise(run, seconds)
    ev = evaluate(run, "000905", returns=market.returns_field, buy_bps=5, sell_bps=15)
    print(ev)

    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print("PNG report skipped: matplotlib is not installed (pip install \".[examples]\")")
        return
    from Kestrel.tearsheet import plot_tearsheet

    png_path = Path(args.png)
    sheet = plot_tearsheet(ev, png_path.with_name(f"{png_path.stem}_tearsheet.png"),
                           title="Kestrel quickstart — what the TopM weights earned against 000905")
    print(f"Tear sheet written to {sheet.resolve()}")
    bench = vim.RunLoopOnce(["weight500"])[0].array[:, univ_idx]
    png = plot_run(run, args.png, bench=bench, dates=market.dates, max_loop_num=cfg.get("max_loop_num", 100),
                   title="Kestrel quickstart — TopM on benchmark 000905")
    print(f"PNG report written to {png.resolve()}")


if __name__ == "__main__":
    main()

"""Time the evaluation of a long history: returns, costs and attribution.

Writes a seeded stand-in market to a store directory (memory-mapped, as a
real library's fields are), runs Kestrel over the whole history with factor
and sector limits, then evaluates the run (returns read by name, attribution
on every risk name of the run) several times and prints the best and the
first time, the Python heap peak of one evaluation against one dates x
columns matrix, and how exactly the attribution adds up.

    python bench/bench_evaluation.py                 # 2,500 dates, 5,000 columns, 10 + 28 risk names
    python bench/bench_evaluation.py --quick         # 500 dates
    python bench/bench_evaluation.py --json out.json
"""

from __future__ import annotations

import argparse
import json
import os
import tempfile
import time
import tracemalloc
from pathlib import Path

import numpy as np

TARGET_SECONDS = 0.5


def settings(factors):
    return {"weight_multi": 1.5, "risk_cost": 0.3, "decay": 0.3, "bench_coeff": 0.8, "pre_coeff": 0.9,
            "max_weight": 0.02, "each_sector_expo": 0.03, "risk_factor_expo": {n: 0.35 for n in factors},
            "learning_rate": 0.1, "max_loop_num": 100, "print_result": False}


def measure(dates=2500, secu=5000, univ=3000, factors=10, repeat=5, workdir=None):
    import Kestrel
    import VelaIntradayModel as vim
    from Kestrel.evaluation import evaluate

    with tempfile.TemporaryDirectory(prefix="kestrel-eval-bench-") as tmp:
        store = Path(workdir or tmp) / "store"
        t0 = time.perf_counter()
        market = vim.generate_market(store, n_dates=dates, n_secu=secu, n_factors=factors, seed=11,
                                     bench_sizes={"weight500": 500})
        vim.clear()
        vim.set_store_dir(market.path)
        univ_idx = vim.default_universe(market, univ, seed=11)
        scores = vim.make_scores(market, univ_idx, seed=11)
        gen_s = time.perf_counter() - t0
        t0 = time.perf_counter()
        run = Kestrel.run("TopM", "000905", 1.0, settings(market.factors), scores, univ_idx, progress=False)
        run_s = time.perf_counter() - t0
        del scores

        times, cpu, equal = [], [], []
        for _ in range(repeat):
            t0, c0 = time.perf_counter(), time.process_time()
            ev = evaluate(run, "000905", buy_bps=5, sell_bps=15)
            times.append(time.perf_counter() - t0)
            cpu.append(time.process_time() - c0)
        # The regression over every security instead of the benchmark's members.
        for _ in range(max(1, repeat // 2)):
            t0 = time.perf_counter()
            evaluate(run, "000905", buy_bps=5, sell_bps=15, weighting="equal")
            equal.append(time.perf_counter() - t0)
        t0 = time.perf_counter()
        evaluate(run, "000905", buy_bps=5, sell_bps=15, attribution=False)
        plain_s = time.perf_counter() - t0
        tracemalloc.start()
        evaluate(run, "000905", buy_bps=5, sell_bps=15)
        _, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        a = ev.attribution
        gap = float(np.abs(a.factors + a.sectors + a.cash + a.selection - ev.active).max())
        matrix = dates * secu * 8
        vim.clear()
        vim.set_store_dir(None)
    return {
        "dates": dates, "library_columns": secu, "universe": univ, "risk_names": len(run.risk_names),
        "generate_s": gen_s, "kestrel_run_s": run_s, "evaluate_first_s": times[0],
        "evaluate_best_s": min(times), "evaluate_median_s": float(np.median(times)),
        "evaluate_best_cpu_s": min(cpu), "evaluate_equal_weights_best_s": min(equal),
        "evaluate_without_attribution_s": plain_s, "load_average": os.getloadavg()[0],
        "target_s": TARGET_SECONDS, "meets_target": min(times) <= TARGET_SECONDS,
        "heap_peak_bytes": peak, "matrix_bytes": matrix, "heap_peak_in_matrices": peak / matrix,
        "attribution_max_gap": gap, "information_ratio": ev.summary["information_ratio"],
    }


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--dates", type=int, default=2500)
    ap.add_argument("--secu", type=int, default=5000)
    ap.add_argument("--univ", type=int, default=3000)
    ap.add_argument("--factors", type=int, default=10)
    ap.add_argument("--repeat", type=int, default=5)
    ap.add_argument("--quick", action="store_true", help="500 dates")
    ap.add_argument("--dir", help="where to write the store (default: a temporary directory)")
    ap.add_argument("--json", help="also write the numbers to this file")
    args = ap.parse_args(argv)
    res = measure(500 if args.quick else args.dates, args.secu, args.univ, args.factors, args.repeat, args.dir)
    print(f"evaluation of {res['dates']} dates x {res['library_columns']} library columns "
          f"({res['universe']} in the universe), {res['risk_names']} risk names, attribution included")
    print(f"  market written in {res['generate_s']:.1f} s, Kestrel run {res['kestrel_run_s']:.2f} s")
    print(f"  evaluate: best {res['evaluate_best_s']:.3f} s, median {res['evaluate_median_s']:.3f} s, "
          f"first {res['evaluate_first_s']:.3f} s (target {TARGET_SECONDS} s: "
          f"{'met' if res['meets_target'] else 'missed'})")
    print(f"  best CPU time {res['evaluate_best_cpu_s']:.3f} s (load average {res['load_average']:.1f}); "
          f"regression over every security {res['evaluate_equal_weights_best_s']:.3f} s; "
          f"without attribution {res['evaluate_without_attribution_s']:.3f} s")
    print(f"  heap peak {res['heap_peak_bytes'] / 2**20:.1f} MiB = {res['heap_peak_in_matrices']:.2f} of one "
          f"dates x columns matrix ({res['matrix_bytes'] / 2**20:.0f} MiB)")
    print(f"  attribution adds up to the active return within {res['attribution_max_gap']:.1e}; "
          f"information ratio {res['information_ratio']:.2f}")
    if args.json:
        Path(args.json).write_text(json.dumps(res, indent=2))
    return res


if __name__ == "__main__":
    main()

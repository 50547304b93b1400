#!/usr/bin/env python
"""The exact finish with trading blocks and a turnover cap, on the dates the control loop gives up on.

Captures the finish problems of real runs (the five algorithms at strict
limits on a stand-in market), adds trading blocks drawn at random among the
names the loop's row did not trade against (no buying, no selling, or both)
and a one-way turnover cap of 0.10 (or the loop's own turnover when higher:
the loop's row is within the cap, as the engine's is), then finishes every
date with the score stage at budgets "nearest", 1, 2 and 3 and prints, per
algorithm and limit level:

  rows      dates finished (of those captured) and how many gave way
  ms        mean and largest time of the solves of one finished row (default budget)
  capture   score @ w of the finished row / score @ w of the exact optimum under
            the same bounds, cap, turnover cost and limits, per budget (mean, worst)
  turnover  mean one-way turnover of the finished rows (default budget) and of the loop's rows

and, on the same dates with a 0 limit on one factor and one sector, the
largest |exposure| on a 0 limit.

    python bench/bench_finish.py            # 80 dates, library 5,000, universe 4,000, 10 factors + 28 sectors
    python bench/bench_finish.py --quick    # 12 dates, universe 2,000
    python bench/bench_finish.py --json out.json
    python bench/bench_finish.py --score ranked   # TopM/TopEqual scored by the standardised scores they rank by
    python bench/bench_finish.py --runs     # whole runs with the stand-in's blocks and a cap of 0.10
"""

from __future__ import annotations

import argparse
import json
import math
import time
import warnings

import numpy as np

ALGORITHMS = ("TopM", "TopM2", "TopEqual", "TopEqual2", "TopKR")
LEVELS = ((0.02, 0.005), (0.01, 0.0025))
BUDGETS = ("nearest", 1.0, 2.0, 3.0)
MAX_TURNOVER = 0.10
TARGET_MS = 50.0
TARGET_CAPTURE = 0.97  # TopM, TopM2 and TopEqual2 at 0.01 / 0.0025
OWN = {"TopM": {"weight_multi": 1.5, "risk_cost": 0.3}, "TopM2": {"weight_multi": 1.5},
       "TopEqual": {"each_single_weight": 0.001, "risk_cost": 0.3}, "TopEqual2": {"each_single_weight": 0.001},
       "TopKR": {"num_long": 400, "max_weight": 0.01}}
DECAY = 0.3


def settings(algo, factors, factor_limit, sector_limit):
    return {**OWN[algo], "decay": DECAY, "bench_coeff": 0.8, "pre_coeff": 0.9, "max_loop_num": 30,
            "each_sector_expo": sector_limit, "risk_factor_expo": {n: factor_limit for n in factors},
            "print_result": False}


def capture(algo, market, scores, univ, factor_limit, sector_limit):
    """The finish problems of a run: per date that needed one, (row, w0, caps, factors, bench_expo, limits),
    and the run's weights (the loop's, as every date is left unfinished)."""
    import Kestrel
    from Kestrel.finish import Finisher

    class Capture(Finisher):
        def __init__(self):
            self.kept = []

        def __call__(self, *args):
            if len(args) == 5:  # (w0, caps, factors, expo, limits)
                w0, caps, f, expo, lim = (np.array(a, dtype=np.float64) for a in args)
                b = f.T @ w0 - expo
            else:  # (w0, lower, upper, factors, bench_expo, limits, ...)
                w0, _, caps, f, b, lim = (np.array(a, dtype=np.float64) for a in args[:6])
            self.kept.append((w0, caps, f, b, lim))
            return (None, "captured") if len(args) == 5 else (None, "captured", "", 0.0)

    cap = Capture()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        run = Kestrel.run(algo, "000905", 1.0, settings(algo, market.factors, factor_limit, sector_limit), scores,
                          univ, progress=False, finish=cap)
    taken = np.flatnonzero(np.asarray(run.finish_status) == "captured")
    return [(int(i), *k) for i, k in zip(taken, cap.kept, strict=True)], np.asarray(run.weights)


def score_rows(scores, algo, kind="smoothed"):
    """The score of the score stage: the standardised scores smoothed as the engine does, or with
    kind "ranked" what each algorithm ranks by (the standardised scores for "TopM" and "TopEqual")."""
    x = np.nan_to_num(np.asarray(scores, dtype=np.float64))
    z = (x - x.mean(axis=1, keepdims=True)) / x.std(axis=1, keepdims=True)
    if kind == "ranked" and algo in ("TopM", "TopEqual"):
        return z
    out = np.empty_like(z)
    for t in range(len(z)):
        out[t] = z[t] if t == 0 else z[t] * DECAY + out[t - 1] * (1 - DECAY)
    return out


def blocks(w0, pre, caps, rng):
    """Bounds with random trading blocks, all consistent with the loop's row w0:
    no buying among names w0 did not buy, no selling among those it did not sell,
    both among those it kept."""
    lower, upper = np.zeros(len(w0)), caps.copy()
    no_buy = (w0 <= pre) & (rng.random(len(w0)) < 0.05)
    no_sell = (w0 >= pre) & (rng.random(len(w0)) < 0.05) & (pre > 0)
    both = no_buy & no_sell
    upper[no_buy] = np.minimum(caps, pre)[no_buy]
    lower[no_sell] = pre[no_sell]
    upper[no_sell] = np.maximum(caps, pre)[no_sell]
    lower[both] = upper[both] = pre[both]
    return lower, upper


def dot(a, b):
    # Not numpy's BLAS: its threads spin after a call and would slow the next solve timed.
    return float((a * b).sum())


def one_way(w, pre):
    return float(np.abs(w - pre).sum() / 2)


def measure_case(algo, market, scores, univ, factor_limit, sector_limit, seed, score_kind="smoothed"):
    from Kestrel.finish import DEFAULT_BUDGET, Finisher, best_feasible, within

    budgets = tuple(dict.fromkeys((*BUDGETS, DEFAULT_BUDGET)))
    problems, loop_weights = capture(algo, market, scores, univ, factor_limit, sector_limit)
    x_all = score_rows(scores, algo, score_kind)
    cost = OWN[algo].get("risk_cost", 0.0)
    rng = np.random.default_rng(seed)
    finishers = {b: Finisher(budget=b) for b in budgets}
    zero = Finisher()
    loop_turn, finished, gave_way, ms, cpu = [], 0, 0, [], []
    turn = {b: [] for b in budgets}
    captures = {b: [] for b in budgets}
    zero_worst, zero_done, zero_tried = 0.0, 0, 0
    for row, w0, caps, f, b, lim in problems:
        pre = loop_weights[row - 1] if row > 0 else None
        if pre is None or pre.sum() < 0.5:  # bought from cash: no blocks, no cap
            lower, upper, cap, pre = np.zeros(len(w0)), caps, math.inf, None
        else:
            lower, upper = blocks(w0, pre, caps, rng)
            cap = max(MAX_TURNOVER, one_way(w0, pre) * (1 + 1e-12))
            loop_turn.append(one_way(w0, pre))
        x = x_all[row]
        c0 = time.process_time()
        answers = {DEFAULT_BUDGET: finishers[DEFAULT_BUDGET](w0, lower, upper, f, b, lim, pre, cap, x, cost)}
        cpu_s = time.process_time() - c0
        answers.update({bud: fin(w0, lower, upper, f, b, lim, pre, cap, x, cost) for bud, fin in finishers.items()
                        if bud != DEFAULT_BUDGET})
        w, status, gave, excess = answers[DEFAULT_BUDGET]
        if w is None:
            continue
        finished += 1
        gave_way += gave != ""
        ms.append(1e3 * finishers[DEFAULT_BUDGET].solutions[-1].seconds)
        cpu.append(1e3 * cpu_s)
        best = best_feasible(x, upper, float(w0.sum()), f, b, lim, lower=lower, pre=pre, max_turnover=cap,
                             cost=cost, excess=excess)
        top = dot(x, best.weights) if best.weights is not None else math.nan
        for bud in budgets:
            wb = answers[bud][0]
            if wb is not None and pre is not None:
                turn[bud].append(one_way(wb, pre))
            if wb is not None and top > 0:
                captures[bud].append(dot(x, wb) / top)
        # A 0 limit on the first factor and on the benchmark's largest sector.
        lim0 = lim.copy()
        lim0[0] = 0.0
        lim0[len(lim) - 28 + int(np.argmax(b[-28:]))] = 0.0
        w_0, _, gave0, _ = zero(w0, lower, upper, f, b, lim0, pre, cap, x, cost)
        zero_tried += 1
        if w_0 is not None and gave0 == "":
            e = np.einsum("nk,n->k", f, w_0) - b
            zero_worst = max(zero_worst, float(np.abs(e[lim0 == 0]).max()))
            zero_done += bool(within(e, lim0).all())

    def mean(v):
        return float(np.mean(v)) if v else math.nan

    return {"case": f"{algo} {factor_limit:g}/{sector_limit:g}", "algo": algo, "factor_limit": factor_limit,
            "sector_limit": sector_limit, "captured": len(problems), "finished": finished, "gave_way": gave_way,
            "ms_mean": mean(ms), "ms_max": float(np.max(ms)) if ms else math.nan, "cpu_ms_mean": mean(cpu),
            "capture": {str(bud): (mean(c), float(np.min(c)) if c else math.nan) for bud, c in captures.items()},
            "turnover": {str(bud): mean(t) for bud, t in turn.items()}, "loop_turnover": mean(loop_turn),
            "zero_limit_tried": zero_tried, "zero_limit_kept": zero_done, "zero_limit_worst": zero_worst,
            "iterations": mean([s.iterations for s in finishers[DEFAULT_BUDGET].solutions])}


def measure_give_way(market, scores, univ, seed, shrink=0.2, cap=0.05):
    """TopM2's dates at 0.01 / 0.0025 with the limits shrunk and a cap below the loop row's turnover:
    the limits give way, or with cap_gives_way the cap does."""
    from Kestrel.finish import Finisher

    problems, loop_weights = capture("TopM2", market, scores, univ, 0.01, 0.0025)
    x_all = score_rows(scores, "TopM2")
    rng = np.random.default_rng(seed)
    out = []
    for gives in (False, True):
        fin = Finisher(cap_gives_way=gives)
        for row, w0, caps, f, b, lim in problems:
            if row == 0:
                continue
            pre = loop_weights[row - 1]
            lower, upper = blocks(w0, pre, caps, rng)
            fin(w0, lower, upper, f, b, lim * shrink, pre, cap, x_all[row], 0.0)
        done = [r for r in fin.solutions if not math.isnan(r.moved)]
        out.append({"cap_gives_way": gives, "dates": len(fin.solutions), "finished": len(done),
                    "gave_way": {g: sum(r.gave_way == g for r in done) for g in {r.gave_way for r in done}},
                    "excess_mean": float(np.mean([r.excess for r in done])) if done else math.nan,
                    "ms_mean": 1e3 * float(np.mean([r.seconds for r in done])) if done else math.nan,
                    "ms_max": 1e3 * float(np.max([r.seconds for r in done])) if done else math.nan,
                    "unfinished": sorted({r.status for r in fin.solutions if math.isnan(r.moved)})})
    return out


def measure_run(algo, market, scores, univ, factor_limit, sector_limit):
    """Real runs with the stand-in's blocks (suspended, limit-up, limit-down) and a cap of MAX_TURNOVER, the
    finish on: what gave way, solve times, capture against the exact optimum under the same blocks, cap and
    cost, and turnover against the nearest-repair finish."""
    import Kestrel
    from Kestrel.finish import Finisher, best_feasible

    class Recording(Finisher):
        kept: list

        def __call__(self, *args):
            answer = super().__call__(*args)
            if answer[0] is not None:
                self.kept.append(([None if a is None else np.array(a) for a in args], np.array(answer[0]),
                                  answer[3] if answer[2] else 0.0))
            return answer

    cfg = settings(algo, market.factors, factor_limit, sector_limit)
    trading = dict(no_buy=["suspended", "limit_up"], no_sell=["suspended", "limit_down"], max_turnover=MAX_TURNOVER)
    out = {}
    for name, budget in (("score", None), ("nearest", "nearest")):
        fin = Recording() if budget is None else Recording(budget=budget)
        fin.kept = []
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            r = Kestrel.run(algo, "000905", 1.0, dict(cfg), scores, univ, progress=False, finish=fin, **trading)
        out[name] = (r, fin)
    r, fin = out["score"]
    done = np.asarray(r.finished)
    seconds = np.array([s.seconds for s in fin.solutions])
    captures = []
    for (_, lower, upper, f, b, lim, pre, cap, score, cost), w, excess in fin.kept:
        best = best_feasible(score, upper, float(w.sum()), f, b, lim, lower=lower, pre=pre,
                             max_turnover=float(cap), cost=float(cost), excess=float(excess))
        if best.weights is not None:
            charged = 0.0 if pre is None else float(cost)
            mine = dot(score, w) - charged * float(np.abs(w - (pre if pre is not None else 0)).sum())
            ideal = dot(score, best.weights) - charged * float(np.abs(best.weights - (pre if pre is not None
                                                                                      else 0)).sum())
            if ideal > 0:
                captures.append(mine / ideal)
    turnover = np.asarray(r.turnover)
    capped = np.asarray(r.rows) > 0  # the first row, from cash, is not capped
    near = out["nearest"][0]
    return {"case": f"{algo} {factor_limit:g}/{sector_limit:g}", "algo": algo, "sector_limit": sector_limit,
            "rows": len(r.rows), "finished": int(done.sum()), "gave_way": int((np.asarray(r.gave_way) != "").sum()),
            "ms_mean": 1e3 * float(seconds.mean()) if seconds.size else math.nan,
            "ms_max": 1e3 * float(seconds.max()) if seconds.size else math.nan,
            "capture": float(np.mean(captures)) if captures else math.nan,
            "capture_worst": float(np.min(captures)) if captures else math.nan,
            "turnover_max": float(turnover[capped].max()) if capped.any() else math.nan,
            "turnover_finished": float(turnover[done].mean()) if done.any() else math.nan,
            "turnover_nearest": float(np.asarray(near.turnover)[np.asarray(near.finished)].mean())
            if np.asarray(near.finished).any() else math.nan,
            "blocked": float(np.mean(np.asarray(r.blocked_buy) + np.asarray(r.blocked_sell)))}


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="12 dates, universe 2,000")
    ap.add_argument("--json", help="write the rows to this file")
    ap.add_argument("--algos", default=",".join(ALGORITHMS))
    ap.add_argument("--score", choices=("smoothed", "ranked"), default="smoothed",
                    help="score of the score stage: the smoothed scores, or what each algorithm ranks by")
    ap.add_argument("--seed", type=int, default=3)
    ap.add_argument("--runs", action="store_true",
                    help="real runs with the stand-in's blocks and a turnover cap instead of captured problems")
    args = ap.parse_args(argv)
    import VelaIntradayModel as vim
    from Kestrel.finish import DEFAULT_BUDGET

    dates, secu, n_univ = (12, 2500, 2000) if args.quick else (80, 5000, 4000)
    t0 = time.perf_counter()
    market = vim.generate_market(None, n_dates=dates, n_secu=secu, n_factors=10, seed=args.seed)
    univ = vim.default_universe(market, n_univ, seed=args.seed)
    scores = vim.make_scores(market, univ, seed=args.seed)
    print(f"market: {dates} dates, universe {n_univ}, 10 factors + 28 sectors; turnover cap {MAX_TURNOVER}; "
          f"{args.score} scores; default budget {DEFAULT_BUDGET:g}")
    if args.runs:
        print(f"{'case':<22}{'rows':>5}{'done':>5}{'gave':>5}{'ms mean':>8}{'max':>6}{'capture':>9}{'worst':>7}"
              f"{'max turnover':>13}{'turnover: score':>16}{'nearest':>8}{'blocked/row':>12}")
        rows = []
        for level in LEVELS:
            for algo in args.algos.split(","):
                r = measure_run(algo, market, scores, univ, *level)
                rows.append(r)
                print(f"{r['case']:<22}{r['rows']:>5}{r['finished']:>5}{r['gave_way']:>5}{r['ms_mean']:>8.1f}"
                      f"{r['ms_max']:>6.0f}{r['capture']:>9.1%}{r['capture_worst']:>7.1%}{r['turnover_max']:>13.4f}"
                      f"{r['turnover_finished']:>16.4f}{r['turnover_nearest']:>8.4f}{r['blocked']:>12.1f}", flush=True)
        print(f"took {time.perf_counter() - t0:.0f} s")
        if args.json:
            with open(args.json, "w") as fh:
                json.dump({"runs": rows}, fh, indent=1)
        return
    budgets = [str(b) for b in BUDGETS]
    print(f"{'case':<22}{'rows':>7}{'gave':>5}{'ms mean':>8}{'max':>6}{'cpu':>6}   capture mean/worst for budget "
          + ", ".join(budgets) + "   |   one-way turnover: " + ", ".join(budgets) + ", loop   |  0-limit |e|")
    rows = []
    for level in LEVELS:
        for algo in args.algos.split(","):
            r = measure_case(algo, market, scores, univ, *level, seed=args.seed, score_kind=args.score)
            rows.append(r)
            caps = " ".join(f"{r['capture'][b][0]:6.1%}/{r['capture'][b][1]:5.1%}" for b in budgets)
            turns = " ".join(f"{r['turnover'][b]:.3f}" for b in budgets)
            print(f"{r['case']:<22}{r['finished']:>3}/{r['captured']:<3}{r['gave_way']:>5}{r['ms_mean']:>8.1f}"
                  f"{r['ms_max']:>6.0f}{r['cpu_ms_mean']:>6.1f}   {caps}   |   {turns} {r['loop_turnover']:.3f}   |  "
                  f"{r['zero_limit_worst']:.0e} ({r['zero_limit_kept']}/{r['zero_limit_tried']} kept)", flush=True)
    ms = [r["ms_mean"] for r in rows if not math.isnan(r["ms_mean"])]
    cpu = [r["cpu_ms_mean"] for r in rows if not math.isnan(r["cpu_ms_mean"])]
    print(f"mean ms per finished row over the cases: {np.mean(ms):.1f} wall, {np.mean(cpu):.1f} cpu "
          f"(target <= {TARGET_MS:g})")
    for r in rows:
        if r["algo"] in ("TopM", "TopM2", "TopEqual2") and r["sector_limit"] == 0.0025:
            c = r["capture"][str(DEFAULT_BUDGET)][0]
            print(f"  {r['case']}: capture {c:.2%} at the default budget "
                  f"({'meets' if c >= TARGET_CAPTURE else 'BELOW'} the {TARGET_CAPTURE:.0%} target)")
    stress = measure_give_way(market, scores, univ, args.seed)
    print("TopM2 0.01/0.0025 with the limits x0.2 and a cap of 0.05, below the loop row's turnover:")
    for s in stress:
        print(f"  cap_gives_way={s['cap_gives_way']}: {s['finished']}/{s['dates']} finished, gave way "
              f"{s['gave_way']}, mean excess {s['excess_mean']:.3g}, ms mean {s['ms_mean']:.1f} max "
              f"{s['ms_max']:.0f}" + (f", unfinished: {s['unfinished']}" if s["unfinished"] else ""))
    print(f"took {time.perf_counter() - t0:.0f} s")
    if args.json:
        with open(args.json, "w") as fh:
            json.dump({"cases": rows, "give_way": stress}, fh, indent=1)


if __name__ == "__main__":
    main()

"""The finish's linear programs on small synthetic problems: trading blocks
and the turnover cap held, the score stage, limits of 0, and what gives way
where no row holds every limit, checked against plainly written LPs."""

import math
import subprocess
import sys

import numpy as np
import pytest

highspy = pytest.importorskip("highspy")

from Kestrel.finish import (  # noqa: E402
    FLOOR,
    TOLERANCE,
    Finisher,
    best_feasible,
    nearest_feasible,
    relaxed,
    within,
)


def problem(seed, n=60, k_style=2, sectors=3, tight=0.3, held=0.8):
    """A date of n names: style factors and sector indicators, a benchmark, a
    previous row and a row w0 (total 1, within its caps) over some limits."""
    rng = np.random.default_rng(seed)
    f = np.zeros((n, k_style + sectors))
    f[:, :k_style] = rng.normal(size=(n, k_style))
    f[np.arange(n), k_style + rng.integers(0, sectors, n)] = 1.0
    bench = rng.dirichlet(np.ones(n))
    b = f.T @ bench
    caps = np.full(n, 3.0 / n)

    def portfolio(names, total):
        w = rng.dirichlet(np.ones(n) * 0.5) * (rng.random(n) < held) * names
        w = np.minimum(w * total / w.sum(), caps)
        room = (caps - w) * names
        return w + room * (total - w.sum()) / room.sum()  # topped up within the caps

    everyone = np.ones(n, dtype=bool)
    pre = portfolio(everyone, 1.0)
    kept = rng.random(n) < 0.3  # w0 keeps these names as they were
    w0 = np.where(kept, pre, portfolio(~kept, 1.0 - pre[kept].sum()))
    lim = np.abs(f.T @ w0 - b) * tight  # every limit exceeded by w0
    lim[k_style:] = np.maximum(lim[k_style:], 0.002)
    return {"w0": w0, "caps": caps, "f": f, "b": b, "lim": lim, "pre": pre, "score": rng.normal(size=n)}


def blocked(p, seed, share=0.15):
    """Bounds with trading blocks consistent with w0: (lower, upper, no_buy, no_sell, fixed)."""
    rng = np.random.default_rng(seed)
    w0, pre, caps = p["w0"], p["pre"], p["caps"]
    n = len(w0)
    kept = (w0 == pre) & (rng.random(n) < share)
    no_buy = kept | ((w0 <= pre) & (rng.random(n) < share))
    no_sell = kept | ((w0 >= pre) & (rng.random(n) < share))
    fixed = no_buy & no_sell
    lower, upper = np.zeros(n), caps.copy()
    upper[no_buy] = np.minimum(caps, pre)[no_buy]
    lower[no_sell] = pre[no_sell]
    upper[no_sell] = np.maximum(caps, pre)[no_sell]
    upper[fixed] = pre[fixed]
    return lower, upper, no_buy, no_sell, fixed


def one_way(w, pre):
    return np.abs(w - pre).sum() / 2


def reference(p, lower, upper, *, pre=None, cap=math.inf, objective="nearest", cost=0.0, lim=None):
    """The same LPs written plainly: columns w, d >= |w - w0|, s >= |w - pre| (and t
    for the excess), one row per inequality. Returns (objective value, w) or None."""
    n, k = p["f"].shape
    lim = p["lim"] if lim is None else lim
    use_s = pre is not None
    cols = n * (2 + use_s) + 1  # w, d, [s], t
    D, S, T = n, 2 * n, cols - 1  # w first
    c = np.zeros(cols)
    lo, hi = np.zeros(cols), np.full(cols, np.inf)
    lo[:n], hi[:n] = lower, upper
    hi[T] = 0.0
    rows, rlo, rhi = [], [], []

    def row(coef, a, z):
        rows.append(coef)
        rlo.append(a)
        rhi.append(z)

    e = np.zeros(cols)
    e[:n] = 1
    row(e, p["w0"].sum(), p["w0"].sum())
    scale = np.where(lim > 0, lim, lim[lim > 0].min())
    for j in range(k):
        up, dn = np.zeros(cols), np.zeros(cols)
        up[:n] = dn[:n] = p["f"][:, j]
        up[T], dn[T] = -scale[j], scale[j]
        row(up, -np.inf, p["b"][j] + lim[j])
        row(dn, p["b"][j] - lim[j], np.inf)
    for i in range(n):
        for base, target in ((D, p["w0"]),) + (((S, pre),) if use_s else ()):
            a, z = np.zeros(cols), np.zeros(cols)
            a[i], a[base + i] = 1, -1
            z[i], z[base + i] = 1, 1
            row(a, -np.inf, target[i])
            row(z, target[i], np.inf)
    if use_s and not math.isinf(cap):
        s = np.zeros(cols)
        s[S:S + n] = 1
        row(s, -np.inf, 2 * cap)
    if objective == "nearest":
        c[D:D + n] = 1
    elif objective == "turnover":
        c[S:S + n] = 1
    elif objective == "best":
        c[:n] = -p["score"]
        if use_s:
            c[S:S + n] = cost
    else:  # the least excess
        c[T], hi[T] = 1, np.inf
    h = highspy.Highs()
    h.silent()
    a = np.array(rows)
    h.passModel(cols, len(rows), int((a != 0).sum()), int(highspy.MatrixFormat.kRowwise),
                int(highspy.ObjSense.kMinimize), 0.0, c, lo, hi, np.array(rlo), np.array(rhi),
                np.concatenate([[0], np.cumsum((a != 0).sum(axis=1))]).astype(np.int32),
                np.nonzero(a)[1].astype(np.int32), a[a != 0], np.zeros(cols, dtype=np.int32))
    h.run()
    if h.getModelStatus() != highspy.HighsModelStatus.kOptimal:
        return None
    x = np.asarray(h.getSolution().col_value)
    return h.getInfo().objective_function_value, x[:n]


def call(fin, p, lower, upper, *, pre=None, cap=math.inf, lim=None, cost=0.0):
    return fin(p["w0"], lower, upper, p["f"], p["b"], p["lim"] if lim is None else lim, pre, cap, p["score"], cost)


def assert_kept(p, w, lower, upper, lim, excess=0.0):
    assert np.isfinite(w).all() and (w >= lower).all() and (w <= upper).all()
    assert abs(w.sum() - p["w0"].sum()) <= 1e-12
    assert within(p["f"].T @ w - p["b"], lim, excess).all()


# ---------------------------------------------------------------- feasible dates

@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("budget", ["nearest", 1.0, 2.0])
def test_blocks_and_the_cap_hold_and_the_nearest_distance_is_exact(seed, budget):
    p = problem(seed)
    lower, upper, no_buy, no_sell, fixed = blocked(p, seed)
    assert fixed.any() and (no_buy & ~fixed).any() and (no_sell & ~fixed).any()
    cap = one_way(p["w0"], p["pre"])  # w0 at the cap: the repair may not trade more
    fin = Finisher(budget=budget)
    w, status, gave_way, excess = call(fin, p, lower, upper, pre=p["pre"], cap=cap, cost=0.1)
    assert (status, gave_way, excess) == ("Optimal", "", 0.0)
    assert_kept(p, w, lower, upper, p["lim"])
    pre = p["pre"]
    assert (w[no_buy] <= pre[no_buy]).all() and (w[no_sell] >= pre[no_sell]).all()
    assert (w[fixed] == pre[fixed]).all()
    assert one_way(w, pre) <= cap * (1 + TOLERANCE) + FLOOR
    # The distance of the nearest row is the one of the plainly written LP.
    d_ref, _ = reference(p, lower, upper, pre=pre, cap=cap)
    rec = fin.solutions[-1]
    assert rec.nearest == pytest.approx(d_ref, rel=1e-5)  # the limits solved for are a little tighter
    assert rec.moved == pytest.approx(np.abs(w - p["w0"]).sum(), rel=1e-12)
    assert [s.stage for s in rec.solves] == ["nearest"] + ["score"] * (budget != "nearest")


@pytest.mark.parametrize("seed", range(4))
def test_the_score_stage_beats_the_nearest_row_within_its_budget(seed):
    p = problem(seed, n=120)
    lower, upper, *_ = blocked(p, seed)
    pre, cap = p["pre"], one_way(p["w0"], p["pre"]) * 1.2
    got = {b: call(Finisher(budget=b), p, lower, upper, pre=pre, cap=cap)[0] for b in ("nearest", 1.0, 2.0, 1e9)}
    cold = call(Finisher(budget=2.0, warm_start=False), p, lower, upper, pre=pre, cap=cap)[0]
    assert p["score"] @ cold == pytest.approx(p["score"] @ got[2.0], rel=1e-9)
    d = np.abs(got["nearest"] - p["w0"]).sum()
    s = {b: p["score"] @ w for b, w in got.items()}
    assert s["nearest"] <= s[1.0] + 1e-12 <= s[2.0] + 2e-12 <= s[1e9] + 3e-12
    for b in (1.0, 2.0):
        assert np.abs(got[b] - p["w0"]).sum() <= b * d * (1 + 1e-8) + 1e-12
        assert_kept(p, got[b], lower, upper, p["lim"])
    # Without a binding budget the score stage is the exact optimum.
    best = best_feasible(p["score"], upper, 1.0, p["f"], p["b"], p["lim"], lower=lower, pre=pre, max_turnover=cap)
    ref, _ = reference(p, lower, upper, pre=pre, cap=cap, objective="best")
    assert p["score"] @ best.weights == pytest.approx(-ref, rel=1e-5)
    assert s[1e9] == pytest.approx(p["score"] @ best.weights, rel=1e-9)


@pytest.mark.parametrize("cost", [0.0, 0.5, 5.0])
def test_the_turnover_cost_is_charged_on_the_true_turnover(cost):
    p = problem(7, n=80)
    lower, upper, *_ = blocked(p, 7)
    best = best_feasible(p["score"], upper, 1.0, p["f"], p["b"], p["lim"], lower=lower, pre=p["pre"], cost=cost)
    ref, _ = reference(p, lower, upper, pre=p["pre"], objective="best", cost=cost)
    w = best.weights
    assert p["score"] @ w - cost * np.abs(w - p["pre"]).sum() == pytest.approx(-ref, rel=1e-5)
    fin = Finisher(budget=1e9)
    w2 = call(fin, p, lower, upper, pre=p["pre"], cost=cost)[0]
    assert p["score"] @ w2 - cost * np.abs(w2 - p["pre"]).sum() == pytest.approx(-ref, rel=1e-5)


def test_nearest_budget_is_the_nearest_row():
    p = problem(3, n=100)
    w_nearest = nearest_feasible(p["w0"], p["caps"], p["f"], p["f"].T @ p["w0"] - p["b"], p["lim"]).weights
    w, status, *_ = call(Finisher(budget="nearest"), p, np.zeros(100), p["caps"])
    assert status == "Optimal"
    np.testing.assert_allclose(w, w_nearest, rtol=0, atol=1e-14)
    assert np.abs(w - p["w0"]).sum() == pytest.approx(reference(p, np.zeros(100), p["caps"])[0], rel=1e-5)


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("zeros", [[0], [3], [0, 1, 2, 3, 4]])
def test_a_limit_of_0_is_kept_within_the_floor(seed, zeros):
    p = problem(seed, n=150)
    lim = p["lim"].copy()
    lim[zeros] = 0.0
    lower, upper, *_ = blocked(p, seed, share=0.05)
    for budget in ("nearest", 2.0):
        w, status, gave_way, _ = call(Finisher(budget=budget), p, lower, upper, pre=p["pre"], cap=0.5, lim=lim)
        assert status == "Optimal" and gave_way == ""
        e = p["f"].T @ w - p["b"]
        assert np.abs(e[zeros]).max() <= FLOOR
        assert within(e, lim).all()


# ---------------------------------------------------------------- what gives way

def flat(p, offset):
    """Adds a factor equal to 1 for every name whose benchmark exposure is 1 + offset:
    a portfolio of total 1 is off it by -offset, whatever it holds."""
    q = dict(p)
    q["f"] = np.column_stack([p["f"], np.ones(len(p["w0"]))])
    q["b"] = np.append(p["b"], 1.0 + offset)
    return q


@pytest.mark.parametrize(("limit", "expected"), [(0.05, 1.0), (0.02, 4.0), (0.0, None)])
def test_limits_that_cannot_hold_give_way_by_the_least_excess(limit, expected):
    p = flat(problem(5, n=50, tight=1.0), 0.1)
    lim = np.append(p["lim"], limit)
    if expected is None:  # a limit of 0 gives way in units of the smallest positive limit
        expected = 0.1 / p["lim"].min()
    fin = Finisher()
    w, status, gave_way, excess = call(fin, p, np.zeros(50), p["caps"], lim=lim)
    assert status == "Optimal" and gave_way == "limits"
    assert expected <= excess <= expected * (1 + 1e-5) + 1e-6
    assert_kept(p, w, np.zeros(50), p["caps"], lim, excess)
    assert [s.stage for s in fin.solutions[-1].solves] == ["nearest", "excess", "nearest", "score"]
    assert fin.solutions[-1].excess == excess and fin.solutions[-1].gave_way == "limits"


@pytest.mark.parametrize("seed", range(4))
def test_the_excess_is_the_least_one_the_bounds_and_cap_allow(seed):
    """Blocks and a cap far below w0's turnover leave the limits no room: the excess
    found is feasible and a thousandth less is not (the plainly written LP agrees)."""
    p = problem(seed, n=40, tight=0.05)
    lower, upper, *_ = blocked(p, seed, share=0.3)
    cap = one_way(p["w0"], p["pre"]) / 10
    w, status, gave_way, excess = call(Finisher(), p, lower, upper, pre=p["pre"], cap=cap)
    assert status == "Optimal" and gave_way == "limits" and excess > 0
    assert_kept(p, w, lower, upper, p["lim"], excess)
    assert one_way(w, p["pre"]) <= cap * (1 + TOLERANCE) + FLOOR
    t_ref, _ = reference(p, lower, upper, pre=p["pre"], cap=cap, objective="excess")
    assert t_ref <= excess <= t_ref * (1 + 1e-5) + 1e-6
    kw = {"lower": lower, "pre": p["pre"], "max_turnover": cap}
    assert best_feasible(p["score"], upper, 1.0, p["f"], p["b"], p["lim"], excess=excess, **kw).weights is not None
    assert best_feasible(p["score"], upper, 1.0, p["f"], p["b"], p["lim"], excess=excess * 0.999, **kw).weights is None


def test_a_cap_of_0_keeps_the_previous_row_and_the_limits_give_way_to_its_exposures():
    p = problem(8, n=50)
    lim = p["lim"].copy()
    lim[0] = 0.0
    w, status, gave_way, excess = call(Finisher(), p, np.zeros(50), p["caps"], pre=p["pre"], cap=0.0, lim=lim)
    assert (status, gave_way) == ("Optimal", "limits")
    np.testing.assert_allclose(w, p["pre"], rtol=0, atol=1e-15)
    scale = np.where(lim > 0, lim, lim[lim > 0].min())
    t = ((np.abs(p["f"].T @ p["pre"] - p["b"]) - lim) / scale).max()
    assert t <= excess <= t * (1 + 1e-5) + 1e-6


def forced_sales(seed):
    """Previous weights above the caps of names free to sell, and w0 the previous
    row sold down to the caps and topped up elsewhere: the bounds force a one-way
    turnover of at least `least`."""
    p = problem(seed, n=60)
    pre, upper = p["pre"].copy(), p["caps"]
    over = np.argsort(-pre)[:5]
    pre[over] = upper[over] * 1.5
    pre /= pre.sum()
    w0 = np.minimum(pre, upper)
    room = upper - w0
    p["w0"] = w0 + room * (1 - w0.sum()) / room.sum()
    return p, pre, upper, np.maximum(pre - upper, 0).sum()


@pytest.mark.parametrize("gives_way", [False, True])
def test_the_cap_gives_way_only_when_told(gives_way):
    p, pre, upper, least = forced_sales(1)
    lower = np.zeros(60)
    fin = Finisher(cap_gives_way=gives_way)
    w, status, gave_way, excess = call(fin, p, lower, upper, pre=pre, cap=least / 2)
    if not gives_way:
        assert w is None and status == "Infeasible: the bounds and the turnover cap leave no portfolio of this total"
        assert gave_way == "" and fin.solutions[-1].status == status
        return
    assert status == "Optimal" and gave_way == "turnover" and excess == 0.0
    assert_kept(p, w, lower, upper, p["lim"])
    # The cap gave way to the least turnover that holds the limits, and no further.
    two_way, _ = reference(p, lower, upper, pre=pre, objective="turnover")
    assert two_way / 2 >= least
    assert two_way / 2 <= one_way(w, pre) <= two_way / 2 * (1 + 1e-5) + 1e-8


@pytest.mark.parametrize("gives_way", [False, True])
def test_a_cap_against_the_limits_keeps_the_cap_or_the_limits(gives_way):
    p = problem(2, n=50, tight=0.02)
    cap = one_way(p["w0"], p["pre"]) / 5
    lower, upper = np.zeros(50), p["caps"]
    w, status, gave_way, excess = call(Finisher(cap_gives_way=gives_way), p, lower, upper, pre=p["pre"], cap=cap)
    assert status == "Optimal"
    if gives_way:
        assert (gave_way, excess) == ("turnover", 0.0) and one_way(w, p["pre"]) > cap
        assert_kept(p, w, lower, upper, p["lim"])
    else:
        assert gave_way == "limits" and excess > 0 and one_way(w, p["pre"]) <= cap * (1 + TOLERANCE) + FLOOR
        assert_kept(p, w, lower, upper, p["lim"], excess)


def test_both_give_way_when_the_bounds_alone_break_the_limits():
    p, pre, upper, least = forced_sales(4)
    p = flat(p, 0.1)
    lim = np.append(p["lim"], 0.05)
    w, status, gave_way, excess = call(Finisher(cap_gives_way=True), p, np.zeros(60), upper, pre=pre,
                                       cap=least / 2, lim=lim)
    assert (status, gave_way) == ("Optimal", "limits, turnover") and excess == pytest.approx(1.0, rel=1e-5)
    assert_kept(p, w, np.zeros(60), upper, lim, excess)


def test_bounds_that_leave_no_portfolio_are_reported():
    p = problem(0, n=30)
    lower = np.full(30, 0.05)  # 1.5 held at least, of a total of 1
    w, status, gave_way, excess = call(Finisher(), p, lower, np.maximum(p["caps"], lower))
    assert w is None and status.startswith("Infeasible: the bounds leave no portfolio") and gave_way == ""


def test_relaxed_limits_measure_a_0_limit_by_the_smallest_positive_one():
    np.testing.assert_array_equal(relaxed([0.02, 0.0, 0.005], 2.0), [0.06, 0.01, 0.015])
    np.testing.assert_array_equal(relaxed([0.0, 0.0], 0.5), [0.5, 0.5])
    assert within([1e-12, -2e-12], [0.0, 0.0]).tolist() == [True, False]


# ---------------------------------------------------------------- a property over random small problems

def test_random_problems_keep_every_promise():
    hyp = pytest.importorskip("hypothesis")
    st = hyp.strategies

    @hyp.settings(max_examples=25, deadline=None, derandomize=True)
    @hyp.given(st.integers(0, 10**6), st.integers(20, 60), st.floats(0.0, 1.0), st.floats(0.01, 0.3),
               st.sampled_from(["nearest", 1.0, 2.5]), st.booleans(), st.floats(0.0, 0.6))
    def check(seed, n, tight, share, budget, gives_way, cap_share):
        p = problem(seed, n=n, tight=tight)
        lower, upper, no_buy, no_sell, _ = blocked(p, seed, share)
        pre = p["pre"]
        cap = one_way(p["w0"], pre) * cap_share
        w, status, gave_way, excess = call(Finisher(budget=budget, cap_gives_way=gives_way), p, lower, upper,
                                           pre=pre, cap=cap, cost=0.05)
        if w is None:  # only when the bounds force more turnover than the cap allows
            assert not gives_way and status.endswith("leave no portfolio of this total")
            assert reference(p, lower, upper, pre=pre, cap=cap, objective="excess") is None
            return
        assert_kept(p, w, lower, upper, p["lim"], excess)
        assert (w[no_buy] <= pre[no_buy]).all() and (w[no_sell] >= pre[no_sell]).all()
        assert ("limits" in gave_way) == (excess > 0)
        if "turnover" not in gave_way:
            assert one_way(w, pre) <= cap * (1 + TOLERANCE) + FLOOR
        feasible = reference(p, lower, upper, pre=pre, cap=cap) is not None
        assert (gave_way == "") == feasible

    check()


# ---------------------------------------------------------------- arguments

@pytest.mark.parametrize(("kw", "error", "match"), [
    ({"budget": 0.5}, ValueError, "budget must be a finite number >= 1"),
    ({"budget": math.nan}, ValueError, "budget must be a finite number >= 1"),
    ({"budget": math.inf}, ValueError, "budget must be a finite number >= 1"),
    ({"budget": "far"}, ValueError, "budget must be a number >= 1 or \"nearest\", got 'far'"),
    ({"budget": True}, TypeError, "budget must be a number >= 1 or \"nearest\", not bool"),
    ({"budget": None}, TypeError, "not NoneType"),
    ({"cap_gives_way": "yes"}, TypeError, "cap_gives_way must be True or False"),
    ({"time_limit": -1}, ValueError, "time_limit must be finite and >= 0"),
    ({"time_limit": 0}, ValueError, "time_limit must be > 0"),
])
def test_bad_keywords_are_refused(kw, error, match):
    with pytest.raises(error, match=match):
        Finisher(**kw)


@pytest.mark.parametrize(("change", "error", "match"), [
    (lambda a: a.update(lower=a["upper"] + 0.1), ValueError, "lower exceeds upper at"),
    (lambda a: a.update(upper=a["upper"][:-1]), ValueError, r"upper must have shape \(30,\) \(one per security, as w0"),
    (lambda a: a.update(factors=a["factors"][:, :-1]), ValueError,
     r"limits must have shape \(4,\) \(one per column of factors\), got shape \(5,\)"),
    (lambda a: a.update(w0=a["w0"][:-1]), ValueError, r"upper must have shape \(29,\) \(one per security, as w0\)"),
    (lambda a: a.update(limits=-a["limits"]), ValueError, "limits must be >= 0"),
    (lambda a: a["factors"].__setitem__((0, 0), np.nan), ValueError, "factors has non-finite values"),
    (lambda a: a["score"].__setitem__(2, np.inf), ValueError, r"score has non-finite values at \[2\]"),
    (lambda a: a.update(max_turnover=-0.1), ValueError, "max_turnover must be >= 0"),
    (lambda a: a.update(max_turnover="0.1"), TypeError, "max_turnover must be a real number"),
    (lambda a: a.update(cost=math.nan), ValueError, "cost must be finite and >= 0"),
])
def test_bad_arrays_are_refused_naming_the_argument(change, error, match):
    p = problem(0, n=30)
    args = {"w0": p["w0"], "lower": np.zeros(30), "upper": p["caps"], "factors": p["f"].copy(),
            "bench_expo": p["b"], "limits": p["lim"], "pre": p["pre"], "max_turnover": 0.3,
            "score": p["score"].copy(), "cost": 0.0}
    change(args)
    with pytest.raises(error, match=match):
        Finisher()(**args)


def test_the_module_imports_without_the_solver_and_asks_for_it_when_solving():
    code = ("import sys; sys.modules['highspy'] = None\n"
            "import Kestrel.finish as f\n"
            "print(f.FLOOR, f.TOLERANCE)\n"
            "f.Finisher()\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert out.stdout.split() == [str(FLOOR), str(TOLERANCE)]
    assert 'ImportError: finish="exact" needs the HiGHS solver: pip install highspy' in out.stderr

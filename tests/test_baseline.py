"""Checks of the numpy baseline itself, so it can serve as the oracle for Kestrel."""

import sys
import types
from types import SimpleNamespace

import numpy as np
import pytest

from Kestrel.report import REPORT_LINE as REPORT
from Kestrel.tables import ALGORITHMS as NAMES
from Kestrel.tables import sector_formula

import numpy_baseline as nb

# NaN results are part of the behaviour here; numpy's warnings about them are noise.
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

NAN = np.nan


@pytest.fixture
def opt():
    return nb.NumpyOptimizer("TopM", "000300", 1.0, {})


def make(name, secu_pct=1.0):
    return nb.NumpyOptimizer(name, "000300", secu_pct, {})


def close(a, b):
    np.testing.assert_allclose(np.asarray(a, float), np.asarray(b, float),
                               rtol=0, atol=1e-12, equal_nan=True)


# ------------------------------------------------------------- construction

@pytest.mark.parametrize("name", NAMES)
def test_construct_accepts_exact_names(name):
    o = nb.NumpyOptimizer(name, "000300", 1.0, cfg := {})
    assert o.opt_name == name and o.cfg is cfg


@pytest.mark.parametrize("name", ["topm", "TopM ", " TopKR", "TOPEQUAL", 3, None])
def test_construct_rejects_other_names(name):
    with pytest.raises(Exception) as ei:
        nb.NumpyOptimizer(name, "000300", 1.0, {})
    assert type(ei.value) is Exception
    assert str(ei.value) == "Wrong opt_name:{}".format(name)


def test_get_value_or_default(opt):
    default = object()
    cfg = {"a": "text", "n": None}
    assert opt.GetValueOrDefault(cfg, "a", 1.0) == "text"
    assert opt.GetValueOrDefault(cfg, "n", 1.0) is None
    assert opt.GetValueOrDefault(cfg, "x", default) is default


@pytest.mark.parametrize("code,key", [
    ("000905", "weight500"), ("000906", "weight800"), ("000852", "weight1000"),
    ("399303", "weight2000"), ("932000", "weightzz2000"), ("000300", "weight300"),
    ("123456", "123456")])
def test_get_weight_name(code, key):
    assert nb.NumpyOptimizer("TopM", code, 1.0, {}).get_weight_name() == key


# --------------------------------------------------------- smoothing, norm

@pytest.mark.parametrize("arr,decay,expected", [
    ([[1.0, 2.0]], 0.3, [[1.0, 2.0]]),
    ([[1.0, 2.0], [5.0, 7.0], [3.0, -1.0]], 1.0, [[1.0, 2.0], [5.0, 7.0], [3.0, -1.0]]),
    ([[2.0, 4.0], [4.0, 8.0]], 0.5, [[2.0, 4.0], [3.0, 6.0]]),
    ([[2.0, 4.0], [4.0, 8.0], [9.0, 9.0]], 0.0, [[2.0, 4.0]] * 3),
    ([[1.0, 1.0], [NAN, 2.0], [3.0, 3.0]], 0.5, [[1.0, 1.0], [NAN, 1.5], [NAN, 2.25]]),
])
def test_gen_ema(opt, arr, decay, expected):
    arr = np.array(arr)
    out = opt.GenEma(arr, decay)
    close(out, expected)
    assert out is not arr


@pytest.mark.parametrize("arr", [np.zeros((0, 3)), np.arange(3.0)])
def test_gen_ema_bad_shape_fails(opt, arr):
    with pytest.raises(IndexError):
        opt.GenEma(arr, 0.5)


def test_gen_ema_step1_chain_matches_gen_ema(opt):
    arr = np.random.default_rng(1).normal(size=(5, 4))
    v = arr[0]
    assert opt.GenEma_Step1(v, None, 0.3) is v
    ema, prev = [], None
    for row in arr:
        prev = opt.GenEma_Step1(row, prev, 0.3)
        ema.append(prev)
    close(ema, opt.GenEma(arr, 0.3))
    with pytest.raises(ValueError):
        opt.GenEma_Step1(np.ones(3), np.ones(4), 0.3)


@pytest.mark.parametrize("row,expected", [
    ([1.0, 2.0, 3.0], [-1.224744871391589, 0.0, 1.224744871391589]),
    ([1.0, NAN, 3.0], [-1.0, NAN, 1.0]),
    ([5.0, 5.0, 5.0], [NAN, NAN, NAN]),
    ([NAN, NAN, NAN], [NAN, NAN, NAN]),
])
def test_gen_norm_rows(opt, row, expected):
    close(opt.GenNorm(np.array([row, [0.0, 1.0, 2.0]]))[0], expected)
    close(opt.GenNorm_Step1(np.array(row)), expected)


def test_gen_norm_per_row_vs_step1_whole(opt):
    m = np.array([[1.0, 2.0, 3.0], [10.0, 20.0, 30.0]])
    close(opt.GenNorm(m)[1], opt.GenNorm(m)[0])
    whole = opt.GenNorm_Step1(m)
    close(whole, (m - m.mean()) / m.std())
    assert whole.shape == m.shape
    with pytest.raises(np.exceptions.AxisError):
        opt.GenNorm(np.arange(3.0))


# ------------------------------------------------------------------- caps

NO_FLOOR = dict(cur_bench=np.zeros(4), bench_coeff=0.0, pre_weight=np.zeros(4), pre_coeff=0.0)


@pytest.mark.parametrize("max_weight,expected", [
    (-1, [1.5, 0.5, 0, 0]), (0, [1.5, 0.5, 0, 0]), (-1.0, [1.5, 0.5, 0, 0]),
    (1.0, [1.0, 0.5, 0, 0])])
def test_gen_max_weight_ceiling(opt, max_weight, expected):
    caps = opt.GenMaxWeight([3.0, 1.0, 0.0, -1.0], 2, max_weight=max_weight, **NO_FLOOR)
    close(caps, expected)


def test_ceiling_order_differs_between_cap_functions(opt):
    args = dict(cur_bench=np.array([0.05, 0.0]), bench_coeff=1.0,
                pre_weight=np.zeros(2), pre_coeff=0.0, max_weight=0.02)
    assert opt.GenMaxWeight(np.array([1.0, 1.0]), 1.0, **args)[0] == 0.05
    assert opt.GenMaxWeight_Equal(np.array([1.0, 1.0]), 0.01, **args)[0] == 0.02


def test_gen_max_weight_equal_pre_floor(opt):
    caps = opt.GenMaxWeight_Equal(np.zeros(2), 0.01, np.zeros(2), 1.0,
                                  np.array([0.03, 0.0]), 0.5)
    close(caps, [0.015, 0.01])


@pytest.mark.parametrize("scores,bench,pre,nan_caps,nan_equal", [
    ([-1.0, 0.0, -2.0], [0, 0, 0], [0, 0, 0], [0, 1, 2], []),
    ([1.0, NAN, 2.0], [0, 0, 0], [0, 0, 0], [0, 1, 2], []),
    ([1.0, 1.0, 2.0], [0, NAN, 0], [0, 0, 0], [1], [1]),
    ([1.0, 1.0, 2.0], [0, 0, 0], [0, 0, NAN], [2], [2]),
])
def test_caps_nan_propagation(opt, scores, bench, pre, nan_caps, nan_equal):
    args = (np.array(bench, float), 0.5, np.array(pre, float), 0.5)
    caps = opt.GenMaxWeight(np.array(scores), 1.0, *args)
    eq = opt.GenMaxWeight_Equal(np.array(scores), 0.1, *args)
    assert np.flatnonzero(np.isnan(caps)).tolist() == nan_caps
    assert np.flatnonzero(np.isnan(eq)).tolist() == nan_equal


# --------------------------------------------------------------- dispatch

def dispatch_args(pre_sum=0.0):
    rng = np.random.default_rng(0)
    bench = rng.random(6)
    pre = rng.random(6)
    cur = np.array([1.5, 1.0, 0.5, 0.1, -0.1, -1.0])
    # Same ranking, other values: shows which score reaches caps and mapping.
    return dict(cur_model_value=cur, try_ema_value=cur * 0.8 + 0.3,
                weight_multi=3.0, num_long=3, risk_cost=0.2, each_single_weight=0.5,
                cur_bench=bench / bench.sum(), bench_coeff=0.5,
                pre_weight=pre / pre.sum() * pre_sum, pre_coeff=0.5, max_weight=-1)


@pytest.mark.parametrize("name", NAMES)
def test_dispatch_routes_and_ignores_unused(name):
    o = make(name)
    a = dispatch_args(pre_sum=0.9)
    got = o.CalcCurrentPosition(**a)
    cap_args = (a["cur_bench"], a["bench_coeff"], a["pre_weight"], a["pre_coeff"],
                a["max_weight"])
    if name == "TopKR":
        want = o.MapValue2Position(a["try_ema_value"], a["num_long"], 1.0, a["cur_bench"],
                                   a["bench_coeff"], a["pre_weight"], a["pre_coeff"])
        unused = ["weight_multi", "each_single_weight", "risk_cost", "max_weight",
                  "cur_model_value"]
    else:
        caps = (o.GenMaxWeight(a["try_ema_value"], a["weight_multi"], *cap_args)
                if name in ("TopM", "TopM2") else
                o.GenMaxWeight_Equal(a["try_ema_value"], a["each_single_weight"], *cap_args))
        if name in ("TopM", "TopEqual"):
            want = o.MapValue2Position_MaxWeight_RiskCost(
                a["cur_model_value"], caps, 1.0, a["pre_weight"], a["risk_cost"])
            unused = ["num_long"]
        else:
            want = o.MapValue2Position_MaxWeight(a["try_ema_value"], caps, 1.0)
            unused = ["risk_cost", "num_long", "cur_model_value"]
        unused.append("each_single_weight" if name in ("TopM", "TopM2") else "weight_multi")
    close(got, want)
    close(o.CalcCurrentPosition(**{**a, **{k: None for k in unused}}), want)


def test_dispatch_rejects_changed_name():
    o = make("TopM")
    o.opt_name = "topm"
    with pytest.raises(Exception, match=r"^Wrong opt_name:topm$"):
        o.CalcCurrentPosition(**dispatch_args())


def test_zero_pre_weight_adds_nothing():
    a = dispatch_args(pre_sum=0.0)
    for name in ("TopKR", "TopM2", "TopEqual2"):
        o = make(name)
        close(o.CalcCurrentPosition(**a), o.CalcCurrentPosition(**{**a, "pre_coeff": 0.0}))


# ---------------------------------------------------------- top-N blend

def topn(o, scores, num_long, bench=None, bench_coeff=0.0, pre=None, pre_coeff=0.0):
    n = len(scores)
    bench = np.zeros(n) if bench is None else np.array(bench, float)
    pre = np.zeros(n) if pre is None else np.array(pre, float)
    return o.MapValue2Position(np.array(scores, float), num_long, 1.0, bench,
                               bench_coeff, pre, pre_coeff)


@pytest.mark.parametrize("scores,num_long,expected", [
    ([1, 2, 3, 4], 2, [0, 0, 0.25, 0.75]),
    ([1, 2, 3, 4], 3, [0, 0, 0.25, 0.75]),
    ([4, 1, 3, 2], 10, [0.75, 0, 0.25, 0]),
    ([1, 2, 3, 4], -3, [0, 0, 0, 1.0]),
    ([1, 2, 3, 4], 0, [NAN] * 4),
    ([4, 3, 2, 1], 1, [1.0, 0, 0, 0]),
    ([1, 1, 1, 1], 2, [NAN] * 4),
    ([1, 2, NAN, 4], 3, [0, 0, 0, 1.0]),
    ([1, 2, NAN, 4], 4, [NAN] * 4),
])
def test_map_value2position(opt, scores, num_long, expected):
    close(topn(opt, scores, num_long), expected)


def test_map_value2position_constant_bench_is_nan(opt):
    assert np.isnan(topn(opt, [1, 2, 3, 4], 2, bench=[0.25] * 4, bench_coeff=0.5)).all()


@pytest.mark.parametrize("pre_sum,adds", [(0.79, False), (0.8, True), (1.0, True)])
def test_map_value2position_pre_threshold(opt, pre_sum, adds):
    scores = [1.0, 2.0, 3.0, 4.0]
    pre = np.array([pre_sum, 0.0, 0.0, 0.0])
    with_pre = topn(opt, scores, 4, pre=pre, pre_coeff=1.0)
    s = opt.GenNorm_Step1(np.array(scores)) + opt.GenNorm_Step1(pre)
    want = np.maximum(s, 0) / np.maximum(s, 0).sum() if adds else topn(opt, scores, 4)
    close(with_pre, want)


# ------------------------------------------------------------ capped fill

SC = [0.9, 0.5, 0.7, 0.1]


@pytest.mark.parametrize("scores,caps,expected", [
    (SC, [0.4] * 4, [0.4, 0.2, 0.4, 0.0]),
    (SC, [0.5] * 4, [0.5, 0.0, 0.5, 0.0]),
    (SC, [1.2, 0.4, 0.4, 0.4], [1.0, 0.0, 0.0, 0.0]),
    (SC, [0.4, 0.4, 0.0, 0.4], [0.4, 0.4, 0.0, 0.2]),
    (SC, [0.25, 0.25, 0.25, 0.24995], [0.25, 0.25, 0.25, 0.24995]),
    (SC, [NAN] * 4, [NAN] * 4),
    (SC, [0.5, NAN, 0.5, 0.5], [0.5, 0.0, 0.5, 0.0]),  # after the crossing caps are unread
    ([NAN, 0.5, 0.7, 0.1], [0.4] * 4, [0.0, 0.4, 0.4, 0.2]),
])
def test_capped_fill(opt, scores, caps, expected):
    close(opt.MapValue2Position_MaxWeight(np.array(scores), np.array(caps), 1.0), expected)


def test_capped_fill_short_caps_fail(opt):
    with pytest.raises(Exception, match=r"^Wrong Position Error$"):
        opt.MapValue2Position_MaxWeight(np.array(SC), np.array([0.3, 0.2, 0.2, 0.2]), 1.0)
    caps = opt.GenMaxWeight(np.array(SC), 0.95, **NO_FLOOR)
    with pytest.raises(Exception, match=r"^Wrong Position Error$"):
        opt.MapValue2Position_MaxWeight(np.array(SC), caps, 1.0)


def test_capped_fill_over_cap_reports_and_fails(opt, capsys):
    # Securities after the crossing sit at 0, above a negative cap.
    with pytest.raises(Exception, match=r"^Wrong Position MaxWeight Error$"):
        opt.MapValue2Position_MaxWeight(np.array([2.0, 1.0, 0.0]),
                                        np.array([1.0, 0.5, -0.2]), 1.0)
    assert capsys.readouterr().out == "[2] [0.] [-0.2]\n"


# -------------------------------------------------------- turnover cost

M4 = [1.0, 0.2, -1.0, 0.8]
P4 = [0.1, 0.3, 0.2, 0.0]


@pytest.mark.parametrize("scores,caps,pre,cost,expected", [
    # worked examples: reduce and add phase
    (M4, [0.4] * 4, P4, 0.5, [0.4, 0.3, 0.0, 0.3]),
    (M4, [0.3] * 4, P4, 0.5, [0.3, 0.3, 0.1, 0.3]),
    # initial weights already sum to the target
    (M4, [0.5, 0.5, 0.5, 0.25], [0.1, 0.25, 0.2, 0.0], 0.5, [0.5, 0.25, 0.0, 0.25]),
    # NaN score: never a candidate
    ([NAN, 1.0, 2.0, 3.0], [0.5] * 4, [0.5, 0, 0, 0], 0.5, [0.0, 0.0, 0.5, 0.5]),
    # risk_cost 0: a zero score is in both lists, added up to min(pre, cap)
    ([1.0, 0.0, -1.0], [0.6, 0.5, 0.5], [0.0, 0.3, 0.4], 0.0, [0.6, 0.3, 0.1]),
    # reduce: idx_pos member whose pre weight is at/above its cap keeps its cap
    ([1.0, 2.0, 0.1], [0.6, 0.6, 0.5], [0.7, 0.0, 0.0], 0.5, [0.6, 0.4, 0.0]),
    # add: idx_neg member with zero pre weight has no room and stays at 0
    ([-1.0, -2.0, 1.0], [0.5, 0.5, 0.5], [0.0, 0.6, 0.0], 0.5, [0.0, 0.5, 0.5]),
    # exact completion: the crossing candidate lands on its floor, ties stop there
    ([1.0, 1.0, 1.0], [0.5, 0.5, 0.5], [0.0, 0.5, 0.5], 0.5, [0.0, 0.5, 0.5]),
    # miss of less than 0.001 passes
    (M4, [0.3, 0.3, 0.3, 0.3], [0.1, 0.3, 0.0995, 0.0], 0.5, [0.3, 0.3, 0.0995, 0.3]),
])
def test_riskcost(opt, scores, caps, pre, cost, expected):
    got = opt.MapValue2Position_MaxWeight_RiskCost(
        np.array(scores, float), np.array(caps, float), 1.0, np.array(pre, float), cost)
    close(got, expected)


@pytest.mark.parametrize("scores,caps,pre", [
    (M4, [0.2] * 4, P4),                    # caps can't hold the target
    ([NAN] * 4, [0.5] * 4, [0.2] * 4),      # nothing to add
    ([2.0, 2.0, 2.0], [0.6] * 3, [0.5] * 3),  # room smaller than excess
])
def test_riskcost_sum_failure(opt, capsys, scores, caps, pre):
    with pytest.raises(Exception, match=r"^Wrong Position Error$"):
        opt.MapValue2Position_MaxWeight_RiskCost(
            np.array(scores), np.array(caps, float), 1.0, np.array(pre, float), 0.5)
    assert capsys.readouterr().out.startswith("CheckPosition: ")


def test_riskcost_room_exhausted_sits_at_bounds(opt, capsys):
    # The add phase fills each idx_mid candidate to its cap before failing.
    with pytest.raises(Exception, match="^Wrong Position Error$"):
        opt.MapValue2Position_MaxWeight_RiskCost(
            np.array([0.1, 0.2]), np.array([0.3, 0.3]), 1.0, np.zeros(2), 0.5)
    assert capsys.readouterr().out == "CheckPosition: 0.6\n"


def test_riskcost_nan_pre_weight_returns_nan(opt):
    got = opt.MapValue2Position_MaxWeight_RiskCost(
        np.array([0.1, 1.0]), np.array([0.5, 0.5]), 1.0, np.array([NAN, 0.0]), 0.5)
    assert np.isnan(got[0]) and got[1] == 0.5


def test_riskcost_inputs_untouched(opt):
    args = [np.array(M4), np.full(4, 0.4), 1.0, np.array(P4), 0.5]
    copies = [np.copy(a) for a in args]
    opt.MapValue2Position_MaxWeight_RiskCost(*args)
    for a, c in zip(args, copies):
        np.testing.assert_array_equal(a, c)


def loop_riskcost(mv, cap, secu_pct, pre, r):
    """Literal transcription of the sequential rebalance, to check the cumsum form."""
    n = len(mv)
    pos = np.zeros(n)
    ip = [i for i in range(n) if mv[i] >= r]
    ineg = [i for i in range(n) if mv[i] <= -r]
    im = [i for i in range(n) if abs(mv[i]) < r]
    for i in ip:
        pos[i] = cap[i]
    for i in ineg:
        pos[i] = 0.0
    for i in im:
        pos[i] = np.minimum(pre[i], cap[i])
    cur = pos.sum()
    if cur > secu_pct:
        tgt, cand = cur - secu_pct, ip + im
        key = [mv[i] - r for i in ip] + [mv[i] + r for i in im]
        floor = [pre[i] for i in ip] + [0.0] * len(im)
        cum = 0.0
        for j in np.argsort(key, kind="stable"):
            i = cand[j]
            chg = pos[i] - floor[j]
            if chg <= 0:
                continue
            cum += chg
            if cum >= tgt:
                pos[i] = floor[j] + (cum - tgt)
                break
            pos[i] = floor[j]
    elif cur < secu_pct:
        tgt, cand = secu_pct - cur, ineg + im
        key = [mv[i] + r for i in ineg] + [mv[i] - r for i in im]
        ceil = [min(pre[i], cap[i]) for i in ineg] + [cap[i] for i in im]
        cum = 0.0
        for j in np.argsort(-np.array(key), kind="stable"):
            i = cand[j]
            if pos[i] >= ceil[j]:
                continue
            cum += ceil[j] - pos[i]
            if cum >= tgt:
                pos[i] = ceil[j] - (cum - tgt)
                break
            pos[i] = ceil[j]
    return pos


@pytest.mark.parametrize("seed", range(40))
def test_riskcost_matches_sequential_loop(opt, seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(3, 40))
    mv = rng.normal(size=n)  # continuous scores: no tied keys, visiting order fixed
    mv[rng.random(n) < 0.1] = NAN
    cap = rng.uniform(0.0, rng.uniform(1.0, 8.0) / n, size=n)
    pre = rng.dirichlet(np.ones(n)) * rng.uniform(0.5, 1.2)
    pre[rng.random(n) < 0.3] = 0.0
    r = float(rng.choice([0.0, 0.3, 0.8]))
    want = loop_riskcost(mv, cap, 1.0, pre, r)
    if abs(want.sum() - 1.0) >= 0.001 or (want - cap >= 1e-4).any():
        with pytest.raises(Exception, match="Wrong Position Error"):
            opt.MapValue2Position_MaxWeight_RiskCost(mv, cap, 1.0, pre, r)
    else:
        np.testing.assert_array_equal(
            opt.MapValue2Position_MaxWeight_RiskCost(mv, cap, 1.0, pre, r), want)


@pytest.mark.parametrize("seed", range(20))
def test_capped_fill_matches_sequential_loop(opt, seed):
    rng = np.random.default_rng(seed)
    n = int(rng.integers(2, 30))
    mv = rng.normal(size=n)
    cap = rng.uniform(0.0, rng.uniform(1.5, 6.0) / n, size=n)
    if seed % 4 == 0:
        cap[rng.integers(n)] *= -1
    want, cum = np.zeros(n), 0.0
    for i in np.argsort(-mv):
        cum += cap[i]
        want[i] = cap[i]
        if cum >= 1.0:
            want[i] -= cum - 1.0
            break
    if abs(want.sum() - 1.0) >= 1e-4:
        with pytest.raises(Exception, match=r"^Wrong Position Error$"):
            opt.MapValue2Position_MaxWeight(mv, cap, 1.0)
    elif (want - cap >= 1e-4).any():
        with pytest.raises(Exception, match=r"^Wrong Position MaxWeight Error$"):
            opt.MapValue2Position_MaxWeight(mv, cap, 1.0)
    else:
        np.testing.assert_array_equal(opt.MapValue2Position_MaxWeight(mv, cap, 1.0), want)


# --------------------------------------------------------------- exposure

@pytest.mark.parametrize("barra,pos,bench,expected", [
    ([1.0, NAN], [0.5, 0.0], [0.5, 0.0], (NAN, NAN, NAN)),
    ([1.0, 2.0], [0.5, NAN], [0.5, 0.5], (NAN, 1.5, NAN)),
    ([1.0, 2.0], [0.5, 0.5], [0.5, NAN], (1.5, NAN, NAN)),
    ([1.0, 2.0], [0.3, 0.7], [0.3, 0.7], (1.7, 1.7, 0.0)),
    ([1.0, 2.0], [1.0, 0.0], [0.0, 1.0], (1.0, 2.0, -1.0)),
    ([], [], [], (0.0, 0.0, 0.0)),
])
def test_risk_exposure(opt, barra, pos, bench, expected):
    single = opt.CalcRiskExposure(np.array(barra), np.array(pos), np.array(bench))
    close(single, expected)
    multi = opt.CalcRiskExposure_Multi(np.array([barra, barra], float).reshape(2, -1),
                                       np.array(pos), np.array(bench))
    assert len(multi) == 3
    for got, want in zip(multi, expected):
        close(got, [want, want])


def test_risk_exposure_equal_weights_is_exactly_zero(opt):
    rng = np.random.default_rng(3)
    w = rng.dirichlet(np.ones(50))
    assert (opt.CalcRiskExposure_Multi(rng.normal(size=(4, 50)), w, w)[2] == 0).all()


# ---------------------------------------------------------- whole runs



class FakeVela:
    """In-memory data library: name -> dates x all-securities matrix."""

    def __init__(self, data):
        self.data = data
        self.calls = []

    def RunLoopOnce(self, names):
        self.calls.append(list(names))
        return [SimpleNamespace(array=self.data[n]) for n in names]


@pytest.fixture
def world(monkeypatch):
    rng = np.random.default_rng(7)
    t, n_all = 6, 14
    bench = rng.dirichlet(np.ones(n_all), size=t) * 100
    data = {"weight300": bench, "size": rng.normal(size=(t, n_all)),
            "beta": rng.normal(size=(t, n_all)), "flat": np.ones((t, n_all))}
    sector = rng.integers(0, 28, size=n_all)
    for code in range(28):
        data[sector_formula(code)] = np.tile((sector == code).astype(float), (t, 1))
    vela = FakeVela(data)
    mod = types.ModuleType("VelaIntradayModel")
    mod.RunLoopOnce = vela.RunLoopOnce
    monkeypatch.setitem(sys.modules, "VelaIntradayModel", mod)
    univ = np.arange(n_all)
    return SimpleNamespace(vela=vela, scores=rng.normal(size=(t, n_all)), univ=univ,
                           data=data, rng=rng)


def cfg_for(**kw):
    cfg = dict(print_result=False, weight_multi=1.5, risk_cost=0.1, num_long=6,
               each_single_weight=0.2, decay=0.6, bench_coeff=0.0, pre_coeff=0.0,
               each_sector_expo=0.5, risk_factor_expo={"size": 0.3, "beta": 0.3},
               max_weight=-1)
    cfg.update(kw)
    return cfg


def reference_run(opt, cfg, scores, univ, data):
    """Driver without exposure control (only valid when K is 0)."""
    norm = opt.GenNorm(np.nan_to_num(scores, nan=0.0, posinf=0.0, neginf=0.0))
    res = np.zeros_like(norm)
    pre_ema = None
    for bi in range(norm.shape[0]):
        pre = res[bi - 1] if bi else np.zeros(norm.shape[1])
        cmv = opt.GenNorm_Step1(norm[bi])
        ema = opt.GenEma_Step1(cmv, pre_ema, cfg["decay"])
        b = data["weight300"][bi, univ]
        if b.sum() < 80:
            continue
        res[bi] = opt.CalcCurrentPosition(cmv, ema, cfg["weight_multi"], cfg["num_long"],
                                          cfg["risk_cost"], cfg["each_single_weight"],
                                          b / b.sum(), cfg["bench_coeff"], pre,
                                          cfg["pre_coeff"], cfg["max_weight"])
        pre_ema = ema
    return res


@pytest.mark.parametrize("name", NAMES)
def test_run_without_risk_matches_step_by_step(world, name):
    world.data["weight300"][2] *= 0.7999  # below 80 percent: skipped date
    world.scores[1, 3] = np.inf
    world.scores[4, 0] = NAN
    cfg = cfg_for(risk_factor_expo={}, bench_coeff=0.3, pre_coeff=0.5)
    out = nb.NumpyOptimizer(name, "000300", 1.0, cfg).gen_position(world.scores, world.univ)
    assert world.vela.calls == [["weight300"]]
    assert (out[2] == 0).all()
    want = reference_run(make(name), cfg, world.scores, world.univ, world.data)
    np.testing.assert_allclose(out, want, rtol=0, atol=1e-12)
    np.testing.assert_allclose(out[[0, 1, 3, 4, 5]].sum(axis=1), 1.0, atol=1e-3)


def test_run_requests_and_sector_names(world):
    cfg = cfg_for(each_sector_expo=0.2)
    o = nb.NumpyOptimizer("TopM2", "000300", 1.0, cfg)
    o.gen_position(world.scores, world.univ)
    names = ["size", "beta"] + [sector_formula(c) for c in range(28)]
    assert world.vela.calls == [names, ["weight300"]]
    assert list(cfg["risk_factor_expo"]) == names
    assert cfg["risk_factor_expo"][sector_formula(27)] == 0.2
    assert len(o.barra_data) == 30
    world.vela.calls.clear()
    nb.opt_gen_position_topm2("000300", 1.0, cfg_for(each_sector_expo=0.21),
                              world.scores, world.univ)
    assert world.vela.calls[0] == ["size", "beta"]


def test_run_empty_dates_and_missing_setting(world, capsys):
    cfg = cfg_for()
    out = nb.opt_gen_position_topkr("000300", 1.0, cfg, world.scores[:0], world.univ)
    assert out.shape == (0, 14) and len(world.vela.calls) == 2
    assert capsys.readouterr().out == ""
    world.vela.calls.clear()
    del cfg["decay"]
    with pytest.raises(KeyError, match="decay"):
        nb.opt_gen_position_topkr("000300", 1.0, cfg, world.scores, world.univ)
    assert world.vela.calls == []
    # num_long is only read by TopKR
    del cfg["num_long"]
    cfg["decay"] = 0.5
    nb.opt_gen_position_topm("000300", 1.0, cfg, world.scores, world.univ)


def test_entry_functions_agree(world):
    run = lambda f, **kw: f("000300", 1.0, cfg_for(**kw), world.scores, world.univ)  # noqa: E731
    np.testing.assert_array_equal(run(nb.opt_gen_position), run(nb.opt_gen_position_topm))
    np.testing.assert_array_equal(run(nb.opt_gen_position_type, type="TopKR"),
                                  run(nb.opt_gen_position_topkr))
    with pytest.raises(Exception, match=r"^Wrong opt_name:topm$"):
        run(nb.opt_gen_position_type, type="topm")
    with pytest.raises(KeyError, match="type"):
        run(nb.opt_gen_position_type)


@pytest.mark.parametrize("limits,sector,max_loop,loops", [
    ({"size": 10.0, "beta": 10.0}, 0.5, 100, {1}),  # inside all limits: one measurement
    ({"size": -1.0}, 0.2, 7, {7}),                  # negative limit always exceeded
    ({"size": 0.01, "beta": 0.01}, 0.2, 1, {1}),    # one measurement, one correction
    ({"size": 0.0}, 0.2, 0, {0}),                   # no measurement at all
])
def test_report_lines(world, capsys, limits, sector, max_loop, loops):
    cfg = cfg_for(print_result=1, risk_factor_expo=dict(limits), max_loop_num=max_loop,
                  each_sector_expo=sector)
    out = nb.opt_gen_position_topkr("000300", 1.0, cfg, world.scores, world.univ)
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == 6
    for bi, line in enumerate(lines):
        m = REPORT.match(line)
        assert m, line
        assert int(m[1]) == bi and int(m[2]) in loops
        if max_loop < 1:
            assert m[3] == m[4] == "None"
        else:
            assert len(m[3].strip("[]").split()) == len(limits)  # sectors not printed
        assert float(m[7]) == pytest.approx(out[bi].sum())
        assert int(m[6]) == int((out[bi] >= 1e-4).sum())
    if loops == {1} and max_loop > 1:
        first = [REPORT.match(x)[3] for x in lines]
        assert first == [REPORT.match(x)[4] for x in lines]
        cfg = cfg_for(risk_factor_expo={})
        np.testing.assert_array_equal(
            out, nb.opt_gen_position_topkr("000300", 1.0, cfg, world.scores, world.univ))


def test_report_line_text(world, capsys):
    cfg = cfg_for(print_result="yes", risk_factor_expo={"size": 10.0, "beta": 10.0})
    out = nb.opt_gen_position_topkr("000300", 1.0, cfg, world.scores[:1], world.univ)[0]
    line = capsys.readouterr().out
    assert line.endswith("\n") and line.count("\n") == 1
    m = REPORT.match(line.rstrip("\n"))
    first, last = m[3].strip("[]").split(), m[4].strip("[]").split()
    numbers = first + last + [m[5], m[7]]
    assert all(repr(float(x)) == x for x in numbers)  # shortest round-trip form
    assert (m[1], m[2], m[6]) == ("0", "1", str(int((out >= 1e-4).sum())))
    b = world.data["weight300"][0] / world.data["weight300"][0].sum()
    barra = np.stack([world.data["size"][0], world.data["beta"][0]])
    expo = make("TopKR").CalcRiskExposure_Multi(barra, out, b)[2]
    close([float(x) for x in first], expo)
    assert first == last
    close([float(m[5]), float(m[7])], [out[b >= 1e-5].sum(), out.sum()])


def test_exposure_control_reduces_excess(world):
    cfg = cfg_for(risk_factor_expo={"size": 0.05}, max_loop_num=200, learning_rate=0.2)
    out = nb.opt_gen_position_topkr("000300", 1.0, cfg, world.scores, world.univ)
    free = nb.opt_gen_position_topkr("000300", 1.0, cfg_for(risk_factor_expo={}),
                                     world.scores, world.univ)
    o = make("TopKR")
    for bi in range(out.shape[0]):
        b = world.data["weight300"][bi] / world.data["weight300"][bi].sum()
        size = world.data["size"][bi]
        e_free = abs(o.CalcRiskExposure(size, free[bi], b)[2])
        e_ctl = abs(o.CalcRiskExposure(size, out[bi], b)[2])
        assert e_ctl <= max(e_free, 0.05) + 1e-12


def test_flat_risk_name_is_not_corrected(world, capsys):
    # A constant factor whose limit is always broken: deviation 0, no correction.
    cfg = cfg_for(print_result=True, risk_factor_expo={"flat": -1.0}, max_loop_num=3)
    out = nb.opt_gen_position_topkr("000300", 1.0, cfg, world.scores, world.univ)
    free = nb.opt_gen_position_topkr("000300", 1.0, cfg_for(risk_factor_expo={}),
                                     world.scores, world.univ)
    np.testing.assert_allclose(out, free, rtol=0, atol=1e-12)
    assert all(" LoopCount: 3 " in x for x in capsys.readouterr().out.splitlines())


def test_non_finite_dates_left_empty_with_one_warning(world):
    world.scores[1] = 2.5                  # constant row: all-NaN standardised scores
    world.data["weight300"][3] *= 0.5      # low benchmark: skipped, not reported
    cfg = cfg_for(risk_factor_expo={}, bench_coeff=0.5)
    # Two infinite benchmark weights overflow the sum: every scaled weight is 0,
    # the constant benchmark term is NaN and so are the weights.
    world.data["weight300"][4, [2, 5]] = np.inf
    with pytest.warns(RuntimeWarning) as rec:
        out = nb.opt_gen_position_topkr("000300", 1.0, cfg, world.scores, world.univ)
    msgs = [str(w.message) for w in rec if str(w.message).startswith("Kestrel")]
    assert msgs == ["Kestrel: 2 date(s) left empty because they had no usable scores (all missing or "
                    "all equal) or their weights were not finite: rows [1, 4]"]
    assert (out[[1, 3, 4]] == 0).all() and np.isfinite(out).all()
    # Date 2 smooths against date 0, the last date kept.
    o, n = make("TopKR"), world.scores
    norm = o.GenNorm(n)
    ema0 = norm[0]
    ema2 = o.GenEma_Step1(norm[2], ema0, cfg["decay"])
    b = world.data["weight300"][2] / world.data["weight300"][2].sum()
    close(out[2], o.MapValue2Position(ema2, 6, 1.0, b, 0.5, np.zeros(14), 0.0))


def test_constant_scores_leave_date_empty_before_dispatch(world):
    # Without the early check the turnover-cost mapping would raise on NaN scores.
    world.scores[2] = -1.0
    with pytest.warns(RuntimeWarning, match=r"rows \[2\]$"):
        out = nb.opt_gen_position_topm("000300", 1.0, cfg_for(), world.scores, world.univ)
    assert (out[2] == 0).all() and (out[[0, 1, 3, 4, 5]].sum(axis=1) > 0.999).all()


@pytest.mark.parametrize("row_sum,skipped", [(80.0, False), (79.99, True)])
def test_benchmark_threshold_inclusive(world, row_sum, skipped):
    row = np.full(14, 5.0)
    row[0] = 15.0                           # sums to exactly 80
    world.data["weight300"][3] = row * (row_sum / 80.0)
    out = nb.opt_gen_position_topkr("000300", 1.0, cfg_for(risk_factor_expo={}),
                                    world.scores, world.univ)
    assert (out[3] == 0).all() == skipped


def test_single_correction_pass_matches_manual(world):
    limits = {"size": 0.01, "beta": 0.02}
    cfg = cfg_for(risk_factor_expo=dict(limits), max_loop_num=1, learning_rate=0.3)
    out = nb.opt_gen_position_topkr("000300", 1.0, cfg, world.scores[:1], world.univ)[0]

    o = make("TopKR")
    b = world.data["weight300"][0] / world.data["weight300"][0].sum()
    barra = np.stack([world.data["size"][0], world.data["beta"][0]])
    cur = o.GenNorm_Step1(o.GenNorm(world.scores[:1])[0])
    pos = o.MapValue2Position(cur, 6, 1.0, b, 0.0, np.zeros(14), 0.0)
    _, bench_barra, expo = o.CalcRiskExposure_Multi(barra, pos, b)
    thr = np.array(list(limits.values()))
    assert (np.abs(expo) > thr).all()
    for k in range(2):
        bias = barra[k] - bench_barra[k]
        more = abs(abs(expo[k]) - thr[k])
        cur = cur - bias / bias.std() * np.sign(expo[k]) / (1 + np.exp(-more)) * 0.3
    cur = o.GenNorm_Step1(cur)
    close(out, o.MapValue2Position(cur, 6, 1.0, b, 0.0, np.zeros(14), 0.0))


def test_negative_univ_idx_counts_from_end(world):
    univ = world.rng.permutation(14)
    run = lambda u: nb.opt_gen_position_topm2(  # noqa: E731
        "000300", 1.0, cfg_for(each_sector_expo=0.2), world.scores, u)
    a = run(univ)
    assert (a.sum(axis=1) > 0.999).all()
    np.testing.assert_array_equal(a, run(univ - 14))

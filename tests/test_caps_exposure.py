"""Weight caps, the per-date dispatcher CalcCurrentPosition, and active factor exposure."""

import numpy as np
import numpy.testing as npt
import pytest

import Kestrel
from Kestrel.tables import ALGORITHMS as ALGOS

from helpers import dispatch_unread

NAN = np.nan
Z4 = [0.0] * 4
M = [3.0, 1.0, 0.0, -1.0]
B, P = [0.05, 0.0, 0.0, 0.3], [0.0, 0.1, 0.2, 0.0]


# ---------------------------------------------------------------------- caps

@pytest.mark.parametrize("model,wm,bench,bc,pre,pc,mw,expect", [
    (M, 2.0, Z4, 0, Z4, 0, -1, [1.5, 0.5, 0, 0]),
    (M, 2.0, Z4, 0, Z4, 0, 0, [1.5, 0.5, 0, 0]),         # 0 is no ceiling either
    (M, 2.0, Z4, 0, Z4, 0, 1.0, [1.0, 0.5, 0, 0]),
    (M, 2.0, B, 1.0, Z4, 0, 0.02, [0.05, 0.02, 0, 0.3]),  # floors come after the ceiling
    (M, 2.0, B, 1.0, P, 0.5, 0.02, [0.05, 0.05, 0.1, 0.3]),
    (M, -1.0, Z4, 0, Z4, 0, -1, [0, 0, 0, 0]),
    ([-1.0, 0.0], 1.0, [0.1, 0.1], 1.0, [0.1, 0.1], 1.0, -1, [NAN, NAN]),  # no positive score: 0 / 0
    ([1.0, NAN, 2.0], 1.0, [0.1] * 3, 1.0, [0.1] * 3, 1.0, -1, [NAN] * 3),
    ([1.0, 3.0], 1.0, [NAN, 0.0], 1.0, [0.0, 0.0], 1.0, -1, [NAN, 0.75]),
    ([1.0, 3.0], 1.0, [0.0, 0.0], 1.0, [0.0, NAN], 1.0, 0.5, [0.25, NAN]),
])
def test_gen_max_weight(opt, model, wm, bench, bc, pre, pc, mw, expect):
    npt.assert_allclose(opt.GenMaxWeight(model, wm, bench, bc, pre, pc, mw), expect, rtol=0, atol=1e-12)


@pytest.mark.parametrize("n", [5, 11, 24, 64, 67])
@pytest.mark.parametrize("bad_in,bad", [
    (None, NAN), ("model", NAN), ("bench", NAN), ("pre", NAN), ("bench_coeff", NAN), ("weight_multi", NAN),
    ("model", np.inf), ("model", -np.inf), ("bench", np.inf), ("pre", np.inf),
])
@pytest.mark.parametrize("mw", [-1, 0.03])
def test_gen_max_weight_matches_numpy_at_length(opt, n, bad_in, bad, mw):
    """Long enough for whole vectors; a NaN or infinity anywhere reaches exactly the entries numpy's would."""
    rng = np.random.default_rng(n)
    a = {"model": rng.standard_normal(n), "bench": rng.uniform(0, 0.05, n), "pre": rng.uniform(0, 0.05, n),
         "bench_coeff": 0.5, "weight_multi": 2.0}
    if bad_in in ("bench_coeff", "weight_multi"):
        a[bad_in] = bad
    elif bad_in:
        a[bad_in][[1, n - 1]] = bad  # one inside a whole vector, one in the tail
    share = np.maximum(a["model"], 0)
    with np.errstate(invalid="ignore"):  # inf / inf
        cap = np.maximum(share / share.sum() * a["weight_multi"], 0)
    cap = np.minimum(cap, mw if mw > 0 else np.inf)
    want = np.maximum(np.maximum(cap, a["bench"] * a["bench_coeff"]), a["pre"] * 0.9)
    got = opt.GenMaxWeight(a["model"], a["weight_multi"], a["bench"], a["bench_coeff"], a["pre"], 0.9, mw)
    npt.assert_array_equal(got, want)


@pytest.mark.parametrize("model,esw,bench,bc,pre,pc,mw,expect", [
    (M, 0.01, B, 1.0, Z4, 0, 0.02, [0.02, 0.01, 0.01, 0.02]),  # ceiling comes last
    (M, 0.01, B, 1.0, P, 0.5, -1, [0.05, 0.05, 0.1, 0.3]),
    (M, 0.01, Z4, 0, [0.03, 0, 0, 0], 0.5, -1, [0.015, 0.01, 0.01, 0.01]),
    (M, 0.01, B, 1.0, P, 0.5, 0, [0.05, 0.05, 0.1, 0.3]),
    ([NAN, NAN], 0.2, [0, 0], 1.0, [0, 0], 1.0, -1, [0.2, 0.2]),  # scores are not read
    ([1, 2, 3], 0.2, [NAN, 0, 0], 1.0, [0, 0, NAN], 1.0, -1, [NAN, 0.2, NAN]),
    ([1, 2], NAN, [0, 0], 1.0, [0, 0], 1.0, -1, [NAN, NAN]),
])
def test_gen_max_weight_equal(opt, model, esw, bench, bc, pre, pc, mw, expect):
    got = opt.GenMaxWeight_Equal(model, esw, bench, bc, pre, pc, mw)
    npt.assert_allclose(got, expect, rtol=0, atol=1e-12)


@pytest.mark.parametrize("method,level", [("GenMaxWeight", "weight_multi"),
                                          ("GenMaxWeight_Equal", "each_single_weight")])
def test_caps_default_ceiling_is_none(opt, method, level):
    kw = dict(model_value=M, cur_bench=Z4, bench_coeff=0.0, pre_weight=Z4, pre_coeff=0.0)
    kw[level] = 2.0
    f = getattr(opt, method)
    npt.assert_array_equal(f(**kw), f(**kw, max_weight=-1))
    assert f(**kw).max() == {"GenMaxWeight": 1.5, "GenMaxWeight_Equal": 2.0}[method]


# ---------------------------------------------------------------- dispatcher

def _date(n=30, seed=0):
    rng = np.random.default_rng(seed)
    return dict(cur_model_value=rng.standard_normal(n), try_ema_value=rng.standard_normal(n),
                weight_multi=2.0, num_long=8, risk_cost=0.3, each_single_weight=0.06,
                cur_bench=rng.dirichlet(np.ones(n)), bench_coeff=0.8, pre_weight=rng.dirichlet(np.ones(n)),
                pre_coeff=0.5, max_weight=0.15)


@pytest.mark.parametrize("name", ALGOS)
def test_dispatch_composes_caps_and_mapping(make_opt, name):
    o, d = make_opt(name, secu_pct=0.9), _date()
    m, e, bench, pre = d["cur_model_value"], d["try_ema_value"], d["cur_bench"], d["pre_weight"]
    floors = (bench, d["bench_coeff"], pre, d["pre_coeff"], d["max_weight"])
    caps = (o.GenMaxWeight(e, d["weight_multi"], *floors) if name in ("TopM", "TopM2")
            else o.GenMaxWeight_Equal(e, d["each_single_weight"], *floors))
    want = {"TopM": lambda: o.MapValue2Position_MaxWeight_RiskCost(m, caps, 0.9, pre, d["risk_cost"]),
            "TopM2": lambda: o.MapValue2Position_MaxWeight(e, caps, 0.9),
            "TopKR": lambda: o.MapValue2Position(e, d["num_long"], 0.9, bench, d["bench_coeff"], pre,
                                                 d["pre_coeff"])}
    want["TopEqual"], want["TopEqual2"] = want["TopM"], want["TopM2"]
    npt.assert_array_equal(o.CalcCurrentPosition(**d), want[name]())
    npt.assert_array_equal(o.CalcCurrentPosition(*d.values()), want[name]())


@pytest.mark.parametrize("name", ALGOS)
@pytest.mark.parametrize("filler", [None, "other"])
def test_dispatch_ignores_what_the_algorithm_does_not_read(make_opt, name, filler):
    o, d = make_opt(name), _date()
    want = o.CalcCurrentPosition(**d)
    others = {"num_long": 2, "max_weight": 0.01, "cur_model_value": -d["cur_model_value"]}
    for key in dispatch_unread(name):
        d[key] = None if filler is None else others.get(key, 0.01)
    npt.assert_array_equal(o.CalcCurrentPosition(**d), want)


@pytest.mark.parametrize("name", ALGOS)
def test_zero_previous_weights_add_nothing(make_opt, name):
    o, d = make_opt(name), _date()
    d["pre_weight"] = np.zeros(30)
    want = o.CalcCurrentPosition(**d)
    npt.assert_array_equal(o.CalcCurrentPosition(**{**d, "pre_coeff": 5.0}), want)


@pytest.mark.parametrize("name", ["TopM", "TopM2", "TopEqual", "TopEqual2"])
def test_dispatch_default_max_weight_is_no_ceiling(make_opt, name):
    o, d = make_opt(name), _date()
    d.pop("max_weight")
    want = o.CalcCurrentPosition(**d)
    for mw in (-1, -1.0, 0):
        npt.assert_array_equal(o.CalcCurrentPosition(**d, max_weight=mw), want)
    assert o.CalcCurrentPosition.__text_signature__.endswith("pre_coeff, max_weight=-1)")


def test_dispatch_reads_name_and_target_at_each_call(make_opt):
    o, d = make_opt("TopKR"), _date()
    first = o.CalcCurrentPosition(**d)
    o.secu_pct = 0.5
    npt.assert_allclose(o.CalcCurrentPosition(**d), first * 0.5, rtol=1e-15)
    o.opt_name = "TopEqual2"
    npt.assert_array_equal(o.CalcCurrentPosition(**d), make_opt("TopEqual2", 0.5).CalcCurrentPosition(**d))


@pytest.mark.parametrize("name", ["topkr", "TopM ", "TOPEQUAL2", "", 7, None])
def test_dispatch_rejects_a_reassigned_name(opt, name):
    opt.opt_name = name
    with pytest.raises(Exception) as ei:
        opt.CalcCurrentPosition(**_date())
    assert type(ei.value) is Exception and str(ei.value) == "Wrong opt_name:{}".format(name)


@pytest.mark.parametrize("name,changes,message,out", [
    ("TopM2", dict(weight_multi=0.95, max_weight=-1, bench_coeff=0, pre_coeff=0), "Wrong Position Error", ""),
    ("TopEqual2", dict(each_single_weight=0.02, bench_coeff=0, pre_coeff=0), "Wrong Position Error", ""),
    ("TopEqual", dict(each_single_weight=0.0, bench_coeff=0, pre_coeff=0, risk_cost=10.0),
     "Wrong Position Error", "CheckPosition: 0.0\n"),
])
def test_mapping_failures_pass_through(make_opt, capsys, name, changes, message, out):
    with pytest.raises(Exception) as ei:
        make_opt(name).CalcCurrentPosition(**{**_date(), **changes})
    assert type(ei.value) is Kestrel.PositionError and str(ei.value) == message
    assert capsys.readouterr().out == out


# ------------------------------------------------------------------ exposure

@pytest.mark.parametrize("barra,pos,bench,expect", [
    ([1, 2, 3], [0.5, 0.5, 0], [0.2, 0.3, 0.5], (1.5, 2.3, -0.8)),
    ([1, NAN, 3], [0.5, 0, 0.5], [0.5, 0, 0.5], (NAN, NAN, NAN)),   # NaN * 0 is NaN
    ([1, 2, 3], [0.5, NAN, 0.5], [0.2, 0.3, 0.5], (NAN, 2.3, NAN)),
    ([1, 2, 3], [0.5, 0.5, 0], [0.2, NAN, 0.5], (1.5, NAN, NAN)),
    ([], [], [], (0.0, 0.0, 0.0)),
    ([0.3, -1.7, 2.9], [0.1, 0.7, 0.2], [0.1, 0.7, 0.2], (None, None, 0.0)),
])
def test_exposure(opt, barra, pos, bench, expect):
    hold, bb, expo = opt.CalcRiskExposure(barra=barra, position=pos, bench_weight=bench)
    for got, want in zip((hold, bb, expo), expect):
        assert isinstance(got, float)
        if want is not None:
            npt.assert_allclose(got, want, rtol=0, atol=1e-12)
    assert expect[2] != 0.0 or expo == 0.0  # exactly zero, not merely close
    multi = opt.CalcRiskExposure_Multi(np.array([barra, np.negative(barra)], dtype=float).reshape(2, -1),
                                       pos, bench)
    assert isinstance(multi, tuple) and len(multi) == 3
    for m, single in zip(multi, (hold, bb, expo)):
        assert m.dtype == np.float64 and m.shape == (2,)
        npt.assert_allclose(m, [single, -single], rtol=0, atol=1e-12)


@pytest.mark.parametrize("k,n", [(0, 5), (3, 0), (0, 0), (1, 1)])
def test_exposure_multi_shapes(opt, k, n):
    out = opt.CalcRiskExposure_Multi(np.ones((k, n)), np.ones(n), np.zeros(n))
    for part, want in zip(out, (float(n), 0.0, float(n))):
        npt.assert_array_equal(part, np.full(k, want))


def test_exposure_multi_rows_match_single(opt):
    rng = np.random.default_rng(5)
    f, w, b = rng.standard_normal((6, 200)), rng.dirichlet(np.ones(200)), rng.dirichlet(np.ones(200))
    multi = np.array(opt.CalcRiskExposure_Multi(f, w, b))
    single = np.array([opt.CalcRiskExposure(row, w, b) for row in f]).T
    npt.assert_allclose(multi, single, rtol=0, atol=1e-14)
    npt.assert_allclose(multi[0], f @ w, rtol=0, atol=1e-12)

"""Score-to-weight mappings: top-N blend, capped fill and turnover-cost rebalance."""

import contextlib
import io
import zlib

import numpy as np
import numpy.testing as npt
import pytest
from hypothesis import assume, given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

import Kestrel

NAN = np.nan
O = Kestrel.OptimizerTopM("TopM", "000300", 1.0, {})
PROPS = settings(max_examples=100, deadline=None, database=None)


def fails(call, message, capsys):
    with pytest.raises(Exception) as ei:
        call()
    assert type(ei.value) is Kestrel.PositionError and str(ei.value) == message
    return capsys.readouterr().out


# ------------------------------------------------------------------ top-N blend

Q = [0.0, 0.0, 0.25, 0.75]  # (1, 2, 3, 4) keeps the two positive z-scores, 1 : 3


@pytest.mark.parametrize("score,num_long,pct,bench,bc,pre,pc,expect", [
    ([1, 2, 3, 4], 2, 1.0, [0] * 4, 0, [0] * 4, 0, Q),
    ([1, 2, 3, 4], 3, 1.0, [0] * 4, 0, [0] * 4, 0, Q),      # third pick has a negative score
    ([1, 2, 3, 4], 10, 1.0, [0] * 4, 0, [0] * 4, 0, Q),     # num_long >= n takes all
    ([1, 2, 3, 4], -2, 1.0, [0] * 4, 0, [0] * 4, 0, Q),     # all but the last two
    ([1, 2, 3, 4], 2, 0.5, [0] * 4, 0, [0] * 4, 0, [0, 0, 0.125, 0.375]),
    ([1, 2, 3, 4], 4, 1.0, [0] * 4, 0, [0.79, 0, 0, 0], 5.0, Q),   # previous sum < 0.8: no term
    ([1, 2, 3, 4], 4, 1.0, [0] * 4, 0, [NAN, 1, 0, 0], 5.0, Q),    # NaN sum fails the test
    ([1, 2, 3, 4], 4, 1.0, [9, 0, 0, 1], -1.0, [0.9, 0, 0, 0], 0, Q),  # coefficients <= 0: no terms
    ([1, 2, 3, 4], 4, 1.0, [0] * 4, 1.0, [0] * 4, 0, [NAN] * 4),   # constant benchmark: z is NaN
    ([1, 2, 3, 4], 0, 1.0, [0] * 4, 0, [0] * 4, 0, [NAN] * 4),
    ([1, 2, 3, 4], -4, 1.0, [0] * 4, 0, [0] * 4, 0, [NAN] * 4),
    ([1, NAN, 3], 2, 1.0, [0] * 3, 0, [0] * 3, 0, [0, 0, 1]),        # NaN ranks last
    ([1, NAN, 3], 3, 1.0, [0] * 3, 0, [0] * 3, 0, [NAN] * 3),        # ... and poisons once picked
    ([5, 5, 5], 2, 1.0, [0] * 3, 0, [0] * 3, 0, [NAN] * 3),
])
def test_top_n(score, num_long, pct, bench, bc, pre, pc, expect):
    got = O.MapValue2Position(score, num_long, pct, bench, bc, pre, pc)
    npt.assert_allclose(got, expect, rtol=0, atol=1e-12)


@pytest.mark.parametrize("pre,pc,bench,bc,expect", [
    ([0.8, 0, 0, 0], 1.0, [0] * 4, 0, [0.3042945, 0, 0, 0.5957055]),  # sum exactly 0.8 adds the term
    ([0] * 4, 0, [0, 0, 0, 1], 0.5, [0, 0, 0.06030105, 0.83969895]),
])
def test_top_n_blend_terms(pre, pc, bench, bc, expect):
    got = O.MapValue2Position(cur_model_value=[1.0, 2.0, 3.0, 4.0], num_long=3, secu_pct=0.9,
                              bench_weight=bench, bench_coeff=bc, pre_weight=pre, pre_coeff=pc)
    npt.assert_allclose(got, expect, rtol=0, atol=1e-8)


@pytest.mark.parametrize("k", [1, 3, 7, 40])
def test_top_n_negative_count_drops_the_tail(k):
    rng = np.random.default_rng(k)
    args = rng.standard_normal(50), 1.0, rng.random(50), 0.3, rng.random(50), 0.2
    npt.assert_array_equal(O.MapValue2Position(args[0], -k, *args[1:]),
                           O.MapValue2Position(args[0], 50 - k, *args[1:]))


@pytest.mark.parametrize("n,take", [(10, 3), (300, 17), (4000, 200), (4000, 3990)])
@pytest.mark.parametrize("case", ["distinct", "nan", "tied_at_edge", "tied_inside"])
def test_top_n_keeps_the_highest(n, take, case):
    rng = np.random.default_rng(n + take)
    score = rng.standard_normal(n)
    order = np.argsort(-score)
    if case == "nan":  # NaN ranks last, so it changes nothing here
        score[order[-3:]] = NAN
    elif case == "tied_at_edge":  # one value on both sides of the head's edge
        score[order[take - 2: take + 2]] = score[order[take - 2]]
    elif case == "tied_inside":
        score[order[:2]] = score[order[1]]
    got = O.MapValue2Position(score, take, 1.0, np.zeros(n), 0.0, np.zeros(n), 0.0)
    z = (score - np.nanmean(score)) / np.nanstd(score)
    edge = np.sort(score[~np.isnan(score)])[::-1][take - 1]
    above, tied = score > edge, score == edge
    assert np.count_nonzero(above | tied) >= take and got.sum() == pytest.approx(1.0, abs=1e-12)
    # Everything above the edge is kept; ties at the edge fill the rest.
    want = np.where(above | tied, np.maximum(z, 0), 0.0)
    picked = (got > 0) & tied
    assert np.count_nonzero(picked) == (take - np.count_nonzero(above) if z[tied][0] > 0 else 0)
    want[tied & ~picked] = 0.0
    npt.assert_allclose(got, want / want.sum(), rtol=1e-12, atol=0)


# ------------------------------------------------------------------ capped fill

S4 = [0.9, 0.5, 0.7, 0.1]


@pytest.mark.parametrize("score,caps,pct,expect", [
    (S4, [0.4] * 4, 1.0, [0.4, 0.2, 0.4, 0]),
    (S4, [0.5] * 4, 1.0, [0.5, 0, 0.5, 0]),                 # lands exactly: full cap, stop
    (S4, [1.2, 0.4, 0.4, 0.4], 1.0, [1.0, 0, 0, 0]),
    (S4, [0.25, 0.25, 0.25, 0.24995], 1.0, [0.25, 0.25, 0.25, 0.24995]),  # short by < 1e-4
    (S4, [0.4] * 4, 0.5, [0.4, 0, 0.1, 0]),
    (S4, [0.4] * 4, 0.0, [0] * 4),
    ([3, 2, 1], [0.6, 0, 0.6], 1.0, [0.6, 0, 0.4]),         # zero cap does not stop the fill
    ([NAN, 0.1, 0.2], [0.9, 0.4, 0.4], 1.0, [0.2, 0.4, 0.4]),  # NaN score visited last
    ([NAN, 0.1, 0.2], [0.9, 0.5, 0.5], 1.0, [0, 0.5, 0.5]),
    ([3, 2, 1], [0.5, NAN, 0.7], 1.0, [0.5, NAN, 0.7]),     # NaN total: no crossing, no error
    ([3, 2, 1], [NAN] * 3, 1.0, [NAN] * 3),
    ([], [], 0.0, []),
])
def test_capped_fill(score, caps, pct, expect, capsys):
    got = O.MapValue2Position_MaxWeight(score, caps, pct)
    npt.assert_allclose(got, expect, rtol=0, atol=1e-12)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("score,caps,pct,message,out", [
    (S4, [0.3, 0.2, 0.2, 0.2], 1.0, "Wrong Position Error", ""),
    (S4, [0.25, 0.25, 0.25, 0.2495], 1.0, "Wrong Position Error", ""),  # rebalance would accept this
    ([], [], 1.0, "Wrong Position Error", ""),
    ([1, 0], [1.0, -0.5], 1.0, "Wrong Position MaxWeight Error", "[1] [0.0] [-0.5]\n"),
    ([4, 3, 2, 1], [1.0, -0.25, 0.5, -1e20], 1.0, "Wrong Position MaxWeight Error",
     "[1 3] [0.0 0.0] [-0.25 -1e+20]\n"),
    ([3, 2, 1], [1e17, 1.0, -1.0], 1.0, "Wrong Position Error", ""),  # breaks both: sum check wins
])
def test_capped_fill_failures(score, caps, pct, message, out, capsys):
    assert fails(lambda: O.MapValue2Position_MaxWeight(score, caps, pct), message, capsys) == out


def test_capped_fill_diagnostic_goes_through_sys_stdout():
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf), pytest.raises(Exception, match="MaxWeight"):
        O.MapValue2Position_MaxWeight([1, 0], [1.0, -0.5], 1.0)
    assert buf.getvalue() == "[1] [0.0] [-0.5]\n"


@PROPS
@given(st.data())
def test_capped_fill_property(data):
    n = data.draw(st.integers(1, 200))
    score = data.draw(arrays(np.float64, n, elements=st.floats(-1e3, 1e3), unique=True))
    caps = data.draw(arrays(np.float64, n, elements=st.floats(0, 1)))
    assume(caps.sum() > 1e-3)
    pct = data.draw(st.floats(1e-3, 1.0)) * caps.sum()
    got = O.MapValue2Position_MaxWeight(score, caps, pct)
    assert abs(got.sum() - pct) < 1e-4 and (got - caps < 1e-4).all()
    w, c = got[np.argsort(-score)], caps[np.argsort(-score)]
    last = np.flatnonzero(w)[-1] if w.any() else 0
    assert (w[:last] == c[:last]).all() and (w[last + 1:] == 0).all() and 0 <= w[last] <= c[last]


# ------------------------------------------------------------ turnover rebalance

S = [1.0, 0.2, -1.0, 0.8]
P = [0.1, 0.3, 0.2, 0.0]


@pytest.mark.parametrize("score,caps,pct,pre,r,expect", [
    (S, [0.4] * 4, 1.0, P, 0.5, [0.4, 0.3, 0, 0.3]),                  # reduce phase
    (S, [0.3] * 4, 1.0, P, 0.5, [0.3, 0.3, 0.1, 0.3]),                # add phase
    ([1, 1, 0.1], [0.4, 0.4, 0.3], 1.0, [0, 0, 0.2], 0.5, [0.4, 0.4, 0.2]),  # on target: no phase
    ([NAN, 1, 0.1], [0.5, 0.6, 0.5], 1.0, [0.3, 0, 0.1], 0.5, [0, 0.6, 0.4]),  # NaN: never a candidate
    ([0, 1], [0.5, 0.6], 0.9, [0.3, 0], 0.0, [0.3, 0.6]),             # r = 0: zero score adds up to pre
    ([0, 1, 2], [0.5, 0.6, 0.6], 1.0, [0, 0.1, 0.6], 0.0, [0, 0.4, 0.6]),
    ([0, 1, 2], [0.5, 0.6, 0.6], 1.0, [-0.2, 0.1, 0.6], 0.0, [-0.2, 0.6, 0.6]),  # floor below 0
    ([0.6, 2, 0.1], [0.5, 0.5, 0.3], 1.0, [0.7, 0, 0.2], 0.5, [0.5, 0.5, 0]),  # pre above cap: no room
    ([-0.5, 1, -0.6, 0], [0.5] * 4, 1.0, [0, 0, 0.3, 0], 0.5, [0, 0.5, 0.3, 0.2]),  # pre 0: no room
    ([1, 1], [0.5, 0.4995], 1.0, [0, 0], 0.1, [0.5, 0.4995]),         # short by < 0.001
    ([0.1, 1], [0.5, 0.6], 1.0, [NAN, 0], 0.5, [NAN, 0.6]),           # NaN sum: no phase, no check
    ([0.3, -2], [0.2, 0.5], 0.7, [0.9, 0.9], 0.5, [0.2, 0.5]),        # held weights clipped to caps
])
def test_rebalance(score, caps, pct, pre, r, expect, capsys):
    got = O.MapValue2Position_MaxWeight_RiskCost(score, caps, pct, pre, r)
    npt.assert_allclose(got, expect, rtol=0, atol=1e-12)
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("score,caps,pct,ends", [
    ([1, 0, 0], [0.5, 0.25, 0.25], 0.75, [0, 0.25]),   # add: the filler ends exactly at its ceiling
    ([3, 1, 1], [0.25, 0.5, 0.5], 0.75, [0, 0.5]),     # reduce: ... at its floor
])
def test_rebalance_exact_completion_stops_among_equal_keys(score, caps, pct, ends):
    got = O.MapValue2Position_MaxWeight_RiskCost(score, caps, pct, [0, 0, 0], 0.5)
    assert sorted(got[1:]) == ends and got[0] == caps[0]


@pytest.mark.parametrize("score,caps,pct,pre,r,out", [
    ([1, 1], [0.3, 0.3], 1.0, [0, 0], 0.5, "CheckPosition: 0.6"),
    ([1, 1], [0.1, 0.2], 1.0, [0, 0], 0.0, "CheckPosition: 0.30000000000000004"),
    ([1, -1], [1e-5, 1e-5], 1.0, [0, 0], 0.1, "CheckPosition: 1e-05"),
    ([1, 1], [0.8, 0.8], 1.0, [0.7, 0.7], 0.0, "CheckPosition: 1.4"),    # reduce room too small
    ([NAN, NAN], [0.6, 0.6], 1.0, [0.5, 0.5], 0.1, "CheckPosition: 0.0"),
    ([1, -1], [1.0, -0.5], 1.0, [0, 0], 0.1, "[1] [0.0] [-0.5]"),
    ([-1, -1], [-0.5, 0.3], 1.0, [0, 0], 0.1, "CheckPosition: 0.0"),     # breaks both: sum check wins
])
def test_rebalance_failures(score, caps, pct, pre, r, out, capsys):
    call = lambda: O.MapValue2Position_MaxWeight_RiskCost(score, caps, pct, pre, r)  # noqa: E731
    assert fails(call, "Wrong Position Error", capsys) == out + "\n"


@PROPS
@given(st.data())
def test_rebalance_property(data):
    n = data.draw(st.integers(1, 200))
    score = data.draw(arrays(np.float64, n, elements=st.floats(-3, 3)))
    caps = data.draw(arrays(np.float64, n, elements=st.floats(0, 0.5)))
    pre = data.draw(arrays(np.float64, n, elements=st.floats(0, 0.5)))
    r = data.draw(st.floats(0, 2))
    pct = data.draw(st.floats(0, 1)) * caps.sum()
    pos, neg, mid = score >= r, score <= -r, np.abs(score) < r
    init = np.where(pos, caps, np.where(mid, np.minimum(pre, caps), 0.0))
    init[neg] = 0.0
    room_add = np.maximum(np.minimum(pre, caps) - init, 0)[neg].sum() + (caps - init)[mid].sum()
    room_cut = np.maximum(init - pre, 0)[pos].sum() + init[mid].sum()
    try:
        got = O.MapValue2Position_MaxWeight_RiskCost(score, caps, pct, pre, r)
    except Exception as e:  # only when the candidates lack the room
        assert str(e) == "Wrong Position Error"
        assert init.sum() + room_add < pct - 1e-3 + 1e-9 or init.sum() - room_cut > pct + 1e-3 - 1e-9
        return
    assert abs(got.sum() - pct) < 1e-3
    assert (got >= 0).all() and (got <= caps + 1e-12).all()
    if init.sum() < pct:
        npt.assert_array_equal(got[pos & ~neg], caps[pos & ~neg])  # both lists only at r = 0, s = 0
    elif init.sum() > pct:
        assert (got[neg] == 0).all()


@PROPS
@given(st.data())
def test_top_n_property(data):
    n = data.draw(st.integers(2, 200))
    floats = st.floats(0, 1)
    score = data.draw(arrays(np.float64, n, elements=st.floats(-1e3, 1e3), unique=True))
    bench, pre = (data.draw(arrays(np.float64, n, elements=floats)) for _ in range(2))
    bc, pc, pct = (data.draw(st.floats(0, 2)) for _ in range(3))
    num_long = data.draw(st.integers(1, n + 3))
    assume(np.ptp(score) > 1e-3 and (bc == 0 or np.ptp(bench) > 1e-6)
           and (pc == 0 or pre.sum() < 0.8 or np.ptp(pre) > 1e-6))
    got = O.MapValue2Position(score, num_long, pct, bench, bc, pre, pc)
    assert (got >= 0).all() and np.count_nonzero(got) <= num_long
    assert abs(got.sum() - pct) <= 1e-9 * max(pct, 1)


# --------------------------------------------------------- numpy baseline check

def _baseline():
    try:
        import numpy_baseline
    except Exception as e:  # the baseline is optional for this suite
        pytest.skip(f"numpy baseline unavailable: {e}")
    return numpy_baseline


def _args(method, rng, n):
    v, u, i = (lambda: rng.standard_normal(n)), rng.uniform, rng.integers  # noqa: E731
    w = lambda scale=1.0: rng.dirichlet(np.ones(n)) * scale  # noqa: E731
    caps, pct, mw = rng.uniform(0, 3.0 / n, n), rng.choice([0.5, 1.0]), rng.choice([-1, 0, 0.03])
    return {
        "GenEma": lambda: (rng.standard_normal((5, n)), u()),
        "GenNorm": lambda: (rng.standard_normal((5, n)) * 3 + 1,),
        "GenNorm_Step1": lambda: (v(),),
        "GenEma_Step1": lambda: (v(), v(), u()),
        "MapValue2Position_MaxWeight": lambda: (v(), caps, pct),
        "MapValue2Position_MaxWeight_RiskCost": lambda: (v(), caps, pct, w(u(0.6, 1.2)), u()),
        "MapValue2Position": lambda: (v(), int(i(-5, n + 5)), pct, w(), u(0, 2), w(u(0.6, 1.2)), u(0, 2)),
        "GenMaxWeight": lambda: (v(), u(0.5, 3), w(), u(0, 2), w(), u(0, 2), mw),
        "GenMaxWeight_Equal": lambda: (v(), u(0, 0.05), w(), u(0, 2), w(), u(0, 2), mw),
        "CalcRiskExposure": lambda: (v(), w(), w()),
        "CalcRiskExposure_Multi": lambda: (rng.standard_normal((4, n)), w(), w()),
        "CalcCurrentPosition": lambda: (v(), v(), u(0.8, 3), int(i(1, n + 1)), u(), u(0, 0.05), w(), u(),
                                        w(i(2)), u(), mw),
    }[method]()


def _outcome(call):
    buf = io.StringIO()
    with contextlib.redirect_stdout(buf):
        try:
            return "ok", call(), buf.getvalue()
        except Exception as e:
            # The baseline raises a plain Exception where Kestrel raises its subclass.
            kind = Exception if type(e) is Kestrel.PositionError else type(e)
            return kind.__name__, str(e), buf.getvalue()


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
@pytest.mark.parametrize("name,method", [("TopM", m) for m in (
    "GenEma", "GenNorm", "GenNorm_Step1", "GenEma_Step1", "MapValue2Position_MaxWeight",
    "MapValue2Position_MaxWeight_RiskCost", "MapValue2Position", "GenMaxWeight", "GenMaxWeight_Equal",
    "CalcRiskExposure", "CalcRiskExposure_Multi")] + [
    (a, "CalcCurrentPosition") for a in ("TopM", "TopM2", "TopKR", "TopEqual", "TopEqual2")])
def test_matches_numpy_baseline(name, method):
    nb = _baseline()
    rng = np.random.default_rng(zlib.crc32((name + method).encode()))
    for n in (1, 2, 7, 64, 65, 300):
        for pct in (1.0, 0.9):
            args = _args(method, rng, n)
            ours = _outcome(lambda: getattr(Kestrel.OptimizerTopM(name, "000300", pct, {}), method)(*args))
            theirs = _outcome(lambda: getattr(nb.NumpyOptimizer(name, "000300", pct, {}), method)(*args))
            assert ours[0] == theirs[0] and ours[2] == theirs[2], (n, ours, theirs)
            if ours[0] != "ok":
                assert ours[1] == theirs[1]
            else:
                for a, b in zip(*(r if isinstance(r, tuple) else (r,) for r in (ours[1], theirs[1]))):
                    npt.assert_allclose(a, b, rtol=0, atol=1e-9)

"""Orders from weights: lot and odd-lot rules, blocks, the cash, missing prices,
limits kept where lots allow, bad input, and the order file."""

import csv
import re
import sys
import types
import warnings
from types import SimpleNamespace

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from Kestrel.orders import METHODS, LimitWarning, UnpricedWarning, orders_from_run, to_orders

LIB = "kestrel_orders_testlib"
SECTORS = 4
RISK = ["f0", "f1"] + [f"if(ZXZQSector=={c},1,0)" for c in range(SECTORS)]


def install(data, codes=None):
    """A one-module data library serving `data` (fields of shape rows x columns) under LIB."""
    lib = types.ModuleType(LIB)

    def RunLoopOnce(names):
        out = []
        for n in names:
            m = re.fullmatch(r"if\(ZXZQSector==(\d+),1,0\)", n)
            arr = (data["ZXZQSector"] == int(m[1])).astype(float) if m else data[n]
            out.append(SimpleNamespace(array=arr))
        return out

    lib.RunLoopOnce = RunLoopOnce
    lib.securities = lambda: codes
    sys.modules[LIB] = lib
    return lib


def market(n, seed):
    rng = np.random.default_rng(seed)
    data = {f"f{i}": rng.standard_normal((1, n)) for i in range(2)}
    data["ZXZQSector"] = rng.integers(0, SECTORS, (1, n)).astype(float)
    b = rng.uniform(0.5, 1.5, (1, n))
    data["weight500"] = 100 * b / b.sum()
    data["close"] = np.clip(15 * np.exp(rng.normal(0, 1, (1, n))), 2, 300).round(2)
    return data


@pytest.fixture(autouse=True)
def no_library():
    yield
    sys.modules.pop(LIB, None)


def orders(w, p, *, capital=1e6, **kw):
    kw.setdefault("library", LIB)  # not installed unless a test installs it: codes are the columns
    return to_orders(np.asarray(w, float), np.arange(len(w)), capital, np.asarray(p, float), **kw)


def assert_rules(o, *, lot, s, no_buy=None, no_sell=None):
    """Every rule of an order list; `s` is the unrounded target in shares (NaN where no price)."""
    h, t, d = o.held, o.target, o.order
    assert (d == t - h).all() and (t >= 0).all()
    buy, sell = d > 0, d < 0
    assert (d[buy] % lot == 0).all()
    # A sell is whole lots, or whole lots and the whole odd remainder.
    assert ((-d[sell] % lot == 0) | (t[sell] % lot == 0)).all()
    if no_buy is not None:
        assert not (buy & no_buy).any()
    if no_sell is not None:
        assert not (sell & no_sell).any()
    assert (d[np.isnan(o.price)] == 0).all()
    priced = ~np.isnan(o.price)
    assert not (buy & ~(s > h)).any() and not (sell & ~(s < h)).any()  # never against the target
    assert (t[(o.weight == 0) & (h == 0)] == 0).all()
    assert o.cash >= 0
    assert o.cash == pytest.approx(o.cash_before - o.notional.sum(), abs=1e-6 * o.capital)
    np.testing.assert_allclose(o.weight_rounded[priced], t[priced] * o.price[priced] / o.capital)


# ------------------------------------------------------------------ lot rules

@pytest.mark.parametrize("method", METHODS)
@pytest.mark.parametrize("held, shares, lot, expected", [
    (0, 240, 100, 200),  # open, nearest lot below
    (0, 260, 100, 300),  # open, nearest lot above
    (0, 40, 100, 0),  # less than half a lot: nothing
    (250, 0, 100, 0),  # close: two lots and the odd 50 at once
    (37, 0, 100, 0),  # an odd lot alone is sold whole
    (250, 160, 100, 150),  # sell a lot, keep the odd 50
    (250, 190, 100, 200),  # sell the odd 50 alone
    (250, 230, 100, 250),  # nearer to holding than to selling the odd lot
    (250, 420, 100, 450),  # buy whole lots on top of the odd lot
    (250, 380, 100, 350),
    (1234, 1000, 1, 1000),  # lots of one share: exact
    (0, 1236, 10, 1240),
])
def test_one_name(method, held, shares, lot, expected):
    o = orders([shares * 10 / 1e6], [10.0], held=[held], lot=lot, method=method)
    assert o.target[0] == expected
    assert o.side[0] == ("buy" if expected > held else "sell" if expected < held else "")
    assert o.notional[0] == (expected - held) * 10.0


@pytest.mark.parametrize("method", METHODS)
def test_blocks(method):
    # Names 0 and 1 want buying, 2 and 3 selling; 0 cannot be bought, 2 cannot be sold.
    w = np.array([0.1, 0.1, 0.0, 0.0])
    held = np.array([0, 0, 1000, 1000])
    o = orders(w, [10.0] * 4, held=held, no_buy=[True, False, False, True], no_sell=[False, False, True, False],
               method=method)
    np.testing.assert_array_equal(o.order, [0, 10000, 0, -1000])


# ------------------------------------------------------------------- the cash

@pytest.mark.parametrize("method", METHODS)
def test_cash_bound_all_rounded_up(method):
    # Ten names of 160 shares each: all nearest at 200 would cost 125,000 of 100,000.
    o = orders([0.1] * 10, [62.5] * 10, capital=1e5, method=method)
    assert_rules(o, lot=100, s=np.full(10, 160.0))
    assert o.cash == 0.0 and o.target.sum() == 1600


@pytest.mark.parametrize("method", METHODS)
def test_cash_bound_with_a_name_that_cannot_be_sold(method):
    # Half the capital sits in a name to be sold but blocked: only the other half can be spent.
    w = np.array([0.0, 0.5, 0.5])
    held = np.array([5000, 0, 0])
    o = orders(w, [10.0, 33.0, 47.0], capital=1e5, held=held, no_sell=[True, False, False], method=method)
    assert o.cash_before == 5e4 and o.order[0] == 0
    assert 0 <= o.cash < 4700  # spent but for less than a lot
    assert_rules(o, lot=100, s=w * 1e5 / [10.0, 33.0, 47.0], no_sell=np.array([True, False, False]))


@pytest.mark.parametrize("method", METHODS)
def test_no_cash_buys_nothing(method):
    # Fully invested in the name already, and the target wants far more of it.
    o = orders([1.0], [15.33], capital=5e7, held=[2984], cash=0.0, method=method)
    assert o.order[0] == 0 and o.cash == 0.0


# ------------------------------------------------------------- missing prices

@pytest.mark.parametrize("as_field", [False, True])
def test_missing_prices(as_field):
    w = np.array([0.2, 0.3, 0.3, 0.0])
    held = np.array([1000, 0, 500, 700])
    p = np.array([np.nan, 0.0, 20.0, 10.0])
    kw = {}
    if as_field:
        install({"close": p[None, :]}, codes=np.array(["600001", "600002", "600003", "600004"]))
        p, kw = "close", {"row": 0}
    with pytest.warns(UnpricedWarning) as rec:
        o = to_orders(w, np.arange(4), 1e5, p, held=held, library=LIB, **kw)
    assert len(rec) == 1
    named = ("600001", "600002") if as_field else ("0", "1")
    assert all(c in str(rec[0].message) for c in named)
    assert o.unpriced == ((named[0], named[1]) if as_field else (0, 1))
    np.testing.assert_array_equal(o.order[:2], [0, 0])
    assert np.isnan(o.weight_rounded[0]) and o.weight_rounded[1] == 0.0
    # The held name without a price counts at its target weight, so the cash
    # is the capital less what is priced and that weight.
    assert o.cash_before == pytest.approx(1e5 - 500 * 20 - 700 * 10 - 0.2 * 1e5)
    assert o.target[3] == 0  # a held name at weight 0 is closed


# ----------------------------------------------------------------- exposures

@pytest.mark.parametrize("method", ["repair", "lp"])
@pytest.mark.parametrize("seed", range(4))
def test_limits_kept_where_lots_allow(method, seed):
    n = 60
    data = market(n, seed)
    install(data)
    rng = np.random.default_rng(seed + 100)
    b = data["weight500"][0] / 100
    w = b * np.exp(rng.normal(0, 0.3, n))
    w /= w.sum()
    f = np.stack([data["f0"][0], data["f1"][0]] + [(data["ZXZQSector"][0] == c) * 1.0 for c in range(SECTORS)])
    lim = np.maximum(np.abs(f @ (w - b)) * 1.05, [0.02] * 2 + [0.005] * SECTORS)
    kw = dict(row=0, risk_names=RISK, limits=lim, bench_symbol="000905", library=LIB)
    with pytest.warns(LimitWarning):
        plain = to_orders(w, np.arange(n), 2e6, "close", method="round", **kw)
    assert plain.unmet and plain.over_limit.any()
    o = to_orders(w, np.arange(n), 2e6, "close", method=method, **kw)
    np.testing.assert_allclose(o.exposure_before, f @ (w - b), atol=1e-15)
    assert o.unmet == () and (np.abs(o.exposure_after) <= lim * (1 + 1e-9)).all()
    assert o.distance < 1.25 * plain.distance
    assert list(o.exposures.columns) == ["before", "after", "limit", "over"]
    assert_rules(o, lot=100, s=w * 2e6 / data["close"][0])


@pytest.mark.parametrize("method", METHODS)
def test_limit_out_of_reach_is_named(method):
    # Two names against each other on one factor: lots of 97 and 103 CNY
    # cannot match within 1e-6.
    install({"f0": np.array([[1.0, -1.0]]), "weight500": np.array([[50.0, 50.0]]),
             "close": np.array([[97.0, 103.0]])})
    with pytest.warns(LimitWarning, match="f0"):
        o = to_orders([0.5, 0.5], [0, 1], 1e5, "close", row=0, risk_names=["f0"], limits=[1e-6],
                      bench_symbol="000905", method=method, library=LIB)
    assert o.unmet == ("f0",) and o.over_limit.all()


def test_exposures_are_the_runs(standin):
    import Kestrel
    cfg = {"weight_multi": 1.5, "risk_cost": 0.3, "decay": 0.3, "bench_coeff": 0.8, "pre_coeff": 0.9,
           "each_sector_expo": 0.01, "risk_factor_expo": {n: 0.05 for n in standin.market.factors},
           "print_result": False}
    run = Kestrel.run("TopM", "000300", 1.0, cfg, standin.scores, standin.univ, progress=False)
    held = np.zeros(len(standin.univ), dtype=np.int64)
    o = orders_from_run(run, held, 1e8, prices=np.full(len(standin.univ), 12.0))
    np.testing.assert_allclose(o.exposure_before, run.expo[-1], atol=1e-12)
    assert o.risk_names == run.risk_names and o.codes[0] == str(standin.market.securities[standin.univ[0]])


# ------------------------------------------------------------ property tests

@st.composite
def cases(draw):
    n = draw(st.integers(1, 10))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    w = rng.dirichlet(np.ones(n)) * draw(st.floats(0.3, 1.0)) * (rng.random(n) < 0.8)
    p = np.exp(rng.uniform(np.log(0.5), np.log(500), n)).round(2)
    p[rng.random(n) < 0.1] = np.nan
    held = np.where(rng.random(n) < 0.5, rng.integers(0, 3000, n), 0)
    return dict(w=w, p=p, held=held, lot=draw(st.sampled_from([1, 10, 100])),
                capital=draw(st.floats(1e4, 1e8)), cash=draw(st.floats(0, 1e6)),
                no_buy=rng.random(n) < 0.2, no_sell=rng.random(n) < 0.2, method=draw(st.sampled_from(METHODS)),
                risk=draw(st.booleans()), seed=int(rng.integers(1 << 30)))


@settings(max_examples=80, deadline=None, database=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(c=cases())
def test_every_rule_holds(c):
    n = len(c["w"])
    kw = {}
    if c["risk"]:
        data = market(n, c["seed"])
        install(data)
        kw = dict(row=0, risk_names=RISK, limits=[0.02] * 2 + [0.005] * SECTORS, bench_symbol="000905")
    with warnings.catch_warnings(record=True) as rec:
        warnings.simplefilter("always")
        o = orders(c["w"], c["p"], capital=c["capital"], held=c["held"], lot=c["lot"], cash=c["cash"],
                   no_buy=c["no_buy"], no_sell=c["no_sell"], method=c["method"], **kw)
    s = c["w"] * c["capital"] / c["p"]
    assert_rules(o, lot=c["lot"], s=np.where(np.isnan(s), c["held"], s), no_buy=c["no_buy"], no_sell=c["no_sell"])
    unpriced = [r for r in rec if r.category is UnpricedWarning]
    assert len(unpriced) == (1 if o.unpriced else 0)
    assert all(r.category in (UnpricedWarning, LimitWarning) for r in rec)
    if c["risk"]:
        worse = o.over_limit & (np.abs(o.exposure_after) > np.abs(o.exposure_before) * (1 + 1e-9) + 1e-15)
        assert o.unmet == tuple(np.array(RISK)[worse])
        assert any(r.category is LimitWarning for r in rec) == bool(o.unmet)


# ---------------------------------------------------------------- bad input

GOOD = dict(weights=[0.3, 0.3], univ_idx=[0, 1], capital=1e5, prices=[10.0, 20.0])


@pytest.mark.parametrize("change, name", [
    (dict(capital=0.0), "capital"), (dict(capital=-1e5), "capital"), (dict(capital=float("nan")), "capital"),
    (dict(capital="1e5"), "capital"),
    (dict(prices=[10.0, -1.0]), "prices"), (dict(prices=[10.0, np.inf]), "prices"), (dict(prices=[10.0]), "prices"),
    (dict(held=[100, 1.5]), "held"), (dict(held=[100, -100]), "held"), (dict(held=[100]), "held"),
    (dict(held=[100, np.nan]), "held"),
    (dict(lot=0), "lot"), (dict(lot=2.5), "lot"), (dict(lot=True), "lot"),
    (dict(weights=[0.3, -0.1]), "weights"), (dict(weights=[0.3, np.nan]), "weights"),
    (dict(weights=[0.9, 0.9]), "weights"), (dict(weights=[[0.3, 0.3]]), "weights"),
    (dict(univ_idx=[0.0, 1.0]), "univ_idx"), (dict(univ_idx=[0, -1]), "univ_idx"),
    (dict(no_buy=[0, 2]), "no_buy"), (dict(no_sell=[True]), "no_sell"),
    (dict(prices="close"), "row"), (dict(prices="close", row=-1), "row"), (dict(prices="close", row=5), "row"),
    (dict(prices="close", row=0, univ_idx=[0, 9]), "univ_idx"),
    (dict(risk_names=["f0"]), "bench_symbol"), (dict(limits=[0.1]), "limits"),
    (dict(risk_names=["f0"], limits=[0.1, 0.1], bench_symbol="000905"), "limits"),
    (dict(risk_names=["f0"], limits=[-0.1], bench_symbol="000905"), "limits"),
    (dict(risk_names="f0", bench_symbol="000905"), "risk_names"),
    (dict(method="nearest"), "method"), (dict(cash=-1.0), "cash"),
    (dict(held=[10000, 10000]), "capital"),  # holds more than the capital
])
def test_bad_input_names_the_argument(change, name):
    install({"close": np.array([[10.0, 20.0]]), "f0": np.array([[1.0, 0.0]]), "weight500": np.array([[50.0, 50.0]])})
    with pytest.raises(ValueError, match=rf"\b{name}\b"):
        to_orders(**{**GOOD, **change, "library": LIB})


def test_unknown_field_says_what_was_read():
    install({"close": np.array([[10.0, 20.0]])})
    with pytest.raises(KeyError) as e:
        to_orders(**{**GOOD, "prices": "open", "row": 0, "library": LIB})
    assert "while reading prices from the data library: open" in e.value.__notes__


def test_lp_without_highspy(monkeypatch):
    monkeypatch.setitem(sys.modules, "highspy", None)
    with pytest.raises(ImportError, match='highspy.*method="repair"'):
        orders([0.5], [10.0], method="lp")
    assert orders([0.5], [10.0], method="repair").target[0] == 50000


# ----------------------------------------------------- runs and the order file

def fake_run(**extra):
    weights = np.array([[0.5, 0.3, 0.0], [0.2, 0.4, 0.3]])
    return SimpleNamespace(weights=weights, rows=np.array([4, 5]), univ_idx=np.array([2, 0, 1]), risk_names=(),
                           limits=np.zeros(0), status=np.zeros(2, np.int8),
                           state=SimpleNamespace(bench_symbol="000905"), **extra)


def test_csv_written_and_read_back(tmp_path):
    install({"close": np.full((6, 3), 10.0)}, codes=np.array(["000001", "000002", "600000"]))
    path = tmp_path / "orders.csv"
    path.write_text("old\n")
    o = orders_from_run(fake_run(), [1000, 0, 500], 1e6, path=path, library=LIB)
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    traded = np.flatnonzero(o.order)
    assert [r["code"] for r in rows] == list(o.codes[traded]) == ["600000", "000001", "000002"]
    assert [r["side"] for r in rows] == list(o.side[traded])
    assert [int(r["shares"]) for r in rows] == list(np.abs(o.order[traded]))
    assert [float(r["notional"]) for r in rows] == pytest.approx(np.abs(o.notional[traded]))
    assert list(rows[0]) == ["code", "side", "shares", "price", "notional"]
    assert sorted(p.name for p in tmp_path.iterdir()) == ["orders.csv"]  # no temporary file left


@pytest.mark.parametrize("blocks, expect", [
    ({}, [-10000, 40000, 30000]),  # a run without blocks
    ({"no_buy": np.array([[0, 0, 0], [0, 1, 0]], bool), "no_sell": None}, [-10000, 0, 30000]),
    ({"no_buy": None, "no_sell": np.array([[0, 0, 0], [1, 0, 0]], bool)}, [0, 40000, 30000]),
])
def test_orders_from_run_blocks(blocks, expect):
    o = orders_from_run(fake_run(**blocks), [30000, 0, 0], 1e6, prices=np.full(3, 10.0), library=LIB)
    np.testing.assert_array_equal(o.order, expect)


def test_orders_from_run_rows():
    run = fake_run()
    o = orders_from_run(run, None, 1e6, prices=np.full(3, 10.0), row=4, library=LIB)
    np.testing.assert_array_equal(o.target, [50000, 30000, 0])
    with pytest.raises(ValueError, match="row 7 is not one of the run's rows"):
        orders_from_run(run, None, 1e6, prices=np.full(3, 10.0), row=7)
    run.status[1] = 1
    with pytest.raises(ValueError, match="row 5 of the run was not processed"):
        orders_from_run(run, None, 1e6, prices=np.full(3, 10.0))


def test_table_and_repr():
    o = orders([0.5, 0.0], [10.0, 20.0], held=[0, 300])
    t = o.table
    assert list(t.columns) == ["code", "held", "target", "order", "side", "price", "notional", "weight",
                               "weight_rounded"]
    assert list(t["side"]) == ["buy", "sell"] and list(t["notional"]) == [500000.0, -6000.0]
    assert o.exposures is None
    text = repr(o)
    assert text.startswith("Orders (lp, lots of 100): 1 buys 500,000, 1 sells 6,000") and len(text.splitlines()) <= 8


def test_bench_runs(clean_store):
    bench_orders = pytest.importorskip("bench_orders")
    out = bench_orders.measure(rows=1, repeat=1, n_secu=1200, n_univ=900, log=lambda *a: None)
    assert {r["method"] for r in out} == set(METHODS) and len(out) == 4 * len(METHODS)
    assert all(r["cash"] >= 0 for r in out)

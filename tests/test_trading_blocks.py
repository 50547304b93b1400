"""Names that cannot be bought or sold and a cap on turnover: Kestrel.run's
weights honour them on every row, keep the total, continue bit for bit, and
are the plain run's weights where nothing is blocked."""

import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import Kestrel
from kestrel_tools.tables import ALGORITHM_SETTINGS

from helpers import fake_market

ALGORITHMS = sorted(ALGORITHM_SETTINGS)
LIMITS = {"f0": 0.05, "f1": 0.1, "f2": 0.02}
T, M = 16, 240
PCT = 0.95
PROPS = settings(max_examples=30, deadline=None, database=None,
                 suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])


@pytest.fixture
def market(fake_vela):
    """16 dates, 240 library columns, a universe of 180 in random order holding the whole benchmark."""
    lib = fake_vela(fake_market(T=T, M=M, K=3, seed=4))
    rng = np.random.default_rng(8)
    univ = rng.permutation(np.r_[np.arange(100), rng.permutation(np.arange(100, M))[:80]])
    scores = rng.standard_normal((T, len(univ)))
    return lib, scores, univ


def masks(seed, p_buy, p_sell):
    """Random dates x library-columns blocks."""
    rng = np.random.default_rng(seed)
    return rng.random((T, M)) < p_buy, rng.random((T, M)) < p_sell


def blocked(algo, cfg, scores, univ, **kw):
    """Kestrel.run, with any BlockedTotalWarning kept aside: (result, warning texts)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", Kestrel.BlockedTotalWarning)
        r = Kestrel.run(algo, "000300", PCT, cfg, scores, univ, progress=False, **kw)
    others = [w for w in caught if not issubclass(w.category, Kestrel.BlockedTotalWarning)]
    assert not others, [str(w.message) for w in others]
    return r, [str(w.message) for w in caught]


def previous_rows(r, start=None):
    n = r.weights.shape[1]
    first = np.zeros(n) if start is None else start
    return np.vstack([first[None, :], r.weights[:-1]])


def turnover(w, pre):
    return 0.5 * np.abs(w - pre).sum(axis=1)


def assert_blocks_held(r, pre):
    d = r.weights - pre
    buy, sell = r.no_buy, r.no_sell
    assert (d[buy] <= 1e-12).all(), "bought a name that cannot be bought"
    assert (d[sell] >= -1e-12).all(), "sold a name that cannot be sold"
    assert (d[buy & sell] == 0).all(), "traded a suspended name"


# ----------------------------------------------------------- properties


@pytest.mark.parametrize("algo", ALGORITHMS)
@PROPS
@given(seed=st.integers(0, 2**32 - 1), p_buy=st.floats(0, 0.4), p_sell=st.floats(0, 0.4),
       cap=st.one_of(st.none(), st.floats(0, 0.4), st.just("rows")))
def test_blocks_and_cap_hold_on_every_row_and_the_total_is_kept(market, run_cfg, algo, seed, p_buy, p_sell, cap):
    _, scores, univ = market
    no_buy, no_sell = masks(seed, p_buy, p_sell)
    if cap == "rows":  # one cap per row, some rows uncapped
        cap = np.where(np.random.default_rng(seed).random(T) < 0.3, np.inf, 0.05)
    r, texts = blocked(algo, run_cfg(algo, LIMITS, max_loop_num=10), scores, univ, no_buy=no_buy, no_sell=no_sell,
                       max_turnover=cap)
    assert (r.status == Kestrel.STATUS_PROCESSED).all()
    np.testing.assert_array_equal(r.no_buy, no_buy[:, univ])
    pre = previous_rows(r)
    assert_blocks_held(r, pre)
    if cap is not None:
        # Every row after the first (bought from cash) keeps its cap, measured in numpy's order.
        caps = np.broadcast_to(cap, (T,))
        assert (turnover(r.weights, pre)[1:] <= caps[1:]).all()
        np.testing.assert_allclose(r.turnover, turnover(r.weights, pre), rtol=1e-12)
    # The total is secu_pct wherever the warning does not name the row, or
    # on the way to it from a row that missed it, as far as the cap allowed.
    totals = r.weights.sum(axis=1)
    before = np.r_[PCT, totals[:-1]]
    off = np.abs(totals - PCT) >= 1e-4
    assert bool(off.any()) == bool(texts)
    assert ((totals >= np.minimum(before, PCT) - 1e-9) & (totals <= np.maximum(before, PCT) + 1e-9))[~off].all()
    kept = ~off & (np.abs(before - PCT) < 1e-9)
    assert (np.abs(totals[kept] - PCT) < 1e-9).all()
    for row in np.flatnonzero(off):
        assert f" {row} (" in texts[0]


@pytest.mark.parametrize("algo", ALGORITHMS)
def test_no_blocks_and_an_open_cap_leave_every_weight_as_it_was(market, run_cfg, algo):
    _, scores, univ = market
    cfg = run_cfg(algo, LIMITS, max_loop_num=20)
    plain = Kestrel.run(algo, "000300", PCT, cfg, scores, univ, progress=False)
    nothing = np.zeros((T, M), dtype=bool)
    for kw in ({"no_buy": nothing, "no_sell": nothing}, {"max_turnover": np.inf}, {"max_turnover": 5.0}):
        r = Kestrel.run(algo, "000300", PCT, cfg, scores, univ, progress=False, **kw)
        assert r.weights.tobytes() == plain.weights.tobytes(), kw
        assert r.expo.tobytes() == plain.expo.tobytes() and (r.loop_count == plain.loop_count).all()


@pytest.mark.parametrize("algo", ALGORITHMS)
def test_a_run_continued_from_its_state_equals_the_whole_run(market, run_cfg, algo):
    _, scores, univ = market
    cfg = run_cfg(algo, LIMITS, max_loop_num=15)
    no_buy, no_sell = masks(3, 0.15, 0.15)
    cap = np.where(np.arange(T) % 3 == 0, 0.08, 0.2)
    kw = {"no_buy": no_buy, "no_sell": no_sell, "max_turnover": cap}
    whole, _ = blocked(algo, cfg, scores, univ, **kw)
    start, parts = None, []
    for split in (2, 7, 11, T - 1):
        part, _ = blocked(algo, cfg, scores[: split + 1], univ, start=start, **{**kw, "max_turnover": cap[: split + 1]})
        start = part.state
        parts.append(part)
    for name in ("weights", "expo", "turnover", "loop_count", "no_buy", "no_sell"):
        joined = np.concatenate([getattr(p, name) for p in parts])
        assert joined.tobytes() == np.asarray(getattr(whole, name)).tobytes(), name


# ------------------------------------------------------ what each date can do


@pytest.mark.parametrize("algo", ALGORITHMS)
def test_names_that_cannot_be_sold_and_hold_more_than_secu_pct_stay_where_they_are(market, run_cfg, algo):
    _, scores, univ = market
    first = Kestrel.run(algo, "000300", PCT, run_cfg(algo, LIMITS), scores[:1], univ, progress=False)
    held = first.weights[0] * (PCT + 0.0009) / first.weights[0].sum()  # above the target, as a start may be
    start = Kestrel.RunState(0, held, first.state.smoothed, univ_idx=univ)
    frozen = np.zeros((T, M), dtype=bool)
    frozen[1] = True
    r, texts = blocked(algo, run_cfg(algo, LIMITS), scores[:2], univ, start=start, no_sell=frozen)
    assert r.weights[0].tobytes() == held.tobytes()
    assert len(texts) == 1 and "rows (total) 1 (0.9509)" in texts[0]


def test_caps_the_blocks_leave_short_give_the_nearest_total(market, run_cfg):
    """Equal caps of 0.0055 on 180 names (0.99) can hold 0.95; with a tenth of them unbuyable they cannot."""
    algo = "TopEqual2"
    _, scores, univ = market
    cfg = run_cfg(algo, LIMITS, each_single_weight=0.0055, bench_coeff=0.0, pre_coeff=0.0, max_loop_num=3)
    plain = Kestrel.run(algo, "000300", PCT, cfg, scores[:1], univ, progress=False)
    assert abs(plain.weights.sum() - PCT) < 1e-9
    no_buy = np.zeros((1, M), dtype=bool)
    no_buy[0, univ[:18]] = True
    r, texts = blocked(algo, cfg, scores[:1], univ, no_buy=no_buy)
    assert (r.weights[0, :18] == 0).all()
    np.testing.assert_allclose(r.weights[0, 18:], 0.0055)  # every name that may be bought, full
    assert len(texts) == 1 and "rows (total) 0 (0.891)" in texts[0]
    # Caps short without any blocks are the settings' fault, and fail as before.
    short = dict(cfg, each_single_weight=0.005)
    with pytest.raises(Kestrel.PositionError) as plain_error:
        Kestrel.run(algo, "000300", PCT, short, scores[:1], univ, progress=False)
    with pytest.raises(Kestrel.PositionError) as error:
        Kestrel.run(algo, "000300", PCT, short, scores[:1], univ, progress=False, no_buy=no_buy)
    assert str(error.value) == str(plain_error.value)


@pytest.mark.parametrize("algo", ALGORITHMS)
def test_names_blocked_from_cash_are_never_bought(market, run_cfg, algo):
    _, scores, univ = market
    no_buy = np.zeros((T, M), dtype=bool)
    no_buy[:, univ[::3]] = True
    r, texts = blocked(algo, run_cfg(algo, LIMITS, max_loop_num=10), scores, univ, no_buy=no_buy)
    assert (r.weights[:, ::3] == 0).all() and not texts


# ---------------------------------------------------- the stand-in's fields


def test_the_stand_in_trading_states_by_name(standin, run_cfg):
    import VelaIntradayModel as vim

    s = standin
    cfg = run_cfg("TopM", {name: 0.3 for name in s.market.factors}, max_loop_num=20)
    r, texts = blocked("TopM", cfg, s.scores, s.univ, no_buy=["suspended", "limit_up"],
                       no_sell=["suspended", "limit_down"], max_turnover=0.1, on_skip="hold")
    fields = {name: np.asarray(res.array)[:, s.univ] != 0
              for name, res in zip(("suspended", "limit_up", "limit_down"),
                                   vim.RunLoopOnce(["suspended", "limit_up", "limit_down"]))}
    np.testing.assert_array_equal(r.no_buy, fields["suspended"] | fields["limit_up"])
    np.testing.assert_array_equal(r.no_sell, fields["suspended"] | fields["limit_down"])
    assert r.no_buy.any(axis=1).all() and r.no_sell.any(axis=1).all()
    pre = previous_rows(r)
    assert_blocks_held(r, pre)
    assert (turnover(r.weights, pre)[1:] <= 0.1).all()
    assert (r.blocked_buy == r.no_buy.sum(axis=1)).all() and (r.blocked_sell == r.no_sell.sum(axis=1)).all()
    np.testing.assert_allclose(r.blocked_sell_weight, np.where(r.no_sell, pre, 0).sum(axis=1), rtol=1e-12)
    assert not texts


# ------------------------------------------------------- what the finish gets


def test_the_finish_is_given_the_dates_bounds_and_cap(market, run_cfg):
    from kestrel_tools.finish import Finisher

    class Recording(Finisher):
        def __init__(self):
            self.seen = []

        def __call__(self, w0, lower, upper, factors, bench_expo, limits, pre, max_turnover, score, cost):
            self.seen.append((np.array(w0), np.array(lower), np.array(upper),
                              None if pre is None else np.array(pre), max_turnover))
            return None, "recorded", "", 0.0

    _, scores, univ = market
    no_buy, no_sell = masks(5, 0.2, 0.2)
    rec = Recording()
    with pytest.warns(RuntimeWarning, match="could not repair"):
        r = Kestrel.run("TopM2", "000300", PCT, run_cfg("TopM2", LIMITS, max_loop_num=1), scores, univ,
                        progress=False, no_buy=no_buy, no_sell=no_sell, max_turnover=0.3, finish=rec)
    pre = previous_rows(r)
    rows = np.flatnonzero(r.finish_status == "recorded")
    assert len(rows) == len(rec.seen) > 3
    for row, (w0, lower, upper, given_pre, cap) in zip(rows, rec.seen):
        assert w0.tobytes() == r.weights[row].tobytes()
        np.testing.assert_array_equal(lower, np.where(r.no_sell[row], pre[row], 0.0))
        assert (upper <= np.where(r.no_buy[row], pre[row], np.inf)).all() and (upper >= lower).all()
        assert (w0 >= lower).all()
        # From cash the finish has no previous row and no cap.
        assert (given_pre is None and cap == np.inf) if row == 0 else (given_pre == pre[row]).all() and cap == 0.3


# ------------------------------------------------ the forms blocks come in


def with_fields(lib, **fields):
    """The fake library with extra fields, as the engine reads them: whole matrices by name."""
    lib.data.update(fields)
    return lib


@pytest.mark.parametrize("algo", ["TopM", "TopEqual2", "TopKR"])
@pytest.mark.parametrize("twice", [False, True], ids=["distinct", "column-twice"])
def test_every_form_of_the_same_blocks_gives_the_same_run(market, run_cfg, algo, twice):
    """Field names (NaN: not blocked), bool, int, float32, column-major, strided and longer arrays, a field on
    both sides read once: one run, and each row's flags are the universe's columns of the masks."""
    lib, scores, univ = market
    if twice:
        univ = univ.copy()
        univ[5] = univ[6]  # a column the universe lists twice
    rng = np.random.default_rng(21)
    held, up, down = (rng.random((T, M)) < p for p in (0.05, 0.15, 0.15))
    up_nan = np.where(rng.random((T, M)) < 0.3, np.nan, up.astype(float))
    with_fields(lib, suspended=held.astype(float), limit_up=up_nan, limit_down=down.astype(float))
    buy, sell = held | (up_nan == 1), held | down
    cfg = run_cfg(algo, LIMITS, max_loop_num=15)
    forms = {
        "fields": ({"no_buy": ["suspended", "limit_up"], "no_sell": ["suspended", "limit_down"]}),
        "bool": {"no_buy": buy, "no_sell": sell},
        "int": {"no_buy": buy.astype(np.int8), "no_sell": sell.astype(np.uint64)},
        "float32": {"no_buy": np.where(buy, 1, np.nan).astype(np.float32), "no_sell": sell.astype(np.float32)},
        "layouts": {"no_buy": np.asfortranarray(buy.astype(float)), "no_sell": np.repeat(sell, 2, axis=1)[:, ::2]},
        "longer": {"no_buy": np.vstack([buy, ~buy]), "no_sell": np.vstack([sell, sell])},
    }
    runs = {name: blocked(algo, cfg, scores, univ, **kw)[0] for name, kw in forms.items()}
    first = runs["fields"]
    np.testing.assert_array_equal(first.no_buy, buy[:, univ])
    np.testing.assert_array_equal(first.no_sell, sell[:, univ])
    assert (first.blocked_buy == buy[:, univ].sum(axis=1)).all()
    assert first.no_buy.dtype == bool and first.no_buy.flags.c_contiguous and not first.no_buy.flags.writeable
    for name, r in runs.items():
        for key in ("weights", "no_buy", "no_sell", "blocked_buy", "blocked_sell", "blocked_buy_weight",
                    "blocked_sell_weight"):
            assert np.asarray(getattr(r, key)).tobytes() == np.asarray(getattr(first, key)).tobytes(), (name, key)
    # One side alone leaves the other None and blocks nothing there.
    only, _ = blocked(algo, cfg, scores, univ, no_sell="limit_down")
    assert only.no_buy is None and (only.blocked_buy == 0).all()
    np.testing.assert_array_equal(only.no_sell, down[:, univ])


@pytest.mark.parametrize("kw, words", [
    ({"no_buy": ["ok", "late"]}, r"no_buy: data library field 'late' must hold 0 and 1 only \(blocked or not\); "
                                 r"row 9, column 7 holds 0\.5$"),
    ({"no_sell": "int"}, r"^no_sell must hold 0 and 1 only \(blocked or not\); row 12, column 7 holds 2$"),
    ({"no_buy": "inf"}, r"^no_buy must hold 0 and 1 only .*row 0, column 7 holds inf$"),
], ids=["a-later-row", "integers", "infinity"])
def test_a_value_other_than_0_or_1_is_refused_on_the_row_that_holds_it(market, run_cfg, kw, words):
    """Checked as the dates are run, naming the argument, the field, the row and the library column."""
    lib, scores, univ = market
    ok = np.zeros((T, M))
    late, as_int, inf = ok.copy(), np.zeros((T, M), dtype=np.int64), ok.copy()
    late[9, 7] = 0.5
    as_int[12, 7] = 2
    inf[0, 7] = np.inf
    with_fields(lib, ok=ok, late=late)
    given = {"int": as_int, "inf": inf}
    kw = {key: given.get(v, v) if isinstance(v, str) else v for key, v in kw.items()}
    with pytest.raises(ValueError, match=words):
        Kestrel.run("TopM2", "000300", PCT, run_cfg("TopM2", LIMITS), scores, univ, progress=False, **kw)


def test_only_the_rows_and_columns_a_run_uses_are_read(market, run_cfg):
    """A run from a state reads the blocks of its own rows, at the universe's columns."""
    _, scores, univ = market
    cfg = run_cfg("TopM", LIMITS)
    first = Kestrel.run("TopM", "000300", PCT, cfg, scores[:4], univ, progress=False)
    no_buy = np.zeros((T, M))
    no_buy[2, 3] = 7.0  # before the state's row
    no_buy[6, np.setdiff1d(np.arange(M), univ)] = -1.0  # outside the universe
    no_buy[4:, univ[:10]] = 1.0
    r = Kestrel.run("TopM", "000300", PCT, cfg, scores, univ, progress=False, start=first.state, no_buy=no_buy)
    np.testing.assert_array_equal(r.no_buy, no_buy[4:, univ] == 1)


# ------------------------------------------------------------ bad input


@pytest.mark.parametrize("kw, error, words", [
    ({"no_buy": np.zeros((T, M, 1), dtype=bool)}, ValueError, "no_buy must be 2-dimensional"),
    ({"no_sell": np.zeros((T - 1, M), dtype=bool)}, ValueError, "no_sell has 15 rows but predictValues has 16"),
    ({"no_buy": np.zeros((T, 150), dtype=bool)}, IndexError, "no_buy: univ_idx column"),
    ({"no_sell": np.full((T, M), 0.5)}, ValueError, "no_sell must hold 0 and 1 only"),
    ({"no_buy": np.full((T, M), "x")}, TypeError, "no_buy must hold bool or 0/1"),
    ({"no_buy": "f0"}, ValueError, "no_buy: data library field 'f0' must hold 0 and 1 only"),
    ({"no_sell": ["weight300", "f1"]}, ValueError, "no_sell: data library field 'weight300' must hold 0 and 1"),
    ({"max_turnover": -0.1}, ValueError, "max_turnover must be 0 or more"),
    ({"max_turnover": np.r_[0.1, np.nan, np.full(T - 2, 0.1)]}, ValueError, "max_turnover must be 0 or more.*row 1"),
    ({"max_turnover": np.full(T - 1, 0.1)}, ValueError, "max_turnover must be one number or 16"),
    ({"max_turnover": "lots"}, TypeError, "max_turnover must be a number"),
])
def test_bad_blocks_and_caps_are_refused_naming_the_argument(market, run_cfg, kw, error, words):
    _, scores, univ = market
    with pytest.raises(error, match=words):
        Kestrel.run("TopM", "000300", PCT, run_cfg("TopM", LIMITS), scores, univ, progress=False, **kw)

import os
from pathlib import Path

import numpy as np
import pytest

import VelaIntradayModel as vim

SECTOR = np.array([[0.0, 3.0, np.nan, 27.0], [3.0, 3.0, 0.0, np.nan]])


@pytest.fixture(autouse=True)
def fresh_store(clean_store):
    yield
    vim.set_sector_names(None)  # the names are library-wide, like the store


@pytest.fixture(scope="module")
def market(tmp_path_factory):
    path = tmp_path_factory.mktemp("market")
    return vim.generate_market(path, n_dates=60, n_secu=1200, n_factors=12, seed=3)


def _serve(source, tmp_path, monkeypatch, fields):
    if source == "memory":
        for name, arr in fields.items():
            vim.register(name, arr)
    else:
        vim.write_store(tmp_path, fields)
        if source == "dir":
            vim.set_store_dir(tmp_path)
        else:
            monkeypatch.setenv(vim.ENV_VAR, str(tmp_path))


@pytest.mark.parametrize("source", ["memory", "dir", "env"])
def test_round_trip_without_copy(source, tmp_path, monkeypatch):
    a = np.arange(12.0).reshape(3, 4)
    b = np.eye(3, 4)
    _serve(source, tmp_path, monkeypatch, {"alpha": a, "beta": b})
    out = vim.RunLoopOnce(["beta", "alpha", "beta"])
    assert [r.name for r in out] == ["beta", "alpha", "beta"]
    for r, want in zip(out, [b, a, b]):
        assert r.array.dtype == np.float64
        np.testing.assert_array_equal(r.array, want)
        assert not r.array.flags.writeable
    if source == "memory":
        assert np.shares_memory(out[1].array, a)
    else:
        assert isinstance(out[1].array, np.memmap)
    assert vim.list_fields() == ["alpha", "beta"]


def test_registration_wins_over_directory(tmp_path):
    vim.write_store(tmp_path, {"x": np.zeros((2, 2)), "y": np.ones((2, 2))})
    vim.set_store_dir(tmp_path)
    vim.register("x", np.full((2, 2), 7.0))
    assert vim.RunLoopOnce(["x"])[0].array[0, 0] == 7.0
    vim.unregister("x")
    assert vim.RunLoopOnce(["x"])[0].array[0, 0] == 0.0


def test_call_dir_wins_over_env(tmp_path, monkeypatch):
    vim.write_store(tmp_path / "a", {"x": np.zeros((1, 1))})
    vim.write_store(tmp_path / "b", {"x": np.ones((1, 1))})
    monkeypatch.setenv(vim.ENV_VAR, str(tmp_path / "a"))
    vim.set_store_dir(tmp_path / "b")
    assert vim.RunLoopOnce(["x"])[0].array[0, 0] == 1.0


def test_rewrite_leaves_open_maps_intact(tmp_path):
    vim.write_store(tmp_path, {"x": np.zeros((50, 50))})
    vim.set_store_dir(tmp_path)
    held = vim.RunLoopOnce(["x"])[0].array
    vim.write_store(tmp_path, {"x": np.ones((50, 50))})
    assert held.sum() == 0.0
    assert vim.RunLoopOnce(["x"])[0].array.sum() == 2500.0


@pytest.mark.parametrize("text", ["if(ZXZQSector==0,1,0)", "if(ZXZQSector==3,1,0)",
                                  "if(ZXZQSector==27,1,0)", "if(ZXZQSector==99,1,0)",
                                  " if( ZXZQSector == 03 , 1 , 0 ) "])
def test_sector_formula_values(text):
    vim.register("ZXZQSector", SECTOR)
    code = int(text.split("==")[1].split(",")[0])
    got = vim.RunLoopOnce([text])[0]
    assert got.name == text and got.array.dtype == np.float64
    np.testing.assert_array_equal(got.array, np.where(SECTOR == code, 1.0, 0.0))


@pytest.mark.parametrize("source", ["memory", "dir"])
def test_formula_results_cached_until_sectors_change(source, tmp_path):
    def put(sector):
        if source == "memory":
            vim.register("ZXZQSector", sector)
        else:
            vim.write_store(tmp_path, {"ZXZQSector": sector})
            vim.set_store_dir(tmp_path)
    put(SECTOR)
    first = vim.RunLoopOnce(["if(ZXZQSector==3,1,0)"])[0].array
    assert vim.RunLoopOnce(["if(ZXZQSector==3,1,0)"])[0].array is first
    assert not first.flags.writeable
    put(np.where(SECTOR == 3, 4.0, SECTOR))
    if source == "dir":  # same size: make sure the rewrite is seen even within one clock tick
        os.utime(tmp_path / "ZXZQSector.npy", ns=(1, 1))
    assert not vim.RunLoopOnce(["if(ZXZQSector==3,1,0)"])[0].array.any()


@pytest.mark.parametrize("text", ["if(ZXZQSector==x,1,0)", "if(ZXZQSector==3,1,0",
                                  "if(ZXZQSector=3,1,0)", "if(ZXZQSector==3,0,1)",
                                  "if(ZXZQSector==-1,1,0)", "if(ZXZQSector==1.5,1,0)",
                                  "if(Other==3,1,0)", "weight300+weight500", "a/b"])
def test_malformed_formula_quoted(text):
    vim.register("ZXZQSector", SECTOR)
    with pytest.raises(ValueError) as exc:
        vim.RunLoopOnce(["ZXZQSector", text])
    assert repr(text) in str(exc.value)


@pytest.mark.parametrize("names, missing", [(["nope"], "nope"),
                                            (["if(ZXZQSector==1,1,0)"], "ZXZQSector"),
                                            (["dates"], "dates")])
def test_unknown_field_named(names, missing, tmp_path):
    vim.write_store(tmp_path, {"x": np.zeros((1, 1))}, dates=["2020-01-02"])
    vim.set_store_dir(tmp_path)
    with pytest.raises(KeyError, match=repr(missing)):
        vim.RunLoopOnce(names)


@pytest.mark.parametrize("names", ["x", b"x", None, 3, {"x"}, ["x", 1], [b"x"]])
def test_names_type_checked(names):
    vim.register("x", np.zeros((1, 1)))
    with pytest.raises(TypeError):
        vim.RunLoopOnce(names)


@pytest.mark.parametrize("name, matrix", [("x", np.zeros(3)), ("x", np.zeros((1, 1, 1))),
                                          ("a+b", np.zeros((1, 1))), ("dates", np.zeros((1, 1))),
                                          ("", np.zeros((1, 1)))])
def test_register_rejects(name, matrix):
    with pytest.raises(ValueError):
        vim.register(name, matrix)


@pytest.mark.parametrize("kwargs", [dict(fields={"a": np.zeros((2, 3)), "b": np.zeros((3, 2))}),
                                    dict(fields={"a": np.zeros((2, 3))}, dates=["2020-01-02"]),
                                    dict(fields={"a": np.zeros((2, 3))}, securities=["1", "2"]),
                                    dict(fields={}, dates=["2020-01-03", "2020-01-02"]),
                                    dict(fields={}, securities=["1", "1"])])
def test_write_store_rejects_inconsistent(kwargs, tmp_path):
    with pytest.raises(ValueError):
        vim.write_store(tmp_path, **kwargs)
    assert not list(tmp_path.iterdir())


def test_axes_from_dir_and_registration(tmp_path):
    assert vim.dates() is None and vim.securities() is None
    vim.write_store(tmp_path, {}, dates=["2020-01-02", "2020-01-03"], securities=["600000", "000001"])
    vim.set_store_dir(tmp_path)
    assert vim.dates().dtype == np.dtype("datetime64[D]")
    assert list(vim.securities()) == ["600000", "000001"]
    assert np.load(tmp_path / "securities.npy", allow_pickle=False).dtype.kind == "U"
    vim.register_axes(securities=["a", "b"])
    assert list(vim.securities()) == ["a", "b"] and len(vim.dates()) == 2


@pytest.mark.parametrize("path", [None, "disk"])
def test_generator_deterministic(path, tmp_path, market):
    m = vim.generate_market(None if path is None else tmp_path, n_dates=60, n_secu=1200,
                            n_factors=12, seed=3)
    if path:
        vim.set_store_dir(tmp_path)
    for name in m.factors + list(m.bench_fields) + ["ZXZQSector"]:
        np.testing.assert_array_equal(m.load(name), market.load(name))
    np.testing.assert_array_equal(m.securities, market.securities)
    assert vim.RunLoopOnce(["size"])[0].array.shape == (60, 1200)
    other = vim.generate_market(None, n_dates=60, n_secu=1200, n_factors=12, seed=4)
    assert not np.array_equal(other.load("size"), market.load("size"))


def test_benchmarks(market):
    want = {"weight300": 300, "weight500": 500, "weight800": 800, "weight1000": 1000,
            "weight2000": 1200, "weightzz2000": 1200}
    assert market.bench_fields == want
    size = market.load("size")
    for name, count in want.items():
        w = market.load(name)
        assert (w >= 0).all() and ((w > 0).sum(axis=1) == count).all()
        np.testing.assert_allclose(w.sum(axis=1), 100.0, rtol=1e-12)
        swaps = np.abs(np.diff(w > 0, axis=0)).sum(axis=1)
        assert swaps.max() <= 2 * max(1, count // 100)
    member = market.load("weight300") > 0
    assert size[member].mean() > 1.0 > size[~member].mean()


def test_factors_and_sectors(market):
    assert market.factors[:3] == ["size", "beta", "momentum"]
    assert market.factors[10:] == ["style_10", "style_11"]
    for name in market.factors:
        f = market.load(name)
        np.testing.assert_allclose(f.mean(axis=1), 0.0, atol=1e-12)
        np.testing.assert_allclose(f.std(axis=1), 1.0, rtol=1e-12)
        assert np.corrcoef(f[:-1].ravel(), f[1:].ravel())[0, 1] > 0.9
    sec = market.load("ZXZQSector")
    assert set(np.unique(sec)) <= set(range(28)) and len(np.unique(sec)) > 20
    assert (sec[0] != sec[-1]).mean() < 0.1


def test_nan_fraction_marks_late_listings():
    m = vim.generate_market(None, n_dates=40, n_secu=800, n_factors=3, seed=1, nan_fraction=0.1)
    f, sec = m.load("beta"), m.load("ZXZQSector")
    unlisted = np.isnan(f)
    assert unlisted[0].sum() == 80 and not unlisted[-1].any()
    np.testing.assert_array_equal(unlisted, np.isnan(sec))
    np.testing.assert_allclose(np.nanstd(f, axis=1), 1.0)
    for name in m.bench_fields:
        assert (m.load(name)[:, unlisted[0]] == 0).all()


def test_universe_and_scores(market):
    univ = vim.default_universe(market, 900, seed=2)
    assert univ.dtype == np.int64 and len(univ) == 900 and (np.diff(univ) > 0).all()
    for name in ("weight300", "weight500"):
        assert market.load(name)[:, univ].sum(axis=1).min() > 99.999
    with pytest.raises(ValueError):
        vim.default_universe(market, 500)
    s = vim.make_scores(market, univ, seed=5)
    assert s.shape == (60, 900) and np.isfinite(s).all()
    assert all(len(np.unique(row)) == 900 for row in s)
    np.testing.assert_array_equal(s, vim.make_scores(market, univ, seed=5))
    assert np.corrcoef(s[0], market.load("momentum")[0, univ])[0, 1] > 0.3
    with pytest.raises(ValueError):
        vim.make_scores(market, [1, 1, 2])


def test_formula_results_kept_as_files_in_store(tmp_path):
    vim.write_store(tmp_path, {"ZXZQSector": SECTOR})
    vim.set_store_dir(tmp_path)
    first = vim.RunLoopOnce(["if(ZXZQSector==3,1,0)"])[0].array
    kept = list((tmp_path / ".formulas").glob("*.npy"))
    assert len(kept) == 1 and isinstance(first, np.memmap)
    stamp = kept[0].stat().st_mtime_ns
    vim.clear()  # as a fresh process would: the file is mapped, not rewritten
    again = vim.RunLoopOnce(["if(ZXZQSector==3,1,0)"])[0].array
    assert kept[0].stat().st_mtime_ns == stamp and not again.flags.writeable
    np.testing.assert_array_equal(again, np.where(SECTOR == 3, 1.0, 0.0))
    assert "ZXZQSector==3" not in " ".join(vim.list_fields())


def test_formula_results_in_memory_when_store_read_only(tmp_path, monkeypatch):
    vim.write_store(tmp_path, {"ZXZQSector": SECTOR})
    vim.set_store_dir(tmp_path)

    def refuse(*_a, **_k):
        raise PermissionError("read-only")
    monkeypatch.setattr(Path, "mkdir", refuse)
    got = vim.RunLoopOnce(["if(ZXZQSector==5,1,0)"])[0].array
    np.testing.assert_array_equal(got, np.where(SECTOR == 5, 1.0, 0.0))
    assert not (tmp_path / ".formulas").exists()


def test_returns_field_carries_the_scores_signal():
    m = vim.generate_market(None, n_dates=80, n_secu=1500, n_factors=4, seed=5, nan_fraction=0.05)
    r = vim.RunLoopOnce([vim.RETURNS_FIELD])[0].array
    assert m.returns_field == vim.RETURNS_FIELD and r.shape == (80, 1500)
    np.testing.assert_array_equal(np.isnan(r), np.isnan(m.load("beta")))  # NaN exactly before listing
    assert 0.01 < np.nanstd(r) < 0.05
    univ = vim.default_universe(m, 1200, cover=("weight300",))
    nxt = r[1:, univ]
    ok = np.isfinite(nxt)

    def rank_ic(signal):
        s = vim.make_scores(m, univ, seed=9, signal=signal)
        return np.mean([np.corrcoef(np.argsort(np.argsort(a[k])), np.argsort(np.argsort(b[k])))[0, 1]
                        for a, b, k in zip(s[:-1], nxt, ok)])
    none, default, old = rank_ic(0.0), rank_ic(vim.DEFAULT_SIGNAL), rank_ic(0.5)
    assert none < default < old and old - none > 0.01  # the edge grows with the signal
    assert 0.005 < old < 0.06  # a modest, real edge even at the old strength


# ---------------------------------------------------------------- trading states and prices

STATE_FIELDS = (vim.SUSPENDED_FIELD, vim.LIMIT_UP_FIELD, vim.LIMIT_DOWN_FIELD)


@pytest.fixture(scope="module")
def states():
    """A long market with late listings, its fields and its returns before the trading states."""
    from VelaIntradayModel import market as gen
    m = vim.generate_market(None, n_dates=400, n_secu=2000, n_factors=4, seed=11, nan_fraction=0.05)
    f = {name: np.asarray(m.load(name)) for name in (*STATE_FIELDS, m.returns_field, m.close_field)}
    sector = np.asarray(m.load(vim.SECTOR_FIELD))
    listed = ~np.isnan(sector)
    raw = gen._returns(m.seed, np.stack([m.load(k) for k in m.factors]), sector, listed)
    vim.clear()
    return m, f, raw, listed


def _market_move(raw, listed):
    return np.where(listed, raw, 0.0).sum(axis=1) / listed.sum(axis=1)


def test_states_are_exclusive_flags_on_listed_dates(states):
    m, f, _, listed = states
    assert (m.suspended_field, m.limit_up_field, m.limit_down_field, m.close_field) == (
        "suspended", "limit_up", "limit_down", "close")
    flags = np.stack([f[k] for k in STATE_FIELDS])
    assert flags.dtype == np.float64 and set(np.unique(flags)) == {0.0, 1.0}
    assert flags.sum(axis=0).max() == 1.0  # suspended, up and down exclude each other
    assert not flags[:, ~listed].any()


@pytest.mark.parametrize("field, ret", [(vim.SUSPENDED_FIELD, 0.0), (vim.LIMIT_UP_FIELD, vim.PRICE_LIMIT),
                                        (vim.LIMIT_DOWN_FIELD, -vim.PRICE_LIMIT)])
def test_state_sets_the_return_and_the_close(states, field, ret):
    _, f, _, _ = states
    r, close, on = f[vim.RETURNS_FIELD], f[vim.CLOSE_FIELD], f[field] > 0
    assert on.sum() > 1000 and (r[on] == ret).all()
    prev = np.vstack([np.full(close.shape[1], np.nan), close[:-1]])
    both = on & np.isfinite(prev)
    np.testing.assert_allclose(close[both] / prev[both] - 1.0, ret, atol=1e-12)


def test_close_follows_the_returns(states):
    _, f, _, listed = states
    r, close = f[vim.RETURNS_FIELD], f[vim.CLOSE_FIELD]
    np.testing.assert_array_equal(np.isnan(close), ~listed)
    assert np.nanmin(close) > 0 and np.nanmax(np.abs(r)) == vim.PRICE_LIMIT  # no move past a limit
    both = listed[1:] & listed[:-1]
    np.testing.assert_array_equal(close[1:][both], (close[:-1] * (1.0 + r[1:]))[both])
    first = close[0][listed[0]] / (1.0 + r[0][listed[0]])
    assert 5.0 < np.median(first) < 30.0 and first.min() > 0.5 and first.max() < 500.0


def test_unflagged_returns_and_every_other_field_as_without_the_states(monkeypatch, tmp_path):
    from VelaIntradayModel import market as gen
    kw = dict(n_dates=50, n_secu=900, n_factors=5, seed=2, nan_fraction=0.1)
    m = vim.generate_market(tmp_path / "with", **kw)
    no_states = lambda seed, returns, listed: (np.zeros(returns.shape),) * 4  # noqa: E731
    monkeypatch.setattr(gen, "_trading_states", no_states)
    plain = vim.generate_market(tmp_path / "without", **kw)
    for name in [*m.factors, *m.bench_fields, vim.SECTOR_FIELD]:
        np.testing.assert_array_equal(m.load(name), plain.load(name), err_msg=name)
    np.testing.assert_array_equal(m.dates, plain.dates)
    np.testing.assert_array_equal(m.securities, plain.securities)
    flagged = sum(np.asarray(m.load(k)) for k in STATE_FIELDS) > 0
    r, before = np.asarray(m.load(vim.RETURNS_FIELD)), np.asarray(plain.load(vim.RETURNS_FIELD))
    np.testing.assert_array_equal(r[~flagged], before[~flagged])
    assert flagged.sum() > 100 and (r[flagged] != before[flagged]).mean() > 0.95


def test_limits_fall_on_the_tails_of_the_day(states):
    _, f, raw, listed = states
    susp, up, down = (f[k] > 0 for k in STATE_FIELDS)
    for t in range(raw.shape[0]):
        free = listed[t] & ~susp[t] & ~up[t] & ~down[t]
        if up[t].any():
            assert raw[t, up[t]].min() >= raw[t, free].max()
        if down[t].any():
            assert raw[t, down[t]].max() <= raw[t, free].min()
    # A move that went past a limit stopped at it.
    past = np.abs(np.where(listed, raw, 0.0)) >= vim.PRICE_LIMIT
    assert past.any() and not (past & ~(susp | up | down)).any()


def test_suspensions_are_episodes(states):
    _, f, _, _ = states
    susp = f[vim.SUSPENDED_FIELD]
    edges = np.diff(np.vstack([np.zeros(susp.shape[1]), susp, np.zeros(susp.shape[1])]), axis=0)
    starts, ends = np.nonzero(edges.T == 1), np.nonzero(edges.T == -1)  # column-major: one name at a time
    lengths = ends[1] - starts[1]
    assert len(lengths) > 500 and 4.0 < lengths.mean() < 6.0
    assert 0.15 < (lengths == 1).mean() < 0.25 and lengths.max() >= 15  # geometric, mean 5


def test_daily_shares_and_more_on_volatile_dates(states):
    _, f, raw, listed = states
    move = _market_move(raw, listed) / 0.012  # in market stds
    n = listed.sum(axis=1)
    suspended = f[vim.SUSPENDED_FIELD].sum(axis=1) / n
    up, down = f[vim.LIMIT_UP_FIELD].sum(axis=1) / n, f[vim.LIMIT_DOWN_FIELD].sum(axis=1) / n
    calm, wild = np.abs(move) < 1, np.abs(move) >= 2
    assert calm.sum() > 200 and wild.sum() >= 5
    assert 0.005 < suspended[20:][calm[20:]].mean() < 0.02  # after the first episodes began
    assert np.mean((0.01 <= (up + down)[calm]) & ((up + down)[calm] <= 0.03)) > 0.9
    assert (up + down)[wild].mean() > 2.5 * (up + down)[calm].mean()
    assert suspended[wild].mean() > suspended[calm].mean()
    # Limits lean to the side the market moved.
    assert (up > down)[move > 1].mean() > 0.9 and (down > up)[move < -1].mean() > 0.9


@pytest.mark.parametrize("kw", [dict(n_dates=1, n_secu=1), dict(n_dates=1, n_secu=40), dict(n_dates=30, n_secu=1),
                                dict(n_dates=12, n_secu=60, nan_fraction=0.3), dict(n_dates=5, n_secu=30, n_factors=0)])
def test_states_in_tiny_markets_and_through_the_npy_store(kw, tmp_path):
    names = [*STATE_FIELDS, vim.CLOSE_FIELD, vim.RETURNS_FIELD]
    kw = {"n_factors": 2, "seed": 4, "bench_sizes": {"weight300": 1}, **kw}
    mem = vim.generate_market(None, **kw)
    want = {k: np.asarray(mem.load(k)) for k in names}
    vim.clear()
    disk = vim.generate_market(tmp_path, **kw)
    vim.set_store_dir(tmp_path)
    for item in vim.RunLoopOnce(names):
        assert item.array.shape == (kw["n_dates"], kw["n_secu"]) and isinstance(item.array, np.memmap)
        np.testing.assert_array_equal(item.array, want[item.name])
        np.testing.assert_array_equal(disk.load(item.name), want[item.name])
    close, r = want[vim.CLOSE_FIELD], want[vim.RETURNS_FIELD]
    np.testing.assert_array_equal(np.isnan(close), np.isnan(r))
    assert np.nanmin(close, initial=np.inf) > 0 and np.nanmax(np.abs(r), initial=0) <= vim.PRICE_LIMIT


# ---------------------------------------------------------------- the scores' signal

def test_old_signal_strength_reproduced_exactly():
    # Values the stand-in of version 0.1 (fixed signal 0.5) gave; no factor, so no
    # reduction whose rounding could vary between builds.
    m = vim.generate_market(None, n_dates=3, n_secu=6, n_factors=0, seed=3, bench_sizes={"weight300": 2})
    old = [["-0x1.2930cf9a7801fp-2", "0x1.1611ff7b8f021p-1", "0x1.05b08a805f5a8p+0"],
           ["0x1.25e96385055a0p-4", "-0x1.0bfd27c0de500p-3", "0x1.c9636b3fb493ap-1"],
           ["0x1.8b4c54bd0dd64p-3", "0x1.193f394117420p-5", "0x1.4e885b2955980p-8"]]
    got = vim.make_scores(m, [0, 2, 5], seed=4, signal=0.5)
    assert [[float.hex(float(x)) for x in row] for row in got] == old
    weaker = vim.make_scores(m, [0, 2, 5], seed=4)
    assert not np.array_equal(weaker, got) and vim.DEFAULT_SIGNAL < 0.5


@pytest.mark.parametrize("signal, error", [(-0.1, ValueError), (1.5, ValueError), (float("nan"), ValueError),
                                           ("0.3", TypeError), (True, TypeError), (None, TypeError)])
def test_signal_checked(market, signal, error):
    with pytest.raises(error, match="signal"):
        vim.make_scores(market, [0, 1, 2], signal=signal)


@pytest.mark.parametrize("univ_idx, error, words", [
    ([1.0, 2.0], IndexError, ["univ_idx", "integer", "float64"]),
    ([0, 1200, 1500], IndexError, ["univ_idx", "[0, 1200)", "1200, 1500"]),
    ([-1, 3], IndexError, ["univ_idx", "-1"]),
    ([[1, 2]], ValueError, ["univ_idx", "1-D"]),
    ([4, 4, 2], ValueError, ["univ_idx", "repeats", "4"]),
])
def test_make_scores_names_univ_idx(market, univ_idx, error, words):
    with pytest.raises(error) as exc:
        vim.make_scores(market, univ_idx)
    assert all(w in str(exc.value) for w in words), str(exc.value)


# ---------------------------------------------------------------- universes

@pytest.mark.parametrize("kwargs, error, words", [
    (dict(n_univ=400), ValueError, ["n_univ=400", "must hold every member", "weight300, weight500,",
                                    "{must} securities", "[{must}, 1200]", "cover=()"]),
    (dict(n_univ=700, cover=("weight300", "weight2000", "nope")), ValueError,
     ["benchmarks weight300, weight2000,", "{must} securities"]),
    (dict(n_univ=1201), ValueError, ["[{must}, 1200]", "1200 securities", "got 1201"]),
    (dict(n_univ=-1, cover=()), ValueError, ["[0, 1200]"]),
    (dict(n_univ=400.0), TypeError, ["n_univ", "int"]),
    (dict(n_univ=400, cover="weight300"), TypeError, ["cover", "('weight300',)"]),
])
def test_default_universe_says_what_to_do(market, kwargs, error, words):
    cover = [n for n in kwargs.get("cover", ("weight300", "weight500")) if n in market.bench_fields]
    must = int(np.any([(market.load(n) > 0).any(axis=0) for n in cover], axis=0).sum()) if cover else 0
    with pytest.raises(error) as exc:
        vim.default_universe(market, **kwargs)
    assert all(w.format(must=must) in str(exc.value) for w in words), str(exc.value)


@pytest.mark.parametrize("cover, n_univ", [((), 400), (("weight300",), 400), (("weight300",), 350)])
def test_smaller_cover_allows_smaller_universe(market, cover, n_univ):
    univ = vim.default_universe(market, n_univ, cover=cover)
    assert len(univ) == n_univ
    for name in cover:
        assert market.load(name)[:, univ].sum(axis=1).min() > 99.999


# ---------------------------------------------------------------- sector names

def test_sector_names_default_and_offered_as_reports_look_them_up(market):
    lookup = getattr(vim, "sector_names", None)
    names = lookup()
    assert len(names) == 28 == len(set(names)) and all(isinstance(n, str) and n.strip() for n in names)
    assert {"Banks", "Real Estate", "Media", "Food & Beverage", "Electronics", "Pharmaceuticals"} <= set(names)
    assert int(np.nanmax(market.load(vim.SECTOR_FIELD))) < len(names)
    names[0] = "changed"  # a copy: the library's names stay
    assert lookup()[0] != "changed" and {"sector_names", "set_sector_names"} <= set(vim.__all__)


def test_set_sector_names_replaces_and_none_restores():
    default = vim.sector_names()
    mine = [f"Industry {k:02d}" for k in range(28)]
    vim.set_sector_names(tuple(mine))
    mine[0] = "changed later"
    assert vim.sector_names()[0] == "Industry 00" and vim.sector_names()[27] == "Industry 27"
    vim.set_sector_names(None)
    assert vim.sector_names() == default


@pytest.mark.parametrize("names, error, words", [
    ([f"s{k}" for k in range(27)], ValueError, ["28", "got 27"]),
    ([f"s{k}" for k in range(29)], ValueError, ["28", "got 29"]),
    ([f"s{k}" for k in range(27)] + ["s3"], ValueError, ["distinct", "'s3' at codes [3, 27]"]),
    ([f"s{k}" for k in range(27)] + ["  "], ValueError, ["blank", "[27]"]),
    ([f"s{k}" for k in range(27)] + [7], TypeError, ["str", "27: int"]),
    ("Banks", TypeError, ["list of 28 str"]),
    (28, TypeError, ["list of 28 str"]),
])
def test_set_sector_names_checked(names, error, words):
    default = vim.sector_names()
    with pytest.raises(error) as exc:
        vim.set_sector_names(names)
    assert "names" in str(exc.value) and all(w in str(exc.value) for w in words), str(exc.value)
    assert vim.sector_names() == default

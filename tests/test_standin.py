import os
from pathlib import Path

import numpy as np
import pytest

import VelaIntradayModel as vim

SECTOR = np.array([[0.0, 3.0, np.nan, 27.0], [3.0, 3.0, 0.0, np.nan]])


@pytest.fixture(autouse=True)
def fresh_store(clean_store):
    yield


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
    s = vim.make_scores(m, univ, seed=9)
    nxt = r[1:, univ]
    ok = np.isfinite(nxt)
    ranks = [np.corrcoef(np.argsort(np.argsort(a[k])), np.argsort(np.argsort(b[k])))[0, 1]
             for a, b, k in zip(s[:-1], nxt, ok)]
    assert 0.005 < np.mean(ranks) < 0.06  # a modest, real edge

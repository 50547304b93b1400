"""Whole runs of OptimizerTopM.gen_position: settings, library requests, date loop."""

import warnings
from types import SimpleNamespace

import numpy as np
import pytest

import Kestrel
from Kestrel.tables import ALGORITHMS as ALGOS
from Kestrel.tables import SECTOR_COUNT, required_settings, sector_formula

from helpers import OUT_OF_RANGE_TAKEN

SECTORS = [sector_formula(c) for c in range(SECTOR_COUNT)]
T, N = 6, 200  # fake library: 240 columns, universe = a shuffled 200 of them holding the benchmark


def universe(seed=0):
    rng = np.random.default_rng(seed)
    return rng.permutation(np.r_[np.arange(100), rng.choice(np.arange(100, 240), N - 100, replace=False)])


def scores(t=T, seed=1):
    return np.random.default_rng(seed).standard_normal((t, N))


def run(algo, cfg, pv, univ, bench="000300", secu_pct=1.0):
    opt = Kestrel.OptimizerTopM(algo, bench, secu_pct, cfg)
    return opt, opt.gen_position(pv, univ)


def std2(row):
    """A date's standardised scores as the driver forms them (whole-matrix, then the row)."""
    opt = Kestrel.OptimizerTopM("TopM", "000300", 1.0, {})
    clean = np.nan_to_num(np.asarray(row, float)[None], nan=0.0, posinf=0.0, neginf=0.0)
    return opt.GenNorm_Step1(opt.GenNorm(clean)[0])


@pytest.mark.parametrize("algo", ALGOS)
@pytest.mark.parametrize("secu_pct", [1.0, 0.9])
def test_run_on_standin_market(standin, run_cfg, algo, secu_pct):
    cfg = run_cfg(algo, {"size": 0.3, "beta": 0.3}, each_sector_expo=0.1)
    opt, w = run(algo, cfg, standin.scores, standin.univ, secu_pct=secu_pct)
    assert w.shape == standin.scores.shape and w.dtype == np.float64
    assert np.isfinite(w).all() and w.min() > -1e-12
    np.testing.assert_allclose(w.sum(axis=1), secu_pct, atol=1e-6)
    assert np.array_equal(opt.benchweight_data, standin.market.load("weight300"))
    assert len(opt.barra_data) == 30
    assert np.array_equal(opt.barra_data[1].array, standin.market.load("beta"), equal_nan=True)


@pytest.mark.parametrize("limits,sector,symbol,names,field", [
    ({"f0": 0.1, "f1": 0.2}, 0.2, "000300", ["f0", "f1", *SECTORS], "weight300"),
    ({"f0": 0.1}, 0.21, "000905", ["f0"], "weight500"),
    ({}, 0.2, "932000", SECTORS, "weightzz2000"),
    ({}, 0.5, "123456", [], "123456"),
    ({SECTORS[5]: 0.9, "f0": 0.1}, 0.15, "000300",
     [SECTORS[5], "f0", *SECTORS[:5], *SECTORS[6:]], "weight300"),
])
def test_requests_and_sector_limits(fake_vela, run_cfg, capfd, limits, sector, symbol, names, field):
    lib = fake_vela()
    lib.data[field] = lib.data["weight300"]
    cfg = run_cfg("TopM", limits, each_sector_expo=sector, print_result=True)
    expo_map = cfg["risk_factor_expo"]
    opt, w = run("TopM", cfg, scores(), universe(), bench=symbol)
    assert lib.calls == ([names] if names else []) + [[field]]
    assert cfg["risk_factor_expo"] is expo_map and list(expo_map) == names
    assert all(expo_map[s] == sector for s in names if s.startswith("if("))
    assert opt.benchweight_data is lib.data[field]
    if names:
        assert [r.array.shape for r in opt.barra_data] == [lib.data["f0"].shape] * len(names)
    else:
        assert opt.barra_data is None and capfd.readouterr().out == ""
    assert w.shape == (T, N)


def test_second_run_finds_sectors_present(fake_vela, run_cfg, capsys, report_lines):
    lib = fake_vela()
    cfg = run_cfg("TopEqual", {"f0": 0.05}, each_sector_expo=0.2, print_result=True)
    opt = Kestrel.OptimizerTopM("TopEqual", "000300", 1.0, cfg)
    first = opt.gen_position(scores(), universe())
    shown = [len(r.first_expo) for r in report_lines(capsys.readouterr().out)]
    second = opt.gen_position(scores(), universe())
    shown_again = [len(r.first_expo) for r in report_lines(capsys.readouterr().out)]
    assert lib.calls[0] == lib.calls[2] == ["f0", *SECTORS] and len(cfg["risk_factor_expo"]) == 29
    assert shown == [1] * T and shown_again == [29] * T  # the second run counts the sectors as configured
    assert np.array_equal(first, second)


@pytest.mark.parametrize("algo,key", [(a, k) for a in ALGOS for k in required_settings(a)])
def test_missing_setting_fails_before_any_request(fake_vela, run_cfg, algo, key):
    lib = fake_vela()
    cfg = run_cfg(algo, {"f0": 0.1})
    del cfg[key]
    opt = Kestrel.OptimizerTopM(algo, "000300", 1.0, cfg)
    with pytest.raises(KeyError) as ei:
        opt.gen_position(scores(), universe())
    assert ei.value.args == (key,) and lib.calls == []
    assert not hasattr(opt, "barra_data") and len(cfg.get("risk_factor_expo", "-")) == 1


@OUT_OF_RANGE_TAKEN  # a negative limit keeps every date looping
@pytest.mark.parametrize("algo", ["TopM", "TopEqual2"])
def test_optional_settings_defaults(fake_vela, run_cfg, capsys, report_lines, algo):
    fake_vela()
    explicit = run_cfg(algo, {"f0": -1.0}, print_result=True, learning_rate=0.1, max_loop_num=100, max_weight=-1)
    implicit = run_cfg(algo, {"f0": -1.0})
    for k in ("print_result", "learning_rate", "max_loop_num", "max_weight"):
        implicit.pop(k, None)
    _, a = run(algo, explicit, scores(3), universe())
    out_a = capsys.readouterr().out
    _, b = run(algo, implicit, scores(3), universe())
    out_b = capsys.readouterr().out
    assert np.array_equal(a, b) and out_a == out_b
    assert [r.loop_count for r in report_lines(out_b)] == [100] * 3


@pytest.mark.parametrize("value,printed", [
    (True, True), (1, True), ("no", True), ([0], True), (0.5, True),
    (False, False), (0, False), ("", False), (None, False), ([], False), (0.0, False)])
def test_print_result_truthiness(fake_vela, run_cfg, capsys, value, printed):
    fake_vela()
    _, quiet = run("TopM2", run_cfg("TopM2", {"f0": 0.01}), scores(), universe())
    capsys.readouterr()
    _, w = run("TopM2", run_cfg("TopM2", {"f0": 0.01}, print_result=value), scores(), universe())
    assert len(capsys.readouterr().out.splitlines()) == (T if printed else 0)
    assert np.array_equal(w, quiet)


@pytest.mark.parametrize("limits,sector,calls", [
    ({"f0": 0.1}, 0.2, 2), ({}, 0.5, 1)])
def test_no_dates(fake_vela, run_cfg, capfd, limits, sector, calls):
    lib = fake_vela()
    _, w = run("TopKR", run_cfg("TopKR", limits, each_sector_expo=sector, print_result=True),
               np.empty((0, N)), universe())
    assert w.shape == (0, N) and len(lib.calls) == calls
    assert capfd.readouterr().out == ""


def bench_rows(univ):
    """Benchmark rows by universe sum: 79.99, 80 exactly, +inf and -inf cancelling, all NaN, 30 outside."""
    b = np.zeros((6, 240))
    b[:, univ[:80]] = 1.0                      # row 1: exactly 80
    b[0, univ[79]] = 0.99                      # row 0: 79.99
    b[2, univ[:2]] = [np.inf, -np.inf]         # row 2: 0
    b[3] = np.nan                              # row 3: nothing left
    b[4, univ[:80]] = 70 / 80                  # row 4: 70 in the universe ...
    b[4, np.setdiff1d(np.arange(240), univ)[:30]] = 1.0  # ... 30 outside
    b[5, univ[:100]] = 1.0                     # row 5: processed
    return b


@pytest.mark.parametrize("algo", ALGOS)
def test_benchmark_threshold(fake_vela, run_cfg, algo):
    univ = universe()
    lib = fake_vela()
    lib.data["weight300"] = bench_rows(univ)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # skipped dates are not reported
        _, w = run(algo, run_cfg(algo, {"f0": 0.2}, each_single_weight=0.03), scores(), univ)
    assert not w[[0, 2, 3, 4]].any()
    np.testing.assert_allclose(w[[1, 5]].sum(axis=1), 1.0, atol=1e-6)


@pytest.mark.parametrize("algo", ALGOS)
@pytest.mark.parametrize("cause,warned", [
    ("low_bench", False), ("constant_scores", True), ("nan_scores", True), ("both", False)])
def test_first_date_and_date_after_a_skip(fake_vela, run_cfg, algo, cause, warned):
    lib = fake_vela()
    pv = scores(3)
    if cause in ("low_bench", "both"):
        lib.data["weight300"][1] *= 0.5
    if cause in ("constant_scores", "both"):
        pv[1] = 2.5
    if cause == "nan_scores":
        pv[1] = np.nan
    cfg = run_cfg(algo, each_single_weight=0.03)
    with warnings.catch_warnings(record=True) as rec:
        warnings.simplefilter("always")
        opt, w = run(algo, cfg, pv, universe())
    msgs = [str(r.message) for r in rec if r.category is RuntimeWarning]
    assert msgs == (["Kestrel: 1 date(s) left empty because they had no usable scores (all missing or all equal) "
                     "or their weights were not finite: rows [1]"] if warned else [])
    bench = lib.data["weight300"][:, universe()]
    c0, c2, d = std2(pv[0]), std2(pv[2]), cfg["decay"]
    args = [cfg.get(k) for k in ("weight_multi", "num_long", "risk_cost", "each_single_weight")]

    def first_pass(cur, ema, bi):
        return opt.CalcCurrentPosition(cur, ema, *args, bench[bi] / bench[bi].sum(), cfg["bench_coeff"],
                                       np.zeros(N), cfg["pre_coeff"], -1)
    # Date 0 holds nothing before; date 2 follows a zero row and smooths against date 0.
    np.testing.assert_allclose(w[0], first_pass(c0, c0, 0), rtol=0, atol=1e-14)
    assert not w[1].any()
    np.testing.assert_allclose(w[2], first_pass(c2, c2 * d + c0 * (1 - d), 2), rtol=0, atol=1e-14)


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_scores_count_as_zero(fake_vela, run_cfg, bad):
    fake_vela()
    pv = scores()
    pv[np.arange(T), np.arange(T) * 7] = 0.0
    dirty = pv.copy()
    dirty[np.arange(T), np.arange(T) * 7] = bad
    _, a = run("TopM", run_cfg("TopM", {"f0": 0.02}), pv, universe())
    _, b = run("TopM", run_cfg("TopM", {"f0": 0.02}), dirty, universe())
    assert np.array_equal(a, b)


def test_dates_left_empty_are_listed_once(fake_vela, run_cfg, capsys, report_lines):
    univ = universe()
    lib = fake_vela(T=8)
    lib.data["weight300"][2, univ[:2]] = np.inf  # universe sum overflows: benchmark weights all 0, TopKR gives NaN
    lib.data["weight300"][6] *= 0.7
    pv = scores(8)
    pv[4] = 1.0
    with pytest.warns(RuntimeWarning) as rec:
        _, w = run("TopKR", run_cfg("TopKR", {"f0": 0.05}, print_result=True), pv, univ)
    assert [str(r.message) for r in rec] == [
        "Kestrel: 2 date(s) left empty because they had no usable scores (all missing or all equal) "
        "or their weights were not finite: rows [2, 4]"]
    assert not w[[2, 4, 6]].any() and np.isfinite(w).all()
    lines = report_lines(capsys.readouterr().out)
    assert [r.row for r in lines] == [0, 1, 2, 3, 5, 7]
    assert np.isnan(lines[2].total)


@pytest.mark.parametrize("change,exc,match", [
    ("univ_past_end", IndexError, "out of bounds"),
    ("univ_before_start", IndexError, "out of bounds"),
    ("univ_float", IndexError, "integer"),
    ("univ_short", ValueError, "univ_idx"),
    ("bench_rows", IndexError, "weight300"),
    ("factor_rows", IndexError, "f1"),
    ("factor_1d", ValueError, "f1"),
    ("factor_text", TypeError, "f1"),
    ("factor_none", TypeError, "f1"),
    ("no_array", TypeError, "f1"),
    ("too_few_items", ValueError, "f1"),
    ("not_a_sequence", TypeError, "RunLoopOnce"),
])
def test_univ_idx_and_library_results_checked(fake_vela, run_cfg, change, exc, match):
    lib = fake_vela()
    univ = universe()
    serve = lib.RunLoopOnce
    d = lib.data
    if change == "univ_past_end":
        univ[5] = 240
    elif change == "univ_before_start":
        univ[5] = -241
    elif change == "univ_float":
        univ = univ.astype(float)
    elif change == "univ_short":
        univ = univ[:-1]
    elif change == "bench_rows":
        d["weight300"] = d["weight300"][:T - 1]
    elif change == "factor_rows":
        d["f1"] = d["f1"][:T - 1]
    elif change == "factor_1d":
        d["f1"] = d["f1"][0]
    elif change == "factor_text":
        d["f1"] = np.full((T, 240), "x")
    elif change == "factor_none":
        d["f1"] = None
    elif change == "no_array":
        lib.RunLoopOnce = lambda names: [SimpleNamespace(values=0) if n == "f1" else r
                                         for n, r in zip(names, serve(names))]
    elif change == "too_few_items":
        lib.RunLoopOnce = lambda names: serve(names)[:1]
    else:
        lib.RunLoopOnce = lambda names: iter(serve(names))
    with pytest.raises(exc, match=match):
        run("TopM", run_cfg("TopM", {"f0": 0.1, "f1": 0.1}), scores(), univ)


@pytest.mark.parametrize("kind", ["negative", "int32", "uint32", "list"])
def test_univ_idx_forms_agree(fake_vela, run_cfg, kind):
    fake_vela()
    univ = universe()
    other = {"negative": univ - 240, "int32": univ.astype(np.int32), "uint32": univ.astype(np.uint32),
             "list": univ.tolist()}[kind]
    _, a = run("TopEqual", run_cfg("TopEqual", {"f0": 0.02}), scores(), univ)
    _, b = run("TopEqual", run_cfg("TopEqual", {"f0": 0.02}), scores(), other)
    assert np.array_equal(a, b)


@pytest.mark.parametrize("kind", ["univ_uint64", "wider_factor", "narrower_factor", "negative_wider_factor"])
def test_univ_idx_uint64_and_other_factor_widths(fake_vela, run_cfg, kind):
    lib = fake_vela()
    univ = np.arange(N) if kind == "narrower_factor" else universe()
    _, a = run("TopEqual", run_cfg("TopEqual", {"f0": 0.02}), scores(), univ)
    if kind == "univ_uint64":
        univ = univ.astype(np.uint64)
    elif kind == "negative_wider_factor":  # counts from the end of each matrix, as numpy indexing does
        width = lib.data["f0"].shape[1]
        lib.data["f0"] = np.hstack([np.ones((len(lib.data["f0"]), 10)), lib.data["f0"]])
        univ = univ - width
    elif kind == "wider_factor":
        lib.data["f0"] = np.hstack([lib.data["f0"], np.ones((len(lib.data["f0"]), 10))])
    else:
        lib.data["f0"] = lib.data["f0"][:, :N]  # still covers every universe column
    _, b = run("TopEqual", run_cfg("TopEqual", {"f0": 0.02}), scores(), univ)
    assert np.array_equal(a, b)

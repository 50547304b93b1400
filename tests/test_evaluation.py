"""Evaluation of weights: hand-computed returns, costs and benchmark, attribution, NaN and shape handling."""

import warnings

import numpy as np
import pytest

import Kestrel
from Kestrel.evaluation import (
    SUMMARY_KEYS,
    EmptyRowsWarning,
    EvaluationWarning,
    MissingReturnsWarning,
    ShortHistoryWarning,
    evaluate,
)
from Kestrel.tables import sector_formula

vim = pytest.importorskip("VelaIntradayModel")

# Three library columns, the universe holds columns 0 and 2: column 1 is a
# benchmark member outside the universe. Rows are dates.
BENCH = np.tile([50.0, 30.0, 20.0], (4, 1))                 # percent, as the library keeps it
RET = np.array([[0.00, 0.00, 0.00],
                [0.01, 0.02, -0.01],
                [0.02, -0.01, 0.03],
                [-0.01, 0.00, 0.01]])
W = np.array([[0.5, 0.5], [1.0, 0.0], [0.0, 1.0], [0.5, 0.5]])
UNIV = np.array([0, 2])


@pytest.fixture
def tiny(clean_store):
    vim.register("bench", BENCH)
    vim.register("ret", RET)
    vim.register("f1", np.array([[1.0, -1.0, 0.5]] * 4))
    vim.register("ZXZQSector", np.array([[0.0, 1.0, 1.0]] * 4))


def ev_tiny(**kw):
    kw.setdefault("attribution", False)
    return evaluate(W, "bench", "ret", univ_idx=UNIV, **kw)


@pytest.mark.parametrize("lag, rows, gross, bench", [
    # lag 1: row t's weights earn row t + 1's return; row 3 has no next return yet.
    (1, [0, 1, 2], [0.0, 0.02, 0.01], [0.009, 0.013, -0.003]),
    (0, [0, 1, 2, 3], [0.0, 0.01, 0.03, 0.0], [0.0, 0.009, 0.013, -0.003]),
    (2, [0, 1], [0.025, -0.01], [0.013, -0.003]),
])
def test_lag_returns_and_benchmark_over_all_members(tiny, lag, rows, gross, bench):
    ev = ev_tiny(lag=lag)
    assert ev.rows.tolist() == rows and ev.return_rows.tolist() == [r + lag for r in rows]
    np.testing.assert_allclose(ev.gross, gross, atol=1e-15)
    np.testing.assert_allclose(ev.benchmark, bench, atol=1e-15)
    np.testing.assert_allclose(ev.active, np.subtract(gross, bench), atol=1e-15)


@pytest.mark.parametrize("buy, sell, initial, turnover, cost", [
    # The first date buys the whole portfolio from cash.
    (10, 30, None, [0.5, 0.5, 1.0], [0.001, 0.002, 0.004]),
    (0, 30, None, [0.5, 0.5, 1.0], [0.0, 0.0015, 0.003]),
    # Already holding the first row: nothing traded on the first date.
    (10, 30, [0.5, 0.5], [0.0, 0.5, 1.0], [0.0, 0.002, 0.004]),
    (10, 0, [1.0, 0.0], [0.5, 0.5, 1.0], [0.0005, 0.0005, 0.001]),
])
def test_costs_of_buys_and_sells(tiny, buy, sell, initial, turnover, cost):
    ev = ev_tiny(buy_bps=buy, sell_bps=sell, initial=initial)
    np.testing.assert_allclose(ev.turnover, turnover, atol=1e-15)
    np.testing.assert_allclose(ev.cost, cost, atol=1e-15)
    np.testing.assert_allclose(ev.net, ev.gross - np.array(cost), atol=1e-15)
    np.testing.assert_allclose(ev.active_net, ev.net - ev.benchmark, atol=1e-15)


def test_universe_columns_see_only_the_universe(tiny):
    # The member outside the universe is not seen; the rest is rescaled to 1.
    ev = evaluate(W, "bench", RET[:, UNIV], univ_idx=UNIV, columns="universe", attribution=False)
    np.testing.assert_allclose(ev.benchmark, [(0.5 * 0.01 - 0.2 * 0.01) / 0.7, (0.5 * 0.02 + 0.2 * 0.03) / 0.7,
                                              (-0.5 * 0.01 + 0.2 * 0.01) / 0.7])
    np.testing.assert_allclose(ev.gross, ev_tiny().gross)


def test_summary_by_hand(tiny):
    ev = ev_tiny(buy_bps=10, sell_bps=30)
    a = np.array([0.0, 0.02, 0.01]) - [0.009, 0.013, -0.003] - [0.001, 0.002, 0.004]
    s = ev.summary
    assert s["dates"] == 3 and s["mean_holdings"] == pytest.approx(4 / 3)
    assert s["active_return_net"] == pytest.approx(a.mean() * 252)
    assert s["tracking_error"] == pytest.approx(a.std(ddof=1) * np.sqrt(252))
    assert s["information_ratio"] == pytest.approx(a.mean() / a.std(ddof=1) * np.sqrt(252))
    # Cumulative active: -0.01, -0.005, 0.008: 0.01 below the start at worst.
    assert s["max_drawdown"] == pytest.approx(0.01) and s["hit_rate"] == pytest.approx(2 / 3)
    text = repr(ev)
    assert text.startswith("Evaluation: 3 dates") and len(text.splitlines()) <= 12
    frames = ev.to_pandas()
    assert list(frames.daily["return_row"]) == [1, 2, 3] and frames.attribution is None


def test_nan_returns_on_held_securities_count_as_zero_and_warn_once(tiny):
    ret = RET.copy()
    ret[1, 0] = np.nan   # held on row 0 (0.5)
    ret[2, 2] = np.nan   # not held on row 1
    ret[3, 2] = np.nan   # held on row 2 (1.0)
    ret[2, 1] = np.nan   # a benchmark member outside the universe: counts as 0 there too
    with pytest.warns(MissingReturnsWarning) as rec:
        ev = evaluate(W, "bench", ret, univ_idx=UNIV, attribution=False)
    assert len(rec) == 1
    msg = str(rec[0].message)
    assert "2 date(s)" in msg and "rows 0, 2" in msg and "up to 1 of the weight" in msg
    np.testing.assert_allclose(ev.missing_weight, [0.5, 0.0, 1.0])
    np.testing.assert_allclose(ev.gross, [-0.005, 0.02, 0.0])
    np.testing.assert_allclose(ev.benchmark, [0.3 * 0.02 - 0.2 * 0.01, 0.5 * 0.02, -0.005])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        ret[1, 0] = ret[3, 2] = 0.0
        evaluate(W, "bench", ret, univ_idx=UNIV, attribution=False)  # NaN only where not held: quiet


@pytest.mark.parametrize("kw, match", [
    ({"returns": RET[:, :2]}, "returns have 2 columns; columns='library' needs 3"),
    ({"returns": RET, "columns": "universe"}, "returns have 3 columns; columns='universe' needs 2"),
    ({"returns": RET[:2]}, "returns have 2 rows but the weights' rows reach row 3"),
    ({"returns": RET[0]}, r"returns must be 2-D .* shape \(3,\)"),
    ({"rows": [0, 1, 2]}, "weights have 4 rows but there are 3 row numbers"),
    ({"rows": [0, 2, 1, 3]}, "increasing"),
    ({"rows": [1, 2, 3, 4]}, "the weights' rows reach row 4 but the library's benchmark field has 4 rows"),
    ({"univ_idx": [0, 1, 2]}, "weights have 2 columns but univ_idx has 3"),
    ({"univ_idx": [0, 3]}, r"library columns in \[0, 3\)"),
    ({"univ_idx": None}, "needs univ_idx"),
    # A repeated column would get one of its active weights and lose the other's.
    ({"univ_idx": [2, 2]}, r"univ_idx repeats library column\(s\) 2 \(column 2 at weight columns 0, 1\)"),
    ({"initial": [1.0]}, "initial must hold the 2 weights"),
    ({"initial": [np.nan, 1.0]}, "initial must hold finite weights; it has 1 that are NaN or infinite"),
    ({"source": W * np.nan}, "weights are not all finite"),
    ({"lag": -1}, "lag must be an integer >= 0"),
    ({"columns": "all"}, "columns must be"),
    ({"weighting": "cap"}, "weighting must be"),
    ({"bench": None}, "bench_symbol is needed"),
])
def test_wrong_shapes_and_rows_name_the_sizes(tiny, kw, match):
    args = {"source": W, "returns": "ret", "univ_idx": UNIV, **kw}
    with pytest.raises(ValueError, match=match):
        evaluate(args.pop("source"), args.pop("bench", "bench"), args.pop("returns"), **args)


def test_attribution_by_hand_with_one_factor_and_two_sectors(tiny):
    # Sector 0 holds column 0 alone and fits it exactly; sector 1 holds columns
    # 1 and 2, whose f1 exposures (-1 and 0.5) tell the factor return apart.
    names = ["f1", sector_formula(0), sector_formula(1)]
    ev = evaluate(W, "bench", "ret", univ_idx=UNIV, risk_names=names, weighting="equal")
    a = ev.attribution
    assert a.styles == ("f1",) and a.groups == (*names[1:], "other")
    # Date 1 (row 1's weights, row 2's returns): f1 = (-0.01 - 0.03) / (-1 - 0.5).
    f = 0.04 / 1.5
    np.testing.assert_allclose(a.style_returns[1], [f])
    np.testing.assert_allclose(a.group_returns[1, :2], [0.02 - f, 0.03 - 0.5 * f])
    # Active weights on row 1: +0.5, -0.3, -0.2; exposures to f1 and to the sectors.
    np.testing.assert_allclose(a.style_exposure[1], [0.5 * 1 + 0.3 * 1 - 0.2 * 0.5])
    np.testing.assert_allclose(a.group_exposure[1], [0.5, -0.5, 0.0])
    # Every return is fitted exactly here: nothing left for selection.
    np.testing.assert_allclose(a.selection, 0.0, atol=1e-15)
    np.testing.assert_allclose(a.factors + a.sectors + a.selection, ev.active, atol=1e-15)


def _lstsq_factor_returns(X, groups, r, w):
    """One date's regression with explicit dummy columns, for comparison."""
    D = np.zeros((len(r), groups.max() + 1))
    D[np.arange(len(r)), groups] = 1.0
    Z = np.hstack([X, D]) * np.sqrt(w)[:, None]
    coef = np.linalg.lstsq(Z, r * np.sqrt(w), rcond=None)[0]
    return coef[:X.shape[1]]


@pytest.mark.parametrize("weighting", ["sqrt_bench", "equal"])
def test_attribution_of_a_run_adds_up_and_matches_a_plain_regression(standin, weighting):
    m = standin.market
    cfg = {"weight_multi": 1.5, "risk_cost": 0.3, "decay": 0.3, "bench_coeff": 0.8, "pre_coeff": 0.9,
           "each_sector_expo": 0.03, "risk_factor_expo": {n: 0.35 for n in m.factors}, "print_result": False}
    run = Kestrel.run("TopM", "000300", 1.0, cfg, standin.scores, standin.univ, progress=False)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", MissingReturnsWarning)
        ev = evaluate(run, "000300", weighting=weighting)
    a = ev.attribution
    assert a.styles == tuple(m.factors) and len(a.groups) == 29 and len(ev.rows) == m.n_dates - 1
    np.testing.assert_allclose(a.factors + a.sectors + a.selection, ev.active, rtol=0, atol=1e-15)

    # Selection is the active weights times the regression's residuals.
    bench = m.load("weight300")
    ret = m.load(m.returns_field)
    sector = m.load("ZXZQSector")
    for i in (0, len(ev.rows) // 2, len(ev.rows) - 1):
        t = ev.rows[i]
        r = ret[t + 1]
        X = np.stack([m.load(n)[t] for n in m.factors], axis=1)
        ok = np.isfinite(r) & np.isfinite(X).all(axis=1)
        b = bench[t] / bench[t].sum()
        w = np.where(ok, np.sqrt(b) if weighting == "sqrt_bench" else 1.0, 0.0)
        g = np.where(np.isnan(sector[t]), 28, np.nan_to_num(sector[t])).astype(int)
        f = _lstsq_factor_returns(np.nan_to_num(X), g, np.nan_to_num(r), w)
        np.testing.assert_allclose(a.style_returns[i], f, rtol=1e-6, atol=1e-9)
        active = -b
        active[standin.univ] += run.weights[i]
        resid = np.nan_to_num(r) - np.nan_to_num(X) @ a.style_returns[i] - a.group_returns[i][g]
        assert a.selection[i] == pytest.approx(active @ resid, abs=1e-12)


def test_a_continued_run_lines_up_with_its_own_rows(standin, run_cfg):
    cfg = run_cfg("TopM", {n: 0.35 for n in standin.market.factors}, each_sector_expo=1.0)
    scores = standin.scores
    whole = Kestrel.run("TopM", "000300", 1.0, cfg, scores, standin.univ, progress=False)
    k = 17
    head = Kestrel.run("TopM", "000300", 1.0, cfg, scores[:k], standin.univ, progress=False)
    tail = Kestrel.run("TopM", "000300", 1.0, cfg, scores, standin.univ, start=head.state, progress=False)
    assert tail.rows[0] == k
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", MissingReturnsWarning)
        full = evaluate(whole, "000300", buy_bps=5, sell_bps=15)
        # The benchmark recorded by the run's state stands in for the code.
        part = evaluate(tail, buy_bps=5, sell_bps=15, initial=head.weights[-1])
    assert part.rows.tolist() == list(range(k, scores.shape[0] - 1))
    assert part.dates.tolist() == list(standin.market.dates[k + 1:])
    for name in ("gross", "benchmark", "turnover", "cost", "net"):
        np.testing.assert_allclose(getattr(part, name), getattr(full, name)[k:], rtol=0, atol=1e-15)
    np.testing.assert_allclose(part.attribution.selection, full.attribution.selection[k:], atol=1e-15)


def test_a_factor_missing_on_a_date_gets_no_return(tiny):
    f1 = np.array([[1.0, -1.0, 0.5]] * 4)
    f1[1] = np.nan
    vim.register("f1", f1)
    ev = evaluate(W, "bench", "ret", univ_idx=UNIV, risk_names=["f1"], weighting="equal")
    a = ev.attribution
    assert a.groups == ("market",) and a.style_returns[1, 0] == 0.0 and a.style_exposure[1, 0] == 0.0
    np.testing.assert_allclose(a.factors + a.sectors + a.selection, ev.active, atol=1e-15)


def test_sweep_evaluates_every_run_on_the_workers(tmp_path, clean_store):
    distributed = pytest.importorskip("dask.distributed")
    from Kestrel.sweep import EVALUATION_METRICS, grid, run_sweep, write_sweep_data

    m = vim.generate_market(tmp_path / "store", n_dates=25, n_secu=600, n_factors=3, seed=2,
                            bench_sizes={"weight300": 300})
    univ = vim.default_universe(m, 450, cover=("weight300",))
    scores = vim.make_scores(m, univ, seed=2)
    data = write_sweep_data(tmp_path / "inputs", scores, univ, store_dir=m.path)
    np.save(tmp_path / "ret.npy", m.load(m.returns_field))
    cfg = {"type": "TopM", "weight_multi": 1.5, "risk_cost": 0.3, "decay": 0.3, "bench_coeff": 0.8,
           "pre_coeff": 0.9, "each_sector_expo": 0.03, "risk_factor_expo": {n: 0.35 for n in m.factors}}
    points = grid(decay=[0.1, 0.6])
    costs = {"buy_bps": 5.0, "sell_bps": 15.0}
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=False,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        by_name = run_sweep(client, data, "000300", 1.0, cfg, points, evaluate=costs)
        # Returns from a file the workers map, given as a path.
        by_path = run_sweep(client, data, "000300", 1.0, cfg, points[:1],
                            evaluate={"returns": tmp_path / "ret.npy", **costs})
    assert list(by_name.columns[-len(EVALUATION_METRICS):]) == list(EVALUATION_METRICS)
    assert by_name["error"].isna().all() and by_name["information_ratio"].notna().all()
    for p, (_, row) in zip(points, by_name.iterrows()):
        run = Kestrel.run("TopM", "000300", 1.0, {**cfg, **p, "print_result": False}, scores, univ, progress=False)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", MissingReturnsWarning)
            want = evaluate(run, "000300", **costs).summary
        assert [row[k] for k in EVALUATION_METRICS] == pytest.approx([want[k] for k in EVALUATION_METRICS])
    assert by_path.loc[0, "information_ratio"] == pytest.approx(by_name.loc[0, "information_ratio"])


def test_evaluation_benchmark_runs_on_a_small_market(tmp_path, clean_store):
    bench = pytest.importorskip("bench_evaluation")
    res = bench.measure(dates=30, secu=700, univ=560, factors=3, repeat=1, workdir=tmp_path)
    assert res["risk_names"] == 31 and res["attribution_max_gap"] < 1e-12
    assert res["heap_peak_in_matrices"] > 0


@pytest.mark.parametrize("weighting", ["sqrt_bench", "equal"])
def test_universe_columns_with_attribution(standin, run_cfg, weighting):
    m = standin.market
    run = Kestrel.run("TopM", "000300", 1.0, run_cfg("TopM", {n: 0.35 for n in m.factors}, each_sector_expo=0.03),
                      standin.scores, standin.univ, progress=False)
    ret = np.nan_to_num(m.load(m.returns_field))
    lib = evaluate(run, "000300", ret, weighting=weighting)
    uni = evaluate(run, "000300", ret[:, standin.univ], columns="universe", weighting=weighting)
    np.testing.assert_allclose(uni.gross, lib.gross, rtol=0, atol=1e-15)
    # The benchmark's members all sit in the universe here: the same benchmark.
    np.testing.assert_allclose(uni.benchmark, lib.benchmark, rtol=1e-12, atol=1e-15)
    a = uni.attribution
    np.testing.assert_allclose(a.factors + a.sectors + a.selection, uni.active, atol=1e-15)


def test_a_library_serving_only_the_sector_formulas_gives_the_same_attribution(tiny, monkeypatch):
    import sys
    import types

    names = ["f1", sector_formula(0), sector_formula(1)]
    lib = types.ModuleType("formulas_only")

    def RunLoopOnce(req):
        if "ZXZQSector" in req:
            raise KeyError("ZXZQSector")
        return vim.RunLoopOnce(req)
    lib.RunLoopOnce = RunLoopOnce
    monkeypatch.setitem(sys.modules, "formulas_only", lib)
    direct = evaluate(W, "bench", "ret", univ_idx=UNIV, risk_names=names, weighting="equal").attribution
    via = evaluate(W, "bench", "ret", univ_idx=UNIV, risk_names=names, weighting="equal",
                   library="formulas_only").attribution
    np.testing.assert_array_equal(via.group_returns, direct.group_returns)
    np.testing.assert_array_equal(via.selection, direct.selection)


def test_sweep_example_ranks_settings_and_draws_them(tmp_path, capsys, clean_store):
    pytest.importorskip("dask.distributed")
    pytest.importorskip("matplotlib")
    import importlib.util
    from pathlib import Path

    path = Path(__file__).resolve().parents[1] / "examples" / "sweep_evaluate.py"
    found = importlib.util.spec_from_file_location("sweep_evaluate", path)
    example = importlib.util.module_from_spec(found)
    found.loader.exec_module(example)
    png = tmp_path / "ir.png"
    table = example.main(["--quick", "--dates", "30", "--secu", "1000", "--univ", "850", "--factors", "3",
                          "--dir", str(tmp_path), "--png", str(png)])
    out = capsys.readouterr().out
    assert "4 runs of 30 dates" in out and out.rstrip().endswith(f"picture written to {png.resolve()}")
    assert table["information_ratio"].is_monotonic_decreasing and table["error"].isna().all()
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def run_like(weights, rows=None, status=None, univ=UNIV, risk_names=()):
    """An object with a run result's attributes, as evaluate reads them."""
    from types import SimpleNamespace
    w = np.asarray(weights, dtype=float)
    return SimpleNamespace(weights=w, rows=np.arange(len(w)) if rows is None else np.asarray(rows),
                           univ_idx=np.asarray(univ), risk_names=list(risk_names),
                           status=np.zeros(len(w), np.int8) if status is None else np.asarray(status, np.int8),
                           state=SimpleNamespace(bench_symbol="bench"))


def test_a_run_with_a_repeated_column_is_refused_too(tiny):
    with pytest.raises(ValueError, match=r"the run's univ_idx repeats library column\(s\) 0 "):
        evaluate(run_like(W, univ=[0, 0]), returns="ret")


def _inf_returns():
    ret = RET.copy()
    ret[1, 0] = np.inf    # held on row 0 (0.5)
    ret[3, 2] = -np.inf   # held on row 2 (1.0)
    ret[2, 1] = np.inf    # a member outside the universe: missing there too, as NaN is
    return ret


# Each case: the evaluate call (given `warn`), the warnings it gives in order, text they must hold, and
# what the result holds.
NOTED = {
    "infinite returns": (lambda **kw: evaluate(W, "bench", _inf_returns(), univ_idx=UNIV, attribution=False, **kw),
                         [MissingReturnsWarning], ["NaN or infinite returns on held securities counted as 0 on "
                                                   "2 date(s) (decided on rows 0, 2)", "infinite on rows 0, 2"],
                         dict(missing_weight=[0.5, 0.0, 1.0], gross=[-0.005, 0.02, 0.0],
                              benchmark=[0.3 * 0.02 - 0.2 * 0.01, 0.5 * 0.02 + 0.2 * 0.03, -0.005])),
    "lag beyond the returns": (lambda **kw: ev_tiny(lag=4, **kw), [ShortHistoryWarning],
                               ["no dates to evaluate: with lag 4, the first row's weights (row 0) would earn the "
                                "return of row 4, but ret end at row 3"], dict(rows=[])),
    "no rows": (lambda **kw: evaluate(W[:0], "bench", "ret", univ_idx=UNIV, attribution=False, **kw),
                [ShortHistoryWarning], ["no dates to evaluate: the weights have no rows"], dict(rows=[])),
    "one date": (lambda **kw: ev_tiny(lag=3, **kw), [ShortHistoryWarning],
                 ["one date to evaluate: no deviation", "with lag 3 the later rows' returns lie beyond row 3 of ret"],
                 dict(rows=[0])),
    "rows of zeros": (lambda **kw: evaluate(W * [[1], [0], [1], [0]], "bench", "ret", univ_idx=UNIV,
                                            attribution=False, **kw),
                      [EmptyRowsWarning], ["the weights are all zero on 1 of 3 rows: rows 1; they are "
                                           "held as cash"], dict(empty_rows=[1], cash_weight=[0.0, 1.0, 0.0])),
    "a run's skipped and emptied rows": (
        lambda **kw: evaluate(run_like(W * [[1], [0], [0], [1]], status=[0, 1, 2, 0]), returns="ret",
                              attribution=False, **kw),
        [EmptyRowsWarning], ["the run's weights are all zero on 2 of 3 rows (1 skipped and 1 emptied by the run): "
                             "rows 1, 2"], dict(empty_rows=[1, 2], holdings=[2, 0, 0])),
    "all at once, with attribution": (
        lambda **kw: evaluate(W * [[1], [1], [1], [0]], "bench", _inf_returns()[:4], univ_idx=UNIV, lag=3,
                              risk_names=["f1", sector_formula(1)], **kw),
        [ShortHistoryWarning, MissingReturnsWarning], ["one date", "infinite on rows 0"],
        dict(missing_weight=[0.5])),
}


@pytest.mark.parametrize("case", list(NOTED))
def test_what_evaluate_warns_of_is_warned_once_each_and_kept_in_notes(tiny, case):
    call, kinds, texts, fields = NOTED[case]
    with pytest.warns(EvaluationWarning) as rec:
        ev = call()
    assert [w.category for w in rec] == kinds and all(issubclass(k, RuntimeWarning) for k in kinds)
    said = [str(w.message) for w in rec]
    assert list(ev.notes) == said
    for text in texts:
        assert any(text in m for m in said), (text, said)
    for name, want in fields.items():
        np.testing.assert_allclose(getattr(ev, name), want, atol=1e-15, err_msg=name)
    for name in ("gross", "net", "benchmark", "active"):
        assert np.isfinite(getattr(ev, name)).all()
    # warn=False: not a warning of any kind (numpy's own included), the same notes.
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        quiet = call(warn=False)
    assert quiet.notes == ev.notes


@pytest.mark.parametrize("lag, shown, hidden", [
    (4, ["Evaluation: 0 dates, lag 4", "  no dates to evaluate: with lag 4"], ["nan%", "tracking error"]),
    (3, ["Evaluation: 1 date, the return of 3, lag 3",
         "  tracking error   one date: no deviation, so no tracking error or information ratio"], ["nan"]),
    (1, ["  tracking error ", "information ratio"], ["nan", "one date", "no dates"]),
])
def test_the_summary_text_says_why_figures_are_missing(tiny, lag, shown, hidden):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ShortHistoryWarning)
        text = repr(ev_tiny(lag=lag))
    for t in shown:
        assert t in text, (t, text)
    for t in hidden:
        assert t not in text.lower(), (t, text)


@pytest.mark.parametrize("buy, sell, text", [
    (0, 0, "costs: 0 bp buy / 0 bp sell (none charged)"),
    (5, 15, "costs: 5 bp buy / 15 bp sell"),
    (0, 2.5, "costs: 0 bp buy / 2.5 bp sell"),
])
def test_the_costs_used_are_stated(tiny, buy, sell, text):
    ev = ev_tiny(buy_bps=buy, sell_bps=sell)
    assert ev.costs_used == text and repr(ev).splitlines()[0].endswith(text)
    assert list(ev.summary) == list(SUMMARY_KEYS)
    assert (ev.summary["buy_bps"], ev.summary["sell_bps"]) == (buy, sell)
    assert ev.to_pandas().summary["sell_bps"] == sell


def _identity_gap(ev):
    a = ev.attribution
    return np.abs(a.factors + a.sectors + a.cash + a.selection - ev.active).max()


@pytest.mark.parametrize("weighting", ["sqrt_bench", "equal"])
@pytest.mark.parametrize("invested", [1.0, 0.8, 0.0])
def test_cash_is_a_line_of_its_own(tiny, weighting, invested):
    # Scaling the weights scales the invested part's attribution and leaves the rest to cash.
    names = ["f1", sector_formula(0), sector_formula(1)]
    full = evaluate(W, "bench", "ret", univ_idx=UNIV, risk_names=names, weighting=weighting)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", EmptyRowsWarning)
        ev = evaluate(W * invested, "bench", "ret", univ_idx=UNIV, risk_names=names, weighting=weighting)
    a, f = ev.attribution, full.attribution
    np.testing.assert_allclose(ev.cash_weight, 1 - invested, atol=1e-15)
    np.testing.assert_allclose(a.cash, -(1 - invested) * ev.benchmark, atol=1e-15)
    np.testing.assert_allclose(f.cash, 0.0, atol=1e-15)
    assert _identity_gap(ev) < 1e-12
    for name in ("style_exposure", "group_exposure", "selection", "sectors", "factors"):
        np.testing.assert_allclose(getattr(a, name), invested * getattr(f, name), atol=1e-14, err_msg=name)
    # The sector exposures no longer carry the cash: they sum to 0 on every date.
    np.testing.assert_allclose(a.group_exposure.sum(axis=1), 0.0, atol=1e-15)
    frame = ev.to_pandas().attribution
    assert list(frame.columns) == ["f1", "sectors", "cash", "selection", "active"]
    shown = " ".join(repr(ev).split())
    # A cash line where cash was held; none for a fully invested run.
    assert (f"cash {a.cash.sum() * 252 / 3:+.2%}" in shown) == (abs(a.cash.sum() * 252 / 3) >= 5e-5)


def test_a_partly_invested_run_attributes_its_cash(standin, run_cfg):
    m = standin.market
    cfg = run_cfg("TopM", {n: 0.35 for n in m.factors}, each_sector_expo=0.03)
    scores = standin.scores.copy()
    scores[[5, 6]] = np.nan  # two rows left empty
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        run = Kestrel.run("TopM", "000300", 0.9, cfg, scores, standin.univ, progress=False)
    with pytest.warns(EvaluationWarning) as rec:
        ev = evaluate(run, buy_bps=5, sell_bps=15)
    assert EmptyRowsWarning in {w.category for w in rec}
    assert ev.empty_rows.tolist() == [5, 6] and "2 emptied by the run" in repr(ev)
    cash = np.where(np.isin(ev.rows, [5, 6]), 1.0, 0.1)
    np.testing.assert_allclose(ev.cash_weight, cash, atol=1e-9)
    np.testing.assert_allclose(ev.attribution.cash, -cash * ev.benchmark, atol=1e-12)
    assert _identity_gap(ev) < 1e-12 and ev.summary["mean_cash"] == pytest.approx(cash.mean(), abs=1e-9)
    # A row of zeros is all cash: nothing left to the factors, sectors or selection.
    a = ev.attribution
    for name in ("factors", "sectors", "selection"):
        np.testing.assert_allclose(getattr(a, name)[[5, 6]], 0.0, atol=1e-15, err_msg=name)


# W trades: row 1 buys column 0 and sells column 1, row 2 the reverse, row 3 buys 0 and sells 1 again.
@pytest.mark.parametrize("no_buy, no_sell, counted", [
    (None, None, None),
    (np.zeros((4, 2), bool), np.zeros((4, 2), bool), [0, 0, 0]),
    ([[0, 0], [1, 0], [0, 0], [0, 0]], None, [0, 1, 0]),           # bought column 0 while blocked
    (None, [[0, 0], [0, 1], [1, 0], [0, 0]], [0, 1, 1]),           # sold column 1, then column 0, while blocked
    ([[0, 0], [0, 1], [1, 0], [0, 0]], None, [0, 0, 0]),           # blocked for buying what it sold: no harm
])
def test_trades_on_blocked_names_are_counted(tiny, no_buy, no_sell, counted):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ev = ev_tiny(no_buy=None if no_buy is None else np.asarray(no_buy, bool),
                     no_sell=None if no_sell is None else np.asarray(no_sell, bool))
    said = [str(w.message) for w in caught if w.category is Kestrel.evaluation.BlockedTradesWarning]
    if counted is None:
        assert ev.blocked_trades is None and np.isnan(ev.summary["blocked_trades"]) and not said
        return
    assert ev.blocked_trades.tolist() == counted and ev.summary["blocked_trades"] == sum(counted)
    assert bool(said) == (sum(counted) > 0) and "could not be traded" in repr(ev)
    with pytest.raises(ValueError, match="no_buy must be a 4 x 2 array of bool"):
        ev_tiny(no_buy=np.zeros((3, 2), bool))


@pytest.mark.parametrize("value", [np.nan, 2.0, -1])
def test_blocks_other_than_zero_or_one_are_refused(tiny, value):
    mask = np.zeros((4, 2))
    mask[2, 1] = value
    with pytest.raises(ValueError, match=r"no_sell must hold only 0 and 1 .* at row 2, column 1 \(1 such"):
        ev_tiny(no_sell=mask)

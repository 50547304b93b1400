"""The exposure control loop and its report line, observed through whole runs."""

import numpy as np
import pytest

import Kestrel
from Kestrel.report import REPORT_LINE
from Kestrel.tables import ALGORITHMS as ALGOS

from helpers import OUT_OF_RANGE_TAKEN

# Negative limits and max_loop_num below 1 are edge cases of the loop itself.
pytestmark = OUT_OF_RANGE_TAKEN

UNIV = np.random.default_rng(3).permutation(np.r_[0:100, 140:240])
N = len(UNIV)


def scores(t, seed=1):
    return np.random.default_rng(seed).standard_normal((t, N))


def run(algo, cfg, pv):
    return Kestrel.OptimizerTopM(algo, "000300", 1.0, cfg).gen_position(pv, UNIV)


def emulate(algo, cfg, pv, data, limits):
    """The date loop without skips, with the loop written out: (weights, [(count, first, last)])."""
    opt = Kestrel.OptimizerTopM(algo, "000300", 1.0, {})
    lr, max_loop = cfg.get("learning_rate", 0.1), cfg.get("max_loop_num", 100)
    args = [cfg.get(k) for k in ("weight_multi", "num_long", "risk_cost", "each_single_weight")]
    norm = opt.GenNorm(pv)
    pre_w, pre_ema, out, reports = np.zeros(N), None, np.zeros_like(pv), []
    for bi in range(len(pv)):
        bench = data["weight300"][bi, UNIV] / data["weight300"][bi, UNIV].sum()
        barra = np.array([data[f][bi, UNIV] for f in limits])
        thr = np.array(list(limits.values()))

        def position(cur):
            ema = opt.GenEma_Step1(cur, pre_ema, cfg["decay"])
            return ema, opt.CalcCurrentPosition(cur, ema, *args, bench, cfg["bench_coeff"], pre_w,
                                                cfg["pre_coeff"], -1)
        cur = opt.GenNorm_Step1(norm[bi])
        ema, pos = position(cur)
        count, first, expo = 0, None, None
        while count < max_loop:
            count += 1
            _, bench_barra, expo = opt.CalcRiskExposure_Multi(barra, pos, bench)
            first = expo if first is None else first
            over = np.flatnonzero(np.abs(expo) > thr)
            if not over.size:
                break
            for k in over:
                bias = barra[k] - bench_barra[k]
                excess = abs(abs(expo[k]) - thr[k])
                cur = cur - bias / np.nanstd(bias) * np.sign(expo[k]) / (1 + np.exp(-excess)) * lr
            cur = opt.GenNorm_Step1(cur)
            ema, pos = position(cur)
        out[bi], pre_w, pre_ema = pos, pos, ema
        reports.append((count, first, expo))
    return out, reports


@pytest.mark.parametrize("algo", ALGOS)
@pytest.mark.parametrize("limits,extra", [
    ({"f0": 0.02, "f1": 0.02, "f2": 0.02}, {}),
    ({"f0": 0.05, "f1": -1.0, "f2": 9.0}, {"max_loop_num": 3}),
    ({"f2": 0.01, "f0": 0.03}, {"learning_rate": 0.5, "decay": 0.3}),
    ({"f0": 0.0, "f1": 0.0}, {"max_loop_num": 1}),
    ({"f1": 0.001}, {"max_loop_num": 2, "learning_rate": 1.5}),
])
def test_loop_matches_written_out_passes(fake_vela, run_cfg, capsys, report_lines, algo, limits, extra):
    lib = fake_vela(T=5)
    cfg = run_cfg(algo, limits, print_result=True, **extra)
    w = run(algo, cfg, scores(5))
    lines = report_lines(capsys.readouterr().out)
    want, reports = emulate(algo, cfg, scores(5), lib.data, limits)
    np.testing.assert_allclose(w, want, rtol=0, atol=1e-11)
    assert [r.loop_count for r in lines] == [c for c, _, _ in reports]
    for r, (_, first, last) in zip(lines, reports):
        np.testing.assert_allclose(r.first_expo, first, rtol=0, atol=1e-11)
        np.testing.assert_allclose(r.last_expo, last, rtol=0, atol=1e-11)


@pytest.mark.parametrize("algo", ALGOS)
def test_inside_limits_keeps_first_position(fake_vela, run_cfg, capsys, report_lines, algo):
    fake_vela()
    free = run(algo, run_cfg(algo), scores(8))
    w = run(algo, run_cfg(algo, {"f0": 5.0, "f1": 5.0}, print_result=True), scores(8))
    lines = report_lines(capsys.readouterr().out)
    assert np.array_equal(w, free)
    assert all(r.loop_count == 1 and r.first_expo == r.last_expo for r in lines) and len(lines) == 8


@pytest.mark.parametrize("algo", ["TopM", "TopKR", "TopEqual2"])
def test_exposure_exactly_at_limit_is_not_corrected(fake_vela, run_cfg, capsys, report_lines, algo):
    fake_vela()
    free = run(algo, run_cfg(algo, {"f0": 9.0}, print_result=True), scores(1))
    (e,) = map(abs, report_lines(capsys.readouterr().out)[0].first_expo)  # the text reads back exactly
    at = run(algo, run_cfg(algo, {"f0": e}, print_result=True), scores(1))
    below = run(algo, run_cfg(algo, {"f0": np.nextafter(e, 0)}, print_result=True), scores(1))
    counts = [r.loop_count for r in report_lines(capsys.readouterr().out)]
    assert np.array_equal(at, free) and counts[0] == 1
    assert counts[1] != 1 and not np.array_equal(below, free)


@pytest.mark.parametrize("max_loop,count", [(1, 1), (3, 3), (2.5, 3), (0.5, 1), (None, 100)])
def test_negative_limit_runs_every_pass(fake_vela, run_cfg, capsys, report_lines, max_loop, count):
    fake_vela()
    extra = {} if max_loop is None else {"max_loop_num": max_loop}
    free = run("TopM2", run_cfg("TopM2"), scores(4))
    w = run("TopM2", run_cfg("TopM2", {"f0": -1.0}, print_result=True, **extra), scores(4))
    lines = report_lines(capsys.readouterr().out)
    assert [r.loop_count for r in lines] == [count] * 4
    assert not np.array_equal(w[0], free[0])  # the last correction is kept without a new measurement
    if count == 1:
        assert all(r.first_expo == r.last_expo for r in lines)


@pytest.mark.parametrize("max_loop", [0, -2, 0.0])
def test_no_measurement_below_one_pass(fake_vela, run_cfg, capsys, report_lines, max_loop):
    fake_vela()
    free = run("TopEqual", run_cfg("TopEqual"), scores(4))
    w = run("TopEqual", run_cfg("TopEqual", {"f0": -1.0}, print_result=True, max_loop_num=max_loop), scores(4))
    lines = report_lines(capsys.readouterr().out)
    assert np.array_equal(w, free)
    assert [(r.loop_count, r.first_expo, r.last_expo) for r in lines] == [(0, None, None)] * 4
    assert [r.hold_num for r in lines] == list((free >= 1e-4).sum(axis=1))


@pytest.mark.parametrize("algo", ["TopM", "TopEqual2"])
def test_sectors_are_controlled_but_not_printed(fake_vela, run_cfg, capsys, report_lines, algo):
    fake_vela()
    off = run(algo, run_cfg(algo, {"f0": 5.0}, each_sector_expo=0.21, print_result=True), scores(6))
    lines_off = report_lines(capsys.readouterr().out)
    on = run(algo, run_cfg(algo, {"f0": 5.0}, each_sector_expo=0.002, print_result=True), scores(6))
    lines_on = report_lines(capsys.readouterr().out)
    assert {r.loop_count for r in lines_off} == {1} and {r.loop_count for r in lines_on} != {1}
    assert all(len(r.first_expo) == len(r.last_expo) == 1 for r in lines_on)
    assert not np.array_equal(on, off)


@pytest.mark.parametrize("flat", ["constant", "all_nan", "infinite", "zero"])
def test_flat_risk_name_gets_no_correction(fake_vela, run_cfg, flat):
    lib = fake_vela()
    lib.data["flat"] = {"constant": np.full((24, 240), 1.7), "all_nan": np.full((24, 240), np.nan),
                        "zero": np.zeros((24, 240)), "infinite": lib.data["f2"].copy()}[flat]
    if flat == "infinite":
        lib.data["flat"][:, UNIV[:2]] = [np.inf, -np.inf]
    cfg = dict(max_loop_num=4)
    w = run("TopM", run_cfg("TopM", {"flat": -1.0, "f1": -1.0}, **cfg), scores(6))
    ref = run("TopM", run_cfg("TopM", {"f1": -1.0}, **cfg), scores(6))
    assert np.isfinite(w).all()
    np.testing.assert_array_equal(w, ref)


@pytest.mark.parametrize("algo", ALGOS)
def test_report_line_agrees_with_weights(fake_vela, run_cfg, capsys, report_lines, algo):
    lib = fake_vela()
    lib.data["weight300"][:, UNIV[:10]] *= 1e-6  # members below the 1e-05 benchmark floor
    lib.data["weight300"] *= 100 / lib.data["weight300"][:, UNIV].sum(axis=1, keepdims=True)
    cfg = run_cfg(algo, {"f0": 0.03, "f1": 0.03}, each_sector_expo=0.15, print_result=True, max_loop_num=50)
    w = run(algo, cfg, scores(10))
    out = capsys.readouterr().out
    lines = report_lines(out)
    assert [r.row for r in lines] == list(range(10))
    opt = Kestrel.OptimizerTopM(algo, "000300", 1.0, {})
    for text, r, row, bi in zip(out.splitlines(), lines, w, range(10)):
        assert len(text.split(" ")) == 14  # twelve items, two of them vectors of two numbers
        g = REPORT_LINE.match(text).groups()
        numbers = [*g[2][1:-1].split(), *g[3][1:-1].split(), g[4], g[6]]
        assert all(repr(float(x)) == x for x in numbers)
        bench = lib.data["weight300"][bi, UNIV] / 100
        assert r.total == pytest.approx(row.sum(), abs=1e-12)
        assert r.hold_num == np.count_nonzero(row >= 1e-4)
        assert r.bench_hold == pytest.approx(row[bench >= 1e-5].sum(), abs=1e-12)
        if r.loop_count < 50:  # the loop stopped on a measured position: LastExpo describes the result
            barra = np.array([lib.data[f][bi, UNIV] for f in ("f0", "f1")])
            np.testing.assert_allclose(r.last_expo, opt.CalcRiskExposure_Multi(barra, row, bench)[2],
                                       rtol=0, atol=1e-12)


@pytest.mark.parametrize("n", [17, 23, 40, 47])
@pytest.mark.parametrize("algo", ["TopM", "TopM2"])
def test_last_exposures_cover_every_holding(fake_vela, run_cfg, capsys, report_lines, algo, n):
    """Holdings are found in whole blocks and a remainder: every universe size counts each one once."""
    lib = fake_vela()
    univ = UNIV[:n]
    lib.data["weight300"] *= 100 / lib.data["weight300"][:, univ].sum(axis=1, keepdims=True)
    cfg = run_cfg(algo, {"f0": 0.2, "f1": 0.2}, print_result=True, max_loop_num=50)
    w = Kestrel.OptimizerTopM(algo, "000300", 1.0, cfg).gen_position(scores(6)[:, :n], univ)
    lines = report_lines(capsys.readouterr().out)
    opt = Kestrel.OptimizerTopM(algo, "000300", 1.0, {})
    checked = 0
    for r, row in zip(lines, w):
        if r.loop_count < 50:
            bi = r.row
            bench = lib.data["weight300"][bi, univ] / 100
            barra = np.array([lib.data[f][bi, univ] for f in ("f0", "f1")])
            np.testing.assert_allclose(r.last_expo, opt.CalcRiskExposure_Multi(barra, row, bench)[2],
                                       rtol=0, atol=1e-12)
            checked += 1
    assert checked > 0

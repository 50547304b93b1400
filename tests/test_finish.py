"""Exposures of the weights a run returns, and the exact finish of the dates
the control loop gives up on: limits held, continuation exact, failures
flagged and warned, the solver imported only when asked for."""

import subprocess
import sys
import warnings

import numpy as np
import pytest

import Kestrel
from Kestrel.tables import ALGORITHM_SETTINGS

pytest.importorskip("highspy")

ALGORITHMS = sorted(ALGORITHM_SETTINGS)
TOL = 1e-9
BENCH = "000300"


def settings(run_cfg, algo, factors, factor_limit, sector_limit, **over):
    return run_cfg(algo, {name: factor_limit for name in factors}, each_sector_expo=sector_limit, decay=0.3,
                   bench_coeff=0.8, pre_coeff=0.9, max_loop_num=15, **over)


def library_exposures(result, scores_rows, univ):
    """Active exposures of result.weights recomputed with numpy from the library's matrices."""
    import VelaIntradayModel as vim

    fields = vim.RunLoopOnce([*result.risk_names, "weight300"])
    f = np.stack([np.nan_to_num(np.asarray(x.array)[scores_rows][:, univ]) for x in fields[:-1]], axis=2)
    b = np.nan_to_num(np.asarray(fields[-1].array)[scores_rows][:, univ])
    b = b / b.sum(axis=1, keepdims=True)
    return np.einsum("tn,tnk->tk", np.asarray(result.weights) - b, f)


def quiet_run(*args, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # dates left empty by the market's NaN rows
        return Kestrel.run(*args, progress=False, **kw)


@pytest.mark.parametrize("algo", ALGORITHMS)
@pytest.mark.parametrize("limits", [(0.02, 0.005), (0.005, 0.001)])
def test_finished_rows_hold_every_limit_and_expo_is_the_returned_weights(standin, run_cfg, algo, limits):
    s = standin
    cfg = settings(run_cfg, algo, s.market.factors, *limits)
    plain = quiet_run(algo, BENCH, 1.0, dict(cfg, risk_factor_expo=dict(cfg["risk_factor_expo"])), s.scores, s.univ)
    r = quiet_run(algo, BENCH, 1.0, cfg, s.scores, s.univ, finish="exact")
    done = r.status == Kestrel.STATUS_PROCESSED
    for res in (plain, r):
        np.testing.assert_allclose(res.expo[done], library_exposures(res, res.rows, s.univ)[done], rtol=0,
                                   atol=1e-13)
        np.testing.assert_array_equal(res.over_limit, np.abs(res.expo) > res.limits)
    gave_up = done & (plain.loop_count == 15)
    assert (np.abs(plain.expo[gave_up]) > plain.limits * (1 + TOL)).any(axis=1).all()  # the loop gave up over them
    settled = done & ~gave_up
    assert (plain.expo[settled] == plain.last_expo[settled]).all()
    # With the finish: every processed row within its limits, same totals, caps kept.
    assert (np.abs(r.expo[done]) <= r.limits * (1 + TOL)).all()
    assert not r.over_limit.any() and (r.finish_status[r.finished] == "Optimal").all()
    assert r.finished.any() and (r.finish_moved[~r.finished] == 0).all() and (r.finish_moved[r.finished] > 0).all()
    np.testing.assert_allclose(r.weights.sum(axis=1), plain.weights.sum(axis=1), atol=1e-9)
    assert (r.weights >= 0).all()
    # Up to the first finished date both runs agree; there the finish moved the row by finish_moved.
    first = int(np.argmax(r.finished))
    assert r.weights[:first].tobytes() == plain.weights[:first].tobytes()
    assert r.finish_moved[first] == pytest.approx(np.abs(r.weights[first] - plain.weights[first]).sum(), rel=1e-12)
    assert (r.first_expo[: first + 1] == plain.first_expo[: first + 1])[done[: first + 1]].all()


@pytest.mark.parametrize("algo", ["TopM", "TopEqual2", "TopKR"])
def test_continued_runs_with_the_finish_equal_the_whole_run(standin, run_cfg, algo):
    s = standin
    cfg = settings(run_cfg, algo, s.market.factors, 0.005, 0.001)
    whole = quiet_run(algo, BENCH, 1.0, cfg, s.scores, s.univ, finish="exact")
    assert whole.finished.sum() >= 3
    for split in (int(np.argmax(whole.finished)), 9, 20, 28):
        head = quiet_run(algo, BENCH, 1.0, cfg, s.scores[: split + 1], s.univ, finish="exact")
        tail = quiet_run(algo, BENCH, 1.0, cfg, s.scores, s.univ, finish="exact", start=head.state)
        for name in ("weights", "expo", "finished", "finish_moved", "finish_status", "over_limit"):
            joined = np.concatenate([getattr(head, name), getattr(tail, name)])
            assert joined.tobytes() == np.asarray(getattr(whole, name)).tobytes(), (split, name)


@pytest.fixture
def constant_factor(standin):
    """A factor equal to 1 for every security: a portfolio of total 0.9 has exposure -0.1 to it, whatever it holds."""
    import VelaIntradayModel as vim

    vim.register("flat", np.ones((30, 700)))
    return standin


def test_limits_that_cannot_hold_give_way_by_the_least_excess_with_one_warning(constant_factor, run_cfg):
    s = constant_factor
    cfg = run_cfg("TopM2", {"flat": 0.05, s.market.factors[0]: 0.3}, max_loop_num=5)
    with pytest.warns(Kestrel.GaveWayWarning) as caught:
        r = Kestrel.run("TopM2", BENCH, 0.9, cfg, s.scores, s.univ, progress=False, finish="exact")
    done = r.status == Kestrel.STATUS_PROCESSED
    said = [str(w.message) for w in caught if w.category is Kestrel.GaveWayWarning]
    assert len(said) == 1 and f"-{int(r.rows[done][-1])} (limits, excess 1)" in said[0]
    # Exposure -0.1 to the flat factor whatever is held: the least excess over 0.05 is exactly 1.
    assert r.finished[done].all() and (r.gave_way[done] == "limits").all()
    np.testing.assert_allclose(r.excess[done], 1.0, rtol=1e-5)  # the margin the solver is given
    assert np.allclose(r.expo[done, 0], -0.1) and r.over_limit[done, 0].all()
    # Every limit gives way alike: the other one to at most 0.3 * (1 + excess).
    assert (np.abs(r.expo[done, 1]) <= 0.3 * (1 + r.excess[done]) * (1 + 1e-9) + 1e-12).all()
    assert (r.gave_way[~done] == "").all() and (r.excess[~done] == 0).all()


def test_a_failing_solver_flags_its_dates_and_the_run_goes_on(standin, run_cfg):
    from Kestrel.finish import Finisher

    class Broken(Finisher):
        calls = 0

        def __call__(self, *args):
            Broken.calls += 1
            if Broken.calls % 4 == 1:
                raise ArithmeticError("no luck")
            if Broken.calls % 4 == 2:
                return np.full(len(args[0]), np.nan), "Optimal", "", 0.0  # refused: not finite
            if Broken.calls % 4 == 3:
                return np.zeros(3), "Optimal", "", 0.0  # the wrong length
            return args[0], "Optimal"  # the wrong number of answers

    s = standin
    cfg = settings(run_cfg, "TopEqual2", s.market.factors, 0.005, 0.001)
    plain = quiet_run("TopEqual2", BENCH, 1.0, dict(cfg, risk_factor_expo=dict(cfg["risk_factor_expo"])), s.scores,
                      s.univ)
    with pytest.warns(RuntimeWarning, match="exact finish could not repair"):
        r = Kestrel.run("TopEqual2", BENCH, 1.0, cfg, s.scores, s.univ, progress=False, finish=Broken())
    assert r.weights.tobytes() == plain.weights.tobytes() and not r.finished.any()
    tried = r.finish_status != ""
    assert Broken.calls == tried.sum() >= 4
    assert {st.split(":")[0] for st in r.finish_status[tried]} == {"error", "refused (weight 0 outside its bounds)"}
    assert any("has length 3" in st for st in r.finish_status[tried])
    assert any("must return (weights, status, gave_way, excess)" in st for st in r.finish_status[tried])


@pytest.mark.parametrize(("finish", "error"), [("fast", ValueError), (1, TypeError), (True, TypeError)])
def test_finish_takes_none_exact_or_a_finisher(standin, run_cfg, finish, error):
    s = standin
    with pytest.raises(error, match="finish must be None, 'exact'"):
        Kestrel.run("TopM", BENCH, 1.0, run_cfg("TopM"), s.scores, s.univ, progress=False, finish=finish)


def test_the_solver_is_imported_only_for_the_finish():
    code = """
import sys, warnings
import numpy as np, Kestrel, VelaIntradayModel as vim
m = vim.generate_market(None, n_dates=6, n_secu=400, n_factors=2, seed=0, bench_sizes={"weight500": 200})
u = vim.default_universe(m, 300, seed=0)
cfg = {"weight_multi": 1.5, "decay": 0.3, "bench_coeff": 0.8, "pre_coeff": 0.9, "each_sector_expo": 0.001,
       "risk_factor_expo": {f: 0.001 for f in m.factors}, "max_loop_num": 3, "print_result": False}
with warnings.catch_warnings():
    warnings.simplefilter("ignore")
    Kestrel.run("TopM2", "000905", 1.0, cfg, vim.make_scores(m, u, seed=0), u, progress=False)
    Kestrel.opt_gen_position_topm2("000905", 1.0, cfg, vim.make_scores(m, u, seed=0), u)
print(sorted(k for k in sys.modules if k.split(".")[0] == "highspy"))
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "[]"
    # Without the solver installed, asking for the finish says what to install.
    missing = code.replace("import sys, warnings", "import sys, warnings; sys.modules['highspy'] = None").replace(
        "u, progress=False)", "u, progress=False, finish='exact')", 1)
    err = subprocess.run([sys.executable, "-c", missing], capture_output=True, text=True).stderr
    assert "ImportError: finish=\"exact\" needs the HiGHS solver: pip install highspy" in err


@pytest.mark.parametrize("algo", ALGORITHMS)
def test_entry_functions_and_report_lines_are_untouched(standin, run_cfg, capsys, report_lines, algo):
    s = standin
    make = lambda: settings(run_cfg, algo, s.market.factors, 0.005, 0.001, print_result=True)  # noqa: E731
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        expected = Kestrel.OptimizerTopM(algo, BENCH, 1.0, make()).gen_position(s.scores, s.univ)
    printed = capsys.readouterr().out
    plain = quiet_run(algo, BENCH, 1.0, make(), s.scores, s.univ)
    finished = quiet_run(algo, BENCH, 1.0, make(), s.scores, s.univ, print_result=True, finish="exact")
    assert plain.weights.tobytes() == expected.tobytes()
    # The report line of a finished date is the loop's, as without the finish, up to that date.
    first = int(finished.rows[np.argmax(finished.finished)])
    ours = [line for line in report_lines(capsys.readouterr().out) if line.row <= first]
    assert ours == [line for line in report_lines(printed) if line.row <= first]


def test_saved_runs_keep_the_new_fields_and_old_files_still_load(standin, run_cfg, tmp_path):
    s = standin
    r = quiet_run("TopEqual2", BENCH, 1.0, settings(run_cfg, "TopEqual2", s.market.factors, 0.005, 0.001), s.scores,
                  s.univ, finish="exact")
    r.save(tmp_path / "run.npz")
    again = Kestrel.RunResult.load(tmp_path / "run.npz")
    for name in ("expo", "finished", "finish_moved", "finish_status"):
        np.testing.assert_array_equal(getattr(again, name), getattr(r, name))
    with np.load(tmp_path / "run.npz") as z:
        old = {k: z[k] for k in z.files if k not in ("expo", "finished", "finish_moved", "finish_status")}
    np.savez(tmp_path / "old.npz", **old)
    before = Kestrel.RunResult.load(tmp_path / "old.npz")
    assert np.isnan(before.expo).all() and before.expo.shape == r.expo.shape
    assert not before.finished.any() and (before.finish_moved == 0).all() and (before.finish_status == "").all()


def test_sweeps_and_the_report_count_dates_over_and_finished(standin, run_cfg, tmp_path):
    pytest.importorskip("matplotlib")
    from Kestrel.report import PANELS, report_figure
    from Kestrel.sweep import run_point, write_sweep_data

    s = standin
    data = write_sweep_data(tmp_path, s.scores, s.univ, store_dir=s.market.path)
    base = dict(settings(run_cfg, "TopEqual2", s.market.factors, 0.005, 0.001), type="TopEqual2")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        off, on = (run_point(data, BENCH, 1.0, base, {}, finish=f) for f in (None, "exact"))
    assert off["error"] is None and on["error"] is None
    assert off["dates_over_limit"] > 0 and off["dates_finished"] == 0
    assert on["dates_over_limit"] == 0 and on["dates_finished"] >= off["dates_over_limit"] // 2
    r = quiet_run("TopEqual2", BENCH, 1.0, base, s.scores, s.univ, finish="exact")
    title = next(t for ax in report_figure(r).axes if "exact finish" in (t := ax.get_title(loc="left")))
    assert title.startswith(PANELS[3])
    assert title.endswith(f"on {r.finished.sum()} date(s) before the exact finish, 0 after it "
                          f"({r.finished.sum()} finished)")


TRADING = {"no_buy": ["suspended", "limit_up"], "no_sell": ["suspended", "limit_down"]}


@pytest.mark.parametrize("algo", ["TopM", "TopM2", "TopEqual2"])
@pytest.mark.parametrize("cap", [None, 0.08])
def test_the_finish_keeps_the_blocks_the_cap_and_the_limits_and_continues_bit_for_bit(standin, run_cfg, algo, cap):
    s = standin
    cfg = settings(run_cfg, algo, s.market.factors, 0.01, 0.003)
    kw = dict(TRADING, max_turnover=cap)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", Kestrel.KestrelWarning)  # rows whose limits or total gave way
        whole = quiet_run(algo, BENCH, 1.0, cfg, s.scores, s.univ, finish="exact", **kw)
        done = whole.status == Kestrel.STATUS_PROCESSED
        assert whole.finished.sum() >= 3 and whole.no_buy.any() and whole.no_sell.any()
        before = np.vstack([np.zeros(len(s.univ)), whole.weights[:-1]])
        # Blocks never give way, on finished rows too.
        assert (whole.weights[whole.no_buy] <= before[whole.no_buy] + 1e-12).all()
        assert (whole.weights[whole.no_sell] >= before[whole.no_sell] - 1e-12).all()
        if cap is not None:  # every row after the first, bought from cash
            assert (whole.turnover[1:] <= cap * (1 + 1e-9) + 1e-12).all()
        # Every limit holds, or gives way by the recorded excess.
        allowed = whole.limits * (1 + whole.excess[:, None]) * (1 + 1e-9) + 1e-12
        assert (np.abs(whole.expo[done]) <= allowed[done]).all()
        assert ((whole.gave_way != "") == (whole.excess > 0)).all()
        for split in (int(np.argmax(whole.finished)), 14):
            head = quiet_run(algo, BENCH, 1.0, cfg, s.scores[: split + 1], s.univ, finish="exact", **kw)
            tail = quiet_run(algo, BENCH, 1.0, cfg, s.scores, s.univ, finish="exact", start=head.state, **kw)
            for name in ("weights", "expo", "finished", "gave_way", "excess", "turnover", "no_buy"):
                joined = np.concatenate([getattr(head, name), getattr(tail, name)])
                assert joined.tobytes() == np.asarray(getattr(whole, name)).tobytes(), (split, name)


def test_a_limit_of_zero_is_met_by_the_finish(standin, run_cfg):
    s = standin
    factors = {name: 0.3 for name in s.market.factors}
    factors[s.market.factors[0]] = 0.0
    cfg = run_cfg("TopM2", factors, each_sector_expo=0.5, decay=0.3, bench_coeff=0.8, pre_coeff=0.9, max_loop_num=10)
    r = quiet_run("TopM2", BENCH, 1.0, cfg, s.scores, s.univ, finish="exact")
    done = r.status == Kestrel.STATUS_PROCESSED
    assert r.finished[done].all() and (r.gave_way == "").all()
    assert (np.abs(r.expo[done, 0]) <= 1e-12).all() and not r.over_limit.any()

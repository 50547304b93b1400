"""Kestrel.run: weights equal to gen_position's, diagnostics equal to the
printed report lines, continued runs equal to whole runs, bad states refused."""

import numpy as np
import pytest

import Kestrel
from Kestrel.tables import ALGORITHM_SETTINGS

from helpers import fake_market

ALGORITHMS = sorted(ALGORITHM_SETTINGS)
LIMITS = {"f0": 0.05, "f1": 0.1, "f2": 0.02}
SKIPPED, EMPTY = (3, 9), (6, 13)  # rows of the market below


@pytest.fixture
def market(fake_vela):
    """24 dates; benchmark coverage short on SKIPPED, scores all NaN on EMPTY."""
    data = fake_market(T=24, M=240, K=3, seed=3)
    data["weight300"][list(SKIPPED)] *= 0.5
    lib = fake_vela(data)
    scores = np.random.default_rng(5).standard_normal((24, 180))
    scores[list(EMPTY)] = np.nan
    rng = np.random.default_rng(6)
    univ = rng.permutation(np.r_[np.arange(100), rng.permutation(np.arange(100, 240))[:80]])  # whole benchmark
    return lib, scores, univ


def whole(algo, cfg, scores, univ, **kw):
    return Kestrel.run(algo, "000300", 0.95, cfg, scores, univ, progress=False, **kw)


@pytest.mark.parametrize("algo", ALGORITHMS)
@pytest.mark.parametrize("sectors", [0.5, 0.1])
def test_weights_equal_gen_position_and_status_marks_each_date(market, run_cfg, algo, sectors):
    _, scores, univ = market
    cfg = run_cfg(algo, LIMITS, each_sector_expo=sectors, max_loop_num=30)
    with pytest.warns(RuntimeWarning, match="left empty"):
        expected = Kestrel.OptimizerTopM(algo, "000300", 0.95, run_cfg(algo, LIMITS, each_sector_expo=sectors,
                                                                       max_loop_num=30)).gen_position(scores, univ)
    with pytest.warns(RuntimeWarning, match="left empty"):
        r = whole(algo, cfg, scores, univ)
    assert r.weights.tobytes() == expected.tobytes()
    assert r.rows.tolist() == list(range(24))
    k = 3 + (28 if sectors <= 0.2 else 0)
    assert len(r.risk_names) == k and r.first_expo.shape == r.over_limit.shape == (24, k)
    assert cfg == run_cfg(algo, LIMITS, each_sector_expo=sectors, max_loop_num=30)  # cfg left as it was
    want = np.zeros(24, np.int8)
    want[list(SKIPPED)], want[list(EMPTY)] = Kestrel.STATUS_SKIPPED, Kestrel.STATUS_EMPTY
    assert r.status.tolist() == want.tolist()
    processed = r.status == Kestrel.STATUS_PROCESSED
    assert (r.loop_count[processed] >= 1).all() and (r.loop_count[~processed] == 0).all()
    assert np.isnan(r.last_expo[~processed]).all() and (r.hold_num[~processed] == -1).all()
    np.testing.assert_array_equal(r.over_limit, np.abs(r.expo) > r.limits)  # of the weights returned
    settled = processed & (r.loop_count < 30)
    assert (r.expo[settled] == r.last_expo[settled]).all()
    assert set(r.seconds) == {"total", "requests"} and r.seconds["total"] >= r.seconds["requests"] >= 0


@pytest.mark.parametrize("algo", ALGORITHMS)
def test_diagnostics_equal_the_printed_report_lines(market, run_cfg, capsys, report_lines, algo):
    _, scores, univ = market
    cfg = run_cfg(algo, LIMITS, max_loop_num=40, print_result=True)
    with pytest.warns(RuntimeWarning):
        Kestrel.OptimizerTopM(algo, "000300", 0.95, cfg).gen_position(scores, univ)
    printed = capsys.readouterr().out
    with pytest.warns(RuntimeWarning):
        r = whole(algo, cfg, scores, univ, print_result=True)
    assert capsys.readouterr().out == printed
    with pytest.warns(RuntimeWarning):
        whole(algo, cfg, scores, univ)  # cfg's "print_result" is not consulted
    assert capsys.readouterr().out == ""
    lines = report_lines(printed)
    assert [line.row for line in lines] == r.rows[r.loop_count > 0].tolist()
    for line in lines:
        m = line.row
        assert (line.loop_count, line.hold_num) == (r.loop_count[m], r.hold_num[m])
        assert (line.bench_hold, line.total) == (r.bench_hold[m], r.total[m])
        assert line.first_expo == tuple(r.first_expo[m, :3]) and line.last_expo == tuple(r.last_expo[m, :3])


def test_no_risk_names_leave_diagnostics_unmeasured(market, run_cfg):
    _, scores, univ = market
    with pytest.warns(RuntimeWarning):
        r = whole("TopM", run_cfg("TopM"), scores, univ)
    assert r.risk_names == () and r.first_expo.shape == (24, 0)
    assert (r.hold_num == -1).all() and (r.loop_count == 0).all()


# Right after a skipped and an empty date, in the middle, the first and the last row.
SPLITS = [SKIPPED[0], EMPTY[0], SKIPPED[1], EMPTY[1], 0, 11, 22, 23]


@pytest.mark.parametrize("algo", ALGORITHMS)
def test_continued_runs_equal_one_whole_run(market, run_cfg, algo):
    _, scores, univ = market
    splits = SPLITS + np.random.default_rng(len(algo)).integers(0, 23, 3).tolist()
    with pytest.warns(RuntimeWarning):
        full = whole(algo, run_cfg(algo, LIMITS, max_loop_num=30), scores, univ)
    for split in splits:
        with pytest.warns() as caught:
            head = whole(algo, run_cfg(algo, LIMITS, max_loop_num=30), scores[: split + 1], univ)
            tail = whole(algo, run_cfg(algo, LIMITS, max_loop_num=30), scores, univ, start=head.state)
        assert all(w.category is Kestrel.SkippedRowsWarning for w in caught)
        assert head.state.row == split
        assert tail.rows.tolist() == list(range(split + 1, 24))
        for name in ("weights", "status", "loop_count", "first_expo", "last_expo", "bench_hold", "total"):
            got = np.concatenate([getattr(head, name), getattr(tail, name)])
            assert got.tobytes() == getattr(full, name).tobytes(), (split, name)
        assert tail.state.weights.tobytes() == full.state.weights.tobytes()
        assert tail.state.smoothed.tobytes() == full.state.smoothed.tobytes()


def test_a_state_of_held_weights_is_the_previous_weights(market, run_cfg):
    _, scores, univ = market
    cfg = run_cfg("TopKR", LIMITS)
    with pytest.warns(RuntimeWarning):
        full = whole("TopKR", cfg, scores, univ)
    held = Kestrel.RunState(15, full.weights[15].tolist())  # no smoothed scores: the next date starts afresh
    r = whole("TopKR", cfg, scores, univ, start=held)
    assert r.rows.tolist() == list(range(16, 24)) and r.status.tolist() == [0] * 8
    assert np.isclose(r.weights.sum(axis=1), 0.95).all()
    done = whole("TopKR", cfg, scores, univ, start=full.state)  # nothing left to compute
    assert done.weights.shape == (0, 180) and done.state is full.state


@pytest.mark.parametrize("args, error, match", [
    ((1.5, [0.1]), TypeError, "RunState.row must be an integer"),
    (("3", [0.1]), TypeError, "RunState.row must be an integer"),
    ((True, [0.1]), TypeError, "RunState.row must be an integer"),
    ((-2, [0.1]), ValueError, "RunState.row must be -1 or more"),
    ((0, [0.1, np.nan]), ValueError, "RunState.weights must be finite and non-negative; entry 1"),
    ((0, [0.1, -1e-9]), ValueError, "RunState.weights must be finite and non-negative; entry 1"),
    ((0, [0.1, np.inf]), ValueError, "RunState.weights"),
    ((0, [[0.1]]), ValueError, "RunState.weights"),
    ((0, ["a"]), (TypeError, ValueError), "RunState.weights"),
    ((0, None), TypeError, "RunState.weights"),
    ((0, [0.1, 0.2], [1.0]), ValueError, "RunState.smoothed has length 1, expected 2"),
    ((0, [0.1], "x"), (TypeError, ValueError), "RunState.smoothed"),
])
def test_bad_states_are_refused_naming_the_field(args, error, match):
    with pytest.raises(error, match=match):
        Kestrel.RunState(*args)


@pytest.mark.parametrize("start, error, match", [
    (Kestrel.RunState(24, np.zeros(180)), ValueError, "start.row is 24, outside the score matrix"),
    (Kestrel.RunState(3, np.zeros(179)), ValueError, "start.weights has length 179, expected 180"),
    ({"row": 3}, TypeError, "start must be a Kestrel.RunState or None, not dict"),
])
def test_states_that_do_not_fit_the_run_are_refused(market, run_cfg, start, error, match):
    _, scores, univ = market
    with pytest.raises(error, match=match):
        whole("TopM", run_cfg("TopM", LIMITS), scores, univ, start=start)


def test_state_and_result_arrays_are_private_and_read_only(market, run_cfg):
    _, scores, univ = market
    w = np.full(180, 0.001)
    s = Kestrel.RunState(14, w)
    w[0] = 5.0
    assert s.weights[0] == 0.001 and s.smoothed is None
    r = whole("TopM", run_cfg("TopM", LIMITS), scores, univ, start=s)
    with pytest.raises(ValueError, match="read-only"):
        r.weights[0, 0] = 1.0
    with pytest.raises(ValueError, match="read-only"):
        r.state.weights[0] = 1.0


def test_save_load_round_trip_through_plain_npz(market, run_cfg, tmp_path):
    _, scores, univ = market
    with pytest.warns(RuntimeWarning):
        r = whole("TopEqual2", run_cfg("TopEqual2", LIMITS, each_sector_expo=0.1), scores, univ)
    path = tmp_path / "run"
    r.save(path)
    with np.load(path, allow_pickle=False) as z:  # no Kestrel needed to read it
        assert z["weights"].tobytes() == r.weights.tobytes() and tuple(z["risk_names"]) == r.risk_names
    back = Kestrel.RunResult.load(path)
    for name in ("weights", "rows", "limits", "status", "loop_count", "first_expo", "last_expo", "over_limit",
                 "bench_hold", "hold_num", "total", "univ_idx"):
        a, b = getattr(back, name), getattr(r, name)
        assert a.dtype == b.dtype and a.tobytes() == b.tobytes(), name
    assert back.risk_names == r.risk_names and back.seconds == r.seconds
    assert back.state.row == r.state.row and back.state.smoothed.tobytes() == r.state.smoothed.tobytes()
    np.savez(tmp_path / "other.npz", weights=np.zeros((2, 2)))
    with pytest.raises(ValueError, match="not a saved Kestrel run"):
        Kestrel.RunResult.load(tmp_path / "other.npz")


def test_to_pandas_labels_by_library_axes(standin, run_cfg):
    import VelaIntradayModel as vim
    cfg = run_cfg("TopM", {vim.style_names(4)[0]: 0.3}, each_sector_expo=0.1)
    r = Kestrel.run("TopM", "000300", 1.0, cfg, standin.scores, standin.univ, progress=False)
    f = r.to_pandas()
    assert list(f.weights.index) == list(vim.dates()[r.rows]) and list(f.weights.columns) == list(
        vim.securities()[standin.univ])
    assert list(f.last_expo.columns) == list(r.risk_names) and f.over_limit.dtypes.eq(bool).all()
    assert set(f.dates.status.astype(str)) <= {"processed", "skipped", "empty"}
    np.testing.assert_array_equal(f.dates.hold_num.to_numpy(), r.hold_num)


def test_to_pandas_falls_back_to_positions(market, run_cfg):
    _, scores, univ = market
    with pytest.warns(RuntimeWarning):
        f = whole("TopM", run_cfg("TopM", LIMITS), scores, univ).to_pandas()
    assert list(f.weights.index) == list(range(24)) and list(f.weights.columns) == univ.tolist()

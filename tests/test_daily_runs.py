"""Daily runs that cannot go silently wrong: settings refused or warned about,
a cfg left as it was, rows not computed named and optionally held, saves
that survive a failure half-way, and messages that say what to do."""

import os
import warnings

import numpy as np
import pytest

import Kestrel
from Kestrel.tables import ALGORITHMS

from helpers import fake_market

LIMITS = {"f0": 0.05, "f1": 0.1}


def run(algo, cfg, scores, univ, **kw):
    return Kestrel.run(algo, "000300", 1.0, cfg, scores, univ, progress=False, **kw)


@pytest.fixture
def mkt(fake_vela):
    data = fake_market(T=10, M=120, K=2, seed=3, n_bench=60)
    data["weight300"][[3, 7]] *= 0.5  # two dates whose universe holds too little of the benchmark
    fake_vela(data)
    univ = np.random.default_rng(4).permutation(100)
    scores = np.random.default_rng(5).standard_normal((10, 100))
    scores[5] = 1.0  # all equal: no usable scores
    return scores, univ


# (setting, value, the range the message gives)
OUT_OF_RANGE = [
    ("decay", 3.0, "[0, 1]"), ("decay", -1.0, "[0, 1]"), ("decay", float("nan"), "[0, 1]"),
    ("learning_rate", 0.0, "(0, inf)"), ("learning_rate", -0.5, "(0, inf)"),
    ("max_loop_num", 0, "[1, inf)"), ("weight_multi", 0.0, "(0, inf)"), ("weight_multi", -2.0, "(0, inf)"),
    ("risk_cost", -0.1, "[0, inf)"), ("bench_coeff", float("nan"), "the real numbers"),
    ("risk_factor_expo", {"f0": -0.01, "f1": 0.1}, "[0, inf)"),
    ("each_sector_expo", -0.02, "[0, 0.2]"),
]


@pytest.mark.parametrize("key, value, span", OUT_OF_RANGE, ids=lambda x: str(x))
def test_settings_out_of_range_are_refused_by_run_and_warned_about_by_the_entry_functions(mkt, run_cfg, key, value,
                                                                                          span):
    scores, univ = mkt
    cfg = run_cfg("TopM", LIMITS, **{key: value})
    name = "'each_sector_expo' (the sectors' limit)" if key == "each_sector_expo" else (
        "'risk_factor_expo' limit of 'f0'" if key == "risk_factor_expo" else f"'{key}'")
    with pytest.raises(ValueError) as ei:
        run("TopM", cfg, scores, univ)
    assert f"setting {name} is " in str(ei.value) and f", outside {span} (" in str(ei.value)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            Kestrel.opt_gen_position_topm("000300", 1.0, run_cfg("TopM", LIMITS, **{key: value}), scores, univ)
        except Kestrel.PositionError:
            pass  # what the setting does is the fixed surface's business; the warning came first
    said = [str(w.message) for w in caught if w.category is Kestrel.SettingsWarning]
    assert len(said) == 1 and f"setting {name} is" in said[0] and said[0].endswith("taken as given")


def test_run_leaves_cfg_as_it_was_and_reads_a_cfg_an_entry_function_extended_as_the_same_settings(mkt, run_cfg):
    scores, univ = mkt
    cfg = run_cfg("TopM2", LIMITS, each_sector_expo=0.1)
    fresh = run_cfg("TopM2", LIMITS, each_sector_expo=0.1)
    with pytest.warns(Kestrel.SkippedRowsWarning):
        first = run("TopM2", cfg, scores, univ)
    assert cfg == fresh and first.factor_count == 2 and len(first.risk_names) == 30
    with pytest.warns(RuntimeWarning):
        Kestrel.opt_gen_position_topm2("000300", 1.0, cfg, scores, univ)  # adds the 28 sectors to cfg, as it must
    assert len(cfg["risk_factor_expo"]) == 30
    with pytest.warns(Kestrel.SkippedRowsWarning):
        again = run("TopM2", cfg, scores, univ)
    assert again.factor_count == 2 and again.risk_names == first.risk_names
    assert again.weights.tobytes() == first.weights.tobytes() and len(cfg["risk_factor_expo"]) == 30


def test_rows_not_computed_are_named_once_and_held_on_request(mkt, run_cfg):
    scores, univ = mkt
    cfg = run_cfg("TopEqual", LIMITS)
    with pytest.warns(Kestrel.SkippedRowsWarning) as caught:
        zero = run("TopEqual", cfg, scores, univ)
    assert len(caught) == 1
    said = str(caught[0].message)
    assert "2 date(s) skipped because the universe holds less than 80%" in said and "rows [3, 7]" in said
    assert "1 date(s) left empty" in said and "rows [5]" in said and "on_skip='hold'" in said
    assert (zero.weights[[3, 5, 7]] == 0).all()
    with pytest.warns(Kestrel.SkippedRowsWarning, match="keep the previous row's weights"):
        held = run("TopEqual", cfg, scores, univ, on_skip="hold")
    for r in (3, 5, 7):
        assert held.weights[r].tobytes() == held.weights[r - 1].tobytes() and held.turnover[r] == 0
    assert held.status.tolist() == zero.status.tolist()
    assert held.weights[:3].tobytes() == zero.weights[:3].tobytes()
    # Held, and continued from any row: the same rows bit for bit.
    for split in (2, 3, 5, 6, 7):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", Kestrel.SkippedRowsWarning)
            head = run("TopEqual", cfg, scores[: split + 1], univ, on_skip="hold")
            tail = run("TopEqual", cfg, scores, univ, start=head.state, on_skip="hold")
        got = np.concatenate([head.weights, tail.weights])
        assert got.tobytes() == held.weights.tobytes(), split
    with pytest.raises(ValueError, match="on_skip must be 'zero'"):
        run("TopEqual", cfg, scores, univ, on_skip="keep")


@pytest.mark.parametrize("algo", ALGORITHMS)
def test_turnover_is_one_way_from_the_row_before(mkt, run_cfg, algo):
    scores, univ = mkt
    with pytest.warns(Kestrel.SkippedRowsWarning):
        r = run(algo, run_cfg(algo, LIMITS), scores, univ)
    before = np.vstack([np.zeros(len(univ)), r.weights[:-1]])
    np.testing.assert_allclose(r.turnover, 0.5 * np.abs(r.weights - before).sum(axis=1), rtol=1e-13, atol=1e-15)
    assert r.turnover[0] == pytest.approx(0.5)  # the first row, from cash
    # One definition everywhere a number is called turnover.
    from Kestrel.report import run_turnover
    np.testing.assert_array_equal(run_turnover(r), r.turnover)
    np.testing.assert_array_equal(r.to_pandas().dates["turnover"].to_numpy(), r.turnover)


def test_an_interrupted_save_leaves_the_previous_file_whole(mkt, run_cfg, tmp_path, monkeypatch):
    scores, univ = mkt
    with pytest.warns(Kestrel.SkippedRowsWarning):
        yesterday = run("TopM", run_cfg("TopM", LIMITS), scores[:6], univ)
        today = run("TopM", run_cfg("TopM", LIMITS), scores, univ)
    path = tmp_path / "state.npz"
    yesterday.save(path)
    before = path.read_bytes()

    def half_then_fail(f, **arrays):
        f.write(b"PK\x03\x04 half a file")
        raise OSError(28, "No space left on device")
    monkeypatch.setattr(np, "savez", half_then_fail)
    with pytest.raises(OSError, match="No space left"):
        today.save(path)
    monkeypatch.undo()
    assert path.read_bytes() == before and os.listdir(tmp_path) == ["state.npz"]  # no half file left behind
    back = Kestrel.RunResult.load(path)
    assert back.weights.tobytes() == yesterday.weights.tobytes()
    today.save(path)
    assert Kestrel.RunResult.load(path).state.row == 9


def test_the_messages_say_what_to_do(standin, run_cfg, fake_vela):
    import VelaIntradayModel as vim
    scores, univ = standin.scores, standin.univ
    cfg = run_cfg("TopM", {"sizee": 0.3})
    with pytest.raises(KeyError) as ei:
        run("TopM", cfg, scores, univ)
    assert "did you mean 'size'" in str(ei.value) and "cfg['risk_factor_expo']" in "".join(ei.value.__notes__)
    cfg = run_cfg("TopM", {"size": 0.3})
    with pytest.raises(IndexError) as ei:
        run("TopM", cfg, scores, univ.astype(float))
    assert "astype(numpy.int64)" in "".join(ei.value.__notes__)
    with pytest.raises(ValueError, match="univ_idx has length") as ei:
        run("TopM", cfg, scores.T[:, :40], univ[:40])
    with pytest.raises(ValueError, match="univ_idx has length") as ei:
        run("TopM", cfg, np.ascontiguousarray(scores.T), univ)
    assert "looks transposed" in "".join(ei.value.__notes__) and "predictValues.T" in "".join(ei.value.__notes__)
    with pytest.raises(np.exceptions.AxisError if hasattr(np, "exceptions") else np.AxisError) as ei:
        run("TopM", cfg, scores[0], univ)
    assert "scores[None, :]" in "".join(ei.value.__notes__)
    with pytest.raises(ValueError, match="must hold every member of the covered benchmarks"):
        vim.default_universe(standin.market, 100, cover=("weight300",))


def test_codes_that_lost_their_leading_zeros_are_recognised(standin):
    pd = pytest.importorskip("pandas")
    import VelaIntradayModel as vim
    from Kestrel.frames import inputs_from_frame
    codes = vim.securities()[standin.univ[:5]]
    frame = pd.DataFrame(standin.scores[:, :5], index=vim.dates()[: len(standin.scores)],
                         columns=[int(c) for c in codes])
    with pytest.raises(KeyError) as ei:
        inputs_from_frame(frame)
    assert "lost their leading zeros" in "".join(ei.value.__notes__) and "zfill(6)" in "".join(ei.value.__notes__)

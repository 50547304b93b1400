"""Continued runs that cannot go silently wrong: what a state records, the
universe it is refused for, the settings it warns about, moving it onto
another universe, and saved files that are damaged."""

import warnings
import zipfile

import numpy as np
import pytest

import Kestrel
from Kestrel.runs import RunFileError, reindex_state

from helpers import fake_market

LIMITS = {"f0": 0.05, "f1": 0.1}
N = 120


@pytest.fixture
def mkt(fake_vela, run_cfg):
    data = fake_market(T=12, M=200, K=2, seed=8)
    data["weight500"] = data["weight300"].copy()  # a second benchmark code with the same members
    fake_vela(data)
    scores = np.random.default_rng(9).standard_normal((12, 200))  # by library column
    univ = np.random.default_rng(10).permutation(np.r_[0:100, 130:150])

    def run(univ_idx=univ, rows=12, algo="TopM", bench="000300", pct=1.0, start=None, **over):
        cfg = run_cfg(algo, LIMITS, **over)
        return Kestrel.run(algo, bench, pct, cfg, scores[:rows][:, univ_idx], univ_idx, start=start, progress=False)
    run.univ = univ
    return run


def test_a_run_state_records_what_made_it_and_a_hand_made_one_nothing(mkt):
    s = mkt(rows=6).state
    assert s.univ_idx.tolist() == mkt.univ.tolist() and not s.univ_idx.flags.writeable
    assert (s.algorithm, s.bench_symbol, s.secu_pct) == ("TopM", "000300", 1.0)
    assert s.settings == mkt(rows=7).state.settings == {
        "weight_multi": 3.0, "risk_cost": 0.1, "max_weight": -1.0, "bench_coeff": 0.5, "pre_coeff": 0.5,
        "decay": 0.6, "learning_rate": 0.1, "max_loop_num": 100.0, "limits": LIMITS}
    held = Kestrel.RunState(5, s.weights)
    assert (held.univ_idx, held.algorithm, held.bench_symbol, held.secu_pct, held.settings) == (None,) * 5
    assert "TopM on 000300" in repr(s)


def universes(univ):
    swapped = univ.copy()
    swapped[:30] = np.arange(150, 180)
    return {"permuted": (univ[::-1], "the same 120 columns in another order"),
            "swapped": (swapped, "30 of its 120 columns are not in univ_idx and 30 of univ_idx's 120 are new"),
            "smaller": (univ[:100], "20 of its 120 columns are not in univ_idx and 0 of univ_idx's 100")}


@pytest.mark.parametrize("case", ["permuted", "swapped", "smaller"])
def test_another_universe_is_refused_saying_how_to_map_the_weights(mkt, case):
    state = mkt(rows=6).state
    other, how = universes(mkt.univ)[case]
    with pytest.raises(ValueError, match="start was made for another universe") as ei:
        mkt(other, start=state)
    assert how in str(ei.value) and "Kestrel.reindex_state(start, univ_idx)" in str(ei.value)
    moved = reindex_state(state, other)
    with warnings.catch_warnings():
        warnings.simplefilter("error", Kestrel.StateMismatchWarning)
        warnings.simplefilter("ignore", Kestrel.SkippedRowsWarning)  # fewer benchmark members in some
        r = mkt(other, start=moved.state)
    assert r.rows.tolist() == list(range(6, 12)) and r.state.univ_idx.tolist() == other.tolist()
    if case == "permuted":  # the same portfolio, the columns in another order
        whole = mkt(start=state)
        np.testing.assert_allclose(r.weights[:, ::-1], whole.weights, rtol=0, atol=1e-12)
    else:
        held = np.asarray(state.weights)
        gone = ~np.isin(mkt.univ, other)
        assert moved.dropped == {int(c): float(w) for c, w in zip(mkt.univ[gone], held[gone]) if w != 0}
        assert np.isclose(sum(moved.dropped.values()) + moved.state.weights.sum(), held.sum())


def test_a_hand_made_state_is_checked_for_its_length_only(mkt):
    state = mkt(rows=6).state
    mkt(mkt.univ[::-1], start=Kestrel.RunState(5, state.weights))  # taken: nothing recorded
    with pytest.raises(ValueError, match="start.weights has length 120, expected 100"):
        mkt(mkt.univ[:100], start=Kestrel.RunState(5, state.weights))
    with pytest.raises(ValueError, match="pass old_univ_idx"):
        reindex_state(Kestrel.RunState(5, state.weights), mkt.univ[:100])
    moved = reindex_state(Kestrel.RunState(5, state.weights), mkt.univ[:100], old_univ_idx=mkt.univ)
    assert moved.state.univ_idx.tolist() == mkt.univ[:100].tolist() and moved.state.algorithm is None


@pytest.mark.parametrize("change, named", [
    ({"algo": "TopKR", "num_long": 30}, "algorithm 'TopM' (this run: 'TopKR')"),
    ({"bench": "000905"}, "benchmark '000300' (this run: '000905')"),
    ({"pct": 1.05}, "secu_pct 1.0 (this run: 1.05)"),
    ({"decay": 0.9}, "decay 0.6 (this run: 0.9)"),
    ({"risk_factor_expo": {"f0": 0.05, "f1": 0.2}}, "the limit of 'f1' 0.1 (this run: 0.2)"),
    ({"risk_factor_expo": {"f0": 0.05}}, "the limit of 'f1' 0.1 (this run: none)"),
    ({"algo": "TopEqual", "pct": 1.02, "max_loop_num": 3},
     "algorithm 'TopM' (this run: 'TopEqual'), secu_pct 1.0 (this run: 1.02), each_single_weight unset (this run: "
     "0.02), max_loop_num 100 (this run: 3) and weight_multi 3 (this run: unset)"),
])
def test_other_settings_are_taken_with_one_warning(mkt, change, named):
    state = mkt(rows=6).state
    with pytest.warns(Kestrel.StateMismatchWarning) as caught:
        r = mkt(start=state, **change)
    assert len(caught) == 1 and named in str(caught[0].message)
    assert issubclass(Kestrel.StateMismatchWarning, Kestrel.KestrelWarning) and r.rows[0] == 6


def test_same_settings_and_unread_ones_continue_silently(mkt):
    state = mkt(rows=6).state
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        mkt(start=state, print_result=False, num_long=7)  # TopM reads neither


@pytest.mark.parametrize("weights, smoothed, match", [
    (0.005, [np.nan] + [0.0] * (N - 1), "RunState.smoothed must be finite; entry 0 is nan"),
    (0.005, [0.0] * (N - 1) + [np.inf], "RunState.smoothed must be finite; entry 119 is inf"),
    (0.005, [0.0] * (N - 1), "RunState.smoothed has length 119, expected 120"),
    (0.005, [[0.0] * N], "RunState.smoothed"),
])
def test_smoothed_scores_are_checked_like_weights(weights, smoothed, match):
    with pytest.raises(ValueError, match=match):
        Kestrel.RunState(3, np.full(N, weights), smoothed)


@pytest.mark.parametrize("total, pct, refused", [
    (1.0032, 1.0, True), (1.0011, 1.0, True), (1.0009, 1.0, False), (1.0, 1.0, False), (0.5, 1.0, False),
    (1.0, 0.95, True), (0.9509, 0.95, False),
])
def test_held_weights_above_the_target_are_refused_up_front(mkt, total, pct, refused):
    held = Kestrel.RunState(5, np.full(N, total / N), np.zeros(N))
    if refused:
        said = rf"sum to {float(held.weights.sum())!r}, more than secu_pct {pct} allows \(at most {pct} \+"
        with pytest.raises(ValueError, match=said):
            mkt(start=held, pct=pct)
    else:
        assert mkt(start=held, pct=pct).rows[0] == 6


def test_save_load_round_trips_the_record_and_reads_files_without_one(mkt, tmp_path):
    r = mkt(rows=6)
    r.save(tmp_path / "run.npz")
    back = Kestrel.RunResult.load(tmp_path / "run.npz").state
    for name in ("algorithm", "bench_symbol", "secu_pct", "settings"):
        assert getattr(back, name) == getattr(r.state, name)
    assert back.univ_idx.tolist() == mkt.univ.tolist()
    with pytest.raises(ValueError, match="another universe"):
        mkt(mkt.univ[::-1], start=back)
    with np.load(tmp_path / "run.npz") as z:  # as saved before states recorded what made them
        np.savez(tmp_path / "old.npz", **{k: z[k] for k in z.files if k not in
                                          ("state_univ_idx", "state_algorithm", "state_bench_symbol",
                                           "state_secu_pct", "state_settings")})
    old = Kestrel.RunResult.load(tmp_path / "old.npz").state
    assert (old.univ_idx, old.algorithm, old.settings) == (None, None, None)
    assert mkt(start=old).rows[0] == 6


def _damage(kind, good, path):
    """Writes a damaged copy of the saved run `good` to `path`."""
    raw = good.read_bytes()
    with np.load(good) as z:
        arrays = {k: z[k] for k in z.files}
    if kind == "truncated":
        path.write_bytes(raw[: len(raw) // 2])
    elif kind == "empty":
        path.write_bytes(b"")
    elif kind == "garbage":
        path.write_bytes(np.random.default_rng(0).bytes(500))
    elif kind == "npy":
        with open(path, "wb") as f:
            np.save(f, arrays["weights"])
    elif kind == "pickled":
        arrays["status"] = np.array([object()] * len(arrays["status"]), dtype=object)
        with open(path, "wb") as f:
            np.savez(f, **arrays)
    elif kind == "bad zip member":
        with zipfile.ZipFile(path, "w") as zf:
            zf.writestr("weights.npy", b"\x93NUMPY not really")
    else:
        change = {
            "no seconds_total": lambda a: a.pop("seconds_total"),
            "no weights": lambda a: a.pop("weights"),
            "status 99": lambda a: a["status"].__setitem__(2, 99),
            "state_row 10**6": lambda a: a.__setitem__("state_row", np.int64(10**6)),
            "rows reversed": lambda a: a.__setitem__("rows", a["rows"][::-1].copy()),
            "rows negative": lambda a: a.__setitem__("rows", a["rows"] - 10),
            "text weights": lambda a: a.__setitem__("weights", a["weights"].astype(str)),
            "weights nan": lambda a: a["weights"].__setitem__((0, 0), np.nan),
            "rows 2-d": lambda a: a.__setitem__("rows", a["rows"][:, None]),
            "state weights short": lambda a: a.__setitem__("state_weights", a["state_weights"][:-1]),
            "univ_idx short": lambda a: a.__setitem__("state_univ_idx", a["state_univ_idx"][:-1]),
        }[kind]
        change(arrays)
        with open(path, "wb") as f:
            np.savez(f, **arrays)


@pytest.mark.parametrize("kind, says", [
    ("truncated", "damaged"), ("empty", "is empty"), ("garbage", "no zip archive"),
    ("npy", "single .npy array"), ("pickled", "damaged"), ("bad zip member", "not a saved Kestrel run: no rows"),
    ("no seconds_total", "no seconds_total"), ("no weights", "no weights"),
    ("status 99", "status 99 at position 2 is no date status"),
    ("state_row 10**6", "state_row is 1000000, not the last row 5"),
    ("rows reversed", r"rows are not ascending \(5 then 4\)"), ("rows negative", "rows start at -10"),
    ("text weights", "weights has dtype <U"), ("weights nan", "weights must be finite"),
    ("rows 2-d", "RunResult.rows must be 1-dimensional"),
    ("state weights short", "RunState.smoothed has length 120, expected 119"),
    ("univ_idx short", "RunState.univ_idx must be one column per weight"),
])
def test_a_damaged_file_gives_one_error_naming_file_and_fault(mkt, tmp_path, kind, says):
    good = tmp_path / "good.npz"
    mkt(rows=6).save(good)
    bad = tmp_path / "bad.npz"
    _damage(kind, good, bad)
    with pytest.raises(RunFileError, match=says) as ei:
        Kestrel.RunResult.load(bad)
    assert str(bad) in str(ei.value) and isinstance(ei.value, ValueError)

"""The seven entry functions, and whole runs compared with the plain numpy implementation."""

import copy
import warnings

import numpy as np
import pytest

import Kestrel
from Kestrel.tables import ALGORITHMS as ALGOS
from Kestrel.tables import ENTRY_FUNCTIONS

try:
    import numpy_baseline as nb
except ImportError:  # pragma: no cover - the baseline is optional
    nb = None

ENTRIES = list(ENTRY_FUNCTIONS.items())


def all_settings(run_cfg, **over):
    cfg = {}
    for algo in ALGOS:
        cfg.update(run_cfg(algo, {"size": 0.2, "momentum": 0.1}, each_sector_expo=0.1, **over))
    return cfg


@pytest.mark.parametrize("fname,algo", ENTRIES)
def test_fixed_entry_runs_its_algorithm(standin, run_cfg, fname, algo):
    cfg = all_settings(run_cfg)
    by_class = {a: Kestrel.OptimizerTopM(a, "000300", 1.0, copy.deepcopy(cfg)).gen_position(
        standin.scores, standin.univ) for a in ALGOS}
    got = getattr(Kestrel, fname)(bench_symbol="000300", secu_pct=1.0, cfg=cfg,
                                  predictValues=standin.scores, univ_idx=standin.univ)
    assert [a for a in ALGOS if np.array_equal(got, by_class[a])] == [algo]
    assert len(cfg["risk_factor_expo"]) == 30  # the caller's own mapping gained the sectors


@pytest.mark.parametrize("fname,algo", ENTRIES[1:])
def test_type_entry_matches_fixed_entry(standin, run_cfg, fname, algo):
    cfg = all_settings(run_cfg, type=algo)
    want = getattr(Kestrel, fname)("000300", 1.0, copy.deepcopy(cfg), standin.scores, standin.univ)
    got = Kestrel.opt_gen_position_type("000300", 1.0, cfg, standin.scores, standin.univ)
    assert np.array_equal(got, want)
    assert cfg["type"] == algo and len(cfg["risk_factor_expo"]) == 30


@pytest.mark.parametrize("name", ["topm", "TopM ", "TOPKR", "Top", 3, None])
def test_type_entry_rejects_other_names(fake_vela, run_cfg, name):
    lib = fake_vela()
    cfg = all_settings(run_cfg, type=name)
    with pytest.raises(Exception) as ei:
        Kestrel.opt_gen_position_type("000300", 1.0, cfg, np.zeros((3, 4)), np.arange(4))
    assert type(ei.value) is Exception and str(ei.value) == f"Wrong opt_name:{name}"
    assert lib.calls == [] and len(cfg["risk_factor_expo"]) == 2


def test_type_entry_without_type(fake_vela, run_cfg):
    lib = fake_vela()
    with pytest.raises(KeyError) as ei:
        Kestrel.opt_gen_position_type("000300", 1.0, all_settings(run_cfg), np.zeros((3, 4)), np.arange(4))
    assert ei.value.args == ("type",) and lib.calls == []


# ------------------------------------------------------------ differential

def anomalous_market(fake_vela):
    """Fake library and scores with every irregularity the driver handles."""
    T, M = 20, 260
    lib = fake_vela(T=T, M=M, K=3, seed=5, n_bench=120)
    rng = np.random.default_rng(6)
    univ = rng.permutation(np.r_[0:120, rng.choice(np.arange(120, M), 100, replace=False)])
    univ[::7] -= M                                       # negative positions count from the end
    d = lib.data
    d["f0"][rng.random((T, M)) < 0.03] = np.nan
    d["f1"][3, univ[:3]] = [np.inf, -np.inf, np.inf]
    d["f2"][:, :] = 1.0                                  # flat factor, controlled with a negative limit
    d["weight300"][4] *= 0.7999                          # below the benchmark floor
    d["weight300"][9, univ[1]] = np.nan
    d["weight300"][11, univ[:2]] = np.inf                # sum overflows: all benchmark weights 0
    pv = rng.standard_normal((T, len(univ)))
    pv[2, 5], pv[6, 9], pv[7, 4] = np.nan, np.inf, -np.inf
    pv[13] = 4.0                                         # constant row
    limits = {"f0": 0.05, "f2": -1.0, "f1": 0.08}
    return pv, univ, limits, 0.2


def standin_case(standin):
    return standin.scores, standin.univ, {"size": 0.1, "beta": 0.1, "momentum": 0.05}, 0.05


def capture(fn, capsys, *args):
    with warnings.catch_warnings(record=True) as rec:
        warnings.simplefilter("always")
        out = fn(*args)
    warned = [str(r.message) for r in rec if "left empty" in str(r.message)]
    return out, capsys.readouterr().out.splitlines(), warned


@pytest.mark.skipif(nb is None, reason="bench/numpy_baseline.py not importable")
@pytest.mark.parametrize("algo", ALGOS)
@pytest.mark.parametrize("market,secu_pct", [("standin", 1.0), ("standin", 0.95), ("anomalies", 1.0)])
def test_whole_runs_match_numpy_implementation(request, fake_vela, run_cfg, capsys, market, secu_pct, algo):
    if market == "standin":
        pv, univ, limits, sector = standin_case(request.getfixturevalue("standin"))
    else:
        pv, univ, limits, sector = anomalous_market(fake_vela)
    cfg = run_cfg(algo, limits, each_sector_expo=sector, print_result=True, max_loop_num=30,
                  each_single_weight=0.03)
    entry = "opt_gen_position_" + algo.lower()
    args = ("000300", secu_pct, cfg, pv, univ)
    got, lines, warned = capture(getattr(Kestrel, entry), capsys, *copy.deepcopy(args))
    want, want_lines, want_warned = capture(getattr(nb, entry), capsys, *copy.deepcopy(args))
    np.testing.assert_allclose(got, want, rtol=0, atol=1e-9)
    assert warned == want_warned
    assert len(lines) == len(want_lines) > 0
    for a, b in zip(lines, want_lines):
        ta, tb = a.split(" "), b.split(" ")
        assert len(ta) == len(tb) and ta[:3] == tb[:3] and ta[-2] == tb[-2]
        for x, y in zip(ta, tb):
            if x != y:
                # summation order may differ: huge exposures agree relatively
                assert float(x.strip("[]")) == pytest.approx(float(y.strip("[]")), rel=1e-12, abs=1e-9)

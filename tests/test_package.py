"""The package's shape: a private compiled engine that imports nothing of the
project's Python, the public names as the engine defines them, the former
module name as an alias, and files saved by the release before the move."""

import hashlib
import json
import pydoc
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

import Kestrel

from helpers import fake_market

DATA = Path(__file__).with_name("data")
FIXED = [n for n in dir(Kestrel._engine) if n.startswith("opt_gen_position")] + [
    "OptimizerTopM", "PositionError", "KestrelWarning", "SettingsWarning"]


@pytest.mark.parametrize("name", FIXED)
def test_the_fixed_surface_is_the_engine_s_own_under_the_name_kestrel(name):
    obj = getattr(Kestrel, name)
    assert obj is getattr(Kestrel._engine, name) and obj.__module__ == "Kestrel"


def test_help_of_the_fixed_surface_is_as_the_release_before_the_move_printed_it():
    # sha256 of pydoc's plain-text help of every fixed-surface callable, as that release rendered it.
    want = json.loads((DATA / "fixed_surface_help.json").read_text())
    got = {}
    for name in want:
        obj = Kestrel
        for part in name.split("."):
            obj = getattr(obj, part)
        got[name] = hashlib.sha256(pydoc.render_doc(obj, renderer=pydoc.plaintext).encode()).hexdigest()[:16]
    assert got == want
    assert pydoc.render_doc(Kestrel.opt_gen_position, renderer=pydoc.plaintext).splitlines()[:3] == [
        "Python Library Documentation: built-in function opt_gen_position in module Kestrel", "",
        "opt_gen_position(bench_symbol, secu_pct, cfg, predictValues, univ_idx)"]


def test_the_former_module_names_are_the_same_modules():
    import kestrel_tools
    import kestrel_tools.runs
    from kestrel_tools.evaluation import evaluate
    for name in kestrel_tools.__all__:
        assert getattr(kestrel_tools, name) is getattr(Kestrel, name) is sys.modules[f"kestrel_tools.{name}"]
    assert evaluate is Kestrel.evaluation.evaluate and kestrel_tools.runs.load is Kestrel.runfile.load


ENGINE_ALONE = r"""
import importlib.machinery, importlib.util, re, sys, types
from types import SimpleNamespace
import numpy as np
found = importlib.util.spec_from_loader("Kestrel._engine", importlib.machinery.ExtensionFileLoader(
    "Kestrel._engine", sys.argv[1]))
engine = importlib.util.module_from_spec(found)
found.loader.exec_module(engine)
rng = np.random.default_rng(0)
data = {"weight300": np.full((4, 30), 100 / 30), "f0": rng.standard_normal((4, 30)),
        "ZXZQSector": rng.integers(0, 28, (4, 30)).astype(float)}
lib = types.ModuleType("VelaIntradayModel")
def RunLoopOnce(names):
    out = []
    for n in names:
        m = re.fullmatch(r"if\(ZXZQSector==(\d+),1,0\)", n)
        out.append(SimpleNamespace(array=(data["ZXZQSector"] == int(m[1])).astype(float) if m else data[n]))
    return out
lib.RunLoopOnce = RunLoopOnce
sys.modules["VelaIntradayModel"] = lib
cfg = {"print_result": False, "weight_multi": 2.0, "risk_cost": 0.1, "decay": 0.5, "bench_coeff": 0.5,
       "pre_coeff": 0.5, "each_sector_expo": 0.1, "risk_factor_expo": {"f0": 0.3}}
w = engine.opt_gen_position_topm("000300", 1.0, dict(cfg, risk_factor_expo={"f0": 0.3}), rng.standard_normal((4, 30)),
                                 np.arange(30))
out = engine.run_dates(engine.prepare("TopM", "000300", 1.0, cfg, rng.standard_normal((4, 30)), np.arange(30)),
                       progress=False)
assert w.shape == out["weights"].shape == (4, 30)
ours = sorted(m for m in sys.modules if m.split(".")[0] in ("Kestrel", "kestrel_tools"))
print(ours)
"""


def test_the_compiled_engine_runs_alone_and_imports_nothing_of_the_project():
    r = subprocess.run([sys.executable, "-c", ENGINE_ALONE, Kestrel._engine.__file__], capture_output=True,
                       text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "[]"


@pytest.mark.parametrize("imports, absent", [
    ("Kestrel", ("numpy", "pandas", "matplotlib", "dask", "highspy")),  # the engine alone: quick
    ("Kestrel, kestrel_tools; Kestrel.run", ("pandas", "matplotlib", "dask", "highspy", "scipy")),
])
def test_importing_kestrel_loads_no_optional_dependency(imports, absent):
    code = f"import sys, {imports}; print(sorted(m for m in {absent!r} if m in sys.modules))"
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "[]"


# The inputs of tests/data/run_saved_by_0.1.npz, which the release before the package move saved:
# Kestrel.run("TopM", "000300", 1.0, CFG, SCORES[:8], UNIV) on this market.
CFG = {"print_result": False, "decay": 0.6, "bench_coeff": 0.5, "pre_coeff": 0.5, "each_sector_expo": 0.1,
       "weight_multi": 3.0, "risk_cost": 0.1, "risk_factor_expo": {"f0": 0.05, "f1": 0.1}}
SCORES = np.random.default_rng(6).standard_normal((12, 70))
UNIV = np.random.default_rng(7).permutation(70)


@pytest.fixture
def old_market(fake_vela):
    fake_vela(fake_market(T=12, M=80, K=2, seed=5, n_bench=50))


def test_a_file_of_the_release_before_loads_with_the_same_arrays_and_record(old_market):
    old = Kestrel.RunResult.load(DATA / "run_saved_by_0.1.npz")
    now = Kestrel.run("TopM", "000300", 1.0, CFG, SCORES[:8], UNIV, progress=False)
    for name in ("weights", "rows", "limits", "status", "loop_count", "first_expo", "last_expo", "expo", "over_limit",
                 "bench_hold", "hold_num", "total", "univ_idx", "finished", "finish_moved", "finish_status"):
        a, b = getattr(old, name), getattr(now, name)
        assert a.dtype == b.dtype and a.tobytes() == b.tobytes(), name
    assert old.risk_names == now.risk_names and old.factor_count == now.factor_count == 2
    for name in ("row", "algorithm", "bench_symbol", "secu_pct"):
        assert getattr(old.state, name) == getattr(now.state, name)
    assert old.state.weights.tobytes() == now.state.weights.tobytes()
    assert old.state.smoothed.tobytes() == now.state.smoothed.tobytes()
    # It recorded a fingerprint of the settings, not the settings themselves.
    assert isinstance(old.state.settings, str) and isinstance(now.state.settings, dict)
    # Fields it never had read as nothing happened.
    assert (old.gave_way == "").all() and (old.excess == 0).all() and old.no_buy is None


def test_a_run_continued_from_an_old_file_equals_the_whole_run(old_market):
    state = Kestrel.RunResult.load(DATA / "run_saved_by_0.1.npz").state
    whole = Kestrel.run("TopM", "000300", 1.0, CFG, SCORES, UNIV, progress=False)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # the fingerprint matches these settings
        rest = Kestrel.run("TopM", "000300", 1.0, CFG, SCORES, UNIV, start=state, progress=False)
    assert rest.weights.tobytes() == whole.weights[8:].tobytes()
    assert rest.state.smoothed.tobytes() == whole.state.smoothed.tobytes()
    with pytest.warns(Kestrel.StateMismatchWarning, match="records only a fingerprint"):
        Kestrel.run("TopM", "000300", 1.0, dict(CFG, decay=0.5), SCORES, UNIV, start=state, progress=False)


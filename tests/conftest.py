import pytest

import Kestrel


@pytest.fixture
def make_opt():
    """OptimizerTopM factory: make_opt(name="TopM", secu_pct=1.0, cfg=None, bench="000300")."""
    def make(name="TopM", secu_pct=1.0, cfg=None, bench="000300"):
        return Kestrel.OptimizerTopM(name, bench, secu_pct, {} if cfg is None else cfg)
    return make


@pytest.fixture
def opt(make_opt):
    return make_opt()


# ---------------------------------------------------------------- whole runs
# Fixtures for the run-level tests (gen_position, entry functions, exposure
# loop, faults): settings, a recording data library and the stand-in market.
import re as _re
import sys as _sys
import types as _types
from types import SimpleNamespace as _NS

import numpy as _np
import pytest as _pytest

_RUN_ALGO_KEYS = {
    "TopM": {"weight_multi": 3.0, "risk_cost": 0.1},
    "TopM2": {"weight_multi": 3.0},
    "TopKR": {"num_long": 40},
    "TopEqual": {"each_single_weight": 0.02, "risk_cost": 0.1},
    "TopEqual2": {"each_single_weight": 0.02},
}
_REPORT_RE = _re.compile(
    r"(\d+) LoopCount: (-?\d+) FirstExpo: (\[[^\]]*\]|None) LastExpo: (\[[^\]]*\]|None) "
    r"BenchHold: (\S+) HoldNum: \((\d+),\) (\S+)")


@_pytest.fixture
def run_cfg():
    """Settings holding only what `algo` reads, limits copied into a fresh dict."""
    def make(algo, limits=(), **over):
        cfg = {"print_result": False, "decay": 0.6, "bench_coeff": 0.5, "pre_coeff": 0.5,
               "each_sector_expo": 0.5, **_RUN_ALGO_KEYS[algo], "risk_factor_expo": dict(limits)}
        cfg.update(over)
        return cfg
    return make


def _fake_market(T=24, M=240, K=3, seed=0, n_bench=100):
    """Library fields: weight300 (percent, first n_bench columns), f0..f{K-1}, sector codes."""
    rng = _np.random.default_rng(seed)
    bench = _np.zeros((T, M))
    bench[:, :n_bench] = rng.uniform(0.5, 1.5, (T, n_bench))
    bench *= 100.0 / bench.sum(axis=1, keepdims=True)
    data = {f"f{k}": rng.standard_normal((T, M)) for k in range(K)}
    data.update(weight300=bench, ZXZQSector=rng.integers(0, 28, (T, M)).astype(float))
    return data


@_pytest.fixture
def fake_vela(monkeypatch):
    """install(data=None, **market_kw) puts a recording VelaIntradayModel in sys.modules."""
    def install(data=None, **kw):
        lib = _types.ModuleType("VelaIntradayModel")
        lib.data, lib.calls = (_fake_market(**kw) if data is None else data), []

        def RunLoopOnce(names):
            lib.calls.append(list(names))
            out = []
            for n in names:
                m = _re.fullmatch(r"if\(ZXZQSector==(\d+),1,0\)", n)
                arr = (lib.data["ZXZQSector"] == int(m.group(1))).astype(float) if m else lib.data[n]
                out.append(_NS(array=arr))
            return out
        lib.RunLoopOnce = RunLoopOnce
        monkeypatch.setitem(_sys.modules, "VelaIntradayModel", lib)
        return lib
    return install


@_pytest.fixture(scope="session")
def standin_market(tmp_path_factory):
    import VelaIntradayModel as vim
    return vim.generate_market(tmp_path_factory.mktemp("run_market"), n_dates=30, n_secu=700,
                               n_factors=4, seed=7, bench_sizes={"weight300": 300}, nan_fraction=0.02)


@_pytest.fixture
def standin(standin_market, monkeypatch):
    """The stand-in library serving `standin_market`, with (market, univ_idx, scores)."""
    import VelaIntradayModel as vim
    monkeypatch.delenv(vim.ENV_VAR, raising=False)
    vim.clear()
    vim.set_store_dir(standin_market.path)
    univ = vim.default_universe(standin_market, 450, cover=("weight300",))
    yield _NS(market=standin_market, univ=univ, scores=vim.make_scores(standin_market, univ, seed=1))
    vim.clear()
    vim.set_store_dir(None)


@_pytest.fixture
def report_lines():
    """Parses captured stdout: every line must be a report line; returns the match groups."""
    def parse(text):
        lines = text.splitlines()
        found = [_REPORT_RE.fullmatch(line) for line in lines]
        assert all(found), [line for line, f in zip(lines, found) if not f]
        return [f.groups() for f in found]
    return parse


@_pytest.fixture
def clean_store(monkeypatch):
    """The stand-in's shared store emptied, with no directory, before and after."""
    import VelaIntradayModel as vim
    monkeypatch.delenv(vim.ENV_VAR, raising=False)
    vim.clear()
    vim.set_store_dir(None)
    yield
    vim.clear()
    vim.set_store_dir(None)

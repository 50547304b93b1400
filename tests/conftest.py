"""Fixtures shared by the test modules: optimizer factories, run settings, a
recording data library, the stand-in market and report-line parsing."""

import re
import sys
import types
from types import SimpleNamespace

import pytest

import Kestrel
from Kestrel.report import parse_report
from Kestrel.tables import ALGORITHM_SETTINGS

from helpers import ALGORITHM_SETTING_VALUES, fake_market


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

@pytest.fixture
def run_cfg():
    """Settings holding only what `algo` reads, limits copied into a fresh dict."""
    def make(algo, limits=(), **over):
        own = {key: ALGORITHM_SETTING_VALUES[key] for key in ALGORITHM_SETTINGS[algo]}
        cfg = {"print_result": False, "decay": 0.6, "bench_coeff": 0.5, "pre_coeff": 0.5,
               "each_sector_expo": 0.5, **own, "risk_factor_expo": dict(limits)}
        cfg.update(over)
        return cfg
    return make


@pytest.fixture
def fake_vela(monkeypatch):
    """install(data=None, **market_kw) puts a recording VelaIntradayModel in sys.modules."""
    def install(data=None, **kw):
        lib = types.ModuleType("VelaIntradayModel")
        lib.data, lib.calls = (fake_market(**kw) if data is None else data), []

        def RunLoopOnce(names):
            lib.calls.append(list(names))
            out = []
            for n in names:
                m = re.fullmatch(r"if\(ZXZQSector==(\d+),1,0\)", n)
                arr = (lib.data["ZXZQSector"] == int(m.group(1))).astype(float) if m else lib.data[n]
                out.append(SimpleNamespace(array=arr))
            return out
        lib.RunLoopOnce = RunLoopOnce
        monkeypatch.setitem(sys.modules, "VelaIntradayModel", lib)
        return lib
    return install


@pytest.fixture(scope="session")
def standin_market(tmp_path_factory):
    import VelaIntradayModel as vim
    return vim.generate_market(tmp_path_factory.mktemp("run_market"), n_dates=30, n_secu=700,
                               n_factors=4, seed=7, bench_sizes={"weight300": 300}, nan_fraction=0.02)


@pytest.fixture
def standin(standin_market, monkeypatch):
    """The stand-in library serving `standin_market`, with (market, univ_idx, scores)."""
    import VelaIntradayModel as vim
    monkeypatch.delenv(vim.ENV_VAR, raising=False)
    vim.clear()
    vim.set_store_dir(standin_market.path)
    univ = vim.default_universe(standin_market, 450, cover=("weight300",))
    yield SimpleNamespace(market=standin_market, univ=univ, scores=vim.make_scores(standin_market, univ, seed=1))
    vim.clear()
    vim.set_store_dir(None)


@pytest.fixture
def clean_store(monkeypatch):
    """The stand-in's shared store emptied, with no directory, before and after."""
    import VelaIntradayModel as vim
    monkeypatch.delenv(vim.ENV_VAR, raising=False)
    vim.clear()
    vim.set_store_dir(None)
    yield
    vim.clear()
    vim.set_store_dir(None)


@pytest.fixture
def report_lines():
    """Parses captured stdout into ReportLine records; every line must be a report line."""
    def parse(text):
        lines = text.splitlines()
        parsed = parse_report(lines)
        assert len(parsed) == len(lines), [line for line in lines if not parse_report([line])]
        return parsed
    return parse

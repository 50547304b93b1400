"""TQDM_DISABLE=1 hides the progress bar of whole runs, as the docs promise (tqdm reads it from 4.66 on)."""

import os
import re
import subprocess
import sys

import pytest

# A short in-memory stand-in market and both entry points that draw a bar.
SCRIPT = """
import Kestrel
import VelaIntradayModel as vim

market = vim.generate_market(None, n_dates=12, n_secu=300, n_factors=2, seed=7, bench_sizes={"weight300": 200})
univ = vim.default_universe(market, 250, cover=("weight300",))
scores = vim.make_scores(market, univ, seed=1)
cfg = {"weight_multi": 1.5, "risk_cost": 0.3, "decay": 0.3, "bench_coeff": 0.8, "pre_coeff": 0.9,
       "each_sector_expo": 0.5, "risk_factor_expo": {}, "print_result": False}
ENTRY
"""
ENTRIES = {
    "opt_gen_position_topm": 'Kestrel.opt_gen_position_topm("000300", 1.0, cfg, scores, univ)',
    "run": 'Kestrel.run("TopM", "000300", 1.0, cfg, scores, univ)',
}
BAR = re.compile(r"\d+/12 \[|%\|")


@pytest.mark.parametrize("entry", ENTRIES)
@pytest.mark.parametrize("disable", ["1", None], ids=["TQDM_DISABLE=1", "unset"])
def test_tqdm_disable_hides_the_bar(entry, disable, tmp_path):
    pytest.importorskip("VelaIntradayModel")
    env = {k: v for k, v in os.environ.items() if not k.startswith(("TQDM_", "VELA_STANDIN"))}
    if disable:
        env["TQDM_DISABLE"] = disable
    r = subprocess.run([sys.executable, "-c", SCRIPT.replace("ENTRY", ENTRIES[entry])], cwd=tmp_path, env=env,
                       capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr[-3000:]
    # Without the variable the bar is drawn, so its absence below is the variable's doing.
    assert bool(BAR.search(r.stderr)) is (disable is None), r.stderr[-3000:]

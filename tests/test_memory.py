"""Repeated runs, failed ones included, keep the process's memory flat."""

import contextlib
import gc
import os
import warnings

import numpy as np
import pytest

import Kestrel
from Kestrel.tables import ALGORITHMS as ALGOS


def rss_kib():
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer keeps freed memory in quarantine")
@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
def test_thousand_runs_keep_memory_flat(fake_vela, run_cfg):
    # Big enough that keeping any one result or library matrix per run would show: 1,000 runs
    # of a 4 x 400 weight matrix are 12.5 MiB.
    fake_vela(T=4, M=500, K=2, n_bench=300)
    univ = np.r_[0:300, 400:500]
    pv = np.random.default_rng(3).standard_normal((4, 400))
    bad = np.r_[univ[:-1], 500]
    opt = Kestrel.OptimizerTopM("TopM", "000300", 1.0, {})
    v, w = pv[0], np.full(400, 1 / 400)

    def once(i):
        algo = ALGOS[i % 5]
        cfg = run_cfg(algo, {"f0": 0.05, "f1": 0.05}, each_sector_expo=0.2 if i % 4 == 0 else 0.5,
                      print_result=i % 3 == 0, each_single_weight=0.01, max_loop_num=3)
        Kestrel.OptimizerTopM(algo, "000300", 1.0, cfg).gen_position(pv, univ)
        # The failure paths hold references too: a bad position, a bad setting, a failed mapping,
        # a run that stops at its first date.
        for call in (lambda: Kestrel.OptimizerTopM(algo, "000300", 1.0, cfg).gen_position(pv, bad),
                     lambda: Kestrel.opt_gen_position_type("000300", 1.0, {**cfg, "type": "x"}, pv, univ),
                     lambda: opt.MapValue2Position_MaxWeight(v, w * 0.5, 1.0),
                     lambda: opt.GenMaxWeight(v, "2", w, 0.5, w, 0.5)):
            with contextlib.suppress(Exception):
                call()
        opt.CalcCurrentPosition(v, v, 2.0, 10, 0.1, 0.05, w, 0.5, w, 0.5, 0.1)
        opt.CalcRiskExposure_Multi(np.vstack([v, v]), w, w)

    with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink), contextlib.redirect_stderr(sink), \
            warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for i in range(100):
            once(i)
        gc.collect()
        before = rss_kib()
        for i in range(1000):
            once(i)
        gc.collect()
        grown = rss_kib() - before
    assert grown < 8 * 1024, f"resident memory grew by {grown} KiB over 1,000 runs"

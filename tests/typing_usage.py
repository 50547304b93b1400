"""Typed use of Kestrel and its modules, checked by mypy in test_typing.py (never run)."""

from typing import Any, assert_type

import numpy as np
from numpy.typing import NDArray

import Kestrel
from Kestrel.report import ReportLine, parse_report
from Kestrel.sweep import SweepData, grid

F64 = NDArray[np.float64]
cfg: dict[str, Any] = {"decay": 0.3, "risk_factor_expo": {"size": 0.35}}
scores = np.zeros((5, 4))
row: F64 = scores[0]

opt = Kestrel.OptimizerTopM("TopM", "000905", 1.0, cfg)
assert_type(opt.gen_position(scores, [0, 1, 2, 3]), F64)
assert_type(opt.GenNorm(scores), F64)
assert_type(opt.GenEma_Step1(row, None, 0.5), F64)
assert_type(opt.GenEma_Step1([1.0, 2.0], None, 0.5), list[float])
assert_type(opt.GenEma_Step1(row, row, 0.5), F64)
assert_type(opt.CalcRiskExposure(scores[0], scores[1], scores[2]), tuple[float, float, float])
assert_type(opt.CalcRiskExposure_Multi(scores, scores[1], scores[2]), tuple[F64, F64, F64])
assert_type(opt.get_weight_name(), str)
assert_type(opt.CalcCurrentPosition(scores[0], scores[0], 1.5, None, 0.3, None, scores[1], 0.8, scores[2], 0.9),
            F64)
assert_type(opt.MapValue2Position(scores[0], 3, 1.0, scores[1], 0.8, scores[2], 0.9), F64)
caps = opt.GenMaxWeight(scores[0], 1.5, scores[1], 0.8, scores[2], 0.9, max_weight=0.02)
assert_type(opt.MapValue2Position_MaxWeight_RiskCost(scores[0], caps, 1.0, scores[2], 0.3), F64)
opt.opt_name = "TopKR"
for entry in (Kestrel.opt_gen_position, Kestrel.opt_gen_position_topm, Kestrel.opt_gen_position_topm2,
              Kestrel.opt_gen_position_topkr, Kestrel.opt_gen_position_topequal,
              Kestrel.opt_gen_position_topequal2, Kestrel.opt_gen_position_type):
    assert_type(entry("000905", 1.0, cfg, scores, np.arange(4)), F64)
assert_type(Kestrel.opt_gen_position_topm(bench_symbol="000300", secu_pct=1, cfg=cfg, predictValues=scores,
                                          univ_idx=[0, 1, 2, 3]), F64)

assert_type(parse_report("0 LoopCount: 1 ..."), list[ReportLine])
assert_type(grid(type=["TopM"], decay=[0.1, 0.3]), list[dict[str, Any]])
assert_type(SweepData("s.npy", "u.npy").store_dir, str | None)

result = Kestrel.run("TopM", "000905", 1.0, cfg, scores, [0, 1, 2, 3], progress=False)
assert_type(result.weights, F64)
assert_type(result.status, NDArray[np.int8])
assert_type(result.risk_names, tuple[str, ...])
assert_type(result.seconds["total"], float)
nxt = Kestrel.run("TopM", "000905", 1.0, cfg, scores, [0, 1, 2, 3], start=Kestrel.RunState(2, row))
assert_type(nxt.state.smoothed, F64 | None)
assert_type(Kestrel.RunResult.load("run.npz").to_pandas().weights, Any)
traded = Kestrel.run("TopM", "000905", 1.0, cfg, scores, [0, 1, 2, 3], no_buy="suspended",
                     no_sell=["suspended", "limit_down"], max_turnover=0.1, on_skip="hold", finish="exact",
                     finish_budget="nearest")
assert_type(traded.turnover, F64)
assert_type(traded.gave_way, NDArray[np.str_])
assert_type(traded.no_buy, NDArray[np.bool_] | None)
assert_type(traded.state.settings, dict[str, Any] | str | None)

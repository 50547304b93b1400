"""What several test modules share: the algorithm table's consequences for the
per-date methods, their valid arguments, and a small market for whole runs."""

import numpy as np
import pytest

from Kestrel.tables import ALGORITHM_SETTINGS

# One valid value per setting an algorithm reads (see Kestrel.tables).
ALGORITHM_SETTING_VALUES = {"weight_multi": 3.0, "risk_cost": 0.1, "num_long": 40, "each_single_weight": 0.02}

# --------------------------------------------------------- per-date methods

V, W, CAPS = [0.9, -0.4, 0.3, 1.2], [0.1, 0.2, 0.3, 0.4], [0.4, 0.4, 0.4, 0.4]
MAT = [[0.5, -1.0, 2.0, 0.1], [1.5, 0.3, -0.7, 0.2], [0.0, 1.0, 2.0, 3.0]]
# method -> [(parameter, kind, valid value)]; kinds: v vector, m matrix, a any shape, s real, i integer
SIGNATURES = {
    "GenEma": [("arr_orig", "m", MAT), ("decay", "s", 0.4)],
    "GenNorm": [("arr_model_values", "m", MAT)],
    "GenNorm_Step1": [("model_value", "a", V)],
    "GenEma_Step1": [("model_value", "a", V), ("pre_ema_value", "a", W), ("decay", "s", 0.4)],
    "MapValue2Position_MaxWeight": [("cur_model_value", "v", V), ("each_max_weight", "v", CAPS),
                                    ("secu_pct", "s", 1.0)],
    "MapValue2Position_MaxWeight_RiskCost": [("model_value", "v", V), ("each_max_weight", "v", CAPS),
                                             ("secu_pct", "s", 1.0), ("pre_weight", "v", W),
                                             ("risk_cost", "s", 0.35)],
    "MapValue2Position": [("cur_model_value", "v", V), ("num_long", "i", 2), ("secu_pct", "s", 1.0),
                          ("bench_weight", "v", W), ("bench_coeff", "s", 0.5), ("pre_weight", "v", W),
                          ("pre_coeff", "s", 0.5)],
    "GenMaxWeight": [("model_value", "v", V), ("weight_multi", "s", 2.0), ("cur_bench", "v", W),
                     ("bench_coeff", "s", 0.5), ("pre_weight", "v", W), ("pre_coeff", "s", 0.5),
                     ("max_weight", "s", 0.6)],
    "GenMaxWeight_Equal": [("model_value", "v", V), ("each_single_weight", "s", 0.3), ("cur_bench", "v", W),
                           ("bench_coeff", "s", 0.5), ("pre_weight", "v", W), ("pre_coeff", "s", 0.5),
                           ("max_weight", "s", 0.6)],
    "CalcRiskExposure": [("barra", "v", V), ("position", "v", W), ("bench_weight", "v", CAPS)],
    "CalcRiskExposure_Multi": [("arr_barra", "m", MAT), ("position", "v", W), ("bench_weight", "v", CAPS)],
    "CalcCurrentPosition": [("cur_model_value", "v", V), ("try_ema_value", "v", V[::-1]),
                            ("weight_multi", "s", 2.0), ("num_long", "i", 2), ("risk_cost", "s", 0.35),
                            ("each_single_weight", "s", 0.3), ("cur_bench", "v", W), ("bench_coeff", "s", 0.5),
                            ("pre_weight", "v", W), ("pre_coeff", "s", 0.5), ("max_weight", "s", 0.6)],
}


def dispatch_reads(algorithm):
    """The CalcCurrentPosition arguments `algorithm` reads; the others may be anything."""
    own = ALGORITHM_SETTINGS[algorithm]
    reads = {"try_ema_value", "cur_bench", "bench_coeff", "pre_weight", "pre_coeff", *own}
    if "risk_cost" in own:  # the turnover-cost rebalance starts from the raw scores
        reads.add("cur_model_value")
    if "num_long" not in own:  # max_weight bounds caps, and top-N has none
        reads.add("max_weight")
    return reads


def dispatch_unread(algorithm):
    """The CalcCurrentPosition arguments `algorithm` ignores, in signature order."""
    reads = dispatch_reads(algorithm)
    return tuple(p for p, _, _ in SIGNATURES["CalcCurrentPosition"] if p not in reads)


# ----------------------------------------------------------------- whole runs

def fake_market(T=24, M=240, K=3, seed=0, n_bench=100):
    """Library fields: weight300 (percent, first n_bench columns), f0..f{K-1}, sector codes."""
    rng = np.random.default_rng(seed)
    bench = np.zeros((T, M))
    bench[:, :n_bench] = rng.uniform(0.5, 1.5, (T, n_bench))
    bench *= 100.0 / bench.sum(axis=1, keepdims=True)
    data = {f"f{k}": rng.standard_normal((T, M)) for k in range(K)}
    data.update(weight300=bench, ZXZQSector=rng.integers(0, 28, (T, M)).astype(float))
    return data


# The entry functions warn about settings outside their range and take them as
# given; tests of what such settings do on the fixed surface expect that.
OUT_OF_RANGE_TAKEN = pytest.mark.filterwarnings("ignore:Kestrel.*taken as given:Kestrel.SettingsWarning")

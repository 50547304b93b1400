"""Type stubs of Kestrel's compiled engine, Kestrel._engine.

The package Kestrel re-exports its public names (the class OptimizerTopM,
the seven entry functions, the warning and error classes); prepare and
run_dates are the private engine beneath Kestrel.run. The rest of Kestrel is
Python and carries its types inline.
"""

from collections.abc import Callable, Mapping, Sequence
from typing import Any, Literal, SupportsFloat, SupportsIndex, TypeVar, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

_T = TypeVar("_T")
_Weights = NDArray[np.float64]
# Settings are read by key, so any mapping of setting name to value will do.
_Settings = Mapping[str, Any]
# The five algorithm names; any other raises "Wrong opt_name:<name>".
_OptName = Literal["TopM", "TopM2", "TopKR", "TopEqual", "TopEqual2"]
_Scalar = SupportsFloat
_OptScalar = SupportsFloat | None

# The project's version, as in its package metadata.
__version__: str

class KestrelWarning(UserWarning):
    """An input taken, but probably not as meant (a DataFrame read by position)."""

class SettingsWarning(KestrelWarning):
    """A cfg key Kestrel does not read that is close to one it does ("did you mean")."""

class PositionError(Exception):
    """A date's weights cannot be made to fit their caps ("Wrong Position Error", "Wrong Position MaxWeight Error")."""

class OptimizerTopM:
    """Long-only position generator for one algorithm against one benchmark."""

    # The constructor's arguments, kept as the very objects passed.
    opt_name: str
    bench_symbol: str
    secu_pct: float
    cfg: _Settings
    # Set by gen_position: the data library's results for the run.
    barra_data: Any
    benchweight_data: Any

    def __init__(self, opt_name: _OptName, bench_symbol: str, secu_pct: float, cfg: _Settings) -> None: ...

    # Score smoothing and standardisation.
    def GenEma(self, arr_orig: ArrayLike, decay: _Scalar) -> _Weights: ...
    def GenNorm(self, arr_model_values: ArrayLike) -> _Weights: ...
    def GenNorm_Step1(self, model_value: ArrayLike) -> _Weights: ...
    @overload
    def GenEma_Step1(self, model_value: _T, pre_ema_value: None, decay: _Scalar) -> _T: ...
    @overload
    def GenEma_Step1(self, model_value: ArrayLike, pre_ema_value: ArrayLike, decay: _Scalar) -> _Weights: ...

    # Mappings from one date's scores to weights.
    def MapValue2Position_MaxWeight(
        self, cur_model_value: ArrayLike, each_max_weight: ArrayLike, secu_pct: _Scalar
    ) -> _Weights: ...
    def MapValue2Position_MaxWeight_RiskCost(
        self,
        model_value: ArrayLike,
        each_max_weight: ArrayLike,
        secu_pct: _Scalar,
        pre_weight: ArrayLike,
        risk_cost: _Scalar,
    ) -> _Weights: ...
    def MapValue2Position(
        self,
        cur_model_value: ArrayLike,
        num_long: SupportsIndex,
        secu_pct: _Scalar,
        bench_weight: ArrayLike,
        bench_coeff: _Scalar,
        pre_weight: ArrayLike,
        pre_coeff: _Scalar,
    ) -> _Weights: ...

    # One date's dispatch and the weight caps.
    def CalcCurrentPosition(
        self,
        cur_model_value: ArrayLike,
        try_ema_value: ArrayLike,
        weight_multi: _OptScalar,
        num_long: SupportsIndex | None,
        risk_cost: _OptScalar,
        each_single_weight: _OptScalar,
        cur_bench: ArrayLike,
        bench_coeff: _Scalar,
        pre_weight: ArrayLike,
        pre_coeff: _Scalar,
        max_weight: _Scalar = -1,
    ) -> _Weights: ...
    def GenMaxWeight(
        self,
        model_value: ArrayLike,
        weight_multi: _Scalar,
        cur_bench: ArrayLike,
        bench_coeff: _Scalar,
        pre_weight: ArrayLike,
        pre_coeff: _Scalar,
        max_weight: _Scalar = -1.0,
    ) -> _Weights: ...
    def GenMaxWeight_Equal(
        self,
        model_value: ArrayLike,
        each_single_weight: _Scalar,
        cur_bench: ArrayLike,
        bench_coeff: _Scalar,
        pre_weight: ArrayLike,
        pre_coeff: _Scalar,
        max_weight: _Scalar = -1.0,
    ) -> _Weights: ...

    # Active exposure.
    def CalcRiskExposure(
        self, barra: ArrayLike, position: ArrayLike, bench_weight: ArrayLike
    ) -> tuple[float, float, float]: ...
    def CalcRiskExposure_Multi(
        self, arr_barra: ArrayLike, position: ArrayLike, bench_weight: ArrayLike
    ) -> tuple[_Weights, _Weights, _Weights]: ...

    # Settings lookups.
    def get_weight_name(self) -> str: ...
    def GetValueOrDefault(self, cfg: _Settings, name: str, default_value: Any) -> Any: ...

    # A whole run.
    def gen_position(self, predictValues: ArrayLike, univ_idx: ArrayLike) -> _Weights: ...

def opt_gen_position(
    bench_symbol: str, secu_pct: float, cfg: _Settings, predictValues: ArrayLike, univ_idx: ArrayLike
) -> _Weights: ...
def opt_gen_position_topm(
    bench_symbol: str, secu_pct: float, cfg: _Settings, predictValues: ArrayLike, univ_idx: ArrayLike
) -> _Weights: ...
def opt_gen_position_topm2(
    bench_symbol: str, secu_pct: float, cfg: _Settings, predictValues: ArrayLike, univ_idx: ArrayLike
) -> _Weights: ...
def opt_gen_position_topkr(
    bench_symbol: str, secu_pct: float, cfg: _Settings, predictValues: ArrayLike, univ_idx: ArrayLike
) -> _Weights: ...
def opt_gen_position_topequal(
    bench_symbol: str, secu_pct: float, cfg: _Settings, predictValues: ArrayLike, univ_idx: ArrayLike
) -> _Weights: ...
def opt_gen_position_topequal2(
    bench_symbol: str, secu_pct: float, cfg: _Settings, predictValues: ArrayLike, univ_idx: ArrayLike
) -> _Weights: ...
def opt_gen_position_type(
    bench_symbol: str, secu_pct: float, cfg: _Settings, predictValues: ArrayLike, univ_idx: ArrayLike
) -> _Weights: ...

class PreparedRun:
    """A run's settings and data, read and checked up to its first date."""

    @property
    def risk_names(self) -> list[str]: ...
    @property
    def limits(self) -> NDArray[np.float64]: ...
    @property
    def factor_count(self) -> int: ...
    @property
    def univ_idx(self) -> NDArray[np.int64]: ...
    @property
    def shape(self) -> tuple[int, int]: ...
    @property
    def secu_pct(self) -> float: ...
    @property
    def settings(self) -> dict[str, Any]: ...
    @property
    def request_seconds(self) -> float: ...

def prepare(
    opt_name: _OptName,
    bench_symbol: str,
    secu_pct: float,
    cfg: _Settings,
    predictValues: ArrayLike,
    univ_idx: ArrayLike,
) -> PreparedRun: ...
def run_dates(
    prepared: PreparedRun,
    *,
    start_row: int = -1,
    start_weights: ArrayLike | None = None,
    start_smoothed: ArrayLike | None = None,
    progress: bool = True,
    print_result: bool = False,
    no_buy: Sequence[tuple[str, ArrayLike]] | None = None,
    no_sell: Sequence[tuple[str, ArrayLike]] | None = None,
    max_turnover: ArrayLike | None = None,
    hold_skipped: bool = False,
    finish: Callable[..., tuple[Any, str, str, float]] | None = None,
    finish_relative: float = 1e-9,
    finish_absolute: float = 1e-12,
) -> dict[str, Any]: ...

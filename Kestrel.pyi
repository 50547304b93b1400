"""Type stubs of the Kestrel extension module.

Kestrel turns a matrix of model scores (dates x securities) into long-only
portfolio weights against a stock index. See the docstrings (``help()``) and
docs/ for what each parameter means.
"""

from collections.abc import Mapping
from os import PathLike
from typing import Any, Final, Literal, SupportsFloat, SupportsIndex, TypeVar, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from kestrel_tools.finish import Finisher
from kestrel_tools.runs import RunFrames

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

class StateMismatchWarning(KestrelWarning):
    """run(start=...) from a state made with another algorithm, benchmark, secu_pct or settings."""

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

# Date status codes of RunResult.status.
STATUS_PROCESSED: Final[int]
STATUS_SKIPPED: Final[int]  # the universe's benchmark weights sum to less than 80 percent
STATUS_EMPTY: Final[int]  # scores or weights not finite; the row stays zero

class RunState:
    """What the date loop hands from one date to the next; a start for Kestrel.run."""

    @property
    def row(self) -> int: ...
    @property
    def weights(self) -> NDArray[np.float64]: ...
    @property
    def smoothed(self) -> NDArray[np.float64] | None: ...
    # What made the state; None: unknown (made by hand, or saved before states recorded it).
    @property
    def univ_idx(self) -> NDArray[np.int64] | None: ...
    @property
    def algorithm(self) -> str | None: ...
    @property
    def bench_symbol(self) -> str | None: ...
    @property
    def secu_pct(self) -> float | None: ...
    @property
    def settings(self) -> str | None: ...  # fingerprint of the other weight-shaping settings
    def __init__(
        self,
        row: SupportsIndex,
        weights: ArrayLike,
        smoothed: ArrayLike | None = None,
        *,
        univ_idx: ArrayLike | None = None,
        algorithm: str | None = None,
        bench_symbol: str | None = None,
        secu_pct: SupportsFloat | None = None,
        settings: str | None = None,
    ) -> None: ...

class RunResult:
    """The rows a run computed, with each date's diagnostics (M rows, N securities, K risk names)."""

    @property
    def weights(self) -> NDArray[np.float64]: ...  # M x N
    @property
    def rows(self) -> NDArray[np.int64]: ...  # M
    @property
    def risk_names(self) -> tuple[str, ...]: ...  # K, sectors included
    @property
    def limits(self) -> NDArray[np.float64]: ...  # K
    @property
    def status(self) -> NDArray[np.int8]: ...  # M, STATUS_*
    @property
    def loop_count(self) -> NDArray[np.int64]: ...
    @property
    def first_expo(self) -> NDArray[np.float64]: ...  # M x K, NaN where not measured
    @property
    def last_expo(self) -> NDArray[np.float64]: ...
    @property
    def over_limit(self) -> NDArray[np.bool_]: ...  # M x K, of the weights returned
    @property
    def bench_hold(self) -> NDArray[np.float64]: ...
    @property
    def hold_num(self) -> NDArray[np.int64]: ...  # -1 where not measured
    @property
    def total(self) -> NDArray[np.float64]: ...
    @property
    def univ_idx(self) -> NDArray[np.int64]: ...  # N, as given
    @property
    def seconds(self) -> dict[Literal["total", "requests"], float]: ...
    @property
    def state(self) -> RunState: ...
    @property
    def expo(self) -> NDArray[np.float64]: ...  # M x K, active exposures of the weights returned
    @property
    def finished(self) -> NDArray[np.bool_]: ...  # M, row replaced by the exact finish
    @property
    def finish_moved(self) -> NDArray[np.float64]: ...  # M, L1 distance moved by the finish
    @property
    def finish_status(self) -> NDArray[np.str_]: ...  # M, the solver's status; "" where not tried
    def __init__(self, **fields: Any) -> None: ...
    def __len__(self) -> int: ...
    def _repr_html_(self) -> str: ...
    def to_pandas(self) -> RunFrames: ...
    def save(self, path: str | PathLike[str]) -> None: ...
    @staticmethod
    def load(path: str | PathLike[str]) -> RunResult: ...

def run(
    opt_name: _OptName,
    bench_symbol: str,
    secu_pct: float,
    cfg: _Settings,
    predictValues: ArrayLike,
    univ_idx: ArrayLike,
    *,
    start: RunState | None = None,
    progress: bool = True,
    print_result: bool = False,
    finish: Literal["exact"] | Finisher | None = None,
) -> RunResult: ...

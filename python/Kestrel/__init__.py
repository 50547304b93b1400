"""Kestrel: long-only portfolio weights from model scores.

Turns a matrix of model scores (dates x securities) into portfolio weights
against a stock index, date by date, keeping the active exposure to risk
factors and sectors inside configured limits. Benchmark weights and risk
data come from the data library ``VelaIntradayModel``, imported by name at
call time.

- Seven entry functions run a whole history in one call and return the
  weight matrix: opt_gen_position and opt_gen_position_topm ("TopM"),
  opt_gen_position_topm2, opt_gen_position_topkr, opt_gen_position_topequal,
  opt_gen_position_topequal2, and opt_gen_position_type (the algorithm named
  by cfg["type"]). The class OptimizerTopM exposes every step of a run as a
  method; help(Kestrel.OptimizerTopM.gen_position) lists the settings.
- :func:`run` returns a :class:`RunResult`: the weights with each date's
  diagnostics, a :class:`RunState` to go on from tomorrow, names that cannot
  be bought or sold, a cap on turnover and an exact finish.
- Modules for what comes after: :mod:`Kestrel.evaluation` (what the weights
  earned), :mod:`Kestrel.tearsheet`, :mod:`Kestrel.report` (a run's
  picture), :mod:`Kestrel.frames` (pandas), :mod:`Kestrel.sweep` (settings
  sweeps on Dask), :mod:`Kestrel.finish` (the exact finish, HiGHS) and
  :mod:`Kestrel.tables`. Each imports its optional dependency itself.
"""

from typing import TYPE_CHECKING, Any

from ._engine import (
    KestrelWarning,
    OptimizerTopM,
    PositionError,
    SettingsWarning,
    __version__,
    opt_gen_position,
    opt_gen_position_topequal,
    opt_gen_position_topequal2,
    opt_gen_position_topkr,
    opt_gen_position_topm,
    opt_gen_position_topm2,
    opt_gen_position_type,
)

if TYPE_CHECKING:
    from .result import STATUS_EMPTY, STATUS_PROCESSED, STATUS_SKIPPED, RunResult
    from .runfile import RunFileError
    from .runner import BlockedTotalWarning, GaveWayWarning, SkippedRowsWarning, StateMismatchWarning, run
    from .state import Reindexed, RunState, reindex_state

# The Python face loads on first use, so that `import Kestrel` costs what
# the compiled engine costs (numpy and the rest come with the first run).
_LAZY = {
    "STATUS_EMPTY": "result", "STATUS_PROCESSED": "result", "STATUS_SKIPPED": "result", "RunResult": "result",
    "RunFileError": "runfile", "BlockedTotalWarning": "runner", "GaveWayWarning": "runner",
    "SkippedRowsWarning": "runner", "StateMismatchWarning": "runner", "run": "runner", "Reindexed": "state",
    "RunState": "state", "reindex_state": "state",
}

__all__ = [
    "STATUS_EMPTY",
    "STATUS_PROCESSED",
    "STATUS_SKIPPED",
    "BlockedTotalWarning",
    "GaveWayWarning",
    "KestrelWarning",
    "OptimizerTopM",
    "PositionError",
    "Reindexed",
    "RunFileError",
    "RunResult",
    "RunState",
    "SettingsWarning",
    "SkippedRowsWarning",
    "StateMismatchWarning",
    "__version__",
    "opt_gen_position",
    "opt_gen_position_topequal",
    "opt_gen_position_topequal2",
    "opt_gen_position_topkr",
    "opt_gen_position_topm",
    "opt_gen_position_topm2",
    "opt_gen_position_type",
    "reindex_state",
    "run",
]


def __getattr__(name: str) -> Any:
    if name in _LAZY:
        import importlib

        value = getattr(importlib.import_module(f".{_LAZY[name]}", __name__), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module 'Kestrel' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(_LAZY))

"""The extension's fixed tables, for Python code that needs them.

The C++ side keeps the same tables in ``src/position/algorithms.hpp`` (the
algorithms) and ``bindings/data_library.hpp`` (the benchmark fields); the
test suite checks that both agree with what the extension does.
"""

from __future__ import annotations

import importlib
import warnings

__all__ = [
    "ALGORITHMS",
    "ALGORITHM_SETTINGS",
    "BENCHMARK_WEIGHT_FIELDS",
    "ENTRY_FUNCTIONS",
    "OPTIONAL_SETTINGS",
    "RUN_SETTINGS",
    "SECTOR_COUNT",
    "required_settings",
    "sector_formula",
    "sector_names",
    "weight_field",
]

#: The settings each algorithm reads besides :data:`RUN_SETTINGS`, in the
#: order ``gen_position`` looks them up: the one that sizes the caps
#: (``num_long`` for "TopKR", which has none), then ``risk_cost`` for the
#: turnover-cost rebalance.
ALGORITHM_SETTINGS: dict[str, tuple[str, ...]] = {
    "TopM": ("weight_multi", "risk_cost"),
    "TopM2": ("weight_multi",),
    "TopKR": ("num_long",),
    "TopEqual": ("each_single_weight", "risk_cost"),
    "TopEqual2": ("each_single_weight",),
}

#: The five algorithm names, in their fixed order.
ALGORITHMS: tuple[str, ...] = tuple(ALGORITHM_SETTINGS)

#: Settings every run requires, looked up after the algorithm's own.
RUN_SETTINGS: tuple[str, ...] = ("decay", "bench_coeff", "pre_coeff", "each_sector_expo", "risk_factor_expo")

#: Optional settings and their defaults, looked up before all others.
OPTIONAL_SETTINGS: dict[str, object] = {"print_result": True, "learning_rate": 0.1, "max_loop_num": 100,
                                        "max_weight": -1}

#: Module-level entry functions and the algorithm each runs
#: (``opt_gen_position_type`` reads it from ``cfg["type"]``).
ENTRY_FUNCTIONS: dict[str, str] = {
    "opt_gen_position": "TopM",
    "opt_gen_position_topm": "TopM",
    "opt_gen_position_topm2": "TopM2",
    "opt_gen_position_topkr": "TopKR",
    "opt_gen_position_topequal": "TopEqual",
    "opt_gen_position_topequal2": "TopEqual2",
}

#: Benchmark index code -> the data library field holding its weights (percent).
BENCHMARK_WEIGHT_FIELDS: dict[str, str] = {
    "000905": "weight500",
    "000906": "weight800",
    "000852": "weight1000",
    "399303": "weight2000",
    "932000": "weightzz2000",
    "000300": "weight300",
}

#: Sector limits added when ``each_sector_expo`` is at most 0.2.
SECTOR_COUNT = 28


def required_settings(algorithm: str) -> tuple[str, ...]:
    """Every key ``gen_position`` requires of cfg for `algorithm`, in lookup order."""
    return ALGORITHM_SETTINGS[algorithm] + RUN_SETTINGS


def weight_field(bench_symbol: str) -> str:
    """The benchmark-weight field of an index code; a code outside the table is its own field."""
    return BENCHMARK_WEIGHT_FIELDS.get(bench_symbol, bench_symbol)


def sector_formula(code: int) -> str:
    """The data library formula of membership in sector `code` (1 inside, 0 outside)."""
    return f"if(ZXZQSector=={code},1,0)"


def sector_names(library: str = "VelaIntradayModel") -> list[str] | None:
    """The data library's name of each sector code, or None when it offers none.

    A library offers names through a function ``sector_names()`` returning
    :data:`SECTOR_COUNT` texts indexed by sector code. A library that is not
    installed or has no such function gives None; one whose function fails or
    gives something else gives None with a UserWarning saying what it gave,
    so that callers fall back to the codes.
    """
    try:
        mod = importlib.import_module(library)
    except ImportError:
        return None
    fn = getattr(mod, "sector_names", None)
    if not callable(fn):
        return None
    try:
        given = fn()
        names = [str(n) for n in given] if not isinstance(given, str) else None
    except Exception as e:  # a broken label lookup must not sink what asked for labels
        warnings.warn(f"{library}.sector_names() failed ({type(e).__name__}: {e}); sectors are shown by code",
                      UserWarning, stacklevel=2)
        return None
    if names is None or len(names) != SECTOR_COUNT or not all(n.strip() for n in names):
        what = f"{type(given).__name__}" if names is None else f"{len(names)} names"
        if names is not None and len(names) == SECTOR_COUNT:
            what = f"an empty name for code {next(k for k, n in enumerate(names) if not n.strip())}"
        warnings.warn(f"{library}.sector_names() gave {what}, not {SECTOR_COUNT} names indexed by sector code; "
                      "sectors are shown by code", UserWarning, stacklevel=2)
        return None
    return names

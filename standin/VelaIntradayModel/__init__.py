"""Stand-in for the in-house ``VelaIntradayModel`` data library.

Kestrel imports ``VelaIntradayModel`` by name at call time. This package
provides the part of it Kestrel uses, :func:`RunLoopOnce`, over a local field
store, plus a seeded synthetic market, so that builds, tests and notebooks run
without the in-house data, and :func:`sector_names`, the industry name of
each sector code, for labelling reports.

Examples
--------
>>> import VelaIntradayModel as vim
>>> m = vim.generate_market(n_dates=20, n_secu=500)
>>> [r.array.shape for r in vim.RunLoopOnce(["weight300", "if(ZXZQSector==7,1,0)"])]
[(20, 500), (20, 500)]
"""

from .formulas import SECTOR_FIELD, parse_sector_formula, sector_formula, sector_indicator
from .frames import store_frames
from .market import (
    BENCH_SIZES,
    CLOSE_FIELD,
    DEFAULT_SIGNAL,
    LIMIT_DOWN_FIELD,
    LIMIT_UP_FIELD,
    PRICE_LIMIT,
    RETURNS_FIELD,
    STYLE_NAMES,
    SUSPENDED_FIELD,
    Market,
    default_universe,
    generate_market,
    make_scores,
    style_names,
)
from .request import LoopResult, RunLoopOnce, clear
from .sectors import sector_names, set_sector_names
from .store import (
    ENV_VAR,
    FieldStore,
    dates,
    get_field,
    list_fields,
    register,
    register_axes,
    securities,
    set_store_dir,
    store_dir,
    unregister,
    write_store,
)

__version__ = "0.2.0"

__all__ = [
    "BENCH_SIZES",
    "CLOSE_FIELD",
    "DEFAULT_SIGNAL",
    "ENV_VAR",
    "FieldStore",
    "LIMIT_DOWN_FIELD",
    "LIMIT_UP_FIELD",
    "LoopResult",
    "Market",
    "PRICE_LIMIT",
    "RETURNS_FIELD",
    "RunLoopOnce",
    "SECTOR_FIELD",
    "STYLE_NAMES",
    "SUSPENDED_FIELD",
    "clear",
    "dates",
    "default_universe",
    "generate_market",
    "get_field",
    "list_fields",
    "make_scores",
    "parse_sector_formula",
    "register",
    "register_axes",
    "sector_formula",
    "sector_indicator",
    "sector_names",
    "securities",
    "set_sector_names",
    "set_store_dir",
    "store_dir",
    "store_frames",
    "style_names",
    "unregister",
    "write_store",
]

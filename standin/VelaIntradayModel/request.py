"""``RunLoopOnce``: fetch stored fields and evaluate sector formulas by name."""

from __future__ import annotations

import os
import threading
from collections.abc import Sequence
from pathlib import Path

import numpy as np

from . import store
from .formulas import SECTOR_FIELD, looks_like_formula, parse_sector_formula, sector_indicator


class LoopResult:
    """One requested item: its ``name`` and its dates x securities float64 ``array``."""

    __slots__ = ("name", "array")

    def __init__(self, name: str, array: np.ndarray) -> None:
        self.name = name
        self.array = array

    def __repr__(self) -> str:
        return f"LoopResult(name={self.name!r}, shape={self.array.shape})"


# Formula results by (sector field version, code): repeated runs over the same
# store get the same read-only matrices instead of recomputing 28 of them.
_formula_cache: dict = {}
_FORMULA_CACHE_SIZE = 64


# Formula results over a stored field are kept as files beside it, so that
# later requests, in this process or another, map them instead of holding a
# dense float64 matrix per formula in memory.
FORMULA_DIR = ".formulas"
_ROWS_PER_CHUNK = 256


def _formula_file(version, code: int) -> Path:
    _, path, mtime_ns, size = version
    src = Path(path)
    return src.parent / FORMULA_DIR / f"{src.stem}=={code}.{mtime_ns}.{size}.npy"


def _stored_indicator(sector: np.ndarray, code: int, target: Path) -> np.ndarray:
    """Map the indicator kept in ``target``, writing it first (in row chunks) if missing."""
    if not target.is_file():
        target.parent.mkdir(exist_ok=True)
        # Threads of one process (in-process Dask workers) write apart too.
        tmp = target.with_name(f".{target.name}.{os.getpid()}.{threading.get_ident()}.tmp")
        try:
            out = np.lib.format.open_memmap(tmp, mode="w+", dtype=np.float64, shape=sector.shape)
            for r in range(0, sector.shape[0], _ROWS_PER_CHUNK):
                out[r:r + _ROWS_PER_CHUNK] = sector_indicator(sector[r:r + _ROWS_PER_CHUNK], code)
            out.flush()
            del out
            # Readers only ever see a complete file.
            os.replace(tmp, target)
        except BaseException:
            tmp.unlink(missing_ok=True)
            raise
    return np.load(target, mmap_mode="r", allow_pickle=False)


def _sector_matrix(code: int) -> np.ndarray:
    version = store.field_version(SECTOR_FIELD)
    sector = store.get_field(SECTOR_FIELD)
    key = (version, code)
    hit = _formula_cache.get(key)
    if hit is not None and (version[0] != "memory" or hit[0] is sector):
        return hit[1]
    out = None
    if version is not None and version[0] == "file":
        try:
            out = _stored_indicator(sector, code, _formula_file(version, code))
        except OSError:
            pass  # a read-only store: evaluate in memory
    if out is None:
        out = sector_indicator(sector, code)
        out.flags.writeable = False
    if version is not None:
        if len(_formula_cache) >= _FORMULA_CACHE_SIZE:
            _formula_cache.pop(next(iter(_formula_cache)))
        # A registration is kept so its id cannot be reused; a file's version
        # is its path and stamp, and holding its map would only pin pages.
        _formula_cache[key] = (sector if version[0] == "memory" else None, out)
    return out


def clear() -> None:
    """Drop all in-memory fields and axes and the cached formula results;
    the directory setting stays."""
    store.clear()
    _formula_cache.clear()


def _evaluate(name: str) -> np.ndarray:
    if looks_like_formula(name):
        return _sector_matrix(parse_sector_formula(name))
    return store.get_field(name)


def RunLoopOnce(names):
    """Return one :class:`LoopResult` per name, in order.

    Parameters
    ----------
    names : list of str
        Stored field names or ``"if(ZXZQSector==<code>,1,0)"`` formulas.

    Returns
    -------
    list of LoopResult
        Stored fields are the store's own arrays (no copy); formulas are 0/1 matrices,
        over a stored sector field kept as files in the store directory and mapped.

    Raises
    ------
    TypeError
        If ``names`` is not a sequence of str.
    KeyError
        For an unknown field.
    ValueError
        For a formula that cannot be read.
    """
    if isinstance(names, (str, bytes, bytearray)) or not isinstance(names, Sequence):
        raise TypeError(f"names must be a list of str, got {type(names).__name__}")
    names = list(names)
    for n in names:
        if not isinstance(n, str):
            raise TypeError(f"names must hold str only, got {type(n).__name__}: {n!r}")
    return [LoopResult(n, _evaluate(n)) for n in names]

"""``RunLoopOnce``: fetch stored fields and evaluate sector formulas by name."""

from __future__ import annotations

from collections.abc import Sequence

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


def _evaluate(name: str) -> np.ndarray:
    if looks_like_formula(name):
        code = parse_sector_formula(name)
        return sector_indicator(store.get_field(SECTOR_FIELD), code)
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
        Stored fields are the store's own arrays (no copy); formulas are fresh 0/1 matrices.

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

"""Sector indicator formulas of the form ``if(ZXZQSector==<code>,1,0)``."""

from __future__ import annotations

import re

import numpy as np

SECTOR_FIELD = "ZXZQSector"
FORMULA_CHARS = "()=<>,+*/"

# Nine digits at most: larger codes could not be compared as floats exactly.
_SECTOR_RE = re.compile(
    r"\s*if\s*\(\s*" + SECTOR_FIELD + r"\s*==\s*([0-9]{1,9})\s*,\s*1\s*,\s*0\s*\)\s*"
)


def looks_like_formula(text: str) -> bool:
    """Tell whether ``text`` is meant as a formula rather than a field name.

    Parameters
    ----------
    text : str

    Returns
    -------
    bool
        True when ``text`` holds any of ``()=<>,+*/``.
    """
    return any(c in text for c in FORMULA_CHARS)


def sector_formula(code: int) -> str:
    """Build the indicator formula for one sector code.

    Parameters
    ----------
    code : int
        Non-negative sector code.

    Returns
    -------
    str
        E.g. ``"if(ZXZQSector==7,1,0)"``.
    """
    code = int(code)
    if code < 0:
        raise ValueError(f"sector code must be non-negative, got {code}")
    return f"if({SECTOR_FIELD}=={code},1,0)"


def parse_sector_formula(text: str) -> int:
    """Read the sector code out of an indicator formula.

    Parameters
    ----------
    text : str

    Returns
    -------
    int

    Raises
    ------
    ValueError
        If ``text`` is not a readable sector formula; the message quotes it.
    """
    m = _SECTOR_RE.fullmatch(text)
    if m is None:
        raise ValueError(
            f"cannot read formula {text!r}; expected 'if({SECTOR_FIELD}==<code>,1,0)'"
        )
    return int(m.group(1))


def sector_indicator(sector: np.ndarray, code: int) -> np.ndarray:
    """Return a 0/1 float64 matrix marking where ``sector`` equals ``code``.

    Parameters
    ----------
    sector : ndarray
        Sector codes, dates x securities; NaN for unknown.
    code : int

    Returns
    -------
    ndarray
        float64, same shape as ``sector``.
    """
    # NaN never compares equal, so unknown sectors come out as 0.
    return (np.asarray(sector) == code).astype(np.float64)

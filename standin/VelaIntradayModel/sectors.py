"""Industry names of the sector codes in ``ZXZQSector``.

Reports label sector code k by ``sector_names()[k]``. The names live with the
library, not with a store, so :func:`set_sector_names` holds for every store
until it is called again (``set_sector_names(None)`` restores the defaults).
"""

from __future__ import annotations

from typing import Optional, Sequence

N_SECTORS = 28

#: Default names, indexed by sector code: generic industries of a Chinese A-share market.
DEFAULT_SECTOR_NAMES = (
    "Agriculture",
    "Mining",
    "Chemicals",
    "Steel",
    "Non-ferrous Metals",
    "Electronics",
    "Household Appliances",
    "Food & Beverage",
    "Textiles & Apparel",
    "Light Manufacturing",
    "Pharmaceuticals",
    "Utilities",
    "Transportation",
    "Real Estate",
    "Retail",
    "Leisure & Tourism",
    "Conglomerates",
    "Building Materials",
    "Construction",
    "Power Equipment",
    "Defence",
    "Computers",
    "Media",
    "Telecommunications",
    "Banks",
    "Non-bank Financials",
    "Automobiles",
    "Machinery",
)

_names: tuple = DEFAULT_SECTOR_NAMES


def sector_names() -> list:
    """Return the industry name of each sector code.

    Returns
    -------
    list of str
        28 names; item k names the sector of code k (formula
        ``"if(ZXZQSector==k,1,0)"``). A new list on every call.

    Examples
    --------
    >>> import VelaIntradayModel as vim
    >>> vim.sector_names()[24]
    'Banks'
    """
    return list(_names)


def set_sector_names(names: Optional[Sequence[str]]) -> None:
    """Replace the names :func:`sector_names` returns.

    Parameters
    ----------
    names : sequence of str, or None
        28 distinct non-blank names, item k for sector code k; None restores
        the defaults.

    Raises
    ------
    TypeError
        If ``names`` is not a sequence of str.
    ValueError
        If it does not hold 28 names, or a name is blank or repeated.
    """
    global _names
    if names is None:
        _names = DEFAULT_SECTOR_NAMES
        return
    if isinstance(names, (str, bytes)) or not isinstance(names, Sequence):
        raise TypeError(f"names must be a list of {N_SECTORS} str (or None for the defaults), "
                        f"got {type(names).__name__}")
    names = tuple(names)
    bad = [f"{k}: {type(n).__name__}" for k, n in enumerate(names) if not isinstance(n, str)]
    if bad:
        raise TypeError(f"names must hold str only; not str at {', '.join(bad)}")
    if len(names) != N_SECTORS:
        raise ValueError(f"names must hold one name per sector code 0..{N_SECTORS - 1} "
                         f"({N_SECTORS}), got {len(names)}")
    blank = [k for k, n in enumerate(names) if not n.strip()]
    if blank:
        raise ValueError(f"names must not be blank; blank at codes {blank}")
    seen: dict = {}
    for k, n in enumerate(names):
        seen.setdefault(n, []).append(k)
    repeated = {n: ks for n, ks in seen.items() if len(ks) > 1}
    if repeated:
        raise ValueError("names must be distinct; repeated: "
                         + ", ".join(f"{n!r} at codes {ks}" for n, ks in repeated.items()))
    _names = names

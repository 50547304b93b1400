"""Build a field store from pandas DataFrames (pandas is needed only here)."""

from __future__ import annotations

from pathlib import Path
from typing import Mapping, Optional

import numpy as np

from . import store


def store_frames(frames: Mapping[str, "object"], path: Optional[store.PathLike] = None) -> Optional[Path]:
    """Store DataFrames (dates x security codes) as fields, with their axes.

    All frames are aligned on the union of their indexes (sorted dates) and
    of their columns (sorted codes); cells a frame lacks become NaN.

    Parameters
    ----------
    frames : mapping of str to pandas.DataFrame
        Field name -> values, e.g. ``{"weight300": bench_pct, "size": size,
        "ZXZQSector": sector_codes}``. Benchmark weights are in percent.
    path : path-like, optional
        Store directory to write (as :func:`write_store` does); None
        registers the fields and axes in memory instead.

    Returns
    -------
    pathlib.Path or None
        The directory written, or None when registered in memory.

    Raises
    ------
    ValueError
        When ``frames`` is empty or repeats a date or a code within a frame.
    """
    import pandas as pd

    if not frames:
        raise ValueError("frames is empty")
    index = None
    columns = None
    for name, df in frames.items():
        if not df.index.is_unique or not df.columns.is_unique:
            raise ValueError(f"frame {name!r} repeats a date or a security code")
        idx = pd.DatetimeIndex(df.index)
        cols = pd.Index([str(c) for c in df.columns])
        index = idx if index is None else index.union(idx)
        columns = cols if columns is None else columns.union(cols)
    index = index.sort_values()
    columns = columns.sort_values()
    fields = {}
    for name, df in frames.items():
        aligned = df.set_axis(pd.DatetimeIndex(df.index), axis=0).set_axis([str(c) for c in df.columns], axis=1)
        fields[name] = aligned.reindex(index=index, columns=columns).to_numpy(dtype=np.float64, na_value=np.nan)
    dates = index.values.astype("datetime64[D]")
    securities = np.asarray(columns, dtype=str)
    if path is not None:
        return store.write_store(path, fields, dates=dates, securities=securities)
    for name, arr in fields.items():
        store.register(name, arr)
    store.register_axes(dates=dates, securities=securities)
    return None

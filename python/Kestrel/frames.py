"""pandas helpers: a score DataFrame in, a weight DataFrame out.

Kestrel's entry functions take a bare score matrix ``predictValues`` whose
row ``t`` is row ``t`` of the data library's matrices, and ``univ_idx``, the
library column of each score column. Users usually hold scores as a
DataFrame indexed by date with security codes as columns. This module
translates between the two::

    inputs = inputs_from_frame(scores)
    w = Kestrel.opt_gen_position_topm("000905", 1.0, cfg, inputs.predictValues, inputs.univ_idx)
    weights = weights_to_frame(w, inputs)        # scores' index and columns

The library's security codes and dates are taken from
``VelaIntradayModel.securities()`` and ``VelaIntradayModel.dates()`` (the
stand-in keeps both for every store) unless passed explicitly.
"""

from __future__ import annotations

import importlib
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
from numpy.typing import ArrayLike, NDArray

if TYPE_CHECKING:
    import pandas as pd

__all__ = ["FrameInputs", "inputs_from_frame", "library_axes", "weights_to_frame"]


@dataclass(frozen=True)
class FrameInputs:
    """What :func:`inputs_from_frame` made, and what :func:`weights_to_frame` needs back.

    Attributes
    ----------
    predictValues : ndarray of float64, shape (T, N)
        Scores in library row order: row ``t`` is the library's row ``t``.
        Rows of library dates missing from the frame are NaN.
    univ_idx : ndarray of int64, shape (N,)
        Library column of each column of `predictValues`.
    index : pandas.Index
        The frame's own index, in its own order.
    columns : pandas.Index
        The frame's own columns, in their own order.
    rows : ndarray of int64, shape (len(index),)
        Row of `predictValues` holding each entry of `index`.
    kept : ndarray of bool, shape (len(columns),)
        Which of the frame's columns were found in the library (all True
        unless ``missing="drop"``); the kept ones are the N columns of
        `predictValues`, in the frame's order.
    """

    predictValues: NDArray[np.float64]
    univ_idx: NDArray[np.int64]
    index: pd.Index
    columns: pd.Index
    rows: NDArray[np.int64]
    kept: NDArray[np.bool_]


def library_axes(library: str = "VelaIntradayModel") -> tuple[NDArray[Any] | None, NDArray[Any] | None]:
    """Return the data library's ``(securities, dates)``, each None when not kept.

    Parameters
    ----------
    library : str, default "VelaIntradayModel"
        Module name, imported the way Kestrel imports it.

    Returns
    -------
    tuple
        ``library.securities()`` and ``library.dates()``, or None for a
        library without that function or a store that does not keep it.
    """
    mod = importlib.import_module(library)
    secu = getattr(mod, "securities", None)
    dates = getattr(mod, "dates", None)
    return (secu() if callable(secu) else None, dates() if callable(dates) else None)


def _as_days(labels: Any, what: str) -> NDArray[np.datetime64]:
    import pandas as pd

    if pd.api.types.is_numeric_dtype(pd.Index(labels)):
        raise TypeError(f"{what} must hold dates, not numbers")
    try:
        idx = pd.DatetimeIndex(labels)
    except (TypeError, ValueError) as e:
        raise TypeError(f"{what} must hold dates, got {e}") from None
    if idx.tz is not None:
        idx = idx.tz_localize(None)
    if idx.hasnans:
        raise ValueError(f"{what} holds a missing date (NaT)")
    return np.asarray(idx.values.astype("datetime64[D]"))


def _preview(labels: Sequence[Any], limit: int = 5) -> str:
    shown = ", ".join(repr(x) for x in list(labels)[:limit])
    return shown + (f", ... ({len(labels)} in all)" if len(labels) > limit else "")


def inputs_from_frame(
    scores: pd.DataFrame,
    securities: ArrayLike | None = None,
    dates: ArrayLike | None = None,
    *,
    missing: Literal["raise", "drop"] = "raise",
) -> FrameInputs:
    """Turn a score DataFrame into Kestrel's ``predictValues`` and ``univ_idx``.

    Parameters
    ----------
    scores : pandas.DataFrame
        Scores, one row per date (index) and one column per security code
        (columns). Values are converted to float64; NaN is allowed.
    securities : array_like of str, optional
        The security code of each column of the library's matrices. Default:
        ``VelaIntradayModel.securities()``. Column labels are matched as text
        (``str(label)``), so codes keep their leading zeros only if the
        labels do.
    dates : array_like of dates, optional
        The date of each row of the library's matrices. Default:
        ``VelaIntradayModel.dates()``. When the library keeps no dates the
        frame's rows are taken as library rows 0, 1, 2, ... in their order.
    missing : {"raise", "drop"}, default "raise"
        What to do with columns whose code the library does not have:
        raise, or leave them out of the run (their weights come back as 0).

    Returns
    -------
    FrameInputs
        ``predictValues`` has one row per library date up to the frame's last
        date, so that row ``t`` meets the library's row ``t``; library dates
        absent from the frame are NaN rows, which Kestrel leaves empty (with
        a RuntimeWarning naming their rows).

    Raises
    ------
    ValueError
        No security list is available, the frame has repeated columns or
        dates, or `missing` is not one of the two choices.
    KeyError
        A column code (with ``missing="raise"``) or a date is not in the
        library's lists; the message names the first few.
    TypeError
        The index cannot be read as dates while the library keeps dates.
    """
    import pandas as pd

    if missing not in ("raise", "drop"):
        raise ValueError(f"missing must be 'raise' or 'drop', got {missing!r}")
    if not isinstance(scores, pd.DataFrame):
        raise TypeError(f"scores must be a pandas DataFrame, got {type(scores).__name__}")
    if securities is None or dates is None:
        lib_secu, lib_dates = library_axes()
        securities = lib_secu if securities is None else securities
        dates = lib_dates if dates is None else dates
    if securities is None:
        raise ValueError("the data library keeps no security codes; pass securities=")

    codes = [str(c) for c in np.asarray(securities).tolist()]
    column_of = {code: j for j, code in enumerate(codes)}
    labels = [str(c) for c in scores.columns]
    if len(set(labels)) != len(labels):
        raise ValueError("scores has repeated column codes")
    kept = np.array([label in column_of for label in labels], dtype=bool)
    if missing == "raise" and not kept.all():
        absent = [label for label, k in zip(labels, kept) if not k]
        error = KeyError(f"security codes not in the data library: {_preview(absent)}")
        width = max((len(c) for c in codes), default=0)
        padded = [label.zfill(width) for label in absent if label.isdigit()]
        if padded and sum(p in column_of for p in padded) >= len(absent) / 2:
            error.add_note(f"The codes look like numbers that lost their leading zeros ({absent[0]!r} is "
                           f"{padded[0]!r} in the library): read the codes as text, or fix the columns with "
                           f"scores.columns = scores.columns.astype(str).str.zfill({width}).")
        elif absent:
            error.add_note("Codes are matched as text against the data library's securities(); pass missing='drop' "
                           "to leave the unknown ones out of the run.")
        raise error
    univ_idx = np.array([column_of[label] for label, k in zip(labels, kept) if k], dtype=np.int64)

    if dates is None:
        rows = np.arange(len(scores.index), dtype=np.int64)
    else:
        lib_days = _as_days(dates, "the data library's dates")
        days = _as_days(scores.index, "scores.index")
        if len(np.unique(days)) != len(days):
            raise ValueError("scores has repeated dates")
        row_of = {d: t for t, d in enumerate(lib_days.tolist())}
        unknown = [d for d in days.tolist() if d not in row_of]
        if unknown:
            raise KeyError(f"dates not in the data library: {_preview([str(d) for d in unknown])}")
        rows = np.array([row_of[d] for d in days.tolist()], dtype=np.int64)

    values = scores.to_numpy(dtype=np.float64, na_value=np.nan)[:, kept]
    n_rows = int(rows.max()) + 1 if len(rows) else 0
    predict = np.full((n_rows, len(univ_idx)), np.nan)
    predict[rows] = values
    return FrameInputs(predict, univ_idx, scores.index.copy(), scores.columns.copy(), rows, kept)


def weights_to_frame(weights: ArrayLike, inputs: FrameInputs) -> pd.DataFrame:
    """Put a weight matrix from Kestrel back on the score frame's index and columns.

    Parameters
    ----------
    weights : array_like, shape (T, N)
        What the entry function or ``gen_position`` returned for
        ``inputs.predictValues``.
    inputs : FrameInputs
        The result of :func:`inputs_from_frame` that made the run's inputs.

    Returns
    -------
    pandas.DataFrame
        Same index and columns as the score frame, in its order; columns
        left out with ``missing="drop"`` hold 0.0.

    Raises
    ------
    ValueError
        `weights` does not have the shape of ``inputs.predictValues``.
    """
    import pandas as pd

    w = np.asarray(weights, dtype=np.float64)
    if w.shape != inputs.predictValues.shape:
        raise ValueError(f"weights have shape {w.shape}, expected {inputs.predictValues.shape} "
                         "(the shape of inputs.predictValues)")
    out = np.zeros((len(inputs.index), len(inputs.columns)))
    out[:, inputs.kept] = w[inputs.rows]
    return pd.DataFrame(out, index=inputs.index.copy(), columns=inputs.columns.copy())

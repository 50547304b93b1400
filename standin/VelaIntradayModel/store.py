"""Field store: named dates x securities matrices held in memory or as ``.npy`` files.

Lookups try in-memory registrations first, then the store directory: the one
given to :func:`set_store_dir`, else the one named by ``$VELA_STANDIN_DIR``.
"""

from __future__ import annotations

import difflib
import os
import threading
from pathlib import Path
from typing import Mapping, Optional, Union

import numpy as np

from .formulas import looks_like_formula

ENV_VAR = "VELA_STANDIN_DIR"
AXIS_FILES = {"dates": "dates.npy", "securities": "securities.npy"}

PathLike = Union[str, "os.PathLike[str]"]


def _is_valid_name(name: str) -> bool:
    # Formula-like names could never be asked for, and separators would escape the directory.
    return (
        bool(name)
        and name not in AXIS_FILES
        and not looks_like_formula(name)
        and not any(c in name for c in "\\\0")
    )


def _check_name(name) -> None:
    if not isinstance(name, str):
        raise TypeError(f"field name must be str, got {type(name).__name__}")
    if not _is_valid_name(name):
        raise ValueError(f"invalid field name {name!r}")


def _as_matrix(name: str, matrix) -> np.ndarray:
    arr = np.asarray(matrix, dtype=np.float64)
    if arr.ndim != 2:
        raise ValueError(f"field {name!r} must be 2-D (dates x securities), got shape {arr.shape}")
    return arr


def _as_dates(dates) -> np.ndarray:
    arr = np.asarray(dates, dtype="datetime64[D]")
    if arr.ndim != 1:
        raise ValueError(f"dates must be 1-D, got shape {arr.shape}")
    if not np.all(arr[1:] > arr[:-1]):
        raise ValueError("dates must be strictly increasing and not NaT")
    return arr


def _as_securities(securities) -> np.ndarray:
    arr = np.asarray(securities, dtype=str)
    if arr.ndim != 1:
        raise ValueError(f"securities must be 1-D, got shape {arr.shape}")
    if len(np.unique(arr)) != len(arr):
        raise ValueError("securities must be unique")
    return arr


def _open_field(path: Path) -> np.ndarray:
    arr = np.load(path, mmap_mode="r", allow_pickle=False)
    if arr.ndim != 2:
        raise ValueError(f"{path}: field must be 2-D, got shape {arr.shape}")
    if arr.dtype != np.float64:
        # Foreign stores may keep codes in narrow types; a copy beats breaking the float64 promise.
        arr = arr.astype(np.float64)
    return arr


def _atomic_save(target: Path, arr: np.ndarray) -> None:
    # Replace instead of rewriting in place: truncating a file that someone has
    # memory-mapped makes their next read crash.
    tmp = target.with_name(f".{target.name}.{os.getpid()}.{threading.get_ident()}.tmp")
    try:
        with open(tmp, "wb") as fh:
            np.save(fh, arr, allow_pickle=False)
        os.replace(tmp, target)
    except BaseException:
        tmp.unlink(missing_ok=True)
        raise


class FieldStore:
    """Named float64 matrices, dates x securities, plus their axes.

    The module-level functions act on one shared instance.
    """

    def __init__(self) -> None:
        self._fields: dict[str, np.ndarray] = {}
        self._axes: dict[str, np.ndarray] = {}
        self._dir: Optional[Path] = None

    def register(self, name: str, matrix) -> None:
        """Hold ``matrix`` in memory under ``name``; it wins over the directory.

        Parameters
        ----------
        name : str
        matrix : array_like
            2-D, dates x securities. Converted to float64 once; no copy when it already is.
        """
        _check_name(name)
        view = _as_matrix(name, matrix).view()
        # Read-only like the memory-mapped fields, so consumers writing into inputs fail here too.
        view.flags.writeable = False
        self._fields[name] = view

    def unregister(self, name: str) -> None:
        """Drop an in-memory field; raises KeyError if it was not registered."""
        try:
            del self._fields[name]
        except KeyError:
            raise KeyError(f"field {name!r} is not registered") from None

    def clear(self) -> None:
        """Drop all in-memory fields and axes; the directory setting stays."""
        self._fields.clear()
        self._axes.clear()

    def set_store_dir(self, path: Optional[PathLike]) -> None:
        """Use ``path`` as the store directory; None falls back to ``$VELA_STANDIN_DIR``."""
        if path is None:
            self._dir = None
            return
        p = Path(path).absolute()
        if not p.is_dir():
            raise NotADirectoryError(f"store directory {str(p)!r} does not exist")
        self._dir = p

    def store_dir(self) -> Optional[Path]:
        """Return the directory lookups fall back to, or None."""
        if self._dir is not None:
            return self._dir
        env = os.environ.get(ENV_VAR)
        return Path(env) if env else None

    def get(self, name: str) -> np.ndarray:
        """Return the field ``name`` without copying it.

        Raises
        ------
        KeyError
            If no registration or ``<dir>/<name>.npy`` exists.
        """
        arr = self._fields.get(name)
        if arr is not None:
            return arr
        d = self.store_dir()
        if d is not None and _is_valid_name(name):
            f = d / f"{name}.npy"
            if f.is_file():
                return _open_field(f)
        known = self.list_fields()
        if known:
            close = difflib.get_close_matches(name, known, n=3, cutoff=0.6)
            listed = ", ".join(known[:12]) + (", ..." if len(known) > 12 else "")
            where = (f"; did you mean {' or '.join(map(repr, close))}?" if close else
                     f"; the store holds {len(known)} fields: {listed}")
        else:
            where = (f" (store directory {str(d)!r} holds no fields)" if d is not None else
                     " (the store is empty: no field registered and no store directory set)")
        raise KeyError(f"unknown field {name!r}{where}")

    def version(self, name: str):
        """A token that changes whenever the field ``name`` may have changed."""
        arr = self._fields.get(name)
        if arr is not None:
            # Registrations are new view objects, so identity is a version; the
            # caller keeps the object to make the id safe from reuse.
            return ("memory", id(arr))
        d = self.store_dir()
        f = d / f"{name}.npy" if d is not None else None
        if f is not None and f.is_file():
            st = f.stat()
            return ("file", str(f), st.st_mtime_ns, st.st_size)
        return None

    def list_fields(self) -> list[str]:
        """Return the sorted names of all fields reachable by :meth:`get`."""
        names = set(self._fields)
        d = self.store_dir()
        if d is not None and d.is_dir():
            names.update(p.stem for p in d.glob("*.npy") if _is_valid_name(p.stem))
        return sorted(names)

    def register_axes(self, dates=None, securities=None) -> None:
        """Hold the dates and/or security codes in memory; None leaves that axis as is."""
        if dates is not None:
            self._axes["dates"] = _as_dates(dates)
        if securities is not None:
            self._axes["securities"] = _as_securities(securities)

    def _axis(self, key: str) -> Optional[np.ndarray]:
        if key in self._axes:
            return self._axes[key]
        d = self.store_dir()
        if d is not None:
            f = d / AXIS_FILES[key]
            if f.is_file():
                return np.load(f, allow_pickle=False)
        return None

    def dates(self) -> Optional[np.ndarray]:
        """Return the row dates (datetime64[D]) or None when not known."""
        return self._axis("dates")

    def securities(self) -> Optional[np.ndarray]:
        """Return the column security codes (unicode) or None when not known."""
        return self._axis("securities")


def write_store(
    path: PathLike,
    fields: Mapping[str, np.ndarray],
    dates=None,
    securities=None,
) -> Path:
    """Write fields (and optionally axes) as a store directory of ``.npy`` files.

    Parameters
    ----------
    path : path-like
        Created if missing. Existing files of the same names are replaced.
    fields : mapping of str to array_like
        2-D matrices of one common shape, saved as float64 ``<name>.npy``.
    dates, securities : array_like, optional
        Saved as ``dates.npy`` (datetime64[D]) and ``securities.npy`` (unicode).

    Returns
    -------
    pathlib.Path
    """
    arrays = {}
    shape = None
    for name, matrix in fields.items():
        _check_name(name)
        arr = _as_matrix(name, matrix)
        if shape is not None and arr.shape != shape:
            raise ValueError(f"field {name!r} has shape {arr.shape}, others {shape}")
        shape = arr.shape
        arrays[name] = arr
    axes = {}
    if dates is not None:
        axes["dates"] = _as_dates(dates)
    if securities is not None:
        axes["securities"] = _as_securities(securities)
    for key, arr in axes.items():
        want = shape[0 if key == "dates" else 1] if shape is not None else len(arr)
        if len(arr) != want:
            raise ValueError(f"{len(arr)} {key} do not match fields of shape {shape}")

    out = Path(path)
    out.mkdir(parents=True, exist_ok=True)
    for name, arr in arrays.items():
        _atomic_save(out / f"{name}.npy", arr)
    for key, arr in axes.items():
        _atomic_save(out / AXIS_FILES[key], arr)
    return out


_default = FieldStore()

register = _default.register
unregister = _default.unregister
clear = _default.clear
set_store_dir = _default.set_store_dir
store_dir = _default.store_dir
get_field = _default.get
field_version = _default.version
list_fields = _default.list_fields
register_axes = _default.register_axes
dates = _default.dates
securities = _default.securities

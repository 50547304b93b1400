"""A :class:`Kestrel.RunResult` as a plain ``.npz`` file.

The file holds plain arrays only (no pickles), so numpy reads it without
Kestrel::

    z = np.load("run.npz")
    z["weights"], z["rows"], z["risk_names"], z["status"], z["expo"], ...

A save never leaves a half-written file where the previous one was: it
writes a temporary file in the same folder, flushes it to the disk and then
puts it in place with one rename.
"""

from __future__ import annotations

import contextlib
import json
import os
import secrets
import zipfile
import zlib
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    from .result import RunResult

__all__ = ["RunFileError", "load", "save"]

_ARRAYS = ("weights", "rows", "limits", "status", "loop_count", "first_expo", "last_expo", "over_limit",
           "bench_hold", "hold_num", "total", "univ_idx")
# Saved by later releases; files written before they existed load without them.
_LATER_ARRAYS = ("expo", "finished", "finish_moved", "finish_status", "gave_way", "excess", "turnover",
                 "blocked_buy", "blocked_sell", "blocked_buy_weight", "blocked_sell_weight", "no_buy", "no_sell")
# What made the state (RunState's record), saved when known.
_RECORD = ("univ_idx", "algorithm", "bench_symbol", "secu_pct", "settings")

_DTYPES = {"weights": "f", "limits": "f", "first_expo": "f", "last_expo": "f", "bench_hold": "f", "total": "f",
           "rows": "iu", "status": "iu", "loop_count": "iu", "hold_num": "iu", "univ_idx": "iu", "over_limit": "b",
           "state_row": "iu", "state_weights": "f", "state_smoothed": "f", "state_univ_idx": "iu",
           "state_secu_pct": "f", "seconds_total": "f", "seconds_requests": "f", "risk_names": "U",
           "state_algorithm": "U", "state_bench_symbol": "U", "state_settings": "U",
           "expo": "f", "finished": "b", "finish_moved": "f", "finish_status": "U", "gave_way": "U", "excess": "f",
           "turnover": "f", "blocked_buy": "iu", "blocked_sell": "iu", "blocked_buy_weight": "f",
           "blocked_sell_weight": "f", "no_buy": "b", "no_sell": "b", "factor_count": "iu"}
_SCALARS = ("state_row", "seconds_total", "seconds_requests", "state_algorithm", "state_bench_symbol",
            "state_secu_pct", "state_settings", "factor_count")


class RunFileError(ValueError):
    """A file :meth:`Kestrel.RunResult.load` cannot read as a saved run: not
    an ``.npz``, damaged, or holding values a run cannot have. The message
    names the file and what is wrong with it."""


def save(result: RunResult, path: str | os.PathLike[str]) -> None:
    """Write `result` to `path` as an uncompressed ``.npz`` of plain arrays,
    atomically: the previous file at `path` stays whole until the new one is
    complete."""
    arrays: dict[str, Any] = {name: np.asarray(getattr(result, name)) for name in _ARRAYS}
    for name in _LATER_ARRAYS:
        value = getattr(result, name, None)
        if value is not None:
            arrays[name] = np.asarray(value)
    arrays["risk_names"] = np.array(list(result.risk_names), dtype=str)
    arrays["factor_count"] = np.int64(result.factor_count)
    arrays["seconds_total"] = np.float64(result.seconds.get("total", np.nan))
    arrays["seconds_requests"] = np.float64(result.seconds.get("requests", np.nan))
    state = result.state
    arrays["state_row"] = np.int64(state.row)
    arrays["state_weights"] = np.asarray(state.weights)
    if state.smoothed is not None:
        arrays["state_smoothed"] = np.asarray(state.smoothed)
    for name in _RECORD:
        value = getattr(state, name)
        if isinstance(value, dict):
            value = json.dumps(value)
        if value is not None:
            arrays[f"state_{name}"] = np.asarray(value)
    target = os.fspath(path)
    folder = os.path.dirname(os.path.abspath(target))
    # A fresh name beside the target; created as open() would (the umask decides its mode).
    temporary = os.path.join(folder, f".{os.path.basename(target)}.{os.getpid()}.{secrets.token_hex(4)}.part")
    fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o666)
    try:
        with os.fdopen(fd, "wb") as f:  # np.savez would append ".npz" to a name without it
            np.savez(f, **arrays)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    _sync_folder(folder)


def _sync_folder(folder: str) -> None:
    """Make the rename itself durable where the platform lets a folder be synced."""
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)


def _read(path: str | os.PathLike[str]) -> dict[str, np.ndarray]:
    """Every array of the file, each of the kind it must be; RunFileError otherwise."""
    name = os.fspath(path)
    try:
        with open(name, "rb") as f:
            magic = f.read(6)
    except IsADirectoryError:
        raise RunFileError(f"{name!r} is a folder, not a saved Kestrel run") from None
    if magic[:4] != b"PK\x03\x04":
        what = ("empty" if not magic else "a single .npy array, not the .npz of a saved run"
                if magic == b"\x93NUMPY" else "not an .npz file (no zip archive)")
        raise RunFileError(f"{name!r} is {what}")
    try:
        with open(name, "rb") as f, np.load(f, allow_pickle=False) as z:
            missing = [k for k in (*_ARRAYS, "risk_names", "state_row", "state_weights", "seconds_total",
                                   "seconds_requests") if k not in z.files]
            if missing:
                raise RunFileError(f"{name!r} is not a saved Kestrel run: no {', '.join(missing)}")
            arrays = {k: z[k] for k in z.files if k in _DTYPES}
    except RunFileError:
        raise
    except (zipfile.BadZipFile, zlib.error, EOFError, OSError, ValueError, KeyError) as e:
        # Truncated, damaged, or holding a pickled object (never loaded).
        raise RunFileError(f"{name!r} is damaged or not a saved Kestrel run: {e}") from e
    for k, a in arrays.items():
        if a.dtype.kind not in _DTYPES[k]:
            raise RunFileError(f"{name!r}: {k} has dtype {a.dtype}, not the kind a saved run holds")
        if k in _SCALARS and a.ndim != 0:
            raise RunFileError(f"{name!r}: {k} must be a single value, got shape {a.shape}")
    return arrays


def _check_values(name: str, a: dict[str, np.ndarray]) -> None:
    """Values against their meaning (shapes are checked by RunResult itself)."""
    status, rows, state_row = a["status"], a["rows"], int(a["state_row"])
    bad = ~np.isin(status, (0, 1, 2))
    if bad.any():
        raise RunFileError(f"{name!r}: status {status[bad][0]} at position {int(np.argmax(bad))} is no date "
                           "status (0 processed, 1 skipped, 2 empty)")
    if rows.ndim == 1 and rows.size:
        if rows[0] < 0:
            raise RunFileError(f"{name!r}: rows start at {rows[0]}; rows of the score matrix are 0 or more")
        if (np.diff(rows) <= 0).any():
            at = int(np.argmax(np.diff(rows) <= 0))
            raise RunFileError(f"{name!r}: rows are not ascending ({rows[at]} then {rows[at + 1]})")
        if state_row != rows[-1]:
            raise RunFileError(f"{name!r}: state_row is {state_row}, not the last row {rows[-1]}")
    elif state_row < -1:
        raise RunFileError(f"{name!r}: state_row is {state_row}; -1 or more expected")
    weights = a["weights"]
    if weights.size and not (np.isfinite(weights).all() and (weights >= 0).all()):
        raise RunFileError(f"{name!r}: weights must be finite and non-negative")


def _settings_of(text: str) -> Any:
    """The settings record: a mapping, or the fingerprint text earlier releases saved."""
    if not text.startswith("{"):
        return text
    try:
        return json.loads(text)
    except ValueError:
        return text


def load(path: str | os.PathLike[str]) -> RunResult:
    """Read a result written by :func:`save`.

    Raises :class:`RunFileError` (a ValueError) naming the file and the fault
    when it is no ``.npz``, is truncated or damaged, lacks an array, holds
    arrays of the wrong kind or shape, or values no run gives (a status other
    than 0, 1 or 2, rows not ascending or negative, a state row other than the
    last row). Files saved by earlier releases load, the fields they lack
    taking their neutral values. Pickled data is never loaded.
    """
    from .result import RunResult
    from .state import RunState

    name = os.fspath(path)
    a = _read(path)
    _check_values(name, a)
    fields: dict[str, Any] = {k: a[k] for k in (*_ARRAYS, *_LATER_ARRAYS) if k in a}
    fields["risk_names"] = tuple(str(s) for s in a["risk_names"].tolist())
    if "factor_count" in a:
        fields["factor_count"] = int(a["factor_count"])
    fields["seconds"] = {"total": float(a["seconds_total"]), "requests": float(a["seconds_requests"])}
    record: dict[str, Any] = {k: a[f"state_{k}"] for k in _RECORD if f"state_{k}" in a}
    for k in ("algorithm", "bench_symbol"):
        if k in record:
            record[k] = str(record[k])
    if "settings" in record:
        record["settings"] = _settings_of(str(record["settings"]))
    try:
        fields["state"] = RunState(int(a["state_row"]), a["state_weights"], a.get("state_smoothed"), **record)
        return RunResult(**fields)
    except (TypeError, ValueError) as e:
        raise RunFileError(f"{name!r} is not a consistent saved Kestrel run: {e}") from e


RunFileError.__module__ = "Kestrel"  # where users meet it

"""Settings sweeps on a Dask cluster: one independent task per grid point.

Every task runs a whole history with its own settings on some worker and
returns one summary row; the rows come back as a pandas DataFrame. Nothing
large travels over the network: the data library's store and the score
matrix are ``.npy`` files that each worker memory-maps from a path it can
see (a local disk for a ``LocalCluster``, a shared filesystem for a real
cluster). Only the paths and the settings are sent with a task::

    from dask.distributed import Client, LocalCluster
    from Kestrel.sweep import grid, run_sweep, write_sweep_data

    data = write_sweep_data("/shared/sweep", scores, univ_idx, store_dir="/shared/store")
    with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster) as client:
        table = run_sweep(client, data, "000905", 1.0, base_cfg,
                          grid(type=["TopM", "TopM2"], learning_rate=[0.05, 0.2]))

On a real cluster only the client changes: ``Client("tcp://HOST:8786")``.
With ``evaluate={"buy_bps": 5, "sell_bps": 15}`` each run is also evaluated
on its worker (:mod:`Kestrel.evaluation`, returns read there) and the
table gains its summary columns.

Workers need Kestrel and the data library installed, as the client does.
"""

from __future__ import annotations

import copy
import importlib
import itertools
import math
import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
from numpy.typing import ArrayLike

from Kestrel.report import holdings, run_turnover, traded_between
from Kestrel.tables import BENCHMARK_WEIGHT_FIELDS, OPTIONAL_SETTINGS

__all__ = ["EVALUATION_METRICS", "METRICS", "SweepData", "evaluation_notes", "grid", "run_notes", "run_point",
           "run_sweep", "summarise", "write_sweep_data"]

# Columns of the summary that follow the settings of each grid point.
METRICS = ("dates_processed", "mean_holdings", "daily_turnover", "max_abs_exposure", "max_loop_count",
           "dates_over_limit", "dates_finished", "seconds", "memory_mapped", "error", "notes")
# Columns added when the sweep evaluates its runs (Kestrel.evaluation summary keys).
EVALUATION_METRICS = ("active_return", "active_return_net", "tracking_error", "information_ratio",
                      "max_drawdown", "hit_rate", "mean_turnover", "annual_cost")


@dataclass(frozen=True)
class SweepData:
    """Where a worker finds a sweep's inputs; paths as the workers see them.

    Attributes
    ----------
    scores_path : str
        ``.npy`` file of ``predictValues`` (dates x universe, float64).
    univ_idx_path : str
        ``.npy`` file of ``univ_idx`` (int64).
    store_dir : str or None
        Store directory handed to ``VelaIntradayModel.set_store_dir`` on the
        worker before its run; None leaves the worker's library as it is
        (a real data library, or ``$VELA_STANDIN_DIR``).
    """

    scores_path: str
    univ_idx_path: str
    store_dir: str | None = None


def write_sweep_data(directory: str | Path, scores: ArrayLike, univ_idx: ArrayLike,
                     store_dir: str | Path | None = None) -> SweepData:
    """Save the score matrix and universe as ``.npy`` files for the workers.

    Parameters
    ----------
    directory : str or pathlib.Path
        Created if missing; must be visible to every worker at this path.
    scores : array_like, shape (T, N)
        ``predictValues`` of every run of the sweep.
    univ_idx : array_like of int, shape (N,)
    store_dir : str or pathlib.Path, optional
        The stand-in store directory the workers read (see :class:`SweepData`).

    Returns
    -------
    SweepData
    """
    d = Path(directory).absolute()
    d.mkdir(parents=True, exist_ok=True)
    np.save(d / "predictValues.npy", np.asarray(scores, dtype=np.float64), allow_pickle=False)
    np.save(d / "univ_idx.npy", np.asarray(univ_idx, dtype=np.int64), allow_pickle=False)
    return SweepData(str(d / "predictValues.npy"), str(d / "univ_idx.npy"),
                     None if store_dir is None else str(Path(store_dir).absolute()))


def grid(**axes: Sequence[Any]) -> list[dict[str, Any]]:
    """Every combination of the given settings, last axis fastest.

    >>> grid(type=["TopM", "TopM2"], learning_rate=[0.05, 0.2])  # doctest: +NORMALIZE_WHITESPACE
    [{'type': 'TopM', 'learning_rate': 0.05}, {'type': 'TopM', 'learning_rate': 0.2},
     {'type': 'TopM2', 'learning_rate': 0.05}, {'type': 'TopM2', 'learning_rate': 0.2}]
    """
    keys = list(axes)
    return [dict(zip(keys, values)) for values in itertools.product(*(list(axes[k]) for k in keys))]


def summarise(result: Any, n_factors: int) -> dict[str, float]:
    """Holdings, turnover and exposures of a run, from its :class:`Kestrel.RunResult`.

    Parameters
    ----------
    result : Kestrel.RunResult
    n_factors : int
        The configured risk factors: the first `n_factors` of ``result.risk_names``
        (sector limits follow them).

    Returns
    -------
    dict
        ``dates_processed`` (dates with status processed), ``mean_holdings``
        (securities held, over processed dates), ``daily_turnover`` (mean
        one-way turnover, :func:`Kestrel.report.turnover`, from one
        processed date to the next: the first date's purchase from cash is
        left out),
        ``max_abs_exposure`` (largest |active exposure| to a configured
        factor of the returned weights), ``max_loop_count`` (most
        exposure passes of a date), ``dates_over_limit`` (dates whose
        returned weights are over some limit, sectors included) and
        ``dates_finished`` (dates the exact finish replaced); NaN where
        undefined.
    """
    w = np.asarray(result.weights, dtype=np.float64)
    processed = np.asarray(result.status) == 0
    held = holdings(w)
    moves = run_turnover(result)[traded_between(result.status)]
    expo = np.abs(np.asarray(getattr(result, "expo", result.last_expo))[processed][:, :n_factors])
    return {
        "dates_processed": int(processed.sum()),
        "mean_holdings": float(held[processed].mean()) if processed.any() else math.nan,
        "daily_turnover": float(moves.mean()) if moves.size else math.nan,
        "max_abs_exposure": float(np.nanmax(expo)) if expo.size and not np.isnan(expo).all() else math.nan,
        "max_loop_count": int(np.max(result.loop_count)) if len(result.loop_count) else 0,
        "dates_over_limit": int(np.asarray(result.over_limit).any(axis=1).sum()),
        "dates_finished": int(np.asarray(getattr(result, "finished", ())).sum()),
    }


def _rows(rows: Any, limit: int = 8) -> str:
    rows = [int(r) for r in rows]
    return ", ".join(map(str, rows[:limit])) + (", ..." if len(rows) > limit else "")


def run_notes(result: Any, max_loop_num: int | None = None) -> list[str]:
    """What a run would warn about or leaves for the reader to find, read from its result, one text each.

    Dates skipped (benchmark short) or left empty, dates the control loop
    gave up on at `max_loop_num`, dates whose returned weights are over a
    limit, and dates the exact finish could not repair; each names its rows
    (score-matrix rows, the first eight).
    """
    status = np.asarray(result.status)
    rows = np.asarray(result.rows)
    done = status == 0
    notes = []
    for code, what in ((1, "skipped, benchmark weights short"),
                       (2, "left empty, no usable scores or weights not finite")):
        hit = rows[status == code]
        if hit.size:
            notes.append(f"{hit.size} date(s) {what}: rows {_rows(hit)}")
    if max_loop_num is not None:
        gave_up = rows[done & (np.asarray(result.loop_count) >= max_loop_num)]
        if gave_up.size:
            notes.append(f"control loop reached max_loop_num {max_loop_num} on {gave_up.size} date(s): "
                         f"rows {_rows(gave_up)}")
    over = rows[np.asarray(result.over_limit, dtype=bool).reshape(len(rows), -1).any(axis=1)]
    if over.size:
        notes.append(f"{over.size} date(s) over a limit after control: rows {_rows(over)}")
    finish = np.asarray(getattr(result, "finish_status", np.full(len(rows), "")))
    failed = (finish != "") & ~np.asarray(getattr(result, "finished", np.zeros(len(rows), dtype=bool)), dtype=bool)
    if failed.any():
        shown = "; ".join(f"{r} ({s})" for r, s in zip(rows[failed][:8], finish[failed][:8]))
        notes.append(f"exact finish found no portfolio inside every limit on {int(failed.sum())} date(s): rows "
                     f"{shown}{'; ...' if failed.sum() > 8 else ''}")
    return notes


def evaluation_notes(ev: Any) -> list[str]:
    """What an evaluation made with ``warn=False`` would have warned about: held securities without a return."""
    missing = np.asarray(ev.missing_weight)
    hit = np.asarray(ev.rows)[missing > 0]
    if not hit.size:
        return []
    return [f"NaN returns on held securities counted as 0 on {hit.size} date(s) (decided on rows {_rows(hit)}); "
            f"up to {missing.max():.4g} of the weight on one date"]


def _evaluated(result: Any, bench_symbol: str, library: str,
               options: Mapping[str, Any] | bool) -> tuple[dict[str, float], list[str]]:
    """The evaluation summary of a run and its notes, its returns read here on the worker."""
    from Kestrel.evaluation import evaluate

    kw: dict[str, Any] = {} if isinstance(options, bool) else dict(options)
    if isinstance(kw.get("returns"), os.PathLike):
        kw["returns"] = np.load(kw["returns"], mmap_mode="r")
    # No warning here: on a worker it would reach a log nobody reads (and the
    # warning filters, which would silence it, are one per process, not per
    # task). What it would say goes into the table's notes instead.
    kw["warn"] = False
    ev = evaluate(result, bench_symbol, library=library, **kw)
    return {k: ev.summary[k] for k in EVALUATION_METRICS}, evaluation_notes(ev)


def run_point(data: SweepData, bench_symbol: str, secu_pct: float, base_cfg: Mapping[str, Any],
              point: Mapping[str, Any], library: str = "VelaIntradayModel",
              finish: str | None = None, evaluate: Mapping[str, Any] | bool | None = None) -> dict[str, Any]:
    """Run one grid point: the task each worker executes.

    Parameters
    ----------
    data : SweepData
    bench_symbol : str
    secu_pct : float
    base_cfg : mapping
        Settings shared by all points; must hold the algorithm name under
        "type" unless `point` does. Copied, never changed.
    point : mapping
        Settings of this point; they replace those of `base_cfg`.
    library : str, default "VelaIntradayModel"
        Data library module, imported on the worker.
    finish : None or "exact", optional
        Passed to ``Kestrel.run`` (workers then need ``highspy``).
    evaluate : mapping or bool, optional
        Evaluate the run on the worker: keywords of
        :func:`Kestrel.evaluation.evaluate` (True: its defaults). The
        returns are read on the worker: a library field name (``returns=``,
        default the stand-in's), or a ``pathlib.Path`` of a ``.npy`` file
        every worker can read, memory-mapped there.

    Returns
    -------
    dict
        The point's settings, then the metrics of :func:`summarise`,
        ``seconds`` (the Kestrel run, ``RunResult.seconds["total"]``), ``memory_mapped`` (whether the
        benchmark matrix the run read was a memory map), ``error`` (the
        run's exception as text, or None; a failed point gives NaN metrics
        rather than failing the sweep) and ``notes`` (what the run and its
        evaluation would warn about, from :func:`run_notes` and
        :func:`evaluation_notes`, joined by "; "; "" when nothing); with
        `evaluate`, then the :data:`EVALUATION_METRICS` of the run's evaluation.

    Notes
    -----
    The task changes no process-wide state besides the data library's store
    directory: the warning filters are one per process, shared by the tasks
    of a threaded worker, so the evaluation runs with ``warn=False`` and what
    it would say is read from its result, as the run's is.
    """
    import Kestrel

    lib = importlib.import_module(library)
    if data.store_dir is not None:
        lib.set_store_dir(data.store_dir)
    cfg = copy.deepcopy(dict(base_cfg))
    cfg.update(copy.deepcopy(dict(point)))
    cfg["print_result"] = False
    factors = list(cfg.get("risk_factor_expo", {}))
    row: dict[str, Any] = dict(point)
    row.update(dates_processed=0, mean_holdings=math.nan, daily_turnover=math.nan, max_abs_exposure=math.nan,
               max_loop_count=0, dates_over_limit=0, dates_finished=0, seconds=math.nan, memory_mapped=False,
               error=None, notes="")
    if evaluate:
        row.update(dict.fromkeys(EVALUATION_METRICS, math.nan))
    try:
        scores = np.load(data.scores_path, mmap_mode="r")
        univ_idx = np.load(data.univ_idx_path, mmap_mode="r")
        result = Kestrel.run(cfg["type"], bench_symbol, secu_pct, cfg, scores, univ_idx, progress=False,
                             finish=finish)
        row["seconds"] = result.seconds["total"]
        field = BENCHMARK_WEIGHT_FIELDS.get(bench_symbol, bench_symbol)
        row["memory_mapped"] = isinstance(lib.RunLoopOnce([field])[0].array, np.memmap)
        row.update(summarise(result, len(factors)))
        notes = run_notes(result, int(cfg.get("max_loop_num", OPTIONAL_SETTINGS["max_loop_num"])))
        row["notes"] = "; ".join(notes)
        if evaluate:
            metrics, more = _evaluated(result, bench_symbol, library, evaluate)
            row.update(metrics)
            row["notes"] = "; ".join(notes + more)
    except Exception as e:  # one bad point must not sink the sweep
        row["error"] = f"{type(e).__name__}: {e}"
    return row


def run_sweep(client: Any, data: SweepData, bench_symbol: str, secu_pct: float, base_cfg: Mapping[str, Any],
              points: Sequence[Mapping[str, Any]], library: str = "VelaIntradayModel",
              finish: str | None = None, evaluate: Mapping[str, Any] | bool | None = None) -> Any:
    """Run every grid point as its own task on a Dask cluster and tabulate the results.

    Parameters
    ----------
    client : dask.distributed.Client
        Connected to a ``LocalCluster`` or to a real scheduler's address.
    data : SweepData
        Paths every worker can read.
    bench_symbol, secu_pct, base_cfg, library, finish, evaluate
        As for :func:`run_point`.
    points : sequence of mapping
        Settings of each point, e.g. from :func:`grid`.

    Returns
    -------
    pandas.DataFrame
        One row per point in the order of `points`: the point's settings,
        then ``dates_processed``, ``mean_holdings``, ``daily_turnover``,
        ``max_abs_exposure``, ``max_loop_count``, ``dates_over_limit``,
        ``dates_finished``, ``seconds``, ``memory_mapped``, ``error`` and
        ``notes`` (see :func:`run_point`); with
        `evaluate`, then :data:`EVALUATION_METRICS` (annualised active return
        gross and net, tracking error, information ratio, maximum drawdown of
        the active return, share of dates beating the benchmark, one-way
        turnover, costs).
    """
    import pandas as pd

    options = evaluate if isinstance(evaluate, bool) or evaluate is None else dict(evaluate)
    futures = [client.submit(run_point, data, bench_symbol, secu_pct, dict(base_cfg), dict(p), library, finish,
                             options, pure=False) for p in points]
    rows = client.gather(futures)
    keys: list[str] = []
    for p in points:
        keys += [k for k in p if k not in keys and k not in METRICS and k not in EVALUATION_METRICS]
    return pd.DataFrame(rows, columns=keys + list(METRICS) + (list(EVALUATION_METRICS) if evaluate else []))

"""Sweeps: the Dask example on two worker processes against the same runs in-process, a sweep on a threaded
worker, what the table says about each run, and the evaluated sweep's picture."""

import importlib.util
import warnings
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
distributed = pytest.importorskip("dask.distributed")
vim = pytest.importorskip("VelaIntradayModel")
from Kestrel.sweep import SweepData, evaluation_notes, grid, run_notes, run_point, run_sweep, write_sweep_data  # noqa: E402

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
EXAMPLE = EXAMPLES / "sweep_dask.py"


def load_example(path):
    found = importlib.util.spec_from_file_location(path.stem, path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def test_sweep_example_on_two_workers_matches_serial_runs(tmp_path, capsys, clean_store):
    example = load_example(EXAMPLE)
    table = example.main(["--quick", "--dates", "30", "--secu", "1000", "--univ", "850", "--factors", "3",
                          "--dir", str(tmp_path)])
    out = capsys.readouterr().out
    assert "4 runs of 30 dates x 850 securities on 2 workers" in out and "max_abs_exposure" in out

    points, cfg = example.points(quick=True), example.base_settings(vim.style_names(3))
    assert list(table.columns[:2]) == ["type", "learning_rate"] and len(table) == len(points)
    assert table["error"].isna().all() and table["memory_mapped"].all() and (table["notes"] == "").all()
    assert (table["dates_processed"] == 30).all() and table["max_abs_exposure"].between(0, 0.36).all()
    assert len(table[["mean_holdings", "daily_turnover"]].drop_duplicates()) == 4  # every point's settings took effect
    assert table["daily_turnover"].between(0.001, 0.5).all()  # one-way, a share of the portfolio

    data = SweepData(str(tmp_path / "inputs" / "predictValues.npy"), str(tmp_path / "inputs" / "univ_idx.npy"),
                     str(tmp_path / "store"))
    serial = pd.DataFrame([run_point(data, "000905", 1.0, cfg, p) for p in points], columns=table.columns)
    same = ["type", "learning_rate", "dates_processed", "mean_holdings", "daily_turnover", "max_abs_exposure", "error",
            "notes"]
    pd.testing.assert_frame_equal(table[same], serial[same])


def test_a_failing_point_becomes_a_row(tmp_path, clean_store):
    data = SweepData(str(tmp_path / "none.npy"), str(tmp_path / "none.npy"))
    row = run_point(data, "000905", 1.0, {"type": "TopM"}, {"type": "TopX", "decay": 0.3})
    assert row["type"] == "TopX" and row["dates_processed"] == 0 and row["error"].startswith("FileNotFoundError")


def test_a_sweep_on_a_threaded_worker_leaves_the_warning_filters_and_tabulates_the_warnings(tmp_path, clean_store,
                                                                                           monkeypatch):
    import Kestrel.evaluation as evaluation

    seen = []  # the warning filters each evaluation ran under, on the worker threads

    def evaluate(*args, **kw):
        seen.append(list(warnings.filters))
        return real(*args, **kw)
    real = evaluation.evaluate
    monkeypatch.setattr(evaluation, "evaluate", evaluate)
    m = vim.generate_market(tmp_path / "store", n_dates=20, n_secu=500, n_factors=2, seed=4,
                            bench_sizes={"weight300": 300})
    univ = vim.default_universe(m, 400, cover=("weight300",))
    scores = vim.make_scores(m, univ, seed=4)
    scores[[4, 9]] = np.nan  # two dates left empty, which the run warns about
    returns = np.array(m.load(m.returns_field))
    returns[13] = np.nan  # no returns for what row 12 holds, which the evaluation would warn about
    np.save(tmp_path / "ret.npy", returns)
    data = write_sweep_data(tmp_path / "inputs", scores, univ, store_dir=m.path)
    cfg = {"type": "TopM", "weight_multi": 1.5, "risk_cost": 0.3, "decay": 0.3, "bench_coeff": 0.8,
           "pre_coeff": 0.9, "each_sector_expo": 0.03, "risk_factor_expo": {n: 0.35 for n in m.factors}}
    points = grid(decay=[0.1, 0.3, 0.6, 0.9])
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        before = list(warnings.filters)
        # Two threads of one worker run the points side by side, in this process and under its filters.
        with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                      dashboard_address=":0") as cluster, distributed.Client(cluster) as client:
            table = run_sweep(client, data, "000300", 1.0, cfg, points, evaluate={"returns": tmp_path / "ret.npy"})
        after = list(warnings.filters)
    assert after == before and seen == [before] * len(points)
    assert table["error"].isna().all() and (table["dates_processed"] == 18).all()
    for note in table["notes"]:
        assert "2 date(s) left empty, no usable scores or weights not finite: rows 4, 9" in note
        assert "NaN returns on held securities counted as 0 on 1 date(s) (decided on rows 12)" in note
    # Nothing on the workers silenced the run's own warning: each point's reached the caller.
    assert sum("2 date(s) left empty" in str(w.message) for w in caught) == len(points)
    assert not any("NaN returns" in str(w.message) for w in caught)


def result(status, loop_count=None, over=None, finish_status=None, finished=None, first_row=0):
    T = len(status)
    out = SimpleNamespace(rows=np.arange(first_row, first_row + T), status=np.asarray(status, dtype=np.int8),
                          loop_count=np.asarray(loop_count if loop_count is not None else [3] * T),
                          over_limit=np.asarray(over if over is not None else [[False, False]] * T))
    if finish_status is not None:
        out.finish_status, out.finished = np.asarray(finish_status), np.asarray(finished, dtype=bool)
    return out


@pytest.mark.parametrize("run, max_loop_num, want", [
    (result([0, 0, 0]), 100, []),
    (result([1, 0, 2, 2], first_row=10), 100,
     ["1 date(s) skipped, benchmark weights short: rows 10",
      "2 date(s) left empty, no usable scores or weights not finite: rows 12, 13"]),
    # The loop's cap counts on processed dates only; dates over a limit name their rows, the first eight.
    (result([0, 0, 1], loop_count=[5, 9, 9]), 9, ["1 date(s) skipped, benchmark weights short: rows 2",
                                                   "control loop reached max_loop_num 9 on 1 date(s): rows 1"]),
    (result([0] * 10, over=[[False, True]] * 10), None,
     ["10 date(s) over a limit after control: rows 0, 1, 2, 3, 4, 5, 6, 7, ..."]),
    # The exact finish: repaired dates are fine, the ones it could not repair are named with the solver's status.
    (result([0, 0, 0], over=[[False, False], [True, False], [False, False]],
            finish_status=["Optimal", "Infeasible", ""], finished=[True, False, False]), None,
     ["1 date(s) over a limit after control: rows 1",
      "exact finish found no portfolio inside every limit on 1 date(s): rows 1 (Infeasible)"]),
])
def test_run_notes_say_what_the_run_would_warn_about(run, max_loop_num, want):
    assert run_notes(run, max_loop_num) == want


@pytest.mark.parametrize("missing, want", [
    ([0.0, 0.0], []),
    ([0.0, 0.25], ["NaN returns on held securities counted as 0 on 1 date(s) (decided on rows 8); "
                   "up to 0.25 of the weight on one date"]),
])
def test_evaluation_notes_say_what_the_evaluation_would_warn_about(missing, want):
    assert evaluation_notes(SimpleNamespace(rows=np.array([7, 8]), missing_weight=np.array(missing))) == want


@pytest.mark.parametrize("crowd", [False, True])
def test_the_best_settings_are_numbered_where_nothing_covers_them(tmp_path, crowd):
    pytest.importorskip("matplotlib")
    example = load_example(EXAMPLES / "sweep_evaluate.py")
    rng = np.random.default_rng(1)
    n = 18
    turnover = rng.uniform(0.04, 0.12, n)
    ratio = rng.uniform(2.7, 3.7, n)
    if crowd:  # the three best almost on one spot, and others packed around them
        turnover[:6] = 0.08 + rng.normal(0, 0.0005, 6)
        ratio[:6] = 3.65 + rng.normal(0, 0.005, 6)
        ratio[:3] += 0.1
    table = pd.DataFrame({"decay": rng.choice([0.1, 0.3, 0.6], n), "type": rng.choice(["TopM", "TopM2"], n),
                          "mean_turnover": turnover, "information_ratio": ratio,
                          "active_return_net": rng.uniform(0.08, 0.12, n), "error": None})
    fig_path = example.draw(table, ["decay", "type"], tmp_path / "ir.png")
    assert fig_path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    from matplotlib.figure import Figure
    fig = Figure(figsize=(9, 6.5), dpi=110, layout="constrained")
    ax = fig.add_subplot()
    x, y = turnover * 100, ratio
    ax.scatter(x, y, s=60)
    ax.margins(0.08)
    best = list(np.argsort(-ratio)[:3])
    numbers = example.place_numbers(fig, ax, x, y, best, 170)
    r = fig.canvas.get_renderer()
    boxes = [example.text_box(a, r) for a in numbers]
    centres = ax.transData.transform(np.column_stack([x, y]))
    radius = np.sqrt(170) / 2 * fig.dpi / 72
    assert [a.get_text() for a in numbers] == ["1", "2", "3"]
    for i, box in enumerate(boxes):
        assert ax.get_window_extent(r).contains(box.x0, box.y0) and ax.get_window_extent(r).contains(box.x1, box.y1)
        assert not any(box.overlaps(other) for other in boxes[i + 1:])
        inside = ((centres[:, 0] > box.x0 - radius) & (centres[:, 0] < box.x1 + radius)
                  & (centres[:, 1] > box.y0 - radius) & (centres[:, 1] < box.y1 + radius))
        assert not inside.any(), (i, box)

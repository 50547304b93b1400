"""The report-line reader and the quickstart's PNG report."""

import importlib.util
from pathlib import Path

import numpy as np
import pytest

from kestrel_tools.report import PANELS, ReportLine, exposures, parse_report, plot_run, report_figure, turnover
from kestrel_tools.tables import SECTOR_COUNT, sector_formula

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


@pytest.mark.parametrize("text, expected", [
    ("3 LoopCount: 2 FirstExpo: [0.5 -1e-05] LastExpo: [0.25 nan] BenchHold: 0.75 HoldNum: (12,) 1.0",
     [ReportLine(3, 2, (0.5, -1e-05), (0.25, float("nan")), 0.75, 12, 1.0)]),
    ("0 LoopCount: 0 FirstExpo: None LastExpo: None BenchHold: 0.0 HoldNum: (0,) 0.0\n"
     "CheckPosition: 0.9\n"
     "7 LoopCount: 1 FirstExpo: [] LastExpo: [] BenchHold: 1.0 HoldNum: (3,) 0.9999999999999999\n",
     [ReportLine(0, 0, None, None, 0.0, 0, 0.0), ReportLine(7, 1, (), (), 1.0, 3, 0.9999999999999999)]),
    ("[0 2] [0.5 0.3] [0.4 0.2]", []),
])
def test_parse_report(text, expected):
    got = parse_report(text)
    assert [repr(g) for g in got] == [repr(e) for e in expected]  # repr: nan compares unequal


def test_exposures_and_turnover_place_values_on_their_rows():
    lines = parse_report("2 LoopCount: 1 FirstExpo: [0.5 0.1] LastExpo: [0.4 0.2] BenchHold: 1.0 HoldNum: (2,) 1.0")
    first, last = exposures(lines, 4, 2)
    assert np.isnan(first[[0, 1, 3]]).all() and list(first[2]) == [0.5, 0.1] and list(last[2]) == [0.4, 0.2]
    w = np.array([[0.5, 0.5], [1.0, 0.0], [0.0, 0.0], [0.0, 1.0]])
    np.testing.assert_array_equal(turnover(w), [np.nan, 1.0, np.nan, np.nan])


def test_quickstart_prints_its_summary_and_writes_a_png(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    vim = pytest.importorskip("VelaIntradayModel")
    found = importlib.util.spec_from_file_location("quickstart", EXAMPLES / "quickstart.py")
    quickstart = importlib.util.module_from_spec(found)
    found.loader.exec_module(quickstart)
    png = tmp_path / "report.png"
    try:
        quickstart.main(["--dates", "30", "--secu", "1200", "--univ", "900", "--factors", "4", "--png", str(png)])
    finally:
        vim.clear()
    out = capsys.readouterr().out
    assert "dates processed      30 of 30" in out and "momentum" in out
    assert out.rstrip().endswith(f"PNG report written to {png.resolve()}")
    from matplotlib.image import imread
    img = imread(png)
    assert img.shape[0] > 1000 and img.shape[1] > 1500 and img[..., :3].std() > 0.1


def stand_in_run(T=12, N=40, factors=("size", "beta"), seed=3):
    """An object with the run result's attributes and shapes, dates 2 and 5 not processed."""
    from types import SimpleNamespace
    rng = np.random.default_rng(seed)
    names = (*factors, *(sector_formula(c) for c in range(SECTOR_COUNT)))
    K = len(names)
    status = np.zeros(T, dtype=np.int8)
    status[[2, 5]] = [1, 2]
    first, last = rng.normal(0, 0.3, (T, K)), rng.normal(0, 0.1, (T, K))
    first[status > 0] = last[status > 0] = np.nan
    limits = np.array([0.35] * len(factors) + [0.03] * SECTOR_COUNT)
    w = rng.random((T, N)) * (status == 0)[:, None]
    return SimpleNamespace(
        weights=w / np.maximum(w.sum(axis=1, keepdims=True), 1e-300), rows=np.arange(T, dtype=np.int64),
        risk_names=names, limits=limits, status=status, loop_count=np.where(status == 0, rng.integers(1, 9, T), 0),
        first_expo=first, last_expo=last, over_limit=np.abs(np.nan_to_num(last)) > limits,
        bench_hold=np.where(status == 0, 0.4, np.nan), total=np.where(status == 0, 1.0, np.nan),
        hold_num=np.where(status == 0, N, -1))


@pytest.mark.parametrize("with_dates", [False, True])
def test_report_draws_every_panel_from_a_run_object(tmp_path, with_dates):
    pytest.importorskip("matplotlib")
    run = stand_in_run()
    dates = np.arange("2024-01-01", "2024-01-13", dtype="datetime64[D]") if with_dates else None
    bench = np.full(run.weights.shape, 2.5)
    fig = report_figure(run, bench=bench, dates=dates, max_loop_num=10)
    axes = {(ax.get_title(loc="left") or ax.get_title()).split("\n")[0]: ax for ax in fig.axes}
    for panel in PANELS:
        assert any(t.startswith(panel) for t in axes), (panel, list(axes))
    assert "size (limit ±0.35)" in axes and "beta (limit ±0.35)" in axes
    assert axes["size (limit ±0.35)"].get_ylim() == axes["beta (limit ±0.35)"].get_ylim()  # one scale for all
    labels = {h.get_label() for ax in fig.figure.axes for h in ax.get_legend_handles_labels()[0]}
    assert {"before control", "after control", "weight in benchmark members", "active share", "securities held",
            "turnover (sum of |weight change|)"} <= labels
    panel = {name: next(ax for t, ax in axes.items() if t.startswith(name)) for name in PANELS}
    # Holdings and turnover are drawn on every processed date, on two scales.
    held, turn = panel[PANELS[0]].lines[0].get_ydata(), [ax for ax in fig.axes if ax.get_ylabel().startswith(
        "turnover")][0].lines[0].get_ydata()
    assert np.isfinite(held).sum() == 10 and np.nanmax(held) == 40 and np.isfinite(turn).sum() == 7
    # Control passes as a step line; one date range on every time axis.
    assert panel[PANELS[1]].lines[0].get_drawstyle() == "steps-mid"
    assert panel[PANELS[0]].get_xlim() == panel[PANELS[4]].get_xlim() == axes["size (limit ±0.35)"].get_xlim()
    sectors = panel[PANELS[4]]
    assert [t.get_text() for t in sectors.get_yticklabels()] == [f"sector {c}" for c in range(SECTOR_COUNT)]
    # Bars above zero carry their value; a series with none is left out of the legend.
    for ax in (panel[PANELS[3]], panel[PANELS[5]]):
        above_zero = sum(int((c.datavalues > 0).sum()) for c in ax.containers)
        assert above_zero > 0 and len([t for t in ax.texts if t.get_text()]) == above_zero
        legend = [t.get_text() for t in ax.get_legend().get_texts()]
        assert all((c.datavalues > 0).any() for c in ax.containers) and len(legend) == len(ax.containers)
    title = "\n".join(t.get_text() for t in fig.texts)  # the suptitle (get_suptitle is newer than 3.7)
    assert ("2024-01-01 to 2024-01-12" if with_dates else "rows 0 to 11") in title

    png = plot_run(run, tmp_path / "r.png", bench=bench, dates=dates)
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and png.stat().st_size > 50_000

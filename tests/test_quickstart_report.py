"""The report-line reader and the quickstart's PNG report."""

import importlib.util
from pathlib import Path
from types import SimpleNamespace

import numpy as np
import pytest

from Kestrel.report import (
    PANELS,
    ReportLine,
    exposures,
    parse_report,
    plot_run,
    report_figure,
    risk_label,
    run_turnover,
    turnover,
)
from Kestrel.sweep import summarise
from Kestrel.tables import SECTOR_COUNT, sector_formula, sector_names

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


def test_exposures_place_values_on_their_rows():
    lines = parse_report("2 LoopCount: 1 FirstExpo: [0.5 0.1] LastExpo: [0.4 0.2] BenchHold: 1.0 HoldNum: (2,) 1.0")
    first, last = exposures(lines, 4, 2)
    assert np.isnan(first[[0, 1, 3]]).all() and list(first[2]) == [0.5, 0.1] and list(last[2]) == [0.4, 0.2]


FLIP = [[0.5, 0.5], [1.0, 0.0], [0.0, 0.0], [0.0, 1.0]]


@pytest.mark.parametrize("weights, initial, status, want, traded", [
    # From cash the first row buys half its total; an empty row sells everything, the next buys it back.
    (FLIP, None, [0, 0, 0, 0], [0.5, 0.5, 0.5, 0.5], 0.5),
    (FLIP, [0.5, 0.5], [0, 0, 0, 0], [0.0, 0.5, 0.5, 0.5], 0.5),
    # Trading counts only from one processed date to the next: the empty row and the one after are left out.
    (FLIP, None, [0, 0, 2, 0], [0.5, 0.5, 0.5, 0.5], 0.5),
    ([[0.2, 0.3], [0.3, 0.2], [0.3, 0.2]], None, [0, 0, 0], [0.25, 0.1, 0.0], 0.05),
    ([[0.2, 0.3]], None, [0], [0.25], np.nan),
    (np.zeros((0, 3)), None, [], [], np.nan),
])
def test_turnover_is_one_way_in_the_report_the_sweep_and_the_evaluation(weights, initial, status, want, traded,
                                                                         clean_store):
    w = np.asarray(weights, dtype=float)
    np.testing.assert_allclose(turnover(w, initial), want, atol=1e-15)
    np.testing.assert_allclose(turnover(w, initial), 0.5 * (evaluation_buys_and_sells(w, initial)), atol=1e-15)
    K = 1
    run = SimpleNamespace(weights=w, rows=np.arange(len(w)), status=np.asarray(status, dtype=np.int8),
                          loop_count=np.ones(len(w), dtype=np.int64), expo=np.zeros((len(w), K)),
                          last_expo=np.zeros((len(w), K)), over_limit=np.zeros((len(w), K), dtype=bool))
    if initial is None:
        np.testing.assert_allclose(run_turnover(run), want, atol=1e-15)
    got = summarise(SimpleNamespace(**vars(run), turnover=np.asarray(want)), K)["daily_turnover"]
    assert got == pytest.approx(traded, nan_ok=True)
    if len(w):
        # The evaluation's own per-date turnover, all rows evaluated (lag 0), agrees.
        from Kestrel.evaluation import evaluate
        vim = pytest.importorskip("VelaIntradayModel")
        vim.register("bench", np.ones_like(w))
        ev = evaluate(w, "bench", np.zeros_like(w), univ_idx=np.arange(w.shape[1]), lag=0, initial=initial,
                      attribution=False, warn=False)  # empty rows and single dates are warned about elsewhere
        np.testing.assert_allclose(ev.turnover, want, atol=1e-15)


def evaluation_buys_and_sells(w, initial):
    """Bought plus sold, row by row: the two-way traded weight."""
    prev = np.zeros(w.shape[1]) if initial is None else np.asarray(initial, dtype=float)
    step = np.diff(w, axis=0, prepend=prev[None, :])
    return np.maximum(step, 0).sum(axis=1) + np.maximum(-step, 0).sum(axis=1)


@pytest.mark.parametrize("weights, initial, match", [
    (np.ones(3), None, "weights must be 2-D"),
    (np.ones((2, 3)), np.ones(2), r"initial must hold one weight per column of weights \(3\)"),
])
def test_turnover_names_the_argument_that_does_not_fit(weights, initial, match):
    with pytest.raises(ValueError, match=match):
        turnover(weights, initial)


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
    assert "dates processed      30 of 30" in out and "momentum" in out and "a date, one-way" in out
    assert out.rstrip().endswith(f"PNG report written to {png.resolve()}")
    from matplotlib.image import imread
    img = imread(png)
    assert img.shape[0] > 1000 and img.shape[1] > 1500 and img[..., :3].std() > 0.1


NAMES = [f"Industry {c} & co" for c in range(SECTOR_COUNT)]


def texts_and_frames(fig):
    """Every visible text box (with the axes it belongs to) and every axes frame, in pixels, after layout."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.offsetbox import AnnotationBbox
    from matplotlib.text import Text

    if not isinstance(fig.canvas, FigureCanvasAgg):
        FigureCanvasAgg(fig)
    fig.canvas.draw()  # the Agg canvas savefig uses: final layout and text sizes
    r = fig.canvas.get_renderer()
    boxes = []
    for ax in fig.axes:
        texts = [c for c in ax.get_children() if isinstance(c, (Text, AnnotationBbox))]
        texts += [ax.xaxis.label, ax.yaxis.label]
        for axis, i in ((ax.xaxis, 0), (ax.yaxis, 1)):  # the labels of ticks in view: the others are not drawn
            low, high = sorted(axis.get_view_interval())
            texts += [t for t in axis.get_ticklabels() if low - 1e-9 <= t.get_position()[i] <= high + 1e-9]
        boxes += [(ax, t, t.get_window_extent(r)) for t in texts
                  if t.get_visible() and (not isinstance(t, Text) or t.get_text().strip())]
        if ax.get_legend():
            boxes.append((ax, ax.get_legend(), ax.get_legend().get_window_extent(r)))
    for sub in fig.subfigs:
        boxes += [(None, leg, leg.get_window_extent(r)) for leg in sub.legends]
    frames = [(ax, ax.get_window_extent(r)) for ax in fig.axes]
    return boxes, frames


GAP = 12  # pixels a panel's text keeps from another panel's frame, so that it reads as its own panel's


def clashes(fig):
    """Text over or near another panel's frame or over another panel's text; legends over their own panel's data."""
    boxes, frames = texts_and_frames(fig)
    # Twins share a frame and read as one panel: a panel is its frame's place; figure legends belong to none.
    place = {id(ax): ax.get_position().bounds for ax, _ in frames}
    owner = [place.get(id(ax), i) if ax is not None else -1 - i for i, (ax, _, _) in enumerate(boxes)]
    frame_owner = [place[id(ax)] for ax, _ in frames]

    def extents(bbs, grow=-0.5):  # by default shrunk by half a pixel, so that boxes that only touch do not count
        return np.array([[b.x0 - grow, b.y0 - grow, b.x1 + grow, b.y1 + grow] for b in bbs]).reshape(-1, 4)

    def overlap(a, b):
        return ((a[:, None, 0] < b[None, :, 2]) & (b[None, :, 0] < a[:, None, 2])
                & (a[:, None, 1] < b[None, :, 3]) & (b[None, :, 1] < a[:, None, 3]))

    t, f = extents(box for _, _, box in boxes), extents(frame for _, frame in frames)
    near = extents((box for _, _, box in boxes), GAP)
    same_tf = np.array([[o == p for p in frame_owner] for o in owner], dtype=bool).reshape(len(owner), -1)
    same_tt = np.array([[o == p for p in owner] for o in owner], dtype=bool).reshape(len(owner), -1)
    out = [(repr(boxes[i][1]), repr(frames[j][0])) for i, j in zip(*np.nonzero(overlap(near, f) & ~same_tf))]
    out += [(repr(boxes[i][1]), repr(boxes[j][1])) for i, j in zip(*np.nonzero(np.triu(overlap(t, t) & ~same_tt)))]
    out += [(repr(ax.get_legend()), "own frame") for ax, frame in frames
            if ax.get_legend() and ax.get_legend().get_window_extent().y0 < frame.y1 - 1]
    return out


@pytest.mark.parametrize("with_dates, names", [(False, None), (True, NAMES)])
def test_report_draws_every_panel_from_a_run_object(tmp_path, with_dates, names, monkeypatch):
    pytest.importorskip("matplotlib")
    vim = pytest.importorskip("VelaIntradayModel")
    if names is None:
        monkeypatch.delattr(vim, "sector_names", raising=False)
    else:
        monkeypatch.setattr(vim, "sector_names", lambda: list(names), raising=False)
    run = stand_in_run()
    dates = np.arange("2024-01-01", "2024-01-13", dtype="datetime64[D]") if with_dates else None
    bench = np.full(run.weights.shape, 2.5)
    fig = report_figure(run, bench=bench, dates=dates, max_loop_num=10, title="A run of 40 securities")
    axes = {(ax.get_title(loc="left") or ax.get_title()).split("\n")[0]: ax for ax in fig.axes}
    for panel in PANELS:
        assert any(t.startswith(panel) for t in axes), (panel, list(axes))
    assert "size (limit ±0.35)" in axes and "beta (limit ±0.35)" in axes
    assert axes["size (limit ±0.35)"].get_ylim() == axes["beta (limit ±0.35)"].get_ylim()  # one scale for all
    labels = {h.get_label() for ax in fig.figure.axes for h in ax.get_legend_handles_labels()[0]}
    assert {"active exposure before control", "after control (the weights returned)", "weight in benchmark members",
            "active share", "securities held", "one-way turnover (half the sum of |weight change|)"} <= labels
    panel = {name: next(ax for t, ax in axes.items() if t.startswith(name)) for name in PANELS}
    # Holdings on every processed date; turnover from one processed date to the next (rows 1, 4, 7..11),
    # the purchases from cash (rows 0, 3, 6) named in the title instead.
    held, turn = panel[PANELS[0]].lines[0].get_ydata(), [ax for ax in fig.axes if ax.get_ylabel().startswith(
        "turnover")][0].lines[0].get_ydata()
    assert np.isfinite(held).sum() == 10 and np.nanmax(held) == 40 and np.isfinite(turn).sum() == 7
    want = turnover(run.weights)[[1, 4, 7, 8, 9, 10, 11]] * 100
    np.testing.assert_allclose(turn[np.isfinite(turn)], want)
    top_title = panel[PANELS[0]].get_title(loc="left")
    assert f"one-way turnover {want.mean():.1f}% a date (first date, from cash: 50.0%)" in top_title
    assert "2 purchase(s) from cash after a date not processed" in top_title
    # The means of the membership panel are in its title.
    membership = panel[PANELS[2]].get_title(loc="left")
    assert "mean 40.0% of the weight in benchmark members, active share" in membership and "1 skipped" in membership
    # Control passes as a step line; one date range on every time axis; counts have whole-number ticks.
    assert panel[PANELS[1]].lines[0].get_drawstyle() == "steps-mid"
    assert panel[PANELS[0]].get_xlim() == panel[PANELS[4]].get_xlim() == axes["size (limit ±0.35)"].get_xlim()
    found = clashes(fig)  # drawn: the tick locators have run
    for ax in (panel[PANELS[0]], panel[PANELS[1]]):
        ticks = ax.get_yticks()
        assert np.array_equal(ticks, np.round(ticks)), ticks
    # Sectors by name when the library names them, by code otherwise; the share panel gives the medians.
    sectors = panel[PANELS[4]]
    want_names = names or [f"sector {c}" for c in range(SECTOR_COUNT)]
    assert [t.get_text() for t in sectors.get_yticklabels()] == want_names
    use = np.nanmedian(np.abs(run.last_expo[run.status == 0][:, 2:]) / 0.03, axis=0) * 100
    assert [t.get_text() for t in panel[PANELS[5]].get_yticklabels()] == [f"{v:.0f}%" for v in use]
    assert panel[PANELS[5]].get_ylim() == sectors.get_ylim()
    np.testing.assert_allclose(panel[PANELS[5]].get_position().intervaly, sectors.get_position().intervaly)
    size_use = np.nanmedian(np.abs(run.last_expo[run.status == 0][:, 0]) / 0.35) * 100
    assert panel[PANELS[3]].get_xticklabels()[0].get_text() == f"size ({size_use:.0f}%)"
    # Every group with a share above zero carries its values; a series with none is left out of the legend.
    for ax in (panel[PANELS[3]], panel[PANELS[5]]):
        groups = {round(float(np.mean(b.get_y() if ax is panel[PANELS[5]] else b.get_x()))) for c in ax.containers
                  for b, v in zip(c, c.datavalues) if v > 0}
        values = [a for a in ax.artists]
        assert groups and len(values) == len(groups)
        legend = [t.get_text() for t in ax.get_legend().get_texts()]
        assert all((c.datavalues > 0).any() for c in ax.containers) and len(legend) == len(ax.containers)
    title = "\n".join(t.get_text() for t in fig.texts)  # the suptitle (get_suptitle is newer than 3.7)
    assert ("2024-01-01 to 2024-01-12" if with_dates else "rows 0 to 11") in title
    assert title.count("40 securities") == 1
    assert found == []

    png = plot_run(run, tmp_path / "r.png", bench=bench, dates=dates)
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and png.stat().st_size > 50_000


def test_the_quickstart_size_report_has_nothing_overlapping(monkeypatch):
    """The page at the quickstart's size: ten factors, 28 named sectors, a year of dates."""
    pytest.importorskip("matplotlib")
    vim = pytest.importorskip("VelaIntradayModel")
    monkeypatch.setattr(vim, "sector_names", lambda: [f"{n} and sons" for n in NAMES], raising=False)
    run = stand_in_run(T=250, N=300, factors=tuple(f"style_factor_{k}" for k in range(10)), seed=5)
    fig = report_figure(run, bench=np.full(run.weights.shape, 1.0), max_loop_num=100,
                        dates=np.arange("2020-01-01", 250, dtype="datetime64[D]"), title="Quickstart-sized")
    assert clashes(fig) == []


SECTOR_NAME_LIBRARIES = [
    # What the library's sector_names gives, the names found, the warning.
    (lambda: list(NAMES), NAMES, None),
    (lambda: np.array(NAMES), NAMES, None),
    (None, None, None),
    (lambda: NAMES[:-1], None, "gave 27 names, not 28"),
    (lambda: NAMES[:-1] + [" "], None, "an empty name for code 27"),
    (lambda: "Banks", None, "gave str"),
    (lambda: 1 / 0, None, "failed \\(ZeroDivisionError"),
]


@pytest.mark.parametrize("fn, want, warning", SECTOR_NAME_LIBRARIES)
def test_sector_names_come_from_the_library_or_fall_back_to_codes(fn, want, warning, monkeypatch):
    vim = pytest.importorskip("VelaIntradayModel")
    if fn is None:
        monkeypatch.delattr(vim, "sector_names", raising=False)
    else:
        monkeypatch.setattr(vim, "sector_names", fn, raising=False)
    if warning:
        with pytest.warns(UserWarning, match=warning):
            got = sector_names()
        with pytest.warns(UserWarning, match=warning):
            label = risk_label(sector_formula(27))
    else:
        got, label = sector_names(), risk_label(sector_formula(27))
    assert got == want
    assert label == (want[27] if want else "sector 27")
    assert risk_label("size") == "size" and risk_label(sector_formula(3), library=None) == "sector 3"
    assert sector_names("no_such_library_module") is None


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

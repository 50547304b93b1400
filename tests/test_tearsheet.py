"""The tear sheet: the rolling information ratio window by window, and what the page shows and where."""

import numpy as np
import pytest

from Kestrel.evaluation import Attribution, Evaluation
from Kestrel.tearsheet import PANELS, ROLLING_DATES, plot_tearsheet, rolling_information_ratio, tearsheet_figure

STYLES = ("size", "beta", "momentum", "book_to_price", "growth", "liquidity", "leverage")


def direct_ratio(x, window, need):
    """Each trailing window on its own, its finite values only."""
    out = np.full(len(x), np.nan)
    for end in range(window - 1, len(x)):
        v = x[end - window + 1:end + 1]
        v = v[np.isfinite(v)]
        if len(v) >= need and v.std(ddof=1) > 1e-12 * abs(v.mean()):  # a flat window: no ratio
            out[end] = v.mean() / v.std(ddof=1) * np.sqrt(252)
    return out


def series(n=500, **changes):
    x = np.random.default_rng(0).normal(0.0003, 0.002, n)
    for i, v in changes.items():
        x[int(i[1:])] = v
    return x


@pytest.mark.parametrize("x, window, min_dates, finite", [
    (series(200), ROLLING_DATES, None, 141),
    # One NaN spoils no window: each keeps its other 59 dates.
    (series(500, i100=np.nan), ROLLING_DATES, None, 441),
    (series(500, i100=np.inf, i101=-np.inf), ROLLING_DATES, None, 441),
    # Demanding every date of the window: the 60 windows holding the NaN give none.
    (series(500, i100=np.nan), ROLLING_DATES, ROLLING_DATES, 381),
    # Windows of 10 holding 3 or 4 NaN: the third with 4 keep 6 dates, too few.
    (np.where(np.arange(300) % 3 == 0, np.nan, series(300)), 10, 7, 194),
    (series(500, i0=1e9), ROLLING_DATES, None, 441),
    (series(30), 2, None, 29),
    (np.r_[np.full(70, 0.001), series(70)], ROLLING_DATES, None, 70),  # flat windows have no ratio
])
def test_rolling_ratio_matches_each_window_computed_on_its_own(x, window, min_dates, finite):
    got = rolling_information_ratio(x, window, min_dates)
    need = max(2, window // 2) if min_dates is None else min_dates
    np.testing.assert_allclose(got, direct_ratio(x, window, need), rtol=1e-10, equal_nan=True)
    assert np.isfinite(got).sum() == finite


def test_a_large_early_value_leaves_later_windows_exact():
    x = series(500)
    big = x.copy()
    big[0] = 1e9
    np.testing.assert_allclose(rolling_information_ratio(big)[ROLLING_DATES:],
                               rolling_information_ratio(x)[ROLLING_DATES:], rtol=1e-13)


def test_rolling_ratio_agrees_with_pandas():
    pd = pytest.importorskip("pandas")
    x = series(400, i50=np.nan, i51=np.nan, i300=np.nan)
    r = pd.Series(x).rolling(ROLLING_DATES, min_periods=ROLLING_DATES // 2)
    got, want = rolling_information_ratio(x), (r.mean() / r.std() * np.sqrt(252)).to_numpy()
    # Pandas starts on partial windows; ours waits for a whole one.
    assert np.isnan(got[:ROLLING_DATES - 1]).all()
    np.testing.assert_allclose(got[ROLLING_DATES - 1:], want[ROLLING_DATES - 1:], rtol=1e-9, equal_nan=True)


@pytest.mark.parametrize("kw, match", [
    ({"window": 1}, "window must be an integer >= 2, got 1"),
    ({"window": 2.5}, "window must be an integer >= 2"),
    ({"min_dates": 1}, r"min_dates must be an integer from 2 to window \(60\), got 1"),
    ({"min_dates": 61}, "min_dates must be"),
    ({"active": np.zeros((3, 70))}, r"active must be 1-D .* shape \(3, 70\)"),
])
def test_rolling_ratio_refuses_bad_arguments(kw, match):
    args = {"active": series(100), **kw}
    with pytest.raises(ValueError, match=match):
        rolling_information_ratio(args.pop("active"), **args)


def synthetic(n=250, *, dates=True, cash=0.0, buy=5.0, sell=15.0, notes=(), attribution=True, styles=STYLES):
    """An evaluation whose parts add up, built directly."""
    rng = np.random.default_rng(4)
    bench = rng.normal(0.0004, 0.01, n)
    se, sr = rng.normal(0, 0.2, (n, len(styles))), rng.normal(0, 0.004, (n, len(styles)))
    se[:, :2] += 0.3  # two factors that earn steadily
    sr[:, :2] += 0.001
    ge, gr = rng.normal(0, 0.02, (n, 3)), rng.normal(0, 0.01, (n, 3))
    selection, cash_ret = rng.normal(0.0004, 0.002, n), -cash * bench
    active = (se * sr).sum(axis=1) + (ge * gr).sum(axis=1) + selection + cash_ret
    turnover = np.r_[0.5, rng.uniform(0.05, 0.15, max(n - 1, 0))][:n]
    cost = turnover * (buy + sell) / 1e4
    attr = Attribution(styles, ("sector 1", "sector 2", "other"), se, sr, ge, gr, selection, cash_ret,
                       "sqrt_bench") if attribution else None
    rows = np.arange(n, dtype=np.int64)
    return Evaluation(rows, rows + 1, np.arange("2021-01-04", n, dtype="datetime64[D]")[:n] if dates else None,
                      bench + active, bench + active - cost, bench, active, active - cost, turnover, turnover,
                      turnover, cost, np.full(n, 300), np.zeros(n), attr, 1, buy, sell, np.full(n, cash),
                      np.zeros(0, np.int64), tuple(notes))


def texts_of(fig):
    from matplotlib.text import Text
    return [t.get_text() for t in fig.findobj(Text) if t.get_visible() and t.get_text()]


def panels_of(fig):
    """Each panel's axes by its name (titles go on with figures)."""
    axes = [ax for ax in fig.get_axes() if ax.get_title(loc="left")]
    return {name: next(ax for ax in axes if ax.get_title(loc="left").startswith(name)) for name in PANELS}


def overlaps(fig):
    """Pairs of texts or legends that overlap on the drawn page, and legends lying over another panel."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.legend import Legend
    from matplotlib.text import Text

    canvas = FigureCanvasAgg(fig)
    canvas.draw()
    renderer = canvas.get_renderer()
    legends = [leg for leg in fig.findobj(Legend) if leg.get_visible()]
    inside = {id(t) for leg in legends for t in [*leg.texts, leg.get_title()]}
    # Tick labels exist for ticks outside the view too; only those in view are drawn.
    ticks, drawn = set(), []
    for ax in fig.get_axes():
        for axis in (ax.xaxis, ax.yaxis):
            low, high = sorted(axis.get_view_interval())
            for tick in axis.get_major_ticks():
                ticks.add(id(tick.label1))
                ticks.add(id(tick.label2))
                span = (high - low) * 1e-9
                if low - span <= tick.get_loc() <= high + span:
                    drawn += [t for t in (tick.label1, tick.label2) if t.get_visible() and t.get_text()]
    boxes = [(leg.get_window_extent(renderer), f"legend {[t.get_text() for t in leg.texts][:2]}") for leg in legends]
    boxes += [(t.get_window_extent(renderer), repr(t.get_text())) for t in fig.findobj(Text)
              if t.get_visible() and t.get_text() and id(t) not in inside and id(t) not in ticks]
    boxes += [(t.get_window_extent(renderer), repr(t.get_text())) for t in drawn]
    boxes = [(b.expanded(0.98, 0.9), name) for b, name in boxes]  # a pixel's rounding is not an overlap
    found = [(a, b) for i, (ba, a) in enumerate(boxes) for bb, b in boxes[i + 1:] if ba.overlaps(bb)]
    for leg in legends:
        box = leg.get_window_extent(renderer)
        found += [(f"legend {[t.get_text() for t in leg.texts][:2]}", ax.get_title(loc="left"))
                  for ax in fig.get_axes() if ax is not leg.axes and box.overlaps(ax.bbox)]
    return found


CASES = {
    "a year": {},
    "cash, notes, rows only": dict(dates=False, cash=0.1, notes=("the weights are all zero on 2 of 250 rows: rows "
                                                                  "3, 4; they are held as cash " * 4,)),
    "no costs, few factors": dict(n=40, buy=0.0, sell=0.0, styles=("size",)),
    "one date": dict(n=1, notes=("one date to evaluate: no deviation",)),
    "no dates": dict(n=0, notes=("no dates to evaluate: the weights have no rows",)),
    "no attribution": dict(attribution=False),
    "no dates, no attribution": dict(n=0, attribution=False),
    "no style factors": dict(n=80, styles=()),
    "no dates, no style factors": dict(n=0, styles=()),
}


@pytest.mark.parametrize("case", list(CASES))
def test_every_panel_is_drawn_and_nothing_overlaps(case):
    pytest.importorskip("matplotlib")
    ev = synthetic(**CASES[case])
    fig = tearsheet_figure(ev)
    titles = panels_of(fig)
    assert overlaps(fig) == []
    words = "\n".join(texts_of(fig))
    assert ev.costs_used in titles[PANELS[3]].get_title(loc="left") and ev.costs_used in words
    for note in ev.notes:
        assert " ".join(note.split()) in " ".join(words.split())
    if not len(ev.rows):
        assert words.count("no dates to evaluate") >= len(PANELS)


def legend_labels(ax):
    return [t.get_text() for t in ax.get_legend().get_texts()]


@pytest.mark.parametrize("top", [0, 3, 5, 7])
def test_numbers_a_manager_reads_off_the_page(top):
    pytest.importorskip("matplotlib")
    ev = synthetic(cash=0.05)
    fig = tearsheet_figure(ev, top_factors=top)
    panel = panels_of(fig)
    # The rolling ratio's latest value and the whole period's.
    ir = rolling_information_ratio(ev.active_net)
    title = panel[PANELS[2]].get_title(loc="left")
    assert f"latest {ir[-1]:.2f} ({ev.dates[-1]})" in title
    assert f"whole period {ev.summary['information_ratio']:.2f}" in title
    # Each part of the attribution with its sum over the period, the cash included.
    a = ev.attribution
    labels = legend_labels(panel[PANELS[4]])
    for name, values in (("selection", a.selection), ("style factors", a.factors), ("sectors", a.sectors),
                         ("cash", a.cash), ("active (their sum)", ev.active)):
        assert f"{name} {values.sum() * 100:+.2f}%" in labels, (name, labels)
    # The largest style factors by their sum, the rest together.
    sums = a.contributions.sum(axis=0) * 100
    order = np.argsort(-np.abs(sums), kind="stable")
    want = [f"{STYLES[k].replace('_', ' ')} {sums[k]:+.2f}%" for k in order[:top]]
    if top < len(STYLES):
        want.append(f"{len(STYLES) - top} other factor{'s' if len(STYLES) - top > 1 else ''} "
                    f"{sums[order[top:]].sum():+.2f}%")
    assert legend_labels(panel[PANELS[5]]) == want
    # Turnover is one-way, and said to be.
    line = panel[PANELS[3]].lines[0]
    assert line.get_label() == "one-way turnover"
    np.testing.assert_allclose(line.get_ydata(), ev.turnover * 100)
    assert f"mean {ev.summary['mean_turnover']:.2%} a day" in legend_labels(panel[PANELS[3]])


def test_top_factors_must_be_a_count():
    pytest.importorskip("matplotlib")
    with pytest.raises(ValueError, match="top_factors must be an integer >= 0, got -1"):
        tearsheet_figure(synthetic(n=5), top_factors=-1)


def test_plot_tearsheet_writes_a_png(tmp_path):
    pytest.importorskip("matplotlib")
    png = plot_tearsheet(synthetic(), tmp_path / "t.png", title="A test")
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

"""The report-line reader and the quickstart's PNG report."""

import importlib.util
from pathlib import Path

import numpy as np
import pytest

from kestrel_tools.report import ReportLine, exposures, parse_report, turnover

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

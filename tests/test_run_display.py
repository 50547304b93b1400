"""How a run shows itself: len(), the notebook table and the frames' summary."""

import numpy as np
import pytest

import Kestrel
from Kestrel.runs import summary
from test_mistakes import settings


@pytest.fixture
def result(standin):
    cfg = settings(risk_factor_expo={"size": 0.01, "beta": 0.35}, each_sector_expo=0.2)
    return Kestrel.run("TopM", "000300", 1.0, cfg, standin.scores, standin.univ, progress=False)


def test_len_html_and_summary_agree_with_the_arrays(result):
    over = np.asarray(result.over_limit).any(axis=1) & (np.asarray(result.status) == 0)
    assert len(result) == len(result.rows) == 30
    s = summary(result)
    assert s["dates_over_limit"] == int(over.sum()) > 0 and s["risk_names"] == 30 and s["securities"] == 450
    html = result._repr_html_()
    for text in ("30 (rows 0 to 29)", "<td>450</td>", "<td>30</td>", f"<td>{int(over.sum())}</td>",
                 f"{s['mean_loop_count']:.2f}"):
        assert text in html, text


def test_frames_repr_fits_one_screen(result):
    pytest.importorskip("pandas")
    text = repr(result.to_pandas())
    lines = text.splitlines()
    assert len(lines) <= 10 and max(map(len, lines)) <= 120, text
    assert lines[0].startswith("RunFrames: 30 ") and "450 securities, 30 risk names" in lines[0]
    assert "30 processed, 0 skipped, 0 empty" in text and "weights     DataFrame 30 x 450" in text

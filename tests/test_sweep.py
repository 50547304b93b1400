"""The Dask sweep example on a LocalCluster of two worker processes, checked against the same runs in-process."""

import importlib.util
from pathlib import Path

import pytest

pd = pytest.importorskip("pandas")
pytest.importorskip("dask.distributed")
vim = pytest.importorskip("VelaIntradayModel")
from kestrel_tools.sweep import SweepData, run_point  # noqa: E402

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "sweep_dask.py"


def test_sweep_example_on_two_workers_matches_serial_runs(tmp_path, capsys, clean_store):
    found = importlib.util.spec_from_file_location("sweep_dask", EXAMPLE)
    example = importlib.util.module_from_spec(found)
    found.loader.exec_module(example)
    table = example.main(["--quick", "--dates", "30", "--secu", "1000", "--univ", "850", "--factors", "3",
                          "--dir", str(tmp_path)])
    out = capsys.readouterr().out
    assert "4 runs of 30 dates x 850 securities on 2 workers" in out and "max_abs_exposure" in out

    points, cfg = example.points(quick=True), example.base_settings(vim.style_names(3))
    assert list(table.columns[:2]) == ["type", "learning_rate"] and len(table) == len(points)
    assert table["error"].isna().all() and table["memory_mapped"].all()
    assert (table["dates_processed"] == 30).all() and table["max_abs_exposure"].between(0, 0.36).all()
    assert len(table[["mean_holdings", "turnover"]].drop_duplicates()) == 4  # every point's settings took effect

    data = SweepData(str(tmp_path / "inputs" / "predictValues.npy"), str(tmp_path / "inputs" / "univ_idx.npy"),
                     str(tmp_path / "store"))
    serial = pd.DataFrame([run_point(data, "000905", 1.0, cfg, p) for p in points], columns=table.columns)
    same = ["type", "learning_rate", "dates_processed", "mean_holdings", "turnover", "max_abs_exposure", "error"]
    pd.testing.assert_frame_equal(table[same], serial[same])


def test_a_failing_point_becomes_a_row(tmp_path, clean_store):
    data = SweepData(str(tmp_path / "none.npy"), str(tmp_path / "none.npy"))
    row = run_point(data, "000905", 1.0, {"type": "TopM"}, {"type": "TopX", "decay": 0.3})
    assert row["type"] == "TopX" and row["dates_processed"] == 0 and row["error"].startswith("FileNotFoundError")

"""pandas helpers: score frames to Kestrel's inputs and weights back, on a store built from frames."""

import numpy as np
import pytest

import Kestrel

pd = pytest.importorskip("pandas")
vim = pytest.importorskip("VelaIntradayModel")
from Kestrel.frames import inputs_from_frame, weights_to_frame  # noqa: E402

DATES = pd.bdate_range("2024-01-02", periods=12)
CODES = [f"{c:06d}" for c in (1, 2, 5, 600000, 600519, 300750, 688001, 2594)]
LOW_DAY = DATES[7]  # the universe holds under 80% of the benchmark: Kestrel skips it


@pytest.fixture
def store(request, tmp_path, monkeypatch):
    """A stand-in store written from frames (to disk or memory); the frames are given unsorted."""
    monkeypatch.delenv(vim.ENV_VAR, raising=False)
    vim.clear()
    vim.set_store_dir(None)
    rng = np.random.default_rng(3)
    bench = pd.DataFrame(rng.uniform(1, 2, (12, 8)), index=DATES, columns=CODES)
    bench[[CODES[4], CODES[7]]] = 0.05  # the two codes the score frames lack
    bench.loc[LOW_DAY, CODES[7]] = 60.0
    bench = bench.div(bench.sum(axis=1), axis=0) * 100
    size = pd.DataFrame(rng.standard_normal((12, 6)), index=DATES, columns=CODES[:6])  # two codes short
    frames = {"weight300": bench[CODES[::-1]], "size": size.iloc[::-1]}
    path = vim.store_frames(frames, tmp_path / "store" if request.param == "disk" else None)
    if path is not None:
        vim.set_store_dir(path)
    yield bench
    vim.clear()
    vim.set_store_dir(None)


def _scores(rows=slice(3, None), cols=(6, 0, 3, 2, 5, 1)):
    rng = np.random.default_rng(5)
    df = pd.DataFrame(rng.standard_normal((12, len(cols))), index=DATES, columns=[CODES[c] for c in cols])
    return df.iloc[rows].sample(frac=1.0, random_state=1)  # dates out of order, starting late


@pytest.mark.parametrize("store", ["disk", "memory"], indirect=True)
def test_store_axes_and_round_trip(store):
    assert list(vim.securities()) == sorted(CODES)
    assert list(vim.dates()) == list(DATES.values.astype("datetime64[D]"))
    assert np.isnan(vim.get_field("size")[:, list(vim.securities()).index(CODES[7])]).all()

    scores = _scores()
    inputs = inputs_from_frame(scores)
    assert list(vim.securities()[inputs.univ_idx]) == list(scores.columns)
    assert inputs.predictValues.shape == (12, 6)
    assert np.isnan(inputs.predictValues[:3]).all()  # library dates before the frame's first
    back = weights_to_frame(inputs.predictValues, inputs)
    pd.testing.assert_frame_equal(back, scores)


@pytest.mark.parametrize("store", ["disk"], indirect=True)
def test_weights_land_on_their_dates(store):
    scores = _scores()
    inputs = inputs_from_frame(scores)
    cfg = {"num_long": 3, "decay": 0.5, "bench_coeff": 0.0, "pre_coeff": 0.0, "each_sector_expo": 1.0,
           "risk_factor_expo": {"size": 5.0}, "print_result": False}
    with pytest.warns(RuntimeWarning, match=r"rows \[0, 1, 2\]"):  # the padded rows are left empty
        w = Kestrel.opt_gen_position_topkr("000300", 1.0, cfg, inputs.predictValues, inputs.univ_idx)
    weights = weights_to_frame(w, inputs)
    assert weights.index.equals(scores.index) and weights.columns.equals(scores.columns)
    total = weights.sum(axis=1)
    assert total[LOW_DAY] == 0.0
    np.testing.assert_allclose(total.drop(LOW_DAY), 1.0)
    assert (weights > 0).sum(axis=1).drop(LOW_DAY).between(1, 3).all()


@pytest.mark.parametrize("store", ["memory"], indirect=True)
@pytest.mark.parametrize("change, kwargs, error", [
    (lambda df: df.rename(columns={CODES[0]: "999999"}), {}, KeyError),
    (lambda df: df.rename(index={DATES[5]: pd.Timestamp("2024-01-06")}), {}, KeyError),
    (lambda df: df.set_axis([CODES[0]] * 6, axis=1), {}, ValueError),
    (lambda df: pd.concat([df, df.iloc[:1]]), {}, ValueError),
    (lambda df: df, {"missing": "ignore"}, ValueError),
    (lambda df: df.set_axis(range(len(df))), {}, TypeError),
])
def test_bad_frames_are_refused(store, change, kwargs, error):
    with pytest.raises(error):
        inputs_from_frame(change(_scores()), **kwargs)


@pytest.mark.parametrize("store", ["memory"], indirect=True)
def test_unknown_codes_can_be_dropped(store):
    scores = _scores().rename(columns={CODES[0]: "999999"})
    inputs = inputs_from_frame(scores, missing="drop")
    assert inputs.predictValues.shape[1] == 5 and not inputs.kept[list(scores.columns).index("999999")]
    values = np.arange(inputs.predictValues.size, dtype=float).reshape(inputs.predictValues.shape)
    back = weights_to_frame(values, inputs)
    assert (back["999999"] == 0).all()
    np.testing.assert_array_equal(back.drop(columns="999999").to_numpy(), values[inputs.rows])
    with pytest.raises(ValueError, match="shape"):
        weights_to_frame(values[:, 1:], inputs)


def test_without_library_axes_rows_are_positional(monkeypatch):
    monkeypatch.delenv(vim.ENV_VAR, raising=False)
    vim.clear()
    vim.set_store_dir(None)
    df = pd.DataFrame(np.ones((3, 2)), index=["a", "b", "c"], columns=["x", "y"])
    with pytest.raises(ValueError, match="securities"):
        inputs_from_frame(df)
    inputs = inputs_from_frame(df, securities=["y", "z", "x"])
    assert list(inputs.univ_idx) == [2, 0] and list(inputs.rows) == [0, 1, 2]

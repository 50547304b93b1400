"""Smoothing (GenEma, GenEma_Step1) and standardisation (GenNorm, GenNorm_Step1)."""

import numpy as np
import numpy.testing as npt
import pytest

NAN = np.nan
R = 1.5 ** 0.5  # |z| of the ends of [1, 2, 3] under the population deviation


@pytest.mark.parametrize("arr,decay,expect", [
    ([[2.0, 4.0]], 0.3, [[2.0, 4.0]]),
    ([[2.0, 4.0], [4.0, 8.0]], 0.5, [[2.0, 4.0], [3.0, 6.0]]),
    ([[1.0, 2.0], [3.0, 5.0], [7.0, -1.0]], 1.0, [[1.0, 2.0], [3.0, 5.0], [7.0, -1.0]]),
    ([[1.0, 2.0], [3.0, 5.0], [7.0, -1.0]], 0.0, [[1.0, 2.0]] * 3),
    ([[1.0, 2.0], [3.0, 5.0], [7.0, -1.0]], 0.25, [[1.0, 2.0], [1.5, 2.75], [2.875, 1.8125]]),
    ([[1, 2], [3, 4]], 2, [[1.0, 2.0], [5.0, 6.0]]),  # no range check on decay
    (np.zeros((3, 0)), 0.5, np.zeros((3, 0))),
])
def test_gen_ema(opt, arr, decay, expect):
    got = opt.GenEma(arr, decay)
    assert got.dtype == np.float64 and got is not arr
    npt.assert_allclose(got, expect, rtol=0, atol=1e-12)


@pytest.mark.parametrize("decay", [0.0, 0.5, 1.0])
def test_gen_ema_nan_poisons_its_column_only(opt, decay):
    arr = np.array([[1.0, 2.0], [NAN, 3.0], [4.0, 5.0], [6.0, 7.0]])
    got = opt.GenEma(arr, decay)
    assert np.isnan(got[1:, 0]).all() and got[0, 0] == 1.0
    npt.assert_allclose(got[:, 1], opt.GenEma(arr[:, 1:], decay)[:, 0])
    assert np.isfinite(got[:, 1]).all()


@pytest.mark.parametrize("decay", [0.0, 0.3, 1.0])
def test_step1_chain_equals_gen_ema(opt, decay):
    arr = np.random.default_rng(1).standard_normal((6, 9))
    pre, rows = None, []
    for row in arr:
        pre = opt.GenEma_Step1(row, pre, decay)
        rows.append(pre)
    npt.assert_allclose(np.array(rows), opt.GenEma(arr, decay), rtol=0, atol=1e-14)
    npt.assert_allclose(opt.GenEma_Step1(model_value=arr[1], pre_ema_value=arr[0], decay=decay),
                        opt.GenEma(arr[:2], decay)[1], rtol=0, atol=1e-14)


@pytest.mark.parametrize("value", [[1.0, 2.0], np.arange(3), np.array([NAN]), "not even numbers", np.zeros(0)])
def test_step1_without_previous_returns_first_argument_itself(opt, value):
    assert opt.GenEma_Step1(value, None, 0.5) is value


@pytest.mark.parametrize("rows,expect", [
    ([[1, 2, 3]], [[-R, 0, R]]),
    ([[1, NAN, 3]], [[-1, NAN, 1]]),
    ([[5, 5, 5]], [[NAN, NAN, NAN]]),
    ([[NAN, NAN]], [[NAN, NAN]]),
    ([[1, 2, 3], [10, 30, 20], [0, 0, 7]], [[-R, 0, R], [-R, R, 0], [-2 ** -0.5, -2 ** -0.5, 2 ** 0.5]]),
    ([[2.0, -np.inf, 1.0]], [[NAN, NAN, NAN]]),
    (np.zeros((0, 4)), np.zeros((0, 4))),
])
def test_gen_norm(opt, rows, expect):
    got = opt.GenNorm(rows)
    assert got.dtype == np.float64 and got.shape == np.shape(expect)
    npt.assert_allclose(got, expect, rtol=0, atol=1e-12)


@pytest.mark.parametrize("value,expect", [
    ([1, 2, 3], [-R, 0, R]),
    ([1.0, NAN, 3.0], [-1, NAN, 1]),
    ([4.0, 4.0], [NAN, NAN]),
    ([NAN, NAN, NAN], [NAN, NAN, NAN]),
    ([[1, 2], [3, 4]], np.array([[-3, -1], [1, 3]]) / 5 ** 0.5),  # one mean and deviation for all entries
    ([[1, 2, 3], [1, 2, 3]], [[-R, 0, R]] * 2),
    ([], []),
])
def test_gen_norm_step1(opt, value, expect):
    got = opt.GenNorm_Step1(value)
    assert got.dtype == np.float64 and got.shape == np.shape(expect)
    npt.assert_allclose(got, expect, rtol=0, atol=1e-12)


def test_step1_matrix_differs_from_row_wise(opt):
    m = np.array([[1.0, 2.0], [30.0, 50.0]])
    assert not np.allclose(opt.GenNorm_Step1(m), opt.GenNorm(m))
    npt.assert_allclose(opt.GenNorm(m), [[-1, 1], [-1, 1]])


@pytest.mark.parametrize("call,exc", [
    (lambda o: o.GenNorm([1.0, 2.0, 3.0]), np.exceptions.AxisError),
    (lambda o: o.GenNorm([1.0, 2.0, 3.0]), ValueError),
    (lambda o: o.GenNorm([1.0, 2.0, 3.0]), IndexError),
    (lambda o: o.GenEma(np.zeros((0, 3)), 0.5), IndexError),
    (lambda o: o.GenEma([1.0, 2.0], 0.5), IndexError),
    (lambda o: o.GenEma_Step1([1.0, 2.0], [1.0, 2.0, 3.0], 0.5), ValueError),
    (lambda o: o.GenEma_Step1([[1.0, 2.0]], [1.0, 2.0], 0.5), ValueError),
])
def test_shape_failures(opt, call, exc):
    with pytest.raises(exc):
        call(opt)

"""Argument handling of the per-date methods: accepted forms, rejected values, hostile inputs."""

import contextlib
import io

import numpy as np
import pytest

import Kestrel

from helpers import SIGNATURES, V, W

# The dispatcher reads a scalar only for some algorithms.
READER = {"weight_multi": "TopM", "num_long": "TopKR", "each_single_weight": "TopEqual"}


def _opt(method, param="", name=None):
    return Kestrel.OptimizerTopM(name or READER.get(param, "TopM"), "000300", 1.0, {})


def _outcome(call):
    with contextlib.redirect_stdout(io.StringIO()):
        try:
            out = call()
        except Exception as e:
            return type(e), str(e)
    return "ok", [np.asarray(p) for p in (out if isinstance(out, tuple) else (out,))]


def _same(a, b):
    assert a[0] == b[0] and (a[0] != "ok" or len(a[1]) == len(b[1])), (a, b)
    if a[0] != "ok":
        assert a[1] == b[1]
    for x, y in zip(a[1], b[1]) if a[0] == "ok" else ():
        assert x.dtype == y.dtype == np.float64 and np.array_equal(x, y, equal_nan=True)


def _view(a):
    return np.repeat(a, 2, axis=-1)[..., ::2]


FORMS = {  # array form -> (variant given to the method, float64 equivalent)
    "list": lambda a: (a.tolist(), a),
    "int": lambda a: (np.round(a * 10).astype(np.int32), np.round(a * 10)),
    "float32": lambda a: (a.astype(np.float32), a.astype(np.float32).astype(np.float64)),
    "big_endian": lambda a: (a.astype(">f8"), a),
    "view": lambda a: (_view(a), a),
    "fortran_or_negative_strides": lambda a: (np.asfortranarray(a) if a.ndim == 2 else a[::-1].copy()[::-1], a),
}


@pytest.mark.parametrize("method", SIGNATURES)
@pytest.mark.parametrize("form", FORMS)
def test_array_forms_give_the_same_result(method, form):
    o, arrays, canon = _opt(method), [], []
    for _, kind, value in SIGNATURES[method]:
        if kind in "vma":
            given, equal = FORMS[form](np.array(value, dtype=float))
            arrays.append(given)
            canon.append(np.ascontiguousarray(equal))
        else:
            arrays.append(value)
            canon.append(value)
    _same(_outcome(lambda: getattr(o, method)(*arrays)), _outcome(lambda: getattr(o, method)(*canon)))


@pytest.mark.parametrize("method", SIGNATURES)
def test_keywords_inputs_and_results(method):
    o = _opt(method)
    args = [np.array(v, dtype=float) if k in "vma" else v for _, k, v in SIGNATURES[method]]
    args[0] = _view(np.array(args[0]))
    before = [np.array(a, copy=True) for a in args]
    positional = _outcome(lambda: getattr(o, method)(*args))
    keyword = _outcome(lambda: getattr(o, method)(**{p: a for (p, _, _), a in zip(SIGNATURES[method], args)}))
    _same(positional, keyword)
    assert positional[0] == "ok"
    for a, b in zip(args, before):
        np.testing.assert_array_equal(a, b)
    for out in positional[1]:
        assert not any(np.shares_memory(out, a) for a in args if isinstance(a, np.ndarray))


def _bad_values(kind, value):
    n = len(np.atleast_1d(value))
    common = [(None, TypeError), ("abc", TypeError)]
    if kind == "s":
        return common + [(1 + 2j, TypeError), ([0.5], TypeError), (object(), TypeError)]
    if kind == "i":
        return common + [(2.5, TypeError), ("2", TypeError), (np.float64(2.0), TypeError)]
    arrays = [(np.array(value) + 1j, TypeError), (np.array(value, dtype=object), TypeError),
              ([[1.0, 2.0], [3.0]], ValueError), (["a", "b", "c", "d"], TypeError)]
    if kind == "v":
        arrays += [(np.ones((2, n)), ValueError), (np.ones(n + 1), ValueError), (np.ones(max(n - 1, 0)), ValueError)]
    if kind == "m":
        arrays += [(np.ones((1, 2, 4)), ValueError)]
    return common + arrays


CASES = [pytest.param(m, p, bad, exc, id=f"{m}-{p}-{i}")
         for m, params in SIGNATURES.items() for p, kind, value in params
         for i, (bad, exc) in enumerate(_bad_values(kind, value))
         if not (m == "GenEma_Step1" and p == "pre_ema_value" and bad is None)]


@pytest.mark.parametrize("method,param,bad,exc", CASES)
def test_bad_argument_is_named(method, param, bad, exc):
    kwargs = {p: v for p, _, v in SIGNATURES[method]}
    kwargs[param] = bad
    with pytest.raises(exc) as ei:
        getattr(_opt(method, param), method)(**kwargs)
    assert param in str(ei.value)


@pytest.mark.parametrize("value,exc", [(None, TypeError), ("1.0", TypeError), (1j, TypeError), ([1.0], TypeError)])
def test_bad_target_on_the_object_is_named(value, exc):
    o = _opt("CalcCurrentPosition")
    o.secu_pct = value
    with pytest.raises(exc, match="secu_pct"):
        o.CalcCurrentPosition(**{p: v for p, _, v in SIGNATURES["CalcCurrentPosition"]})


@pytest.mark.parametrize("method", SIGNATURES)
def test_missing_required_argument(method):
    kwargs = {p: v for p, _, v in SIGNATURES[method]}
    for p in kwargs.keys() - {"max_weight"}:
        with pytest.raises(TypeError):
            getattr(_opt(method), method)(**{k: v for k, v in kwargs.items() if k != p})


# ---------------------------------------------------------- hostile but legal

@pytest.mark.parametrize("num_long,picked", [(2 ** 80, 4), (2 ** 63 - 1, 4), (10 ** 9, 4), (-2 ** 80, 0),
                                             (-2 ** 63, 0), (-10 ** 9, 0), (np.int64(3), 3), (True, 1)])
def test_extreme_counts(num_long, picked):
    o = _opt("MapValue2Position")
    got = o.MapValue2Position(V, num_long, 1.0, W, 0.0, W, 0.0)
    want = o.MapValue2Position(V, picked, 1.0, W, 0.0, W, 0.0)
    np.testing.assert_array_equal(got, want)
    o.opt_name = "TopKR"
    np.testing.assert_array_equal(o.CalcCurrentPosition(None, V, None, num_long, None, None, W, 0.0, W, 0.0),
                                  want)


@pytest.mark.parametrize("method,name", [(m, "TopM") for m in SIGNATURES] + [
    ("CalcCurrentPosition", a) for a in ("TopM2", "TopKR", "TopEqual", "TopEqual2")])
@pytest.mark.parametrize("fill", [np.nan, np.inf, -np.inf, 0.0, 1e308, "empty"])
def test_hostile_values_do_not_crash(method, fill, name):
    args = []
    for _, kind, value in SIGNATURES[method]:
        shape = np.shape(value)
        if fill == "empty":
            args.append(np.zeros(shape[:-1] + (0,)) if kind in "vma" else value)
        else:
            args.append(np.full(shape, fill) if kind in "vma" else (value if kind == "i" else fill))
    res = _outcome(lambda: getattr(_opt(method, name=name), method)(*args))
    assert res[0] == "ok" or issubclass(res[0], (ValueError, IndexError)) or res[0] is Kestrel.PositionError, res
    if res[0] is Kestrel.PositionError:
        assert res[1] in ("Wrong Position Error", "Wrong Position MaxWeight Error")


def test_large_vectors_run(opt):
    rng = np.random.default_rng(0)
    n = 200_000
    s, w = rng.standard_normal(n), rng.dirichlet(np.ones(n))
    assert abs(opt.MapValue2Position(s, n // 3, 1.0, w, 0.5, w, 0.5).sum() - 1.0) < 1e-9
    assert abs(opt.MapValue2Position_MaxWeight(s, np.full(n, 2.0 / n), 1.0).sum() - 1.0) < 1e-4
    assert abs(opt.MapValue2Position_MaxWeight_RiskCost(s, np.full(n, 2.0 / n), 1.0, w, 0.5).sum() - 1.0) < 1e-3

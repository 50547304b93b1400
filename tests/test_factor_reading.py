"""A date's factor rows as the exposure passes see them: contiguous library
rows are read eight columns by eight factors at a time, other layouts one
security at a time. Both must hand the passes the same values, so whole runs
agree bit for bit whatever the universe, the library's width or its values."""

import numpy as np
import pytest

import Kestrel

T, N_BENCH = 6, 100


def universe(kind, width, rng):
    """Every benchmark member (so no date is skipped) and some other columns."""
    others = np.arange(N_BENCH, width)
    if kind == "sparse":
        others = others[::3]
    elif kind == "tail":  # the last columns, past the last whole block of eight
        others = np.r_[others[: len(others) // 2], np.arange(width - 5, width)]
    else:
        others = rng.choice(others, len(others) * 2 // 3, replace=False)
    univ = np.unique(np.r_[np.arange(N_BENCH), others])
    if kind == "repeated":  # one column listed twice
        univ = np.r_[univ, univ[N_BENCH + 1]]
    return np.sort(univ) if kind == "sorted" else rng.permutation(univ)


def outcome(call):
    try:
        return "ok", call()
    except Exception as e:  # both layouts must fail alike
        return type(e).__name__, str(e)


@pytest.mark.parametrize("algo", ["TopM", "TopKR", "TopEqual2"])
@pytest.mark.parametrize("width", [240, 243, 251])
@pytest.mark.parametrize("kind", ["random", "sorted", "sparse", "tail", "repeated"])
@pytest.mark.parametrize("n_factors,specials", [(3, False), (9, False), (9, True)])
def test_tiled_read_matches_read_by_security(fake_vela, run_cfg, algo, width, kind, n_factors, specials):
    rng = np.random.default_rng(width + n_factors)
    lib = fake_vela(T=T, M=width, K=n_factors, n_bench=N_BENCH, seed=width)
    univ = universe(kind, width, rng)
    if specials:  # cleaned on the way in: NaN to 0, infinities to the largest doubles
        f = lib.data["f2"]
        f[:, univ[:4]] = [np.nan, np.inf, -np.inf, 1e300]
        lib.data["f5"][1, univ[-3:]] = np.nan
    pv = rng.standard_normal((T, len(univ)))
    limits = {f"f{k}": 0.02 for k in range(n_factors)}

    def run():
        cfg = run_cfg(algo, limits, each_sector_expo=0.05)
        return Kestrel.OptimizerTopM(algo, "000300", 1.0, cfg).gen_position(pv, univ)

    tiled = outcome(run)
    lib.data = {k: np.asfortranarray(v) for k, v in lib.data.items()}
    by_security = outcome(run)
    assert tiled[0] == by_security[0]
    if tiled[0] == "ok":
        np.testing.assert_array_equal(tiled[1], by_security[1])
    else:
        assert tiled[1] == by_security[1]

"""Seeded synthetic market: benchmarks, style factors and sectors as a store."""

from __future__ import annotations

from dataclasses import dataclass, field
from pathlib import Path
from typing import Mapping, Optional, Sequence

import numpy as np

from . import store
from .formulas import SECTOR_FIELD
from .sectors import N_SECTORS

STYLE_NAMES = (
    "size",
    "beta",
    "momentum",
    "residual_volatility",
    "non_linear_size",
    "book_to_price",
    "liquidity",
    "earnings_yield",
    "growth",
    "leverage",
)
BENCH_SIZES = {
    "weight300": 300,
    "weight500": 500,
    "weight800": 800,
    "weight1000": 1000,
    "weight2000": 2000,
    "weightzz2000": 2000,
}
# Rank in the cap ordering where each index's members start: large, mid and small cap tiers.
_BENCH_OFFSETS = {
    "weight300": 0,
    "weight500": 300,
    "weight800": 0,
    "weight1000": 800,
    "weight2000": 1800,
    "weightzz2000": 1000,
}
SWAP_EVERY = 20
#: Daily security returns, as a fraction (0.01 is 1 percent); row t is the
#: return from the close of date t-1 to the close of date t.
RETURNS_FIELD = "daily_return"
#: Trading states, 1 where a security is suspended / closed at its upper /
#: lower price limit on that date, else 0 (also before listing).
SUSPENDED_FIELD = "suspended"
LIMIT_UP_FIELD = "limit_up"
LIMIT_DOWN_FIELD = "limit_down"
#: Closing prices: close[t] = close[t-1] * (1 + daily_return[t]); NaN before listing.
CLOSE_FIELD = "close"
#: The daily price limit, one for every board: a close at a limit is a move of exactly this.
PRICE_LIMIT = 0.10
_MARKET_VOL = 0.012         # std of the daily market return
# Trading states: on a calm date about 1 % of names are suspended and 1.5-2.5 %
# at a limit; both rise with the size of the market's move.
_SUSPEND_START = 0.0015     # chance a listed name starts a suspension on a calm date
_SUSPEND_MEAN_DATES = 5.0   # episode length is geometric with this mean
_LIMIT_SHARE = 0.015        # share of tradable names at a limit on a flat date
_LIMIT_SHARE_MAX = 0.3
# The returns' hidden predictable part: AR(1) per security, seen by make_scores.
_SIGNAL_PERSISTENCE = 0.9
_SIGNAL_SCALE = 0.0006     # cross-sectional std of the next date's predictable return
#: make_scores' default ``signal``: the quickstart's weights earn an information
#: ratio after costs of about 2 over its year, other seeds' years mostly -1 to 2.5.
DEFAULT_SIGNAL = 0.25
_CODE_RANGES = ((1, 4000), (300001, 302000), (600000, 606000), (688001, 689000))


@dataclass(eq=False)
class Market:
    """What :func:`generate_market` made.

    Attributes
    ----------
    factors : list of str
        Style factor field names, in order.
    bench_fields : dict of str to int
        Benchmark weight field (percent) -> member count per date.
    n_dates, n_secu : int
    dates : ndarray of datetime64[D]
    securities : ndarray of str
    path : pathlib.Path or None
        Store directory, or None when the fields were registered in memory.
    sector_field : str
    returns_field : str
        Daily security returns (fractions); NaN before listing. Exactly 0 on a
        suspended date and exactly +-:data:`PRICE_LIMIT` at a limit.
    suspended_field, limit_up_field, limit_down_field : str
        0/1 trading states: suspended (an episode of several dates, the price
        flat), closed at the upper or at the lower price limit.
    close_field : str
        Closing prices, positive; ``close[t] = close[t-1] * (1 + return[t])``,
        NaN before listing.
    seed : int
        The generator's seed; :func:`make_scores` draws its signal from it.
    """

    factors: list
    bench_fields: dict
    n_dates: int
    n_secu: int
    dates: np.ndarray = field(repr=False)
    securities: np.ndarray = field(repr=False)
    path: Optional[Path]
    sector_field: str = SECTOR_FIELD
    _arrays: dict = field(default_factory=dict, repr=False, compare=False)
    returns_field: str = RETURNS_FIELD
    seed: int = 0
    suspended_field: str = SUSPENDED_FIELD
    limit_up_field: str = LIMIT_UP_FIELD
    limit_down_field: str = LIMIT_DOWN_FIELD
    close_field: str = CLOSE_FIELD

    def load(self, name: str) -> np.ndarray:
        """Return one generated field, independent of the global store state."""
        if self.path is None:
            return self._arrays[name]
        return np.load(self.path / f"{name}.npy", mmap_mode="r", allow_pickle=False)


def style_names(n_factors: int) -> list:
    """Return the first ``n_factors`` style factor names.

    Parameters
    ----------
    n_factors : int

    Returns
    -------
    list of str
        The fixed descriptive names, then ``style_10``, ``style_11``, ...
    """
    extra = [f"style_{k}" for k in range(len(STYLE_NAMES), n_factors)]
    return list(STYLE_NAMES[:n_factors]) + extra


def _standardise(x: np.ndarray) -> np.ndarray:
    """Standardise along the last axis ignoring NaN, in place."""
    mu = np.nanmean(x, axis=-1, keepdims=True)
    x -= mu
    sd = np.sqrt(np.nanmean(x * x, axis=-1, keepdims=True))
    x /= np.where(sd > 0, sd, 1.0)
    return x


def _security_codes(rng: np.random.Generator, n_secu: int) -> np.ndarray:
    pool = np.concatenate([np.arange(a, b) for a, b in _CODE_RANGES])
    if n_secu > len(pool):
        if n_secu >= 10**6:
            raise ValueError(f"at most 999999 six-digit codes, asked for {n_secu}")
        pool = np.arange(1, 10**6)
    codes = np.sort(rng.choice(pool, n_secu, replace=False))
    return np.char.zfill(codes.astype("U6"), 6)


def _sectors(rng, n_dates, n_secu, listed) -> np.ndarray:
    probs = rng.dirichlet(np.full(N_SECTORS, 3.0))
    first = rng.choice(N_SECTORS, size=n_secu, p=probs)
    sector = np.broadcast_to(first.astype(np.float64), (n_dates, n_secu)).copy()
    movers = np.flatnonzero(rng.random(n_secu) < 0.02)
    new = (first[movers] + rng.integers(1, N_SECTORS, len(movers))) % N_SECTORS
    when = rng.integers(1, max(2, n_dates), len(movers))
    after = np.arange(n_dates)[:, None] >= when[None, :]
    sector[:, movers] = np.where(after, new[None, :], first[movers][None, :])
    sector[~listed] = np.nan
    return sector


def _signal_rows(seed: int, n_dates: int, n_secu: int, columns=None):
    """Yield the signal row by row, at `columns` (all when None): its own
    stream, so that make_scores sees exactly what the returns were made from."""
    rng = np.random.default_rng([seed, 0x516])
    phi = _SIGNAL_PERSISTENCE
    row = rng.standard_normal(n_secu)
    for t in range(n_dates):
        if t:
            row = phi * row + np.sqrt(1 - phi**2) * rng.standard_normal(n_secu)
        yield row if columns is None else row[columns]


def _returns(seed, factors, sector, listed) -> np.ndarray:
    """Factor model returns plus specific noise plus the signal of the day before.

    Exposures, sectors and the signal of date t-1 price the return of date t.
    Drawn from a stream of their own, so adding them left every other field as it was.
    """
    n_factors, T, M = factors.shape
    rng = np.random.default_rng([seed, 0x2E7])
    market = rng.normal(0.0003, _MARKET_VOL, T)
    style = rng.normal(0.0, 0.003, (T, n_factors))
    industry = rng.normal(0.0, 0.006, (T, N_SECTORS))
    specific_vol = 0.015 * np.exp(0.3 * rng.standard_normal(M))
    out = rng.standard_normal((T, M))
    out *= specific_vol
    out += market[:, None]
    codes = np.nan_to_num(sector, nan=0.0).astype(np.int64)
    prev = np.zeros(M)  # no signal before the first date
    for t, signal in enumerate(_signal_rows(seed, T, M)):
        src = max(t - 1, 0)
        out[t] += _SIGNAL_SCALE * prev
        out[t] += industry[t, codes[src]]
        for k in range(n_factors):
            out[t] += style[t, k] * np.nan_to_num(factors[k, src])
        prev = signal
    out[~listed] = np.nan
    return out


def _volatility_factor(z: np.ndarray) -> np.ndarray:
    """How much likelier suspensions and limit closes are, given the market's move in stds."""
    return 1.0 + 0.6 * z * z


def _limit_counts(rng, r, z_t):
    """How many of the tradable returns ``r`` close at the upper and lower limit.

    The split leans to the side the market moved; a return already past a limit
    is always at it.
    """
    n = len(r)
    share = min(_LIMIT_SHARE * _volatility_factor(z_t), _LIMIT_SHARE_MAX)
    n_limit = int(rng.binomial(n, share))
    n_up = int(rng.binomial(n_limit, 1.0 / (1.0 + np.exp(-1.5 * z_t))))
    past_up = int((r >= PRICE_LIMIT).sum())
    past_down = int((r <= -PRICE_LIMIT).sum())
    n_up, n_down = max(n_up, past_up), max(n_limit - n_up, past_down)
    excess = n_up + n_down - n
    if excess > 0:
        cut = min(excess, n_down - past_down)
        n_down -= cut
        n_up -= excess - cut
    return n_up, n_down


def _trading_states(seed, returns, listed):
    """Suspensions, limit closes and prices; ``returns`` is set to 0 / +-limit on them, in place.

    A suspension is an episode of geometric length starting at random; a
    suspended name is flat and never at a limit. The names at a limit are those
    whose return was already furthest out that date, so limit closes follow the
    market, factor and signal moves. Drawn from a stream of their own, so that
    every other field, and every other return, is as it was without them.
    """
    T, M = returns.shape
    rng = np.random.default_rng([seed, 0x57A7E])
    # The market's move in stds: the mean return of the listed names.
    z = np.where(listed, returns, 0.0).sum(axis=1) / np.maximum(listed.sum(axis=1), 1) / _MARKET_VOL
    suspended = np.zeros((T, M))
    limit_up = np.zeros((T, M))
    limit_down = np.zeros((T, M))
    remaining = np.zeros(M, dtype=np.int64)
    for t in range(T):
        # Draws of a full row every date, so each date's draws do not depend on the state.
        starts = rng.random(M) < _SUSPEND_START * _volatility_factor(z[t])
        lengths = rng.geometric(1.0 / _SUSPEND_MEAN_DATES, M)
        new = starts & (remaining == 0) & listed[t]
        remaining[new] = lengths[new]
        off = remaining > 0
        suspended[t, off] = 1.0
        remaining[off] -= 1
        tradable = np.flatnonzero(listed[t] & ~off)
        r = returns[t, tradable]
        n_up, n_down = _limit_counts(rng, r, z[t])
        order = tradable[np.argsort(r, kind="stable")]
        limit_down[t, order[:n_down]] = 1.0
        limit_up[t, order[len(order) - n_up:]] = 1.0
    returns[suspended > 0] = 0.0
    returns[limit_up > 0] = PRICE_LIMIT
    returns[limit_down > 0] = -PRICE_LIMIT

    # Prices mostly from 3 to 50 around 12, on a 0.01 tick; the row before a
    # security's first one is its listing price.
    prev = np.round(np.maximum(np.exp(rng.normal(np.log(12.0), 0.7, M)), 1.0), 2)
    close = np.empty((T, M))
    for t in range(T):
        # Row by row, so that close[t] == close[t-1] * (1 + return[t]) exactly.
        prev = close[t] = prev * (1.0 + np.where(listed[t], returns[t], 0.0))
    close[~listed] = np.nan
    return suspended, limit_up, limit_down, close


def _benchmark(rng, caps, order, count, offset):
    n_dates, n_secu = caps.shape
    start = max(0, min(offset, len(order) - count))
    members = np.zeros(n_secu, dtype=bool)
    members[order[start : start + count]] = True
    # Replacements come from around the index's own tier, so it keeps its cap profile.
    pool = order[max(0, start - count // 2) : start + count + count // 2]
    n_swap = max(1, count // 100)
    mask = np.empty((n_dates, n_secu), dtype=bool)
    for t0 in range(0, n_dates, SWAP_EVERY):
        if t0:
            cands = pool[~members[pool]]
            n = min(n_swap, len(cands))
            if n:
                members[rng.choice(np.flatnonzero(members), n, replace=False)] = False
                members[rng.choice(cands, n, replace=False)] = True
        mask[t0 : t0 + SWAP_EVERY] = members
    w = np.where(mask, caps, 0.0)
    w *= 100.0 / w.sum(axis=1, keepdims=True)
    return w


def generate_market(
    path=None,
    n_dates: int = 250,
    n_secu: int = 3000,
    n_factors: int = 10,
    seed: int = 0,
    bench_sizes: Optional[Mapping[str, int]] = None,
    nan_fraction: float = 0.0,
    start: str = "2020-01-02",
) -> Market:
    """Build a seeded synthetic market and store it.

    Fields: the benchmarks' weights (percent), the style factors, the sector
    codes (:data:`SECTOR_FIELD`), the daily returns (:data:`RETURNS_FIELD`),
    the trading states :data:`SUSPENDED_FIELD`, :data:`LIMIT_UP_FIELD` and
    :data:`LIMIT_DOWN_FIELD`, and the closing prices (:data:`CLOSE_FIELD`).

    Trading states follow the returns: one price limit of 10 percent
    (:data:`PRICE_LIMIT`) for every board, a name at its upper (lower) limit
    having returned exactly +10 (-10) percent that date, and the names at a
    limit being those whose return was furthest out that date. A suspension
    lasts several dates (geometric, mean 5) with a return of 0; a suspended
    name is never at a limit. On a calm date about 1 percent of names are
    suspended and 1.5 to 2.5 percent at a limit, more when the market moves
    much. No other return goes past a limit.

    Parameters
    ----------
    path : path-like, optional
        Store directory to write; None registers the fields in memory instead.
    n_dates, n_secu, n_factors : int
        Business dates from ``start``, securities, style factors.
    seed : int
    bench_sizes : mapping of str to int, optional
        Benchmark field -> member count; defaults to :data:`BENCH_SIZES`.
        Counts are capped at the number of securities listed on the first date.
    nan_fraction : float
        Share of securities listed late: NaN factors and sector before listing,
        never benchmark members.
    start : str
        First date (rolled forward to a business day).

    Returns
    -------
    Market
    """
    if n_dates < 1 or n_secu < 1 or n_factors < 0:
        raise ValueError("need n_dates >= 1, n_secu >= 1 and n_factors >= 0")
    if not 0.0 <= nan_fraction < 1.0:
        raise ValueError(f"nan_fraction must be in [0, 1), got {nan_fraction}")
    rng = np.random.default_rng(seed)
    T, M = n_dates, n_secu
    dates = np.busday_offset(np.datetime64(start, "D"), np.arange(T), roll="forward")
    securities = _security_codes(rng, M)

    listed_from = np.zeros(M, dtype=np.int64)
    late = rng.choice(M, int(round(nan_fraction * M)), replace=False)
    listed_from[late] = rng.integers(1, max(2, T // 2 + 1), len(late))
    listed = np.arange(T)[:, None] >= listed_from[None, :]

    # Log market caps: cross-sectionally wide (cap-weight skew), drifting like daily returns.
    steps = rng.normal(0.0, 0.015, (T, M))
    steps[0] = rng.normal(0.0, 1.5, M)
    log_cap = np.cumsum(steps, axis=0)

    names = style_names(n_factors)
    phi = 0.98
    factors = np.empty((n_factors, T, M))
    if n_factors:
        factors[:, 0] = rng.standard_normal((n_factors, M))
        for t in range(1, T):
            factors[:, t] = phi * factors[:, t - 1]
            factors[:, t] += np.sqrt(1 - phi**2) * rng.standard_normal((n_factors, M))
        factors[0] = log_cap + 0.1 * rng.standard_normal((T, M))
        factors[:, ~listed] = np.nan
        _standardise(factors)

    fields = {name: factors[k] for k, name in enumerate(names)}
    fields[SECTOR_FIELD] = _sectors(rng, T, M, listed)

    caps = np.exp(log_cap)
    eligible = np.flatnonzero(listed[0])
    order = eligible[np.argsort(-log_cap[0, eligible], kind="stable")]
    sizes = dict(BENCH_SIZES if bench_sizes is None else bench_sizes)
    bench_fields = {}
    for name, count in sizes.items():
        count = min(int(count), len(order))
        if count < 1:
            raise ValueError(f"benchmark {name!r} needs at least one member")
        fields[name] = _benchmark(rng, caps, order, count, _BENCH_OFFSETS.get(name, 0))
        bench_fields[name] = count
    fields[RETURNS_FIELD] = _returns(seed, factors, fields[SECTOR_FIELD], listed)
    (fields[SUSPENDED_FIELD], fields[LIMIT_UP_FIELD], fields[LIMIT_DOWN_FIELD],
     fields[CLOSE_FIELD]) = _trading_states(seed, fields[RETURNS_FIELD], listed)

    if path is None:
        for name, arr in fields.items():
            store.register(name, arr)
        store.register_axes(dates=dates, securities=securities)
        out = None
    else:
        out = store.write_store(path, fields, dates=dates, securities=securities)
    return Market(
        factors=names,
        bench_fields=bench_fields,
        n_dates=T,
        n_secu=M,
        dates=dates,
        securities=securities,
        path=out,
        _arrays=fields if path is None else {},
        seed=seed,
    )


def _as_positions(univ_idx, n_secu: int) -> np.ndarray:
    idx = np.asarray(univ_idx)
    if idx.ndim != 1:
        raise ValueError(f"univ_idx must be a 1-D array of column positions, got shape {idx.shape}")
    if idx.size and (idx.dtype == bool or not np.issubdtype(idx.dtype, np.integer)):
        raise IndexError(f"univ_idx must hold integer column positions, got dtype {idx.dtype} "
                         "(use default_universe's result, or np.asarray(..., dtype=np.int64))")
    idx = idx.astype(np.int64)
    outside = idx[(idx < 0) | (idx >= n_secu)]
    if outside.size:
        raise IndexError(f"univ_idx holds positions outside [0, {n_secu}) (the market has {n_secu} "
                         f"securities): {', '.join(map(str, outside[:5]))}{' ...' if outside.size > 5 else ''}")
    values, counts = np.unique(idx, return_counts=True)
    if (counts > 1).any():
        raise ValueError(f"univ_idx repeats positions {', '.join(map(str, values[counts > 1][:5]))}; "
                         "each column may appear once")
    return idx


def _as_fraction(value, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.integer, np.floating)):
        raise TypeError(f"{name} must be a real number in [0, 1], got {type(value).__name__}")
    value = float(value)
    if not 0.0 <= value <= 1.0:
        raise ValueError(f"{name} must be in [0, 1], got {value}")
    return value


def make_scores(
    market: Market,
    univ_idx,
    seed: int = 0,
    factor: Optional[str] = None,
    loading: float = 0.5,
    persistence: float = 0.9,
    signal: float = DEFAULT_SIGNAL,
) -> np.ndarray:
    """Make continuous model scores for a universe.

    Besides the factor they lean on, the scores share a seeded signal with the
    market's next-date returns (:data:`RETURNS_FIELD`). With the default
    ``signal`` their rank correlation with the next date's return is about
    1 percent, and one year of weights built from them earns an information
    ratio after costs in the range real enhanced-index models show (the
    quickstart's about 2; a year's luck moves it by about 1 either way).

    Parameters
    ----------
    market : Market
    univ_idx : array_like of int
        Distinct column positions of the universe.
    seed : int
    factor : str, optional
        Factor the scores lean on; default ``"momentum"`` if generated, else the first one.
    loading : float
        Correlation with the factor, in [-1, 1].
    persistence : float
        AR(1) coefficient of the idiosyncratic part.
    signal : float
        Correlation of the idiosyncratic part with the hidden return signal,
        in [0, 1]; 0 gives scores with no edge. ``signal=0.5`` gives exactly
        the scores of version 0.1, whose edge was twice as strong and beyond
        what real models reach.

    Returns
    -------
    ndarray
        float64, dates x len(univ_idx), finite and free of ties within a date.
    """
    if not -1.0 <= loading <= 1.0:
        raise ValueError(f"loading must be in [-1, 1], got {loading}")
    c = _as_fraction(signal, "signal")
    idx = _as_positions(univ_idx, market.n_secu)
    rng = np.random.default_rng(seed)
    T, N = market.n_dates, len(idx)
    noise = np.empty((T, N))
    noise[0] = rng.standard_normal(N)
    for t in range(1, T):
        noise[t] = persistence * noise[t - 1] + np.sqrt(1 - persistence**2) * rng.standard_normal(N)
    noise *= np.sqrt(1 - c**2)
    for t, hidden in enumerate(_signal_rows(market.seed, T, market.n_secu, idx)):
        noise[t] += c * hidden
    if factor is None and market.factors:
        factor = "momentum" if "momentum" in market.factors else market.factors[0]
    if factor is None:
        return noise
    # Unlisted securities get a neutral exposure so scores stay finite.
    base = np.nan_to_num(np.asarray(market.load(factor)[:, idx]), nan=0.0)
    return loading * base + np.sqrt(1 - loading**2) * noise


def default_universe(
    market: Market,
    n_univ: int,
    seed: int = 0,
    cover: Sequence[str] = ("weight300", "weight500"),
) -> np.ndarray:
    """Pick a universe that holds every member of the ``cover`` benchmarks.

    Parameters
    ----------
    market : Market
    n_univ : int
        Universe size: at least the number of securities that are members of a
        covered benchmark on some date, at most the market's securities.
    seed : int
    cover : sequence of str
        Benchmark fields whose members (on any date) must be included;
        those not generated are skipped.

    Returns
    -------
    ndarray
        Sorted int64 column positions.

    Raises
    ------
    ValueError
        If ``n_univ`` cannot hold every covered member, or exceeds the market.
    """
    if isinstance(n_univ, (bool, np.bool_)) or not isinstance(n_univ, (int, np.integer)):
        raise TypeError(f"n_univ must be an int, got {type(n_univ).__name__}")
    if isinstance(cover, (str, bytes)):
        raise TypeError(f"cover must be a sequence of benchmark field names, e.g. ({cover!r},), "
                        "not a single str")
    n_univ = int(n_univ)
    must = np.zeros(market.n_secu, dtype=bool)
    covered = [name for name in cover if name in market.bench_fields]
    for name in covered:
        must |= (np.asarray(market.load(name)) > 0).any(axis=0)
    n_must = int(must.sum())
    if 0 <= n_must <= n_univ <= market.n_secu:
        pass
    elif covered and 0 <= n_univ < n_must:
        raise ValueError(
            f"n_univ={n_univ} is too small: the universe must hold every member of the covered "
            f"benchmarks {', '.join(covered)}, {n_must} securities over the market's dates. "
            f"Pass n_univ in [{n_must}, {market.n_secu}], or a smaller cover (cover=() covers "
            "none) to allow a smaller universe")
    else:
        raise ValueError(f"n_univ must be in [{n_must}, {market.n_secu}] (the market has "
                         f"{market.n_secu} securities), got {n_univ}")
    rng = np.random.default_rng(seed)
    extra = rng.choice(np.flatnonzero(~must), n_univ - n_must, replace=False)
    return np.sort(np.concatenate([np.flatnonzero(must), extra])).astype(np.int64)

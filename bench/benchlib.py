"""Small helpers for run_bench.py: presets, process memory, report parsing, tables."""

from __future__ import annotations

import contextlib
import io
import os
import platform
import resource
import sys
import time
import warnings
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

from Kestrel.report import parse_report

MIB = 1024 * 1024

# ----------------------------------------------------------------- presets


@dataclass(frozen=True)
class Preset:
    """Problem sizes and repeat counts of one benchmark mode."""

    name: str
    dates: int                  # T of S1, S2, S3 and S5
    univ: int                   # N; the library holds univ * 1.25 securities
    bench_members: int
    n_factors: int
    repeats_k: int              # whole runs per case, best one reported
    repeats_b: int
    s3_repeat: int              # timeit-style repeats (median reported)
    s3_min_time: float          # seconds per repeat, at least
    s4_dates: int
    s4_univ: tuple
    s4_k: tuple                 # (style factors, with sector limits) per row
    s4_baseline_max_n: int      # baseline skipped above this N
    s5_dates: int
    mem_dates: int


# The data library holds this many securities per universe member.
SECU_RATIO = 1.25


PRESETS = {
    "full": Preset(
        name="full", dates=250, univ=4000, bench_members=500, n_factors=10,
        repeats_k=5, repeats_b=3, s3_repeat=7, s3_min_time=0.2,
        s4_dates=250, s4_univ=(1000, 2000, 4000, 8000),
        s4_k=((10, False), (10, True), (52, True)), s4_baseline_max_n=8000,
        s5_dates=250, mem_dates=250),
    "quick": Preset(
        name="quick", dates=60, univ=4000, bench_members=500, n_factors=10,
        repeats_k=1, repeats_b=1, s3_repeat=5, s3_min_time=0.05,
        s4_dates=30, s4_univ=(1000, 2000, 4000, 8000),
        s4_k=((10, False), (10, True), (52, True)), s4_baseline_max_n=4000,
        s5_dates=60, mem_dates=60),
    # A few seconds in all; only there to keep the script working (tests).
    "tiny": Preset(
        name="tiny", dates=8, univ=320, bench_members=100, n_factors=4,
        repeats_k=1, repeats_b=1, s3_repeat=2, s3_min_time=0.001,
        s4_dates=6, s4_univ=(160, 320), s4_k=((4, False), (4, True)),
        s4_baseline_max_n=320, s5_dates=8, mem_dates=8),
}

# --------------------------------------------------------- process memory


def proc_status():
    """VmRSS, VmHWM, RssAnon and RssFile of this process in bytes (None where unknown)."""
    out = {"VmRSS": None, "VmHWM": None, "RssAnon": None, "RssFile": None}
    try:
        with open("/proc/self/status") as fh:
            for line in fh:
                key = line.split(":", 1)[0]
                if key in out:
                    out[key] = int(line.split()[1]) * 1024
    except OSError:
        pass
    return out


def file_mappings(under):
    """Resident bytes of the files below `under` that this process maps, per file.

    Returns {path: (mappings, resident bytes summed over them, largest single
    mapping)}. RSS counts a page once per mapping, so a file mapped several
    times is counted several times.
    """
    under = str(under)
    out = {}
    path = None
    try:
        with open("/proc/self/smaps") as fh:
            for line in fh:
                parts = line.split()
                if not parts:
                    continue
                if not parts[0].endswith(":"):       # a mapping's header line
                    path = parts[5] if len(parts) > 5 else None
                    if path is not None and path.startswith(under):
                        n, total, big = out.get(path, (0, 0, 0))
                        out[path] = (n + 1, total, big)
                elif parts[0] == "Rss:" and path is not None and path in out:
                    n, total, big = out[path]
                    rss = int(parts[1]) * 1024
                    out[path] = (n, total + rss, max(big, rss))
    except OSError:
        pass
    return out


def ru_maxrss_bytes():
    r = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    return r if sys.platform == "darwin" else r * 1024


def release_free_memory():
    """Hand freed heap memory back to the system so RSS shows what is live."""
    try:
        import ctypes
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def reset_peak():
    """Reset VmHWM to the current RSS; returns the RSS, or None if the kernel refuses.

    Writing 5 to clear_refs is the documented way to restart the high-water mark.
    """
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
    except OSError:
        return None
    return proc_status()["VmRSS"]


class PeakMeter:
    """Peak RSS above the RSS at entry, for one block (None when not measurable)."""

    def __enter__(self):
        release_free_memory()
        self.start = reset_peak()
        self.peak = None
        return self

    def __exit__(self, *exc):
        hwm = proc_status()["VmHWM"]
        if self.start is not None and hwm is not None:
            self.peak = max(0, hwm - self.start)
        return False


class CpuMeter:
    """Wall time, CPU used by this process, and CPU used by everything else.

    On a shared machine the last one tells whether a timing had the cores to
    itself; all are in cores (CPU seconds per wall second).
    """

    @staticmethod
    def _system_busy():
        try:
            with open("/proc/stat") as fh:
                f = [int(x) for x in fh.readline().split()[1:]]
        except (OSError, ValueError):
            return None
        hz = os.sysconf("SC_CLK_TCK") if hasattr(os, "sysconf") else 100
        # user nice system idle iowait irq softirq steal ...
        return (f[0] + f[1] + f[2] + f[5] + f[6] + (f[7] if len(f) > 7 else 0)) / hz

    def __enter__(self):
        self._busy = self._system_busy()
        t = os.times()
        self._own = t.user + t.system
        self._wall = time.perf_counter()
        return self

    def __exit__(self, *exc):
        self.wall = time.perf_counter() - self._wall
        t = os.times()
        own = t.user + t.system - self._own
        self.own_seconds = own
        self.own_cores = own / self.wall if self.wall > 0 else None
        busy = self._system_busy()
        self.other_cores = None
        if busy is not None and self._busy is not None and self.wall > 0:
            self.other_cores = max(0.0, (busy - self._busy - own) / self.wall)
        return False


# ------------------------------------------------------- report lines

def loop_counts(report_text):
    """LoopCount of every report line, in date order."""
    return [line.loop_count for line in parse_report(report_text)]


@contextlib.contextmanager
def captured():
    """Collect stdout (report lines), stderr (progress bar) and warnings."""
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err), \
            warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        yield out, err, caught


# ------------------------------------------------------------- header


def machine_header(preset_name):
    lines = []
    try:
        affinity = len(os.sched_getaffinity(0))
    except AttributeError:
        affinity = os.cpu_count()
    lines.append(f"machine: {platform.machine()} {platform.system()}, {os.cpu_count()} cores "
                 f"({affinity} usable), Python {platform.python_version()}, numpy {np.__version__}")
    try:
        load = os.getloadavg()
        lines.append("load average at start: " + " ".join(f"{x:.2f}" for x in load)
                     + ("  (other work is running: timings are best-of runs but may be noisy)"
                        if load[0] > 0.5 else ""))
    except OSError:
        pass
    coretype = os.environ.get("OPENBLAS_CORETYPE")
    if coretype is not None:
        lines.append(f"note: OPENBLAS_CORETYPE={coretype} is set; it can slow numpy's BLAS "
                     "calls (the baseline's); left as it is")
    for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        if var in os.environ:
            lines.append(f"note: {var}={os.environ[var]}")
    lines.append(f"mode: {preset_name}; {source_revision()}")
    return lines


def source_revision():
    """Which Kestrel was measured: module path and the work tree's commit."""
    import subprocess
    try:
        import Kestrel
        where = f"Kestrel from {Path(Kestrel.__file__).parent}"
    except ImportError:
        where = "Kestrel not importable"
    try:
        root = Path(__file__).resolve().parents[1]
        rev = subprocess.run(["git", "-C", str(root), "describe", "--always", "--dirty"],
                             capture_output=True, text=True, timeout=10).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        rev = ""
    return where + (f", tree at {rev}" if rev else "")


# -------------------------------------------------------------- tables


def fmt_num(x, digits=3):
    """Three significant figures, plain notation; '-' for missing."""
    if x is None:
        return "-"
    if isinstance(x, str):
        return x
    if x != x:
        return "nan"
    ax = abs(x)
    if ax >= 100:
        return f"{x:.0f}"
    if ax >= 10:
        return f"{x:.1f}"
    if ax >= 1:
        return f"{x:.2f}"
    if ax == 0:
        return "0"
    return f"{x:.{digits}g}"


def fmt_mib(nbytes):
    return "-" if nbytes is None else f"{nbytes / MIB:.0f}"


def render_table(columns, rows):
    """columns: (title, key, align) with align '<' or '>'; rows: dicts of strings."""
    widths = [max(len(title), *(len(r.get(key, "")) for r in rows)) if rows else len(title)
              for title, key, _ in columns]
    out = ["  ".join(f"{title:{align}{w}}" for (title, _, align), w in zip(columns, widths))]
    out.append("  ".join("-" * w for w in widths))
    for r in rows:
        out.append("  ".join(f"{r.get(key, ''):{align}{w}}"
                             for (_, key, align), w in zip(columns, widths)))
    return "\n".join(line.rstrip() for line in out)


@dataclass
class RunStats:
    """One implementation's timed whole runs of one case."""

    seconds: list = field(default_factory=list)
    passes: list = field(default_factory=list)   # LoopCount per date (first run)
    peak: int | None = None                      # bytes above RSS at start, worst run
    other_cores: list = field(default_factory=list)  # other processes' CPU during each run
    cpu_seconds: list = field(default_factory=list)  # this process's CPU time of each run
    warnings: list = field(default_factory=list)

    @property
    def best(self):
        return min(self.seconds) if self.seconds else None

    @property
    def best_other_cores(self):
        if not self.seconds or not self.other_cores:
            return None
        return self.other_cores[int(np.argmin(self.seconds))]

    def mean_passes(self):
        return float(np.mean(self.passes)) if self.passes else None

"""Whole runs under faults, interruption and threads; progress bar and output streams."""

import signal
import subprocess
import sys
import textwrap
import threading
import time
import types
import warnings

import numpy as np
import pytest
import tqdm.auto

import Kestrel

T, N = 8, 200
UNIV = np.random.default_rng(2).permutation(np.r_[0:100, 120:220])


def scores(seed=1):
    return np.random.default_rng(seed).standard_normal((T, N))


@pytest.fixture
def bars(monkeypatch):
    """Replaces tqdm.auto.tqdm, the bar Kestrel draws, by a recorder; `fail_at` = (tick, exception) fails an update."""
    rec = type("Bars", (), {"made": [], "fail_at": None})()

    class Bar:
        def __init__(self, *args, **kwargs):
            self.kwargs, self.ticks, self.closed = kwargs, [], 0
            rec.made.append(self)

        def update(self, n=1):
            if rec.fail_at and rec.fail_at[0] == len(self.ticks):
                raise rec.fail_at[1]
            self.ticks.append(n)

        def close(self):
            self.closed += 1
    monkeypatch.setattr(tqdm.auto, "tqdm", Bar)
    return rec


def fresh(run_cfg, algo="TopM", **over):
    cfg = run_cfg(algo, {"f0": 0.05, "f1": 0.05}, each_sector_expo=0.2, **over)
    return Kestrel.OptimizerTopM(algo, "000300", 1.0, cfg)


def test_progress_ticks_every_date(fake_vela, run_cfg, bars):
    lib = fake_vela()
    lib.data["weight300"][2] *= 0.5
    pv = scores()
    pv[5] = 1.0
    with pytest.warns(RuntimeWarning, match=r"rows \[5\]"):
        fresh(run_cfg).gen_position(pv, UNIV)
    (bar,) = bars.made
    assert bar.kwargs.get("total") == T and bar.ticks == [1] * T and bar.closed == 1


def test_bar_on_stderr_report_lines_alone_on_stdout(fake_vela, run_cfg, capfd, report_lines):
    fake_vela()
    fresh(run_cfg, print_result=True).gen_position(scores(), UNIV)
    out, err = capfd.readouterr()
    assert len(report_lines(out)) == T
    assert f"{T}/{T}" in err and "LoopCount" not in err


@pytest.mark.parametrize("failing_call", [0, 1])
def test_library_error_propagates(fake_vela, run_cfg, failing_call):
    lib = fake_vela()
    serve, err = lib.RunLoopOnce, LookupError("field store offline")

    def flaky(names):
        if len(lib.calls) == failing_call:
            lib.calls.append(names)
            raise err
        return serve(names)
    lib.RunLoopOnce = flaky
    opt = fresh(run_cfg)
    with pytest.raises(LookupError) as ei:
        opt.gen_position(scores(), UNIV)
    assert ei.value is err
    lib.RunLoopOnce = serve
    np.testing.assert_array_equal(opt.gen_position(scores(), UNIV), fresh(run_cfg).gen_position(scores(), UNIV))


@pytest.mark.parametrize("tick,exc", [(0, RuntimeError("bar broke")), (5, KeyboardInterrupt())])
def test_progress_bar_error_propagates(fake_vela, run_cfg, bars, tick, exc):
    fake_vela()
    opt = fresh(run_cfg)
    bars.fail_at = (tick, exc)
    with pytest.raises(type(exc)) as ei:
        opt.gen_position(scores(), UNIV)
    assert ei.value is exc and bars.made[0].closed == 1
    bars.fail_at = None
    np.testing.assert_array_equal(opt.gen_position(scores(), UNIV), fresh(run_cfg).gen_position(scores(), UNIV))


class Faulty(list):
    """A library result whose length or items fail the way a lazy result set can."""
    fail_len = fail_item = None

    def __len__(self):
        if self.fail_len:
            raise self.fail_len
        return super().__len__()

    def __getitem__(self, i):
        if self.fail_item:
            raise self.fail_item
        return super().__getitem__(i)


def _raise(err):
    raise err


def _break(fault, lib, bars, monkeypatch, pv):
    """Makes `fault` happen on the next run; returns the error expected and the repair."""
    err = ConnectionError("field store offline")
    if fault in ("result_len", "result_item", "array"):
        serve = lib.RunLoopOnce

        def broken(names):
            result = Faulty(serve(names))
            if fault == "array":
                result[0] = type("Item", (), {"array": property(lambda self: _raise(err))})()
            else:
                setattr(result, "fail_len" if fault == "result_len" else "fail_item", err)
            return result
        lib.RunLoopOnce = broken
        return err, lambda: setattr(lib, "RunLoopOnce", serve)
    if fault == "module":  # the library itself fails as soon as it is used
        dead = types.ModuleType("VelaIntradayModel")
        dead.__getattr__ = lambda name: _raise(err)
        monkeypatch.setitem(sys.modules, "VelaIntradayModel", dead)
        return err, lambda: monkeypatch.setitem(sys.modules, "VelaIntradayModel", lib)
    bar, close = tqdm.auto.tqdm, tqdm.auto.tqdm.close
    if fault == "bar_construct":
        monkeypatch.setattr(tqdm.auto, "tqdm", lambda *a, **k: _raise(err))
        return err, lambda: monkeypatch.setattr(tqdm.auto, "tqdm", bar)
    if fault in ("bar_close", "bar_update_and_close"):
        # When an update fails and closing fails too, the first error is the one reported.
        monkeypatch.setattr(bar, "close", lambda self: _raise(OSError("second fault") if bars.fail_at else err))
        if fault == "bar_update_and_close":
            bars.fail_at = (1, err)
        return err, lambda: (monkeypatch.setattr(bar, "close", close), setattr(bars, "fail_at", None))
    pv[3] = 1.0  # a constant date is left empty, with a warning that the caller turned into an error
    warnings.simplefilter("error", RuntimeWarning)
    return RuntimeWarning, lambda: warnings.simplefilter("ignore", RuntimeWarning)


@pytest.mark.parametrize("fault", ["result_len", "result_item", "array", "module", "bar_construct", "bar_close",
                                   "bar_update_and_close", "warning_as_error"])
def test_outside_fault_propagates_unchanged_and_the_object_runs_again(fake_vela, run_cfg, bars, monkeypatch, fault):
    lib = fake_vela()
    want = fresh(run_cfg).gen_position(scores(), UNIV)
    opt = fresh(run_cfg)
    opt.gen_position(scores(), UNIV)  # a finished run first: its data stays attached
    pv = scores()
    with warnings.catch_warnings():
        err, repair = _break(fault, lib, bars, monkeypatch, pv)
        with pytest.raises(BaseException) as ei:
            opt.gen_position(pv, UNIV)
        repair()
    assert ei.value is err or type(ei.value) is err
    np.testing.assert_array_equal(opt.gen_position(scores(), UNIV), want)


class BrokenStdout:
    def __init__(self, exc):
        self.exc = exc

    def write(self, text):
        raise self.exc

    def flush(self):
        pass


@pytest.mark.parametrize("stream", ["broken", "none", "missing"])
def test_stdout_fault(fake_vela, run_cfg, monkeypatch, bars, stream):
    """Lines go wherever sys.stdout is at the time; None swallows them, as print() does."""
    fake_vela()
    want = fresh(run_cfg).gen_position(scores(), UNIV)
    opt = fresh(run_cfg, print_result=True)
    err = BrokenPipeError("reader went away")
    if stream == "missing":
        monkeypatch.delattr(sys, "stdout")
        with pytest.raises(RuntimeError, match="^lost sys.stdout$"):
            opt.gen_position(scores(), UNIV)
        assert bars.made[-1].closed == 1
    monkeypatch.setattr(sys, "stdout", BrokenStdout(err) if stream == "broken" else None, raising=False)
    if stream == "broken":
        with pytest.raises(BrokenPipeError) as ei:
            opt.gen_position(scores(), UNIV)
        assert ei.value is err and bars.made[-1].closed == 1
        monkeypatch.setattr(sys, "stdout", sys.__stdout__)
    np.testing.assert_array_equal(opt.gen_position(scores(), UNIV), want)


@pytest.mark.parametrize("fault,message,kind", [
    ("opt_name", "Wrong opt_name:Bogus", Exception), ("caps", "Wrong Position Error", Kestrel.PositionError)])
def test_date_errors_propagate(fake_vela, run_cfg, bars, capsys, fault, message, kind):
    fake_vela()
    opt = fresh(run_cfg, "TopM2")
    if fault == "opt_name":
        opt.opt_name = "Bogus"
    else:
        opt.cfg["weight_multi"] = 0.05  # caps cannot hold the target weight
    with pytest.raises(Exception) as ei:
        opt.gen_position(scores(), UNIV)
    assert type(ei.value) is kind and str(ei.value) == message
    assert bars.made[-1].closed == 1
    opt.opt_name, opt.cfg["weight_multi"] = "TopM2", 3.0
    assert np.isfinite(opt.gen_position(scores(), UNIV)).all()


@pytest.mark.parametrize("layout", ["fortran", "strided", "list", "int", "float32"])
def test_input_layouts_agree_and_inputs_stay(fake_vela, run_cfg, layout):
    lib = fake_vela()
    lib.data["f1"] = lib.data["f1"].astype(np.float32).astype(float)  # exact in either width
    pv = np.round(scores() * 1000)
    pv[1, 3], pv[2, 4] = np.nan, np.inf
    want = fresh(run_cfg).gen_position(pv, UNIV)
    other = {"fortran": np.asfortranarray(pv), "strided": np.repeat(pv, 2, axis=1)[:, ::2],
             "list": pv.tolist(), "int": np.nan_to_num(pv, posinf=0).astype(np.int64),
             "float32": pv.astype(np.float32)}[layout]
    # The library's matrices in other layouts too.
    lib.data = {k: np.asfortranarray(v) if layout in ("fortran", "list") else
                np.repeat(v, 2, axis=0)[::2] if layout == "strided" else
                v.astype(np.float32) if layout == "float32" and k == "f1" else v for k, v in lib.data.items()}
    kept = [np.copy(a) for a in (pv, UNIV, lib.data["weight300"], lib.data["f0"])]
    got = fresh(run_cfg).gen_position(other, UNIV)
    np.testing.assert_array_equal(got, want)
    for before, now in zip(kept, (pv, UNIV, lib.data["weight300"], lib.data["f0"])):
        np.testing.assert_array_equal(before, now)


def test_threads_match_sequential_runs(standin, run_cfg):
    jobs = [(a, run_cfg(a, {"size": 0.1, "beta": 0.1}, each_sector_expo=0.1), seed)
            for a, seed in (("TopM", 1), ("TopEqual2", 2), ("TopKR", 3), ("TopM", 4), ("TopM2", 5),
                            ("TopEqual", 6))]

    def one(algo, cfg, seed):
        pv = standin.scores[:, np.random.default_rng(seed).permutation(len(standin.univ))]
        return Kestrel.OptimizerTopM(algo, "000300", 1.0, dict(cfg)).gen_position(pv, standin.univ)
    want = [one(*job) for job in jobs]
    got, barrier = [None] * len(jobs), threading.Barrier(len(jobs))

    def work(i):
        barrier.wait()
        got[i] = one(*jobs[i])
    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert all(np.array_equal(g, w) for g, w in zip(got, want))


INTERRUPTED_RUN = textwrap.dedent("""
    import sys, types
    from types import SimpleNamespace
    import numpy as np, Kestrel
    rng = np.random.default_rng(0)
    T, N, LOOPS = int(sys.argv[1]), 800, int(sys.argv[2])
    data = {"weight300": np.tile(np.r_[np.full(400, 0.25), np.zeros(N - 400)], (T, 1)),
            "f0": rng.standard_normal((T, N))}
    lib = types.ModuleType("VelaIntradayModel")
    lib.RunLoopOnce = lambda names: [SimpleNamespace(array=data[n]) for n in names]
    sys.modules["VelaIntradayModel"] = lib
    cfg = dict(decay=0.5, bench_coeff=0.5, pre_coeff=0.5, each_sector_expo=0.5, weight_multi=3.0,
               risk_cost=0.1, print_result=False, max_loop_num=LOOPS, risk_factor_expo={"f0": -1.0})
    print("started", flush=True)
    Kestrel.opt_gen_position_topm("000300", 1.0, cfg, rng.standard_normal((T, N)), np.arange(N))
    print("finished", flush=True)
""")


@pytest.mark.parametrize("dates,loops,wait", [
    (5000, 100, 5),
    # An exposure limit that can never hold and a loop bound of 10**9 make one date last for
    # hours: Ctrl-C must still end it.
    (3, 10 ** 9, 2),
])
def test_ctrl_c_interrupts_a_long_run(dates, loops, wait):
    proc = subprocess.Popen([sys.executable, "-c", INTERRUPTED_RUN, str(dates), str(loops)], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline().strip() == "started"
        time.sleep(0.5)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=wait)
    finally:
        proc.kill()
    assert time.monotonic() - sent < wait
    assert "KeyboardInterrupt" in err and "finished" not in out and proc.returncode != 0

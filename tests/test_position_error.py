"""Kestrel.PositionError from every way in, and what Kestrel.run writes to stdout."""

import contextlib
import io

import pytest

import Kestrel
from test_mistakes import settings


def entry(name, **over):
    return lambda s: getattr(Kestrel, name)("000300", 1.0, settings(**over), s.scores, s.univ)


def method(algo, name, *args):
    return lambda s: getattr(Kestrel.OptimizerTopM(algo, "000300", 1.0, {}), name)(*args)


# id, call, message, what the fixed surface prints first (None: nothing)
FAILURES = [
    ("entry_rebalance", entry("opt_gen_position_topm", weight_multi=0.5), "Wrong Position Error", "CheckPosition: "),
    ("entry_fill", entry("opt_gen_position_topequal2", each_single_weight=0.0001), "Wrong Position Error", None),
    ("gen_position", lambda s: Kestrel.OptimizerTopM("TopEqual", "000300", 1.0, settings(each_single_weight=0.0001))
     .gen_position(s.scores, s.univ), "Wrong Position Error", "CheckPosition: "),
    ("method_fill", method("TopM2", "MapValue2Position_MaxWeight", [1.0, 2.0], [0.3, 0.3], 1.0),
     "Wrong Position Error", None),
    ("method_over_cap", method("TopM2", "MapValue2Position_MaxWeight", [1, 0], [1.0, -0.5], 1.0),
     "Wrong Position MaxWeight Error", "[1] [0.0] [-0.5]"),
    ("method_rebalance", method("TopM", "MapValue2Position_MaxWeight_RiskCost", [1.0, 2.0], [0.3, 0.3], 1.0,
                                [0.0, 0.0], 0.1), "Wrong Position Error", "CheckPosition: "),
    ("method_dispatch", method("TopM2", "CalcCurrentPosition", [1.0, 2.0], [1.0, 2.0], 0.5, None, None, None,
                               [0.5, 0.5], 0.0, [0.0, 0.0], 0.0), "Wrong Position Error", None),
]


@pytest.mark.parametrize("call, message, printed", [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES])
def test_fixed_surface_raises_position_error_and_prints_as_before(standin, capsys, call, message, printed):
    with pytest.raises(Kestrel.PositionError) as info:
        call(standin)
    assert str(info.value) == message and isinstance(info.value, Exception)
    out = capsys.readouterr().out
    if printed is None:
        assert out == ""
    else:
        assert out.startswith(printed) and out.count("\n") == 1


def test_position_error_is_documented_and_plain():
    assert Kestrel.PositionError.__mro__[1:] == (Exception, BaseException, object)
    assert "Wrong Position MaxWeight Error" in Kestrel.PositionError.__doc__


def quiet_run(standin, algo, cfg, **kw):
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        try:
            result = Kestrel.run(algo, "000300", 1.0, cfg, standin.scores, standin.univ, progress=False, **kw)
        except Kestrel.PositionError as e:
            result = e
    return result, out.getvalue()


@pytest.mark.parametrize("algo, over", [
    ("TopM", {"weight_multi": 0.5}), ("TopEqual", {"each_single_weight": 0.0001}),
    ("TopEqual2", {"each_single_weight": 0.0001}), ("TopM2", {"weight_multi": 0.5, "max_weight": 0.3}),
])
@pytest.mark.parametrize("cfg_print", [False, True])
def test_run_failure_puts_the_diagnostic_in_the_note_not_on_stdout(standin, capsys, algo, over, cfg_print):
    cfg = settings(print_result=cfg_print, **over)
    error, out = quiet_run(standin, algo, cfg)
    assert out == "" and isinstance(error, Kestrel.PositionError) and str(error) == "Wrong Position Error"
    # The same failure through the fixed surface prints the line the note now ends with.
    with pytest.raises(Kestrel.PositionError) as fixed:
        Kestrel.OptimizerTopM(algo, "000300", 1.0, cfg).gen_position(standin.scores, standin.univ)
    printed = [line for line in capsys.readouterr().out.splitlines() if not line[0].isdigit()]
    notes = "\n".join(error.__notes__)
    assert notes.splitlines()[0] == "\n".join(fixed.value.__notes__).splitlines()[0]
    if printed:
        assert notes.endswith("\n" + printed[-1])
    else:
        assert "CheckPosition" not in notes


@pytest.mark.parametrize("cfg_print, keyword, lines", [(True, False, 0), (False, False, 0), (False, True, 30)])
def test_run_prints_report_lines_only_when_asked(standin, cfg_print, keyword, lines):
    cfg = settings(print_result=cfg_print, risk_factor_expo={"size": 0.3})
    result, out = quiet_run(standin, "TopM", cfg, print_result=keyword)
    assert len(result.rows) == 30 and len(out.splitlines()) == lines

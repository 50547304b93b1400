"""Common mistakes keep their fixed exception type and message and carry a
note (BaseException.add_note) saying what to do; near-miss settings keys and
labelled score frames get one warning."""

import warnings

import numpy as np
import pandas as pd
import pytest

import Kestrel
from Kestrel.tables import ALGORITHM_SETTINGS, OPTIONAL_SETTINGS, RUN_SETTINGS


def settings(**over):
    # No floors, so the caps add up to exactly what sizes them.
    cfg = {"weight_multi": 1.5, "risk_cost": 0.3, "each_single_weight": 0.02, "num_long": 40, "decay": 0.3,
           "bench_coeff": 0.0, "pre_coeff": 0.0, "each_sector_expo": 0.5, "risk_factor_expo": {},
           "print_result": False}
    for key, value in over.items():
        if value is None:
            del cfg[key]
        else:
            cfg[key] = value
    return cfg


def without(key, **over):
    cfg = settings(**over)
    del cfg[key]
    return cfg


def run(entry="opt_gen_position_topm", bench="000300", secu_pct=1.0, cfg=None, scores=None, univ=None):
    def call(s):
        return getattr(Kestrel, entry)(bench, secu_pct, settings() if cfg is None else cfg,
                                       s.scores if scores is None else scores(s), s.univ if univ is None else univ(s))
    return call


def direct(method, *args):
    return lambda s: getattr(Kestrel.OptimizerTopM("TopM", "000300", 1.0, {}), method)(*args)


# id, call, exception type, exact message, fragments every one of which the notes hold
MISTAKES = [
    ("weight_multi_short", run(cfg=settings(weight_multi=0.5)), Kestrel.PositionError, "Wrong Position Error",
     ['On date row 0 of a "TopM" run', "sum to", "target secu_pct=1;", "caps add up to 0.5",
      "weight_multi=0.5", "max_weight=-1 (no ceiling)", "secu_pct is a fraction"]),
    ("capped_fill_short", run("opt_gen_position_topm2", cfg=settings(weight_multi=0.5, max_weight=0.3)),
     Kestrel.PositionError, "Wrong Position Error",
     ['"TopM2" run', "weights sum to 0.5 ", "max_weight=0.3 (a ceiling"]),
    ("secu_pct_as_percent", run(secu_pct=100), Kestrel.PositionError, "Wrong Position Error",
     ["target secu_pct=100", "100 asks for 100 times the capital"]),
    ("equal_caps_short", run("opt_gen_position_topequal2", cfg=settings(each_single_weight=0.0001)),
     Kestrel.PositionError, "Wrong Position Error", ['"TopEqual2" run', "each_single_weight=0.0001"]),
    ("mapping_called_directly", direct("MapValue2Position_MaxWeight", [1.0, 2.0], [0.3, 0.3], 1.0),
     Kestrel.PositionError, "Wrong Position Error", ["the weights sum to 0.6 against the target secu_pct=1"]),
    ("required_key_misspelt", run(cfg=without("weight_multi", weight_mult=1.5)), KeyError, "'weight_multi'",
     ['required by the "TopM" algorithm', "'weight_multi' and 'risk_cost'",
      "cfg holds 'weight_mult': did you mean 'weight_multi'?"]),
    ("required_key_absent", run("opt_gen_position_topkr", cfg=without("decay")), KeyError, "'decay'",
     ["cfg has no 'decay', which is required by every algorithm."]),
    ("type_absent", run("opt_gen_position_type"), KeyError, "'type'", ["opt_gen_position_type"]),
    ("opt_name_case", run("opt_gen_position_type", cfg=settings(type="topm")), Exception, "Wrong opt_name:topm",
     ["'TopM', 'TopM2', 'TopKR', 'TopEqual' and 'TopEqual2'", "did you mean 'TopM'?"]),
    ("opt_name_typo", lambda s: Kestrel.OptimizerTopM("TopEqaul2", "000300", 1.0, {}), Exception,
     "Wrong opt_name:TopEqaul2", ["did you mean 'TopEqual2'?"]),
    ("opt_name_nul", lambda s: Kestrel.OptimizerTopM("TopM\x00x", "000300", 1.0, {}), Exception,
     "Wrong opt_name:TopM\x00x", ["NUL character", "did you mean 'TopM'?"]),
    ("opt_name_not_text", lambda s: Kestrel.OptimizerTopM(3, "000300", 1.0, {}), Exception, "Wrong opt_name:3",
     ["not text at all"]),
    ("bench_code_typo", run(bench="000330"), KeyError, None,
     ["'000330' is not a benchmark code", "000905 (weight500)", "000300 (weight300)", "Did you mean '000300'?"]),
    ("bench_code_number", run(bench=905), TypeError, None,
     ["905 is not text but int", 'codes are text such as "000905"', "Did you mean '000905'?"]),
    ("bench_code_extra_char", run(bench="000906x"), KeyError, None,
     ["'000906x' is not a benchmark code", "does not have", "Did you mean '000906'?"]),
    ("univ_idx_codes", run(univ=lambda s: s.market.securities[s.univ]), IndexError,
     None, ["not security codes", "Kestrel.frames.inputs_from_frame"]),
]


@pytest.mark.parametrize("call, kind, message, notes", [m[1:] for m in MISTAKES], ids=[m[0] for m in MISTAKES])
def test_mistake_keeps_its_error_and_says_what_to_do(standin, capsys, call, kind, message, notes):
    with pytest.raises(Exception) as info:
        call(standin)
    assert type(info.value) is kind
    if message is not None:
        assert str(info.value) == message
    text = "\n".join(getattr(info.value, "__notes__", []))
    for fragment in notes:
        assert fragment in text, text


def test_position_note_follows_the_printed_diagnostic(standin, capsys):
    # The "CheckPosition:" line is still printed, once, before the error.
    with pytest.raises(Exception) as info:
        run(cfg=settings(weight_multi=0.5))(standin)
    assert str(info.value) == "Wrong Position Error"
    out = capsys.readouterr().out.splitlines()
    assert len(out) == 1 and out[0].startswith("CheckPosition: ")


def caught(call, standin):
    with warnings.catch_warnings(record=True) as rec:
        warnings.simplefilter("always")
        result = call(standin)
    return result, [w for w in rec if issubclass(w.category, Kestrel.KestrelWarning)]


KNOWN = [*OPTIONAL_SETTINGS, *{k for keys in ALGORITHM_SETTINGS.values() for k in keys}, *RUN_SETTINGS, "type"]


@pytest.mark.parametrize("extra, meant", [
    ({"learning_rte": 0.1}, ["learning_rate"]),
    ({"print_results": True}, ["print_result"]),
    ({"Decay": 0.3}, ["decay"]),
    ({"max_wieght": 0.3, "bench_coef": 0.1}, ["max_weight", "bench_coeff"]),
    *[({key + "s": 1}, [key]) for key in KNOWN if key not in ("print_result",)],
])
def test_near_miss_key_gives_one_settings_warning(standin, extra, meant):
    _, rec = caught(run(cfg=settings(**extra)), standin)
    assert len(rec) == 1 and rec[0].category is Kestrel.SettingsWarning
    text = str(rec[0].message)
    for wrong, right in zip(extra, meant):
        assert f"'{wrong}'" in text and f"did you mean '{right}'?" in text


@pytest.mark.parametrize("extra", [{}, {12: "int key"}, {"type": "TopM", "max_loop_num": 100, "num_long": 5}])
def test_known_keys_stay_silent(standin, extra):
    cfg = settings()
    cfg.update(extra)
    _, rec = caught(run(cfg=cfg), standin)
    assert rec == []


def test_every_key_no_algorithm_reads_warns_with_a_guess_where_one_is_close(standin):
    cfg = settings(comment="v2", max_loops=5, learning_rte=0.1)
    _, rec = caught(run(cfg=cfg), standin)
    assert len(rec) == 1 and rec[0].category is Kestrel.SettingsWarning
    text = str(rec[0].message)
    assert "cfg key 'comment' is not a setting Kestrel reads (it is ignored);" in text
    assert "'max_loops' is not a setting Kestrel reads (it is ignored): did you mean 'max_loop_num'?" in text
    assert "did you mean 'learning_rate'?" in text


def test_settings_warning_as_error_stops_the_run(standin):
    with warnings.catch_warnings():
        warnings.simplefilter("error", Kestrel.SettingsWarning)
        with pytest.raises(Kestrel.SettingsWarning, match="learning_rate"):
            run(cfg=settings(learning_rte=0.1))(standin)
    assert issubclass(Kestrel.SettingsWarning, Kestrel.KestrelWarning)
    assert issubclass(Kestrel.KestrelWarning, UserWarning)


def test_dataframe_scores_are_taken_by_position_with_one_warning(standin):
    expected = run()(standin)
    frame = pd.DataFrame(standin.scores, columns=[f"c{i}" for i in range(standin.scores.shape[1])])
    got, rec = caught(run(scores=lambda s: frame), standin)
    assert np.array_equal(got, expected)
    assert len(rec) == 1 and rec[0].category is Kestrel.KestrelWarning
    assert "labels are ignored" in str(rec[0].message)
    assert "Kestrel.frames.inputs_from_frame" in str(rec[0].message)

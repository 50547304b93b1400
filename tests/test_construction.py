"""OptimizerTopM construction, attributes, settings lookup and benchmark field names."""

import importlib.metadata

import numpy as np
import pytest

import Kestrel
from Kestrel.tables import ALGORITHMS as ALGOS
from Kestrel.tables import BENCHMARK_WEIGHT_FIELDS

OT = Kestrel.OptimizerTopM


def test_version_is_the_package_version():
    assert Kestrel.__version__ == importlib.metadata.version("kestrel")


@pytest.mark.parametrize("name", ALGOS)
@pytest.mark.parametrize("by_keyword", [False, True])
def test_construct_keeps_the_callers_objects(name, by_keyword):
    cfg, pct, bench = {"decay": 0.5}, 0.95, "000905"
    o = (OT(opt_name=name, bench_symbol=bench, secu_pct=pct, cfg=cfg) if by_keyword
         else OT(name, bench, pct, cfg))
    assert o.opt_name is name and o.bench_symbol is bench and o.secu_pct is pct and o.cfg is cfg
    cfg["late"] = 1  # no copy: later changes are visible
    assert o.cfg["late"] == 1


@pytest.mark.parametrize("name", [
    "topm", "TopM ", " TopKR", "TOPEQUAL", "TopEqual3", "", 3, None, 1.5, b"TopM", ["TopM"], ("TopKR",),
    np.array(["TopM"]), np.array(["TopM", "TopKR"]),
])
def test_construct_rejects_other_names(name):
    with pytest.raises(Exception) as ei:
        OT(name, "000300", 1.0, {})
    assert type(ei.value) is Exception
    assert str(ei.value) == "Wrong opt_name:{}".format(name)


def test_str_subclass_name_is_text():
    assert OT(np.str_("TopKR"), "000300", 1.0, {}).opt_name == "TopKR"


def test_attributes_are_assignable_and_run_data_absent(opt):
    for attr in ("barra_data", "benchweight_data"):
        with pytest.raises(AttributeError):
            getattr(opt, attr)
    new = object()
    for attr in ("bench_symbol", "secu_pct", "cfg", "opt_name", "barra_data", "benchweight_data"):
        setattr(opt, attr, new)
        assert getattr(opt, attr) is new
    opt.barra_data = None
    assert opt.barra_data is None


@pytest.mark.parametrize("cfg,name,default,expect", [
    ({"decay": "0.5"}, "decay", 0.1, "0.5"),       # stored text comes back unparsed
    ({"decay": None}, "decay", 0.1, None),         # stored None is not replaced by the default
    ({"max_weight": 0}, "max_weight", -1, 0),      # falsy values count as present
    ({"a": 1}, "decay", 0.1, 0.1),
    ({}, "print_result", True, True),
])
def test_get_value_or_default(opt, cfg, name, default, expect):
    got = opt.GetValueOrDefault(cfg, name, default)
    assert got == expect and type(got) is type(expect)
    assert opt.GetValueOrDefault(cfg=cfg, name=name, default_value=default) == expect


def test_get_value_or_default_identity(opt):
    default, stored = object(), [1, 2]
    assert opt.GetValueOrDefault({}, "k", default) is default
    assert opt.GetValueOrDefault({"k": stored}, "k", default) is stored
    assert opt.GetValueOrDefault({"decay": 1}, "decay", 2.0) == 1  # no conversion to the default's type


@pytest.mark.parametrize("cfg,err", [(5, TypeError), (None, TypeError), (["k"], TypeError)])
def test_get_value_or_default_passes_mapping_errors(opt, cfg, err):
    with pytest.raises(err):
        opt.GetValueOrDefault(cfg, "k", 1)


@pytest.mark.parametrize("bench,key", [
    *BENCHMARK_WEIGHT_FIELDS.items(), ("000016", "000016"), ("300", "300"), (" 000300", " 000300"), ("", ""),
    (300, 300),
])
def test_get_weight_name(make_opt, bench, key):
    o = make_opt(bench=bench)
    got = o.get_weight_name()
    assert got == key and type(got) is type(key)
    if key == bench:
        assert got is bench  # a code outside the table comes back itself


def test_get_weight_name_follows_reassignment(opt):
    opt.bench_symbol = "000852"
    assert opt.get_weight_name() == "weight1000"


def test_get_weight_name_non_text_code_is_returned_itself(opt):
    code = np.array(["000300"])
    opt.bench_symbol = code
    assert opt.get_weight_name() is code

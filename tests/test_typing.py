"""The discoverable surface: installed stubs checked by mypy, docstrings that match them and run."""

import ast
import doctest
import importlib.util
import inspect
import pydoc
import re
import subprocess
import sys
from pathlib import Path

import pytest

import Kestrel

# mypy runs in child processes; importing it here would only load it into the test process.
if importlib.util.find_spec("mypy") is None:
    pytest.skip("mypy is not installed", allow_module_level=True)

STUB = Path(importlib.util.find_spec("Kestrel").origin).with_name("_engine.pyi")
CALLABLES = [(n, getattr(Kestrel, n)) for n in dir(Kestrel) if n.startswith("opt_gen_position")] + [
    (f"OptimizerTopM.{n}", getattr(Kestrel.OptimizerTopM, n))
    for n in dir(Kestrel.OptimizerTopM) if not n.startswith("_") and callable(getattr(Kestrel.OptimizerTopM, n))]


def mypy(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--no-error-summary", *args],
                          capture_output=True, text=True, cwd=cwd)


def test_mypy_accepts_typed_use_and_rejects_misuse(tmp_path):
    bad = tmp_path / "misuse.py"
    bad.write_text("import Kestrel\n"
                   "opt = Kestrel.OptimizerTopM('TopM', '000300', 1.0, {})\n"
                   "n: int = opt.get_weight_name()\n"
                   "opt.GenNorm(arr=[[1.0]])\n"
                   "Kestrel.opt_gen_position_topkr('000300', 1.0, {}, [[1.0]])\n"
                   "Kestrel.OptimizerTopM('topm', '000300', 1.0, {})\n")
    usage = Path(__file__).with_name("typing_usage.py")
    r = mypy(str(usage), str(bad), cwd=tmp_path)
    errors = [line for line in r.stdout.splitlines() if ": error:" in line]
    assert not [e for e in errors if "typing_usage" in e], r.stdout
    assert sorted(int(e.split(":")[1]) for e in errors) == [3, 4, 5, 6], r.stdout


def test_stubs_name_exactly_the_runtime_surface(tmp_path):
    allow = tmp_path / "allow.txt"
    # pybind11's metaclass is not spelled out in the stub.
    allow.write_text("Kestrel._engine.OptimizerTopM\nKestrel._engine.PreparedRun\nKestrel._engine.PreparedRun.__init__\n")
    r = subprocess.run([sys.executable, "-m", "mypy.stubtest", "Kestrel._engine", "--allowlist", str(allow)],
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr


def _literal(node):
    if node is None:
        return inspect.Parameter.empty
    value = ast.literal_eval(node)
    return ... if value is Ellipsis else value  # "= ..." in a stub: some default


def _stub_signature(f):
    """(name, kind, default) of each parameter of a stub function."""
    a, P = f.args, inspect.Parameter
    positional = [(x, P.POSITIONAL_ONLY) for x in a.posonlyargs] + [(x, P.POSITIONAL_OR_KEYWORD) for x in a.args]
    defaults = [None] * (len(positional) - len(a.defaults)) + a.defaults
    out = [(x.arg, kind, _literal(d)) for (x, kind), d in zip(positional, defaults)]
    if a.vararg:
        out.append((a.vararg.arg, P.VAR_POSITIONAL, P.empty))
    out += [(x.arg, P.KEYWORD_ONLY, _literal(d)) for x, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        out.append((a.kwarg.arg, P.VAR_KEYWORD, P.empty))
    return out


def _stub_callables():
    """Every function, method and constructor the stubs declare (an overloaded one once), by qualified name."""
    out = {}
    for node in ast.parse(STUB.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            out.setdefault(node.name, node)
        elif isinstance(node, ast.ClassDef):
            for f in node.body:
                decorators = {getattr(d, "id", None) for d in getattr(f, "decorator_list", [])}
                if isinstance(f, ast.FunctionDef) and "property" not in decorators:
                    out.setdefault(f"{node.name}.{f.name}", f)
    return out


STUB_CALLABLES = _stub_callables()


def _live(name, where=Kestrel._engine):
    obj = where
    for part in name.split("."):
        obj = getattr(obj, part)
    return obj


@pytest.mark.parametrize("name", sorted(STUB_CALLABLES))
def test_signature_matches_the_stub(name):
    live = inspect.signature(_live(name))
    want = _stub_signature(STUB_CALLABLES[name])
    got = [(p.name, p.kind, p.default) for p in live.parameters.values()]
    assert [g[:2] for g in got] == [w[:2] for w in want]
    for (_, _, g), (pname, _, w) in zip(got, want):
        assert w is ... and g is not inspect.Parameter.empty or (type(g), g) == (type(w), w), pname
    if name.endswith(".__init__"):  # the class itself: the constructor without self
        cls = _live(name.rsplit(".", 1)[0])
        assert str(inspect.signature(cls)) == str(live.replace(parameters=list(live.parameters.values())[1:]))
    # help() opens with the real signature.
    short = name.split(".")[-1]
    assert f"{short}{live}" in pydoc.plain(pydoc.render_doc(_live(name))).splitlines()[2]


# Every public callable: the engine's that Kestrel re-exports, and Kestrel's own Python.
PUBLIC = [n for n in STUB_CALLABLES if not n.split(".")[-1].startswith("_") and hasattr(Kestrel, n.split(".")[0])] + [
    n.rsplit(".", 1)[0] for n in STUB_CALLABLES if n.endswith(".__init__") and hasattr(Kestrel, n.split(".")[0])] + [
    "run", "RunState", "reindex_state", "RunResult", "RunResult.save", "RunResult.load", "RunResult.to_pandas"]


@pytest.mark.parametrize("name", sorted(PUBLIC))
def test_docstring_signature_and_sections_match_the_stub(name):
    obj = _live(name, Kestrel)
    doc = "\n" + inspect.getdoc(obj)  # Python docstrings are indented
    is_class = isinstance(obj, type)
    params = [p for p in inspect.signature(obj).parameters if p != "self"]
    sections = (["Parameters"] if params else []) + ([] if is_class else ["Returns"]) + ["Raises"]
    for section in sections:
        assert f"\n{section}\n{'-' * len(section)}\n" in doc, section
    # Every parameter is described, in order.
    section = re.search(r"\nParameters\n-+\n(.*?)(?:\n\n[^\n ]+\n-{3,}\n|\Z)", doc, re.S)
    described = [name.lstrip("*") for line in section[1].splitlines() if line and not line.startswith(" ")
                 for name in line.split(" :")[0].split(", ")] if params else []
    assert described == params, described


def test_docstring_examples_run():
    vim = pytest.importorskip("VelaIntradayModel")
    finder = doctest.DocTestFinder(recurse=False)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    try:
        for name, obj in CALLABLES + [("OptimizerTopM", Kestrel.OptimizerTopM)]:
            for test in finder.find(obj, name, globs={"Kestrel": Kestrel}):
                runner.run(test, out=lambda text: pytest.fail(text))
    finally:
        vim.clear()
    assert runner.summarize(verbose=False).attempted > 30

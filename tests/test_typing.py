"""The discoverable surface: installed stubs checked by mypy, docstrings that match them and run."""

import ast
import doctest
import importlib.util
import subprocess
import sys
from pathlib import Path

import pytest

import Kestrel

# mypy runs in child processes; importing it here would only load it into the test process.
if importlib.util.find_spec("mypy") is None:
    pytest.skip("mypy is not installed", allow_module_level=True)

STUB = Path(importlib.util.find_spec("Kestrel").origin).with_name("Kestrel.pyi")
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
                   "Kestrel.opt_gen_position_topkr('000300', 1.0, {}, [[1.0]])\n")
    usage = Path(__file__).with_name("typing_usage.py")
    r = mypy(str(usage), str(bad), cwd=tmp_path)
    errors = [line for line in r.stdout.splitlines() if ": error:" in line]
    assert not [e for e in errors if "typing_usage" in e], r.stdout
    assert sorted(int(e.split(":")[1]) for e in errors) == [3, 4, 5], r.stdout


def test_stubs_name_exactly_the_runtime_surface(tmp_path):
    allow = tmp_path / "allow.txt"
    # pybind11's metaclass is not spelled out in the stub.
    allow.write_text("Kestrel.OptimizerTopM\nKestrel.RunState\nKestrel.RunResult\n")
    r = subprocess.run([sys.executable, "-m", "mypy.stubtest", "Kestrel", "--allowlist", str(allow)],
                       capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr


def _stub_params():
    tree = ast.parse(STUB.read_text())
    out = {}
    for node in tree.body:
        defs = [(node.name, node)] if isinstance(node, ast.FunctionDef) else []
        if isinstance(node, ast.ClassDef):
            defs = [(f"{node.name}.{f.name}", f) for f in node.body if isinstance(f, ast.FunctionDef)]
        for name, f in defs:
            args = [a.arg for a in f.args.args if a.arg != "self"]
            out[name] = (args, len(f.args.defaults))
    return out


@pytest.mark.parametrize("name, fn", CALLABLES, ids=[n for n, _ in CALLABLES])
def test_docstring_signature_and_sections_match_the_stub(name, fn):
    doc = fn.__doc__
    head = doc.splitlines()[0]
    sig = ast.parse(head.strip()).body[0].value
    assert sig.func.id == name.split(".")[-1]
    names = [a.id for a in sig.args] + [k.arg for k in sig.keywords]
    assert (names, len(sig.keywords)) == _stub_params()[name]
    for section in ["Returns", "Examples"] + (["Parameters", "Raises"] if names else []):
        assert f"\n{section}\n{'-' * len(section)}\n" in doc, section


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

#!/usr/bin/env python3
"""Mutation testing of the numeric core: how many deliberate faults does the suite catch?

Generates mutants of src/ files with universalmutator's ``mutate`` command,
draws a seeded sample, and for each one: copies the mutant over its file in a
private copy of the tree, rebuilds incrementally (only the mutated file
recompiles, then the extension relinks), and runs the core's tests with -x.
A mutant that fails to compile is not counted; one whose tests fail is
killed, one whose tests time out too (marked "timeout"); one whose tests pass
survived. Prints the kill rate and every
survivor with its change. Slow (a few hundred mutants take hours on two
cores), so not part of CI.

    python scripts/mutate.py --sample 120                 # a seeded sample of all src/*.cpp
    python scripts/mutate.py --files src/position/caps.cpp --sample 30
    python scripts/mutate.py --retest results.txt        # the survivors of an earlier run again

The tests run under --python (default: this interpreter) with PYTHONPATH set
to the private copy's python/ folder, where the package finds the engine the
mutant build makes (linked into it); an installed Kestrel is shadowed, an
editable install is not: use an interpreter without one.
"""

from __future__ import annotations

import argparse
import difflib
import os
import random
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

# The tests that exercise the core, fast (20 to 40 s together on a busy two-core machine).
CORE_TESTS = [
    "tests/test_core_faults.py", "tests/test_mappings.py", "tests/test_gen_position.py",
    "tests/test_caps_exposure.py", "tests/test_exposure_loop.py", "tests/test_signal.py", "tests/test_baseline.py",
    "tests/test_run.py", "tests/test_entry_functions.py", "tests/test_properties_run.py",
    "tests/test_factor_reading.py",
]

# Lines whose mutants change nothing compiled, or nothing but a message text.
SKIP_LINE = re.compile(r"^\s*(//|/\*|\*|#\s*include|#\s*pragma|$)|^\s*[{}]\s*(//.*)?$")


def sh(cmd, cwd=None, timeout=None, env=None):
    return subprocess.run(cmd, cwd=cwd, timeout=timeout, env=env, capture_output=True, text=True)


def copy_tree(work: Path) -> Path:
    """The tracked files of the working tree (uncommitted edits included) in work/tree."""
    tree = work / "tree"
    files = sh(["git", "ls-files", "-co", "--exclude-standard"], cwd=ROOT).stdout.split()
    for f in files:
        src = ROOT / f
        if src.is_file() and not f.startswith("build/"):
            dst = tree / f
            if not dst.exists() or dst.read_bytes() != src.read_bytes():
                dst.parent.mkdir(parents=True, exist_ok=True)
                shutil.copyfile(src, dst)
    return tree


def configure(tree: Path, python: str) -> Path:
    build = tree / "build" / "mutants"
    if not (build / "build.ninja").exists():
        pybind_dir = sh([python, "-m", "pybind11", "--cmakedir"]).stdout.strip()
        cmd = ["cmake", "-S", str(tree), "-B", str(build), "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
               f"-Dpybind11_DIR={pybind_dir}", f"-DPython_EXECUTABLE={python}"]
        if shutil.which("ccache"):
            cmd.append("-DCMAKE_CXX_COMPILER_LAUNCHER=ccache")
        r = sh(cmd)
        if r.returncode:
            sys.exit(f"cmake configure failed:\n{r.stdout}\n{r.stderr}")
    return build


def build(build_dir: Path, timeout: float) -> bool:
    try:
        return sh(["cmake", "--build", str(build_dir), "--target", "_engine"], timeout=timeout).returncode == 0
    except subprocess.TimeoutExpired:
        return False


def link_engine(tree: Path, build_dir: Path) -> None:
    """The built engine where the package in the tree copy imports it from; a link,
    so that every rebuild is seen."""
    built = sorted((build_dir / "objects").glob("_engine*.so")) + sorted((build_dir / "objects").glob("_engine*.pyd"))
    if not built:
        sys.exit(f"no built engine in {build_dir / 'objects'}")
    link = tree / "python" / "Kestrel" / built[0].name
    link.unlink(missing_ok=True)
    link.symlink_to(built[0])


def test_env(tree: Path) -> dict[str, str]:
    return dict(os.environ, PYTHONPATH=os.pathsep.join(map(str, (tree / "python", tree / "standin"))),
                PYTHONDONTWRITEBYTECODE="1")


def run_tests(tree: Path, python: str, tests: list[str], timeout: float) -> str:
    """'pass', 'fail' or 'timeout'."""
    env = test_env(tree)
    cmd = [python, "-m", "pytest", "-x", "-q", "-p", "no:cacheprovider", "--hypothesis-seed=0",
           *[t for t in tests if (tree / t).exists()]]
    try:
        r = sh(cmd, cwd=tree, timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return "timeout"
    return "pass" if r.returncode == 0 else "fail"


def change_of(original: list[str], mutant: list[str]) -> tuple[int, str, str] | None:
    """(line number, old line, new line) of a one-line change; None if it is not one."""
    sm = difflib.SequenceMatcher(a=original, b=mutant, autojunk=False)
    ops = [op for op in sm.get_opcodes() if op[0] != "equal"]
    if len(ops) != 1:
        return None
    tag, i1, i2, j1, j2 = ops[0]
    old = "".join(original[i1:i2]).rstrip("\n")
    new = "".join(mutant[j1:j2]).rstrip("\n")
    return i1 + 1, old, new


def worth_running(old: str, new: str) -> bool:
    if SKIP_LINE.match(old):
        return False
    code_old, code_new = old.split("//")[0], new.split("//")[0]
    if code_old == code_new:  # only the comment changed
        return False
    # A changed message text changes no weight; the messages have their own tests.
    strip = re.compile(r'"(?:[^"\\]|\\.)*"')
    return strip.sub('""', code_old) != strip.sub('""', code_new)


def generate(files: list[str], work: Path) -> list[dict]:
    out = []
    for f in files:
        target = work / "generated" / f.replace("/", "_")
        if not target.exists():
            target.mkdir(parents=True)
            r = sh(["mutate", str(ROOT / f), "cpp", "--noCheck", "--mutantDir", str(target)], cwd=target)
            if r.returncode:
                sys.exit(f"mutate failed on {f}:\n{r.stderr}")
        original = (ROOT / f).read_text().splitlines(keepends=True)
        seen = set()
        for m in sorted(target.iterdir(), key=lambda p: int(re.search(r"mutant\.(\d+)", p.name).group(1))):
            text = m.read_text()
            if text in seen:
                continue
            seen.add(text)
            ch = change_of(original, text.splitlines(keepends=True))
            if ch and worth_running(ch[1], ch[2]):
                out.append({"file": f, "mutant": str(m), "line": ch[0], "old": ch[1], "new": ch[2]})
    return out


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--files", nargs="*", help="src/ files to mutate (default: every src/**/*.cpp)")
    ap.add_argument("--sample", type=int, default=120, help="mutants drawn (default 120)")
    ap.add_argument("--seed", type=int, default=22)
    ap.add_argument("--work", default=str(ROOT / "build" / "mutants"), help="scratch: tree copy, build, mutants")
    ap.add_argument("--out", default="mutants.txt", help="results, one mutant a line, survivors' changes in full")
    ap.add_argument("--retest", help="run again only the survivors listed in this earlier --out file")
    ap.add_argument("--exclude", nargs="*", default=[], help="leave out the mutants listed in these --out files")
    ap.add_argument("--python", default=sys.executable, help="interpreter for the tests (without Kestrel installed)")
    ap.add_argument("--tests", nargs="*", default=CORE_TESTS)
    ap.add_argument("--test-timeout", type=float, default=120.0)
    ap.add_argument("--build-timeout", type=float, default=900.0)
    args = ap.parse_args()

    work = Path(args.work)
    work.mkdir(parents=True, exist_ok=True)
    tree = copy_tree(work)
    build_dir = configure(tree, args.python)
    if not build(build_dir, args.build_timeout * 4):
        sys.exit("the unmutated tree does not build")
    link_engine(tree, build_dir)
    probe = sh([args.python, "-c", "import Kestrel; print(Kestrel._engine.__file__)"], env=test_env(tree))
    if not probe.stdout.strip().startswith(str(tree / "python")):
        sys.exit(f"{args.python} imports Kestrel's engine from {probe.stdout.strip() or probe.stderr.strip()}, "
                 "not from the mutant build: use an interpreter without an editable install of Kestrel")
    t0 = time.monotonic()
    if run_tests(tree, args.python, args.tests, args.test_timeout) != "pass":
        sys.exit("the tests fail on the unmutated tree")
    print(f"unmutated tests pass in {time.monotonic() - t0:.1f} s", flush=True)

    files = args.files or sorted(str(p.relative_to(ROOT)) for p in (ROOT / "src").rglob("*.cpp"))
    pool = generate(files, work)
    if args.retest:
        wanted = {line.split("\t")[2] for line in Path(args.retest).read_text().splitlines()
                  if line.startswith("survived\t")}
        chosen = [m for m in pool if Path(m["mutant"]).name in wanted]
    else:
        done = {line.split("\t")[2] for f in args.exclude for line in Path(f).read_text().splitlines()}
        pool = [m for m in pool if Path(m["mutant"]).name not in done]
        chosen = random.Random(args.seed).sample(pool, min(args.sample, len(pool)))
        chosen.sort(key=lambda m: (m["file"], m["line"]))
    print(f"{len(pool)} mutants of {len(files)} files; running {len(chosen)}", flush=True)

    results = []
    with open(args.out, "w") as log:
        for k, m in enumerate(chosen, 1):
            dst = tree / m["file"]
            original = dst.read_bytes()
            start = time.monotonic()
            shutil.copyfile(m["mutant"], dst)
            try:
                verdict = "invalid"
                if build(build_dir, args.build_timeout):
                    res = run_tests(tree, args.python, args.tests, args.test_timeout)
                    verdict = {"pass": "survived", "fail": "killed", "timeout": "timeout"}[res]
            finally:
                dst.write_bytes(original)
            results.append(verdict)
            name = Path(m["mutant"]).name
            line = f"{verdict}\t{m['file']}:{m['line']}\t{name}\t{m['old'].strip()}  ==>  {m['new'].strip()}"
            log.write(line + "\n")
            log.flush()
            print(f"[{k}/{len(chosen)} {time.monotonic() - start:5.1f}s] {line}", flush=True)
        build(build_dir, args.build_timeout)  # leave the build unmutated

    # A hang is caught too: a run that never ends is no silent wrong answer.
    killed, survived = results.count("killed") + results.count("timeout"), results.count("survived")
    counted = killed + survived
    print(f"\n{counted} mutants compiled ({results.count('invalid')} did not): {killed} killed "
          f"({results.count('timeout')} by a time-out), "
          f"{survived} survived; kill rate {killed / counted:.1%}" if counted else "\nno mutant compiled")
    for line in Path(args.out).read_text().splitlines():
        if line.startswith("survived"):
            print("  " + line)


if __name__ == "__main__":
    main()

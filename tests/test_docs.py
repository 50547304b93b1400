"""Every fenced block whose info string is exactly `python` in README.md and docs/*.md runs as written.

The blocks of one page run in order in one namespace, in a fresh interpreter
whose working folder is a temporary one, and may not read or write outside it.
A block that is deliberately partial (a signature, placeholders for the
reader's own data) is fenced ```python no-run: <why>``` (or carries the reason
in an HTML comment on the line just above) and is skipped. Pages are parsed as
CommonMark, so what a reader sees as a block is what runs; a fence left open,
or a block fenced as Python any other way, fails.
"""

import ast
import os
import re
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest
from markdown_it import MarkdownIt

ROOT = Path(__file__).resolve().parents[1]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
# Languages a reader takes for Python: a block fenced with one of them either
# runs (exactly `python`) or says why not.
PYTHON_NAMES = {"python", "py", "python3"}
NO_RUN = re.compile(r"no-run(?![\w-])(?P<reason>.*)")
FENCE_LINE = re.compile(r" {0,3}(`{3,}|~{3,})")
COMMENT = re.compile(r"<!--(?P<reason>.*?)-->")

# Tracebacks name the page and its lines; the traceback module (unlike the
# interpreter's own printer) shows those lines from linecache.
RUNNER = """
import linecache, sys, traceback
linecache.cache[PAGE] = (len(TEXT), None, TEXT.splitlines(True), PAGE)
namespace = {"__name__": "__main__"}
try:
    for line, source in BLOCKS:
        print(f"--- running {PAGE}:{line}", file=sys.stderr, flush=True)
        exec(compile(source, PAGE, "exec"), namespace)
except Exception:
    traceback.print_exc()
    sys.exit(1)
print(f"--- ran {len(BLOCKS)} blocks", file=sys.stderr, flush=True)
"""


@dataclass(frozen=True)
class Block:
    line: int       # page line of the body's first line (the fence is on the line before)
    info: str
    source: str     # the body after line - 1 newlines, so tracebacks give page lines
    closed: bool
    opens: list     # page lines inside the block that look like opening fences of its own kind
    above: str      # the page line just above the fence


def fences(text):
    """Every fenced block of a Markdown page, as CommonMark reads it (lists, quotes, CRLF, nesting)."""
    lines = re.split(r"\r\n|\r|\n", text)
    out = []
    for tok in MarkdownIt("commonmark").parse(text):
        if tok.type != "fence":
            continue
        start, end = tok.map
        # An unclosed fence runs to the end of its container: no line left for a closing fence.
        closed = end - start == tok.content.count("\n") + 2
        # A line inside that could open a fence of the same kind means one was left open above it.
        opens = [start + 2 + i for i, line in enumerate(tok.content.splitlines())
                 if (m := FENCE_LINE.match(line)) and m[1][0] == tok.markup[0] and len(m[1]) >= len(tok.markup)]
        out.append(Block(start + 2, tok.info.strip(), "\n" * (start + 1) + tok.content, closed, opens,
                         lines[start - 1].lstrip(" \t>").rstrip() if start else ""))
    return out


# Literal paths outside the working folder: /x, ~, ~/x, C:\x or C:/x, and any path through "..".
ABSOLUTE = re.compile(r"^(?:/(?=[\w.~-])|~(?:[/\\]|$)|[A-Za-z]:[/\\])")
PARENT = re.compile(r"(?:^|[/\\])\.\.(?:[/\\]|$)")
HOME = {"home", "expanduser", "expandvars", "gettempdir", "gettempdirb"}
TEMP = {"mkdtemp", "mkstemp", "TemporaryDirectory", "NamedTemporaryFile", "TemporaryFile", "SpooledTemporaryFile"}


def outside_paths(source):
    """(line, what) for each place a block's source reaches outside its working folder."""
    tree = ast.parse(source)
    # The tail of a joined path ("{d}/x", d + "/x") is relative to what precedes it.
    tails = {id(v) for n in ast.walk(tree) if isinstance(n, ast.JoinedStr) for v in n.values[1:]}
    tails |= {id(n.right) for n in ast.walk(tree) if isinstance(n, ast.BinOp) and isinstance(n.op, ast.Add)}
    found = []
    for n in ast.walk(tree):
        if isinstance(n, ast.Constant) and isinstance(n.value, (str, bytes)) and id(n) not in tails:
            value = n.value.decode("latin-1") if isinstance(n.value, bytes) else n.value
            if ABSOLUTE.match(value):
                found.append((n.lineno, f"absolute path {value!r}"))
            elif PARENT.search(value):
                found.append((n.lineno, f"path {value!r} leaves the working folder"))
        name = n.attr if isinstance(n, ast.Attribute) else n.id if isinstance(n, ast.Name) else None
        if name in HOME:
            found.append((n.lineno, f"{name}() points outside the working folder"))
        if isinstance(n, ast.Call):
            called = getattr(n.func, "attr", getattr(n.func, "id", None))
            if called in TEMP and not any(k.arg == "dir" for k in n.keywords):
                found.append((n.lineno, f"{called}() without dir= writes to the system's temporary folder"))
    return sorted(found)


def page_plan(name, text):
    """(blocks to run, problems): each problem names the page and line."""
    runs, problems = [], []
    for b in fences(text):
        fence = f"{name}:{b.line - 1}"
        if not b.closed:
            problems.append(f"{fence}: fence {b.info!r} is never closed, so it swallows the rest of its container")
            continue
        if b.opens:
            problems.append(f"{fence}: fence {b.info!r} holds an opening fence on line {b.opens[0]}: close it "
                            f"above that line, or fence the outer block with a longer fence")
            continue
        lang, _, rest = b.info.partition(" ")
        if lang.lower() not in PYTHON_NAMES:
            continue
        no_run = NO_RUN.fullmatch(rest.strip()) if lang == "python" else None
        if b.info == "python":
            runs.append(b)
        elif no_run is None:
            problems.append(f"{fence}: block fenced {b.info!r} neither runs nor is marked no-run: "
                            "fence it `python`, or `python no-run: <why it cannot run>`")
        elif not no_run["reason"].strip(" \t:;,-") and not (
                (c := COMMENT.fullmatch(b.above)) and c["reason"].strip()):
            problems.append(f"{fence}: `python no-run` block gives no reason: write it after `no-run:` "
                            "or in an HTML comment on the line above")
    for b in runs:
        try:
            where = outside_paths(b.source)
        except SyntaxError as e:
            where = [(e.lineno, f"does not parse: {e.msg}")]
        problems += [f"{name}:{line}: {what}" for line, what in where]
    return runs, problems


def body(b):
    return b.source[b.line - 1:]


@pytest.mark.parametrize("text, blocks", [
    ("```python\na = 1\n```\n```python no-run: partial\nb\n```\n~~~python\nc = 3\n~~~\n",
     [(2, "a = 1\n"), (8, "c = 3\n")]),
    ("```python\r\na = 1\r\nb = 2\r\n```\r\n\r\n```python\r\nc = 3\r\n```\r\n",
     [(2, "a = 1\nb = 2\n"), (7, "c = 3\n")]),
    # A closing fence may be indented differently (up to three spaces) from its opening one.
    ("```python\nx = 1\n   ```\n\n  ```python\n  y = 2\n```\n", [(2, "x = 1\n"), (6, "y = 2\n")]),
    ("1. item\n\n   ```python\n   x = [1,\n     2]\n   ```\n2. next\n", [(4, "x = [1,\n  2]\n")]),
    ("- a\n  - b\n\n    ```python\n    if x:\n        y\n    ```\n", [(5, "if x:\n    y\n")]),
    ("> ```python\n> q = 1\n> ```\n", [(2, "q = 1\n")]),
    # A ```python inside a longer fence is that block's text, not a block.
    ("````\n```python\nnot a block\n```\n````\n```bash\nno\n```\n", []),
    ("~~~markdown\n```python\nnot a block\n```\n~~~\n", []),
])
def test_block_extraction(text, blocks):
    runs, problems = page_plan("p.md", text)
    assert problems == []
    assert [(b.line, body(b)) for b in runs] == blocks
    assert all(b.source.count("\n", 0, len(b.source) - len(body(b))) == b.line - 1 for b in runs)


@pytest.mark.parametrize("text, problem", [
    ("```python\na = 1\n", "p.md:1: fence 'python' is never closed"),
    # A missing closing fence pairs the opening one with the next block's closing fence.
    ("text\n\n```bash\nls\n\n```python\nb = 2\n```\n", "p.md:3: fence 'bash' holds an opening fence on line 6"),
    ("~~~\nls\n\n~~~~python\nb = 2\n~~~~\n", "p.md:1: fence '' holds an opening fence on line 4"),
    ("- item\n\n  ````python\n  a = 1\n  ```\n- next\n", "p.md:3: fence 'python' is never closed"),
    ("```py\na = 1\n```\n", "p.md:1: block fenced 'py' neither runs nor is marked no-run"),
    ("x\n\n```Python\na = 1\n```\n", "p.md:3: block fenced 'Python' neither runs nor"),
    ("```python norun\na = 1\n```\n", "p.md:1: block fenced 'python norun' neither runs"),
    ("```python no-run\nsig()\n```\n", "p.md:1: `python no-run` block gives no reason"),
    ("```python no-run:\nsig()\n```\n", "p.md:1: `python no-run` block gives no reason"),
    ("<!-- -->\n```python no-run\nsig()\n```\n", "p.md:2: `python no-run` block gives no reason"),
    ("<!-- far away -->\n\n```python no-run\nsig()\n```\n", "p.md:3: `python no-run` block gives no reason"),
    ("```python\nimport numpy as np\n\nnp.save('/tmp/h.npy', 1)\n```\n", "p.md:4: absolute path '/tmp/h.npy'"),
    ("a\n\n- b\n\n  ```python\n  x = 1\n  open(r'C:\\data\\h.npz')\n  ```\n", "p.md:7: absolute path 'C:\\\\data"),
    ("```python\nopen('~/h.npz')\n```\n", "p.md:2: absolute path '~/h.npz'"),
    ("```python\nopen(f'/tmp/{name}.npz')\n```\n", "p.md:2: absolute path '/tmp/'"),
    ("```python\nopen('../h.npz')\n```\n", "p.md:2: path '../h.npz' leaves the working folder"),
    ("```python\nfrom pathlib import Path\np = Path.home() / 'h.npz'\n```\n", "p.md:3: home() points outside"),
    ("```python\nimport tempfile\nd = tempfile.mkdtemp()\n```\n", "p.md:3: mkdtemp() without dir= writes"),
    ("```python\nx = (\n```\n", "p.md:2: does not parse"),
])
def test_page_problems(text, problem):
    problems = page_plan("p.md", text)[1]
    assert len(problems) == 1 and problems[0].startswith(problem), problems


@pytest.mark.parametrize("source", [
    "<!-- placeholders for the reader's data -->\n```python no-run\nsig()\n```\n",
    "```python no-run: a signature\nsig()\n```\n",
    "```python\nimport tempfile\nd = tempfile.mkdtemp(dir='.')\nf'{d}/h.npz', d + '/h.npz', 'a/b'.split('/')\n```\n",
    "```python\nprint('ratio / 252', 'https://host/x', 'run..done', '...')\n```\n",
])
def test_accepted_blocks(source):
    assert page_plan("p.md", source)[1] == []


@pytest.mark.parametrize("page", PAGES, ids=lambda p: str(p.relative_to(ROOT)))
def test_page_blocks_are_sound(page):
    assert page_plan(str(page.relative_to(ROOT)), page.read_text(encoding="utf-8"))[1] == []


def run_page(name, text, runs, tmp_path):
    """Runs the blocks in a fresh interpreter whose working folder is an empty one."""
    script = tmp_path / "run_page.py"
    script.write_text(f"PAGE = {name!r}\nTEXT = {text!r}\nBLOCKS = {[(b.line, b.source) for b in runs]!r}\n{RUNNER}")
    work = tmp_path / "work"
    work.mkdir()
    env = {**os.environ, "TQDM_DISABLE": "1", "MPLBACKEND": "Agg"}
    env.pop("VELA_STANDIN_DIR", None)
    return subprocess.run([sys.executable, str(script)], cwd=work, env=env, capture_output=True, text=True,
                          timeout=300)


def test_traceback_names_the_page_line(tmp_path):
    text = "# t\r\n\r\n- x\r\n\r\n  ```python\r\n  a = 0\r\n  ```\r\n\r\n```python\r\nb = 1\r\nc = b / a\r\n```\r\n"
    r = run_page("docs/t.md", text, page_plan("docs/t.md", text)[0], tmp_path)
    assert r.returncode == 1 and 'File "docs/t.md", line 11' in r.stderr and "c = b / a" in r.stderr, r.stderr


@pytest.mark.parametrize("page", [p for p in PAGES if page_plan("", p.read_text(encoding="utf-8"))[0]],
                         ids=lambda p: str(p.relative_to(ROOT)))
def test_page_runs(page, tmp_path):
    pytest.importorskip("VelaIntradayModel")
    pytest.importorskip("matplotlib")
    pytest.importorskip("pandas")
    name, text = str(page.relative_to(ROOT)), page.read_text(encoding="utf-8")
    runs, problems = page_plan(name, text)
    assert problems == [], "\n".join(problems)
    r = run_page(name, text, runs, tmp_path)
    assert r.returncode == 0, r.stderr[-4000:]
    # A block that leaves the interpreter early (sys.exit) would skip the rest unnoticed.
    assert f"--- ran {len(runs)} blocks" in r.stderr, r.stderr[-4000:]

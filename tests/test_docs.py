"""Every fenced block whose info string is exactly `python` in README.md and docs/*.md runs as written.

The blocks of one page run in order in one namespace, in a fresh interpreter
whose working folder is a temporary one. A block that is deliberately partial
(a signature, placeholders for the reader's own data) is fenced as
```python no-run``` and skipped.
"""

import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
# An opening fence (backticks or tildes, possibly indented in a list item), its
# info string, and the body up to the closing fence of the same kind.
FENCE = re.compile(r"^(?P<indent>[ \t]*)(?P<fence>`{3,}|~{3,})(?P<info>[^\n`]*)\n"
                   r"(?P<body>.*?)^(?P=indent)(?P=fence)[ \t]*$", re.M | re.S)

RUNNER = """
import sys
namespace = {"__name__": "__main__"}
for where, source in BLOCKS:
    print("--- running", where, file=sys.stderr, flush=True)
    exec(compile(source, where, "exec"), namespace)
"""


def python_blocks(text):
    """(line number, source) of each block whose info string is exactly "python"."""
    out = []
    for m in FENCE.finditer(text):
        if m["info"].strip() == "python":
            body = textwrap.dedent(m["body"]) if m["indent"] else m["body"]
            # Leading blank lines keep the page's line numbers in tracebacks.
            line = text.count("\n", 0, m.start("body")) + 1
            out.append((line, "\n" * (line - 1) + body))
    return out


@pytest.mark.parametrize("text, lines", [
    ("```python\na = 1\n```\n```python no-run\nb\n```\n~~~python\nc = 3\n~~~\n", [2, 8]),
    ("- item\n\n   ```python\n   x = 1\n   ```\n", [4]),
    ("````\n```python\nnot a block\n```\n````\n```py\nno\n```\n", []),
])
def test_block_extraction(text, lines):
    assert [line for line, _ in python_blocks(text)] == lines


@pytest.mark.parametrize("page", [p for p in PAGES if python_blocks(p.read_text())],
                         ids=lambda p: str(p.relative_to(ROOT)))
def test_page_runs(page, tmp_path):
    pytest.importorskip("VelaIntradayModel")
    pytest.importorskip("matplotlib")
    pytest.importorskip("pandas")
    blocks = [(f"{page.relative_to(ROOT)}", source) for _, source in python_blocks(page.read_text())]
    script = tmp_path / "run_page.py"
    script.write_text(f"BLOCKS = {blocks!r}\n{RUNNER}")
    work = tmp_path / "work"
    work.mkdir()
    env = {**os.environ, "TQDM_DISABLE": "1", "MPLBACKEND": "Agg"}
    env.pop("VELA_STANDIN_DIR", None)
    r = subprocess.run([sys.executable, str(script)], cwd=work, env=env, capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr[-4000:]

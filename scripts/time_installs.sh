#!/usr/bin/env bash
# Times README's two commands and a cold then a second install, each in a
# fresh clone and a fresh venv, with the compiler cache off. Not part of CI.
#   scripts/time_installs.sh [WORKDIR]   (default: a temporary folder)
set -euo pipefail
repo="$(cd "$(dirname "$0")/.." && pwd)"
work="${1:-$(mktemp -d)}"
export CCACHE_DISABLE=1 PIP_DISABLE_PIP_VERSION_CHECK=1

timed() {  # label, then the command
    local label="$1" start end
    shift
    start=$(date +%s.%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s.%N)
    printf '%-45s %6.1f s\n' "$label" "$(echo "$end - $start" | bc)"
}

git clone -q "$repo" "$work/readme"
python -m venv "$work/venv"
# shellcheck disable=SC1091
. "$work/venv/bin/activate"
cd "$work/readme"
timed "README quickstart command" bash -c 'pip install ./standin ".[examples]" && python examples/quickstart.py'
timed "README test command" bash -c 'pip install ./standin ".[test]" && python -m pytest -q -p no:cacheprovider'

git clone -q "$repo" "$work/cold"
cd "$work/cold"
timed "cold pip install ." pip install .
timed "second install of the same tree, .[sweep]" pip install ".[sweep]"

#!/usr/bin/env bash
# Runs the test suite in a fresh venv without system site packages that holds
# the oldest dependency versions pyproject.toml declares, pinned exactly in
# scripts/oldest-constraints.txt.
#   scripts/test_oldest.sh [WHEEL_DIR] [pytest args...]
# WHEEL_DIR holds already built kestrel and vela_standin wheels; without it
# both are built first (Kestrel does not compile against numpy's C API, so a
# wheel built beside the newest numpy serves the oldest too).
set -euo pipefail
cd "$(dirname "$0")/.."
venv="${KESTREL_OLDEST_VENV:-/tmp/kestrel-oldest}"
if [[ $# -gt 0 && -d "$1" ]]; then
    wheels="$1"
    shift
else
    wheels=build/oldest-wheels
    rm -rf "$wheels"
    python -m pip wheel -q --no-deps -w "$wheels" . ./standin
fi
kestrel=("$wheels"/kestrel-*.whl)
standin=("$wheels"/vela_standin-*.whl)
rm -rf "$venv"
python -m venv "$venv"
# Wheels only: a pinned release that has none for this Python must fail here,
# not turn into a long source build.
"$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: \
    -c scripts/oldest-constraints.txt "${standin[0]}" "${kestrel[0]}[test]"
"$venv/bin/python" - <<'PY'
import dask, matplotlib, numpy, pandas, tqdm
print("oldest set:", *(f"{m.__name__} {m.__version__}" for m in (numpy, tqdm, pandas, matplotlib, dask)))
PY
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"

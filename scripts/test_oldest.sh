#!/usr/bin/env bash
# Runs the test suite in a fresh venv without system site packages that holds
# the oldest dependency versions pyproject.toml declares: each direct
# dependency pinned at its `>=` floor by scripts/oldest_pins.py (pytest,
# hypothesis and mypy at their newest), every extra installed.
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
mkdir -p build
constraints=build/oldest-constraints.txt
python scripts/oldest_pins.py >"$constraints"
extras=$(python scripts/oldest_pins.py --extras)
rm -rf "$venv"
python -m venv "$venv"
# Wheels only: a floor that has no wheel for this Python must fail here, not
# turn into a long source build or another version.
if ! "$venv/bin/python" -m pip install -q --disable-pip-version-check --only-binary=:all: \
        -c "$constraints" "${standin[0]}" "${kestrel[0]}[$extras]"; then
    echo "test_oldest.sh: the oldest set ($constraints) does not install as wheels for" \
         "$("$venv/bin/python" -V); raise the floor in pyproject.toml" >&2
    exit 1
fi
"$venv/bin/python" scripts/oldest_pins.py --check
"$venv/bin/python" -m pytest -q -p no:cacheprovider "$@"

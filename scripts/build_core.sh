#!/usr/bin/env bash
# Builds the numeric core library kestrel_core on its own, without Python or
# pybind11, warnings as errors: src/ must compile with neither present.
#   scripts/build_core.sh [build folder]
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:-build/core}"
cmake -S . -B "$build" -DKESTREL_CORE_ONLY=ON -DKESTREL_WERROR=ON -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --parallel

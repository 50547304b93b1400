#!/usr/bin/env bash
# Builds Kestrel with AddressSanitizer and UndefinedBehaviorSanitizer into a
# private folder and runs the test suite against that build.
#   scripts/sanitize.sh [pytest args...]
set -euo pipefail
cd "$(dirname "$0")/.."
target="${KESTREL_SANITIZE_DIR:-build/sanitized}"
rm -rf "$target/site"
pip install --no-build-isolation --no-deps -q \
    -Ccmake.define.KESTREL_SANITIZE=ON -Cbuild-dir="$target/cmake" -Ccmake.build-type=RelWithDebInfo \
    --target "$target/site" .
asan="$(g++ -print-file-name=libasan.so)"
ubsan="$(g++ -print-file-name=libubsan.so)"
# CPython itself is not instrumented: its allocations are not leaks we own.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Python objects from malloc rather than CPython's arenas, so that a reference
# the bindings drop too early shows up as a use after free.
export PYTHONMALLOC=malloc
export PYTHONPATH="$PWD/$target/site${PYTHONPATH:+:$PYTHONPATH}"
# Tests that start child interpreters inherit all of the above: check that a
# child, too, loads the sanitized build.
export LD_PRELOAD="$asan $ubsan"
python - "$target" <<'PY'
import subprocess, sys
import Kestrel
child = subprocess.run([sys.executable, "-c", "import Kestrel; print(Kestrel.__file__)"],
                       capture_output=True, text=True, check=True).stdout.strip()
assert sys.argv[1] in Kestrel.__file__ and child == Kestrel.__file__, (Kestrel.__file__, child)
PY
python -m pytest -q -p no:cacheprovider "$@"

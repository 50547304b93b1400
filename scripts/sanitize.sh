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
export PYTHONPATH="$PWD/$target/site${PYTHONPATH:+:$PYTHONPATH}"
LD_PRELOAD="$asan $ubsan" python -c "import Kestrel, sys; assert '$target' in Kestrel.__file__, Kestrel.__file__"
LD_PRELOAD="$asan $ubsan" python -m pytest -q -p no:cacheprovider "$@"

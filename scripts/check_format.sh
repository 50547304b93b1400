#!/usr/bin/env bash
# Checks the C++ of src/ and bindings/ against .clang-format; with --fix,
# rewrites the files instead.
#   scripts/check_format.sh [--fix]
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files 'src/*.cpp' 'src/*.hpp' 'bindings/*.cpp' 'bindings/*.hpp')
if [[ "${1:-}" == "--fix" ]]; then
    clang-format -i "${files[@]}"
else
    clang-format --dry-run --Werror "${files[@]}"
fi

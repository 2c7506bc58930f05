#!/usr/bin/env bash
# Static checks of the product's sources: clang-tidy (.clang-tidy) and cppcheck with Qt's
# library file. Any finding fails; a deliberate exception is suppressed where it stands, with why.
# Needs a configured build folder (compile_commands.json): tools/lint.sh [BUILD_DIR]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${BUILD_DIR:-$top/build}}
cd "$top"
dirs=(app controls platform web serve relay demo-site)
mapfile -t sources < <(git ls-files "${dirs[@]/%//*.cpp}")
out=$(mktemp)
trap 'rm -f "$out"' EXIT
printf '%s\n' "${sources[@]}" | xargs -n 4 -P "$(nproc)" clang-tidy -p "$build" --quiet >"$out" 2>/dev/null || true
findings=$(grep -E '(warning|error): ' "$out" | sort -u || true)
cppcheck --quiet --library=qt --enable=warning,performance,portability --std=c++20 \
    --inline-suppr --error-exitcode=1 -I . -j "$(nproc)" "${dirs[@]}" 2>"$out" || true
findings+=$(grep -E ': (warning|error|performance|portability|style): ' "$out" || true)
if [ -n "$findings" ]; then
    echo "lint: findings in the product's sources:" >&2
    echo "$findings" >&2
    exit 1
fi
echo "lint: clang-tidy and cppcheck found nothing in ${#sources[@]} sources"

#!/usr/bin/env bash
# Static checks: clang-format (.clang-format) over every C++ file of the repository, clang-tidy
# (.clang-tidy) and cppcheck with Qt's library file over the product's sources. A tool that is
# missing or that fails to run fails the check, and so does any finding; a deliberate exception
# is suppressed where it stands, with why.
# Needs a configured build folder (compile_commands.json): tools/lint.sh [BUILD_DIR]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${BUILD_DIR:-$top/build}}
cd "$top"
for tool in clang-format clang-tidy cppcheck; do
    command -v "$tool" >/dev/null || { echo "lint: $tool is not installed (tools/bootstrap.sh)" >&2; exit 1; }
done
[ -f "$build/compile_commands.json" ] || { echo "lint: no $build/compile_commands.json: configure first" >&2; exit 1; }
dirs=(app controls platform web serve relay demo-site)
mapfile -t sources < <(git ls-files "${dirs[@]/%//*.cpp}")
[ ${#sources[@]} -gt 0 ] || { echo "lint: no sources found" >&2; exit 1; }
out=$(mktemp)
trap 'rm -f "$out"' EXIT
failed=0

mapfile -t everything < <(git ls-files '*.cpp' '*.h')
if ! clang-format --dry-run -Werror "${everything[@]}" 2>"$out"; then
    echo "lint: clang-format: files not formatted as .clang-format says (clang-format -i FILE):" >&2
    grep -E '^[^ ].*: error:' "$out" | cut -d: -f1 | sort -u >&2
    failed=1
fi

# clang-tidy's exit status counts: a source it cannot compile is a failure, not a pass.
if ! printf '%s\n' "${sources[@]}" | xargs -n 4 -P "$(nproc)" clang-tidy -p "$build" --quiet >"$out" 2>&1; then
    echo "lint: clang-tidy failed:" >&2
    grep -E '(warning|error): ' "$out" | sort -u >&2 || tail -20 "$out" >&2
    failed=1
elif grep -qE '(warning|error): ' "$out"; then
    echo "lint: clang-tidy findings:" >&2
    grep -E '(warning|error): ' "$out" | sort -u >&2
    failed=1
fi

if ! cppcheck --quiet --library=qt --enable=warning,performance,portability --std=c++20 \
    --inline-suppr --error-exitcode=1 -I . -j "$(nproc)" "${dirs[@]}" 2>"$out"; then
    echo "lint: cppcheck findings:" >&2
    cat "$out" >&2
    failed=1
fi

[ "$failed" -eq 0 ] || exit 1
echo "lint: clang-format over ${#everything[@]} files, clang-tidy and cppcheck over ${#sources[@]} sources: nothing found"

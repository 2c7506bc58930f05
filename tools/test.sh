#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test (offscreen; no display needed).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/bootstrap.sh"
build=${BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" -j "$(nproc)" --output-on-failure
"$top/tools/lint.sh" "$build"

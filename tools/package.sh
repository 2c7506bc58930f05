#!/usr/bin/env bash
# Builds the three Debian packages into build/packages/: reelmate, reelmate-relay and
# reelmate-demo-site (installs what is missing first).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/bootstrap.sh"
build=${BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target reelmate reelmate-relay reelmate-demo-site reelmate-docs
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/packages/*.deb

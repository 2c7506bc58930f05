#!/usr/bin/env bash
# Installs what is missing, builds, starts the demo movie site and the relay on the program's
# compiled-in loopback ports, runs Reelmate, and stops both services when it exits.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/bootstrap.sh"
build=${BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target reelmate
bin=$build/bin
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT
if [ -x "$bin/reelmate-demo-site" ]; then
    "$bin/reelmate-demo-site" & pids+=($!)
fi
if [ -x "$bin/reelmate-relay" ]; then
    "$bin/reelmate-relay" --config "$top/relay/relay.conf" & pids+=($!)
fi
"$bin/reelmate"

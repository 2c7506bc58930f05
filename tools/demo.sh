#!/usr/bin/env bash
# Installs what is missing, builds, starts the demo movie site and the relay on the program's
# compiled-in loopback ports, runs Reelmate, and stops both services when it exits.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/bootstrap.sh"
build=${BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target reelmate reelmate-relay reelmate-demo-site
bin=$build/bin
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT
"$bin/reelmate-demo-site" & pids+=($!)
"$bin/reelmate-relay" --config "$top/relay/relay.conf" & pids+=($!)
# Wait until both answer, so the first search finds them.
for _ in $(seq 50); do
    curl -sf -o /dev/null http://127.0.0.1:18080/healthz && curl -s -o /dev/null http://127.0.0.1:18081/ && break
    sleep 0.1
done
"$bin/reelmate"

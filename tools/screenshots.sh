#!/usr/bin/env bash
# Writes docs/search.png and docs/torrent.png: both windows on a real X server (Xvfb).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
cmake -S "$top" -B "$build" -G Ninja >/dev/null
cmake --build "$build" --target reelmate-screenshots
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1024x768x24 -dpi 96" \
    "$build/bin/reelmate-screenshots" "$top/docs"

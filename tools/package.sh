#!/usr/bin/env bash
# Builds the three Debian packages into build/packages/: reelmate, reelmate-relay and
# reelmate-demo-site (installs what is missing first).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/bootstrap.sh"
build=${BUILD_DIR:-$top/build}
# The installed program asks the local relay for both its relay and its site: the relay's
# gateway answers as the site (see packaging/relay.conf).
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DREELMATE_RELAY_URL=http://127.0.0.1:18080 -DREELMATE_SITE_URL=http://127.0.0.1:18080 >/dev/null
cmake --build "$build" -j "$(nproc)" --target reelmate reelmate-relay reelmate-demo-site reelmate-docs
(cd "$build" && cpack -G DEB >/dev/null)
ls "$build"/packages/*.deb

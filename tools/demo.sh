#!/usr/bin/env bash
# Installs what is missing, builds, starts the demo movie site and the relay on the program's
# compiled-in loopback ports, runs Reelmate, and stops both services when it exits.
# The program is built as for real sites: its site address is the relay's own, and the relay's
# gateway serves the demo site through the site's indexer definition
# (demo-site/definitions/reelmate-demo.yml), as it serves any site so described.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/tools/bootstrap.sh"
build=${BUILD_DIR:-$top/build}
relay=http://127.0.0.1:18080
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DREELMATE_RELAY_URL=$relay -DREELMATE_SITE_URL=$relay >/dev/null
cmake --build "$build" -j "$(nproc)" --target reelmate reelmate-relay reelmate-demo-site
bin=$build/bin
state=$build/demo # the gateway's secret; kept, so that links listed earlier stay good
mkdir -p "$state"
cat >"$state/relay.conf" <<CONF
[relay]
listen = 127.0.0.1:18080

[gateway]
base = $relay
secret_file = $state/gateway.secret
# The demo site has no magnets: no reason to join the BitTorrent network.
dht = off
bt_listen = 127.0.0.1:0

[site demo]
definition = $top/demo-site/definitions/reelmate-demo.yml
CONF
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT
"$bin/reelmate-demo-site" & pids+=($!)
"$bin/reelmate-relay" --config "$state/relay.conf" & pids+=($!)
# Wait until both answer, so the first search finds them.
for _ in $(seq 50); do
    curl -sf -o /dev/null $relay/livez && curl -s -o /dev/null http://127.0.0.1:18081/ && break
    sleep 0.1
done
"$bin/reelmate"

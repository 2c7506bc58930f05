#!/usr/bin/env bash
# Searches per second and p50/p99 (wrk -t2 -c16, loopback) through nginx to 1 relay and to 3
# relays, uncached (every request its own URL; relays without their cache) and cached (nginx's
# cache), and to one relay directly, in one run.   bench/cluster_bench.sh [build-dir] [seconds]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
seconds=${2:-8}
tmp=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true; rm -rf "$tmp"; }
trap cleanup EXIT
sed -e 's/^cache_seconds = .*/cache_seconds = 0/' -e 's/^max_connections_per_client = .*/max_connections_per_client = 512/' \
    "$top/relay/relay.conf" >"$tmp/relay.conf"
cat >"$tmp/unique.lua" <<'LUA'
local n = 0
request = function()
    n = n + 1
    return wrk.format("GET", "/moviejk/Find.php?n=" .. n .. "&url=http://127.0.0.1:18081/s.php?q=Matrix")
end
LUA
start_cluster() { # relays nginx-port first-relay-port
    local ready=$tmp/ready$1
    RATE=1000000r/s RELAY_CONFIG=$tmp/relay.conf CLUSTER_READY=$ready NGINX_LISTEN=127.0.0.1:$2 RELAY_PORT_BASE=$3 \
        BUILD_DIR=$build "$top/tools/cluster.sh" "$1" >/dev/null 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do [ -s "$ready" ] && break; sleep 0.1; done
}
busy() { awk '/^cpu / {print $2 + $3 + $4 + $7 + $8, $5 + $6}' /proc/stat; }
run() { # label url [script]
    local out before after
    before=$(busy)
    out=$(wrk -t2 -c16 -d"${seconds}s" --latency ${3:+-s "$3"} "$2")
    after=$(busy)
    # Both cores' share that was busy during the run: at 100 % the machine, not a relay, caps it.
    local cpu
    cpu=$(awk -v b="$before" -v a="$after" 'BEGIN { split(b, x); split(a, y);
        printf "%.0f", 100 * (y[1] - x[1]) / ((y[1] - x[1]) + (y[2] - x[2])) }')
    printf "%-28s %10s req/s   p50 %8s   p99 %8s   cpu %3s%%   non-2xx %s\n" "$1" \
        "$(awk '/Requests\/sec/ {print $2}' <<<"$out")" \
        "$(awk '$1 == "50%" {print $2}' <<<"$out")" "$(awk '$1 == "99%" {print $2}' <<<"$out")" \
        "$cpu" "$(awk '/Non-2xx/ {print $5} END {}' <<<"$out")"
}
start_cluster 1 18480 18490
echo "wrk -t2 -c16 -d${seconds}s, search \"Matrix\" on the demo site"
run "one relay directly, uncached" "http://127.0.0.1:18491" "$tmp/unique.lua"
run "nginx + 1 relay, uncached" "http://127.0.0.1:18480" "$tmp/unique.lua"
run "nginx + 1 relay, cached" "http://127.0.0.1:18480/moviejk/Find.php?url=http://127.0.0.1:18081/s.php?q=Matrix"
kill "${pids[-1]}"; wait "${pids[-1]}" 2>/dev/null || true; unset 'pids[-1]'
sleep 1
start_cluster 3 18480 18490
run "nginx + 3 relays, uncached" "http://127.0.0.1:18480" "$tmp/unique.lua"
run "nginx + 3 relays, cached" "http://127.0.0.1:18480/moviejk/Find.php?url=http://127.0.0.1:18081/s.php?q=Matrix"

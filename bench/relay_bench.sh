#!/usr/bin/env bash
# Searches per second and p50/p99 latency (wrk, loopback): the demo site alone, the relay without
# its cache, and the relay with its cache, in one run; then HTTPS and gzip against plain HTTP.
# Run by hand after building:
#   bench/relay_bench.sh [build-dir] [seconds]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
seconds=${2:-10}
bin=$build/bin
tmp=$(mktemp -d)
pids=()
cleanup() { for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$tmp"; }
trap cleanup EXIT

site=127.0.0.1:18281
relay_config() { # port cache-seconds
    sed -e "s/^listen = .*/listen = 127.0.0.1:$1/" -e "s/^cache_seconds = .*/cache_seconds = $2/" \
        -e "s/^max_concurrent_fetches = .*/max_concurrent_fetches = 64/" \
        -e "s|^base = .*|base = http://$site|" "$top/relay/relay.conf"
}
relay_config 18280 60 >"$tmp/cached.conf"
relay_config 18282 0 >"$tmp/uncached.conf"
"$bin/reelmate-demo-site" --listen "$site" 2>/dev/null & pids+=($!)
"$bin/reelmate-relay" --config "$tmp/cached.conf" 2>/dev/null & pids+=($!)
"$bin/reelmate-relay" --config "$tmp/uncached.conf" 2>/dev/null & pids+=($!)
sleep 0.5

query="s.php?q=Matrix"
run() { # label url
    local out
    out=$(wrk -t"$threads" -c"$connections" -d"${seconds}s" --latency "$2")
    printf "%-22s %10s req/s   p50 %8s   p99 %8s\n" "$1" \
        "$(awk '/Requests\/sec/ {print $2}' <<<"$out")" \
        "$(awk '$1 == "50%" {print $2}' <<<"$out")" \
        "$(awk '$1 == "99%" {print $2}' <<<"$out")"
}
echo "search \"Matrix\" (the demo site's page: $(curl -s "http://$site/$query" | wc -c) bytes), ${seconds}s a run"
for load in "2 16" "1 1"; do
    read -r threads connections <<<"$load"
    echo "wrk -t$threads -c$connections"
    run "demo site alone" "http://$site/$query"
    run "relay, no cache" "http://127.0.0.1:18282/moviejk/Find.php?url=http://$site/$query"
    run "relay, cached" "http://127.0.0.1:18280/moviejk/Find.php?url=http://$site/$query"
done

# The same uncached search from a plain HTTP, an HTTPS and a gzip site (one process, wrk -c16).
echo
"$bin/bench_relay_tls" "$seconds"

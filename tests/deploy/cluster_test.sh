#!/usr/bin/env bash
# Three relays behind nginx (tools/cluster.sh): 2,000 searches from several clients while one
# relay is killed and started again, none may fail and all relays must have served; a repeated
# search is answered from nginx's cache without reaching a relay. Usage: cluster_test.sh BUILD_DIR
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
export BUILD_DIR=$build NGINX_LISTEN=127.0.0.1:18380 RELAY_PORT_BASE=18390
ready=$(mktemp)
rm -f "$ready"
CLUSTER_READY=$ready "$top/tools/cluster.sh" 3 >/dev/null 2>&1 &
cluster=$!
work=$(mktemp -d)
trap 'kill $cluster 2>/dev/null || true; wait $cluster 2>/dev/null || true; rm -rf "$work" "$ready"' EXIT
for _ in $(seq 100); do [ -s "$ready" ] && break; sleep 0.1; done
[ -s "$ready" ] || { echo "the cluster did not start"; exit 1; }
logs=$(cat "$ready")/logs
front=http://$NGINX_LISTEN/moviejk/Find.php?url=http://127.0.0.1:18081/s.php?q=

# The load: distinct searches (so that nginx's cache does not answer them), 6 clients at once.
seq 2000 | xargs -P 6 -I{} curl -s -o /dev/null -w '%{http_code}\n' --max-time 20 "${front}load{}" \
    >"$work/codes" &
load=$!
sleep 0.7
kill -9 "$(cat "$(dirname "$logs")/relay2.pid")" # a relay dies mid-load...
sleep 1.5
"$build/bin/reelmate-relay" --config "$top/relay/relay.conf" --listen 127.0.0.1:18392 \
    2>>"$logs/relay2.log" &                        # ...and comes back
restarted=$!
wait $load
kill $restarted 2>/dev/null || true

failed=$(grep -vc '^200$' "$work/codes" || true)
total=$(wc -l <"$work/codes")
echo "searches: $total, failed: $failed"
for i in 1 2 3; do echo "relay $i served $(grep -c '"GET /moviejk/' "$logs/relay$i.log" || true)"; done
[ "$total" -eq 2000 ] && [ "$failed" -eq 0 ]
for i in 1 2 3; do [ "$(grep -c '"GET /moviejk/' "$logs/relay$i.log")" -gt 100 ]; done

# A repeated search: the second comes from nginx's cache, no relay hears of it.
curl -s -o /dev/null "${front}Matrix"
before=$(cat "$logs"/relay*.log | grep -c '"GET /moviejk/')
status=$(curl -s -o /dev/null -D - "${front}Matrix" | tr -d '\r' | awk -F': ' '/^X-Cache-Status/ {print $2}')
after=$(cat "$logs"/relay*.log | grep -c '"GET /moviejk/')
echo "repeated search: $status, relay requests before $before, after $after"
[ "$status" = HIT ] && [ "$before" -eq "$after" ]
echo "cluster: passed"

#!/usr/bin/env bash
# Three relays behind HAProxy and nginx (tools/cluster.sh), as operators meet them:
# - 2,000 searches from several clients while one relay is killed and started again: none fails
#   and every relay serves;
# - requests for pages the site does not have, sent alongside searches, take no relay out;
# - a relay that is stopped (accepts connections, answers nothing) is left out: once HAProxy
#   has marked it down (within 5 s), no search takes 3 s;
# - a repeated search comes from nginx's cache without reaching a relay;
# - through the gateway, a search, its film page and downloads are served by any relay;
# - with the site down, searches say so (502) and /healthz still answers a relay's JSON.
# Usage: cluster_test.sh BUILD_DIR
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=$1
export BUILD_DIR=$build NGINX_LISTEN=127.0.0.1:18380 RELAY_PORT_BASE=18390 RATE=100000r/s
ready=$(mktemp)
rm -f "$ready"
CLUSTER_READY=$ready "$top/tools/cluster.sh" 3 >/dev/null 2>&1 &
cluster=$!
work=$(mktemp -d)
stopped=""
restarted=""
finish() {
    [ -n "$stopped" ] && kill -CONT "$stopped" 2>/dev/null
    [ -n "$restarted" ] && kill "$restarted" 2>/dev/null
    kill $cluster 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$work" "$ready"
}
trap finish EXIT
for _ in $(seq 100); do [ -s "$ready" ] && break; sleep 0.1; done
[ -s "$ready" ] || { echo "the cluster did not start"; exit 1; }
run=$(cat "$ready")
logs=$run/logs
front=http://$NGINX_LISTEN/moviejk/Find.php?url=http://127.0.0.1:18081/s.php?q=
film=http://$NGINX_LISTEN/moviejk/Down.php?url=http://127.0.0.1:18081/film/
served() { grep -c '"GET /moviejk/' "$logs/relay$1.log" || true; }
# Waits up to $1 tenths of a second for the command after it to succeed.
await() {
    local tenths=$1
    shift
    for _ in $(seq "$tenths"); do "$@" && return 0; sleep 0.1; done
    return 1
}
lines() { [ "$(wc -l <"$1" 2>/dev/null || echo 0)" -ge "$2" ]; }
haproxy_says() { grep -q "$1" "$logs/haproxy.log"; }

# 1. A relay dies mid-load and comes back. Distinct searches, so nginx's cache answers none.
seq 2000 | xargs -P 6 -I{} curl -s -o /dev/null -w '%{http_code}\n' --max-time 20 "${front}load{}" \
    >"$work/codes" &
load=$!
await 100 lines "$work/codes" 300
kill -9 "$(cat "$run/relay2.pid")"
await 50 haproxy_says 'reelmate_relays/relay2 is DOWN'
"$build/bin/reelmate-relay" --config "$run/relay.conf" --listen 127.0.0.1:18392 \
    2>>"$logs/relay2.log" &
restarted=$!
wait $load
failed=$(grep -vc '^200$' "$work/codes" || true)
echo "1. searches: $(wc -l <"$work/codes"), failed: $failed; served by relays: $(served 1), $(served 2), $(served 3)"
[ "$(wc -l <"$work/codes")" -eq 2000 ] && [ "$failed" -eq 0 ]
for i in 1 2 3; do [ "$(served $i)" -gt 100 ]; done
await 50 haproxy_says 'reelmate_relays/relay2 is UP'

# 2. Pages the site does not have (its 404), asked for alongside 75 searches.
(for i in $(seq 200); do curl -s -o /dev/null "${film}missing$i.html"; done) &
attack=$!
for i in $(seq 75); do curl -s -o /dev/null -w '%{http_code}\n' --max-time 10 "${front}attack$i"; done \
    >"$work/attack"
wait $attack
missing=$(curl -s -o /dev/null -w '%{http_code}' "${film}missing1.html")
echo "2. searches during 200 missing pages: $(grep -c '^200$' "$work/attack") of 75 answered; a missing page: $missing"
[ "$(grep -c '^200$' "$work/attack")" -eq 75 ] && [ "$missing" = 404 ]

# 3. A relay that accepts connections and never answers.
stopped=$(cat "$run/relay1.pid")
kill -STOP "$stopped"
start=$(date +%s%N)
await 50 haproxy_says 'reelmate_relays/relay1 is DOWN' || { echo "3. the stopped relay was not left out within 5 s"; exit 1; }
echo "3. stopped relay left out after $(( ($(date +%s%N) - start) / 1000000 )) ms"
for i in $(seq 30); do curl -s -o /dev/null -w '%{http_code} %{time_total}\n' --max-time 3 "${front}stopped$i"; done >"$work/stopped"
slow=$(grep -vc '^200 ' "$work/stopped" || true)
echo "   searches after that: 30, over 3 s or failed: $slow"
[ "$slow" -eq 0 ]
kill -CONT "$stopped"
stopped=""

# 4. A repeated search: the second comes from nginx's cache, no relay hears of it.
curl -s -o /dev/null "${front}Matrix"
before=$(cat "$logs"/relay*.log | grep -c '"GET /moviejk/')
status=$(curl -s -o /dev/null -D - "${front}Matrix" | tr -d '\r' | awk -F': ' '/^X-Cache-Status/ {print $2}')
after=$(cat "$logs"/relay*.log | grep -c '"GET /moviejk/')
echo "4. repeated search: $status, relay requests before $before, after $after"
[ "$status" = HIT ] && [ "$before" -eq "$after" ]

# 5. Through the gateway: the search, the film page and the download are each answered by
#    whichever relay HAProxy picks (the relays share the secret), and the download is a torrent.
gateway=http://$NGINX_LISTEN
hit=$(curl -sf "$gateway/moviejk/Find.php?url=$gateway/s.php?q=Matrix" | cut -d'|' -f2)
link=$(curl -sf "$gateway/moviejk/Down.php?url=$gateway$hit" | cut -d'|' -f2)
for i in 1 2 3; do
    curl -sf -o "$work/gateway$i.torrent" --data-raw "${link#*\?}" "$gateway/download.php"
done
echo "5. gateway: hit ${hit:0:24}..., downloads: $(head -c 11 "$work/gateway1.torrent")"
[[ "$hit" == /t/* ]]
for i in 1 2 3; do cmp -s "$work/gateway1.torrent" "$work/gateway$i.torrent"; done
[ "$(head -c 11 "$work/gateway1.torrent")" = d8:announce ]

# 6. The site goes down: searches say the site cannot be reached; /healthz is a relay's JSON.
kill "$(cat "$run/site.pid")"
code=$(curl -s -o /dev/null -w '%{http_code}' "${front}gone")
health=$(curl -s -w ' %{http_code}' "http://$NGINX_LISTEN/healthz")
echo "6. site down: search $code; /healthz: $health"
[ "$code" = 502 ]
[[ "$health" == '{"status":'*' 200' || "$health" == '{"status":'*' 503' ]]
echo "cluster: passed"

#!/usr/bin/env bash
# Runs the demo site (127.0.0.1:18081, the site the shipped relay profile reads), N relays
# (default 3, on 127.0.0.1:18091...), HAProxy over them (deploy/haproxy/reelmate.cfg, on
# 127.0.0.1:18090) and nginx in front (deploy/nginx/reelmate.conf), both with their paths moved
# into a temporary folder; prints the relay base URL for the program, and stops everything on
# exit or Ctrl-C.   tools/cluster.sh [N]
# NGINX_LISTEN (default 127.0.0.1:18080) and RELAY_PORT_BASE (default 18090: HAProxy there, the
# relays above it) move the ports; RELAY_CONFIG names another relay configuration, RATE another
# per-client rate (for benchmarks). By default the relays read the demo site both ways: through
# the XPath profile of relay/relay.conf, and through its indexer definition behind the gateway,
# whose address is nginx's and whose secret they share (a program built with
# -DREELMATE_SITE_URL=http://$NGINX_LISTEN uses the gateway).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
n=${1:-3}
listen=${NGINX_LISTEN:-127.0.0.1:18080}
base=${RELAY_PORT_BASE:-18090}
tmp=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$tmp/logs" "$tmp/cache"
# nginx's workers drop root and must still write their cache here.
chmod 0755 "$tmp"
chmod 0777 "$tmp/cache"

config=${RELAY_CONFIG:-$tmp/relay.conf}
if [ -z "${RELAY_CONFIG:-}" ]; then
    cat "$top/relay/relay.conf" - >"$config" <<CONF

[gateway]
base = http://$listen
secret_file = $tmp/gateway.secret
# The demo site has no magnets: no reason to join the BitTorrent network.
dht = off
bt_listen = 127.0.0.1:0

[site demo-definition]
definition = $top/demo-site/definitions/reelmate-demo.yml
CONF
fi
"$build/bin/reelmate-demo-site" 2>"$tmp/logs/site.log" & pids+=($!)
echo "$!" >"$tmp/site.pid"
servers=""
for i in $(seq 1 "$n"); do
    "$build/bin/reelmate-relay" --config "$config" --listen "127.0.0.1:$((base + i))" \
        2>"$tmp/logs/relay$i.log" &
    pids+=($!)
    echo "$!" >"$tmp/relay$i.pid"
    servers+="    server relay$i 127.0.0.1:$((base + i))\n"
done
# The deployed configurations, with this cluster's relays, addresses and folders.
awk -v servers="$servers" '
    /^ *server relay/ { if (!done[section]++) printf "%s", servers; next }
    /^backend / { section = $2 }
    { print }' "$top/deploy/haproxy/reelmate.cfg" |
    sed -e "s|bind 127.0.0.1:18090|bind 127.0.0.1:$base|" \
        -e "s|log /dev/log local0|log stderr format raw local0 notice|" >"$tmp/haproxy.cfg"
haproxy -db -f "$tmp/haproxy.cfg" 2>"$tmp/logs/haproxy.log" & pids+=($!)
sed -e "s|listen 127.0.0.1:18080;|listen $listen;|" \
        -e "s|server 127.0.0.1:18090 |server 127.0.0.1:$base |" \
        -e "s|rate=100r/s|rate=${RATE:-100r/s}|" \
        -e "s|/var/cache/nginx/reelmate|$tmp/cache|" \
        -e "s|/var/log/nginx/reelmate.log|$tmp/logs/nginx.log|" \
        "$top/deploy/nginx/reelmate.conf" >"$tmp/reelmate.conf"
cat >"$tmp/nginx.conf" <<CONF
worker_processes 2;
pid $tmp/nginx.pid;
error_log $tmp/logs/nginx-error.log;
events { worker_connections 1024; }
http {
    client_body_temp_path $tmp/cache/body;
    proxy_temp_path $tmp/cache/proxy;
    include $tmp/reelmate.conf;
}
CONF
nginx -p "$tmp" -c "$tmp/nginx.conf" -g 'daemon off;' & pids+=($!)
for _ in $(seq 50); do
    curl -sf -o /dev/null "http://$listen/healthz" && break
    sleep 0.1
done
echo "relay base URL: http://$listen   (logs and pids in $tmp)"
[ -n "${CLUSTER_READY:-}" ] && echo "$tmp" >"$CLUSTER_READY"
wait

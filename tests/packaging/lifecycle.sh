#!/usr/bin/env bash
# Installs the three packages on this machine, as a user would, and checks what the maintainer
# scripts do on install, upgrade, remove and purge; in between, that the installed relay and demo
# site work out of the box: a search through the relay's gateway and a torrent downloaded, and a
# reload that reads the definitions folder anew.
# Needs root; leaves the machine without the packages. Usage: lifecycle.sh DIR_WITH_DEBS
set -euo pipefail
debs=$1
packages="reelmate reelmate-relay reelmate-demo-site"
secret=/etc/reelmate/gateway.secret
link=/etc/reelmate/definitions/reelmate-demo.yml
pids=()
work=$(mktemp -d)
cleanup() {
    for pid in "${pids[@]+"${pids[@]}"}"; do kill "$pid" 2>/dev/null || true; done
    dpkg -P $packages >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "lifecycle: $*" >&2; exit 1; }
dpkg -P $packages >/dev/null 2>&1 || true

# Install: the secret is made, root's alone; the demo site's definition is linked in.
dpkg -i "$debs"/*.deb >/dev/null
[ "$(stat -c '%a %U %s' "$secret")" = "600 root 48" ] || fail "secret: $(stat -c '%a %U %s' "$secret")"
[ "$(readlink "$link")" = /usr/share/reelmate-demo-site/reelmate-demo.yml ] || fail "no demo link"

# Out of the box: the installed services as systemd started them where it runs; else (or where
# its sandbox cannot run them) started here as their units start them, the secret by path.
if ! { [ -d /run/systemd/system ] && systemctl is-active --quiet reelmate-relay && systemctl is-active --quiet reelmate-demo-site; }; then
    [ -d /run/systemd/system ] && systemctl stop reelmate-relay reelmate-demo-site 2>/dev/null || true
    /usr/bin/reelmate-demo-site >/dev/null 2>&1 &
    pids+=($!)
    mkdir -p -m 0700 /var/lib/reelmate-relay # the unit's StateDirectory=
    # The installed configuration, but off the BitTorrent network: a test reaches no one.
    sed 's/^\[gateway\]$/[gateway]\ndht = off\nbt_listen = 127.0.0.1:0/' /etc/reelmate/relay.conf >"$work/relay.conf"
    STATE_DIRECTORY=/var/lib/reelmate-relay \
        /usr/bin/reelmate-relay --config "$work/relay.conf" --secret-file "$secret" >/dev/null 2>&1 &
    pids+=($!)
fi
relay=http://127.0.0.1:18080
for _ in $(seq 100); do curl -sf "$relay/livez" >/dev/null && break; sleep 0.1; done
hits=$(curl -sf "$relay/moviejk/Find.php?url=$relay/s.php?q=%E8%8B%B1%E9%9B%84" | iconv -f GB18030 -t UTF-8)
film=$(echo "$hits" | cut -d'|' -f2)
[ -n "$film" ] || fail "no hits through the gateway: $hits"
query=$(curl -sf "$relay/moviejk/Down.php?url=$relay$film" | cut -d'|' -f2 | cut -d'?' -f2)
curl -sf -o /tmp/lifecycle.torrent --data "$query" "$relay/download.php" || fail "no torrent"
[ "$(head -c 1 /tmp/lifecycle.torrent)" = d ] || fail "the download is not a torrent"
rm -f /tmp/lifecycle.torrent

# Reload: the demo's definition taken out, then put back, each read without a restart.
reload() {
    if [ ${#pids[@]} -eq 0 ]; then systemctl reload reelmate-relay; else kill -HUP "${pids[1]}"; fi
}
first_hit() {
    curl -s "$relay/moviejk/Find.php?url=$relay/s.php?q=%E8%8B%B1%E9%9B%84" | iconv -f GB18030 -t UTF-8 | cut -s -d'|' -f2
}
rm "$link"
reload
for _ in $(seq 50); do [ -z "$(first_hit)" ] && break; sleep 0.1; done
[ -z "$(first_hit)" ] || fail "a reload kept the definition taken out"
ln -s /usr/share/reelmate-demo-site/reelmate-demo.yml "$link"
reload
for _ in $(seq 50); do [ -n "$(first_hit)" ] && break; sleep 0.1; done
[ -n "$(first_hit)" ] || fail "a reload did not read the definition put back"
for pid in "${pids[@]+"${pids[@]}"}"; do kill "$pid"; wait "$pid" 2>/dev/null || true; done
pids=()
[ "$(stat -c %a /etc/reelmate/relay.conf)" = 644 ] || fail "relay.conf is not 0644"

# Upgrade: the secret and the administrator's configuration stay as they were.
before=$(sha256sum "$secret")
echo "# the administrator's own line" >>/etc/reelmate/relay.conf
dpkg -i "$debs"/*.deb >/dev/null
[ "$(sha256sum "$secret")" = "$before" ] || fail "upgrade changed the secret"
grep -q "administrator's own line" /etc/reelmate/relay.conf || fail "upgrade lost the configuration"

# Remove: the programs and the demo link go, the configuration and the secret stay.
dpkg -r reelmate-demo-site >/dev/null
[ ! -L "$link" ] || fail "the demo link outlived its package"
dpkg -r reelmate reelmate-relay >/dev/null
[ ! -e /usr/bin/reelmate-relay ] || fail "relay left after remove"
[ -e "$secret" ] && [ -e /etc/reelmate/relay.conf ] || fail "remove took the configuration"

# Purge: nothing of ours is left in /etc.
dpkg -P $packages >/dev/null
[ ! -e /etc/reelmate ] || fail "purge left $(find /etc/reelmate | tr '\n' ' ')"
[ ! -e /var/lib/reelmate-relay ] || fail "purge left the relay's state folder"
echo "lifecycle: install, out-of-the-box search and download, reload, upgrade, remove and purge check out"

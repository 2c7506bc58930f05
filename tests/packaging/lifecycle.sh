#!/usr/bin/env bash
# Installs the three packages on this machine, as a user would, and checks what the maintainer
# scripts do on install, upgrade, remove and purge; in between, that the installed relay and demo
# site work out of the box: a search through the relay's gateway and a torrent downloaded, a
# reload that reads the definitions folder anew, and a first site of the catalogue added as
# README says, then taken out.
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
conf=/etc/reelmate/relay.conf
state=/var/lib/reelmate-relay
offline=/etc/reelmate/relay.conf.d/00-offline.conf
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
    # As the unit runs it: a user of its own (DynamicUser=) owning the state folder
    # (StateDirectory=), the secret handed over in a folder of its own (LoadCredential=).
    uid=61234
    install -d -m 0700 -o $uid -g $uid "$state"
    chmod 0711 "$work"
    install -d -m 0700 -o $uid -g $uid "$work/credentials"
    install -m 0400 -o $uid -g $uid "$secret" "$work/credentials/gateway.secret"
    # The installed configuration, but off the BitTorrent network: a test reaches no one.
    mkdir -p "$(dirname "$offline")"
    printf '[gateway]\ndht = off\nbt_listen = 127.0.0.1:0\n' >"$offline"
    setpriv --reuid=$uid --regid=$uid --clear-groups /usr/bin/reelmate-relay --config "$conf" \
        --secret-file "$work/credentials/gateway.secret" >"$work/relay.log" 2>&1 &
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
# A first site, as README has it: the catalogue fetched (here an archive of two definitions, one
# public on a site served from files, one logging in with a password), listed, a site added and
# the relay reloaded; then the site with a password, whose secret no one else may read.
site=$work/site
mkdir -p "$site" "$work/Indexers-master/definitions/v11"
echo '<ul><li class=hit><a href="/7.torrent">Lifecycle Hero 2026</a></li></ul>' >"$site/search.html"
python3 -c 'import functools, http.server, sys
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0),
    functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1]))
print(server.server_address[1], flush=True)
server.serve_forever()' "$site" >"$work/port" 2>/dev/null &
pids+=($!)
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
base=http://127.0.0.1:$(cat "$work/port")
search="search:
  paths:
    - path: search.html
  inputs:
    q: \"{{ .Keywords }}\"
  rows:
    selector: li.hit
  fields:
    title:
      selector: a
    details:
      selector: a
      attribute: href
    download:
      selector: a
      attribute: href"
printf '%s\n' "id: lifecycle-public" "name: Lifecycle public" "language: en-US" "type: public" \
    "links:" "  - $base/" "$search" >"$work/Indexers-master/definitions/v11/lifecycle-public.yml"
printf '%s\n' "id: lifecycle-private" "name: Lifecycle private" "language: en-US" "type: private" \
    "links:" "  - $base/" "settings:" "  - {name: username, type: text, label: Username}" \
    "  - {name: password, type: password, label: Password}" "login:" "  path: takelogin.php" \
    "  method: post" "  inputs:" '    username: "{{ .Config.username }}"' \
    '    password: "{{ .Config.password }}"' "  test:" "    path: index.html" \
    "    selector: a.logout" "$search" >"$work/Indexers-master/definitions/v11/lifecycle-private.yml"
tar -C "$work" -czf "$work/catalogue.tar.gz" Indexers-master
out=$(reelmate-relay --config "$conf" --update-catalogue "$work/catalogue.tar.gz")
echo "$out" | grep -q "^2 definitions read into $state/catalogue; the relay can serve 2 " ||
    fail "--update-catalogue: $out"
list=$(reelmate-relay --config "$conf" --catalogue lifecycle)
[ "$(echo "$list" | awk '{print $1, $NF}' | tr '\n' ' ')" = "lifecycle-private ok lifecycle-public ok " ] ||
    fail "--catalogue: $list"
lifecycle_hits() {
    curl -s "$relay/moviejk/Find.php?url=$relay/s.php?q=hero" | iconv -f GB18030 -t UTF-8 |
        grep -c "Lifecycle Hero 2026" || true
}
reloads() { grep -c "reloaded, " "$work/relay.log" || true; }
reloaded() { # the relay took the configuration as it now is
    if [ ${#pids[@]} -eq 0 ]; then systemctl reload reelmate-relay; return; fi
    local before
    before=$(reloads)
    kill -HUP "${pids[1]}"
    for _ in $(seq 50); do [ "$(reloads)" -gt "$before" ] && break; sleep 0.1; done
    [ "$(reloads)" -gt "$before" ] || fail "a reload was refused: $(tail -n 3 "$work/relay.log")"
}
[ "$(lifecycle_hits)" = 0 ] || fail "hits of a site not added yet"
reelmate-relay --config "$conf" --add-site lifecycle-public >/dev/null || fail "--add-site lifecycle-public"
reloaded
for _ in $(seq 50); do [ "$(lifecycle_hits)" = 1 ] && break; sleep 0.1; done
[ "$(lifecycle_hits)" = 1 ] || fail "no hits of the site added"

password=pw-$RANDOM$RANDOM-lifecycle
reelmate-relay --config "$conf" --add-site lifecycle-private username=u "password=$password" >/dev/null ||
    fail "--add-site lifecycle-private"
owner=$(stat -L -c %u "$state")
[ "$(stat -c '%a %u' "$state/credentials")" = "700 $owner" ] ||
    fail "credentials folder: $(stat -c '%a %U' "$state/credentials")"
[ "$(stat -c '%a %u' "$state/credentials/lifecycle-private.conf")" = "600 $owner" ] ||
    fail "credentials: $(stat -c '%a %U' "$state/credentials/lifecycle-private.conf")"
found=$(grep -rlF -- "$password" /etc/reelmate "$state/" || true)
[ "$found" = "$state/credentials/lifecycle-private.conf" ] || fail "the password is in: $found"
reloaded # the service reads the credentials root wrote

reelmate-relay --config "$conf" --remove-site lifecycle-private >/dev/null || fail "--remove-site lifecycle-private"
reelmate-relay --config "$conf" --remove-site lifecycle-public >/dev/null || fail "--remove-site lifecycle-public"
left=$(ls /etc/reelmate/definitions /etc/reelmate/relay.conf.d "$state/credentials" | grep lifecycle || true)
[ -z "$left" ] || fail "--remove-site left $left"
reloaded
for _ in $(seq 50); do [ "$(lifecycle_hits)" = 0 ] && break; sleep 0.1; done
[ "$(lifecycle_hits)" = 0 ] || fail "a reload kept the site taken out"
rm -f "$offline"

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
echo "lifecycle: install, out-of-the-box search and download, reload, a first site added and taken out, upgrade, remove and purge check out"

#!/usr/bin/env bash
# The program under a headless Wayland compositor (weston), as Debian's default desktop session
# runs it: it starts, maps its window (a buffer attached to the toplevel after its first
# configure) and gives its desktop entry's name as its app id, so shells show its icon.
# Usage: wayland_test.sh PROGRAM
set -euo pipefail
program=$1
run=$(mktemp -d)
chmod 700 "$run"
weston=
client=
cleanup() {
    [ -n "$client" ] && kill "$client" 2>/dev/null || true
    [ -n "$weston" ] && kill "$weston" 2>/dev/null || true
    wait 2>/dev/null || true
    rm -rf "$run"
}
trap cleanup EXIT
fail() { echo "wayland: $*" >&2; tail -20 "$run/client.log" >&2 || true; exit 1; }

XDG_RUNTIME_DIR=$run weston --backend=headless-backend.so --socket=reelmate-test --idle-time=0 \
    --no-config >"$run/weston.log" 2>&1 &
weston=$!
for _ in $(seq 100); do [ -S "$run/reelmate-test" ] && break; sleep 0.1; done
[ -S "$run/reelmate-test" ] || { cat "$run/weston.log" >&2; fail "weston did not start"; }

env -u DISPLAY XDG_RUNTIME_DIR="$run" WAYLAND_DISPLAY=reelmate-test QT_QPA_PLATFORM=wayland \
    WAYLAND_DEBUG=client "$program" >"$run/client.log" 2>&1 &
client=$!
mapped=
for _ in $(seq 150); do
    if awk '/ack_configure/ { acked = 1 } acked && /wl_surface@[0-9]+\.attach\(wl_buffer/ { found = 1; exit }
            END { exit !found }' "$run/client.log"; then
        mapped=yes
        break
    fi
    kill -0 "$client" 2>/dev/null || fail "the program ended before its window was mapped"
    sleep 0.1
done
[ -n "$mapped" ] || fail "no window mapped within 15 s"
grep -q 'xdg_toplevel@[0-9]*\.set_app_id("org.example.Reelmate")' "$run/client.log" ||
    fail "the app id is not the desktop entry's name"
echo "wayland: the program maps its window under weston, app id org.example.Reelmate"

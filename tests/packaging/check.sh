#!/usr/bin/env bash
# Installs into a DESTDIR and checks the layout, validates the desktop entry, the metainfo and
# the units with the tools Debian users rely on, builds the packages and runs lintian on them.
# Usage: check.sh BUILD_DIR
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
dest=$work/root

DESTDIR=$dest cmake --install "$build" --prefix /usr >/dev/null
expected="etc/reelmate/relay.conf
lib/systemd/system/reelmate-demo-site.service
lib/systemd/system/reelmate-relay.service
lib/systemd/system/reelmate-relay@.service
usr/bin/reelmate
usr/bin/reelmate-demo-site
usr/bin/reelmate-relay
usr/share/applications/org.example.Reelmate.desktop
usr/share/doc/reelmate-demo-site/changelog.gz
usr/share/doc/reelmate-demo-site/copyright
usr/share/doc/reelmate-relay/changelog.gz
usr/share/doc/reelmate-relay/copyright
usr/share/doc/reelmate-relay/examples/haproxy/reelmate.cfg
usr/share/doc/reelmate-relay/examples/nginx/reelmate.conf
usr/share/doc/reelmate/changelog.gz
usr/share/doc/reelmate/copyright
usr/share/icons/hicolor/128x128/apps/reelmate.png
usr/share/icons/hicolor/256x256/apps/reelmate.png
usr/share/icons/hicolor/48x48/apps/reelmate.png
usr/share/man/man1/reelmate-demo-site.1.gz
usr/share/man/man1/reelmate-relay.1.gz
usr/share/man/man1/reelmate.1.gz
usr/share/metainfo/org.example.Reelmate.metainfo.xml
usr/share/reelmate-demo-site/reelmate-demo.yml"
got=$(cd "$dest" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
if [ "$got" != "$(echo "$expected" | LC_ALL=C sort)" ]; then
    echo "installed layout differs:"; diff <(echo "$expected" | LC_ALL=C sort) <(echo "$got") || true
    exit 1
fi
"$dest/usr/bin/reelmate-relay" --version | grep -q "^reelmate-relay "
"$dest/usr/bin/reelmate-relay" --config "$dest/etc/reelmate/relay.conf" --help >/dev/null

# Every option a program's --help lists is in its man page.
for program in reelmate reelmate-relay reelmate-demo-site; do
    for option in $("$dest/usr/bin/$program" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
        grep -qF -- "$(echo "$option" | sed 's/-/\\-/g')" "$(dirname "$0")/../../packaging/$program.1" ||
            { echo "$program.1 does not mention $option"; exit 1; }
    done
done

desktop-file-validate "$dest/usr/share/applications/org.example.Reelmate.desktop"
appstreamcli validate --pedantic "$dest/usr/share/metainfo/org.example.Reelmate.metainfo.xml"
# The units as installed, their programs looked for where this install put them.
for unit in reelmate-relay reelmate-relay@ reelmate-demo-site; do
    sed -e "s|/usr/bin/|$dest/usr/bin/|" -e "s|/etc/reelmate/|$dest/etc/reelmate/|" \
        "$dest/lib/systemd/system/$unit.service" >"$work/$unit.service"
done
cp "$work/reelmate-relay@.service" "$work/reelmate-relay@18092.service" # an instance: its port
systemd-analyze verify --man=no "$work/reelmate-relay.service" "$work/reelmate-relay@18092.service" \
    "$work/reelmate-demo-site.service"
# systemctl reload: the relay re-reads its configuration on SIGHUP.
for unit in reelmate-relay reelmate-relay@; do
    grep -qx 'ExecReload=/bin/kill -HUP $MAINPID' "$work/$unit.service" ||
        { echo "$unit.service: no ExecReload by SIGHUP"; exit 1; }
done

(cd "$build" && cpack -G DEB -D CPACK_OUTPUT_FILE_PREFIX="$work/packages" >/dev/null 2>&1)
for deb in "$work"/packages/*.deb; do
    out=$(lintian --pedantic --tag-display-limit 0 "$deb" 2>/dev/null || true)
    echo "$out" | grep -q '^[EWP]: ' && { echo "$out"; exit 1; }
    echo "$(basename "$deb"): lintian --pedantic clean"
done
dpkg-deb -I "$work"/packages/reelmate-relay_*.deb conffiles | grep -qx /etc/reelmate/relay.conf
if [ "$(id -u)" -eq 0 ]; then
    "$(dirname "$0")/lifecycle.sh" "$work/packages"
else
    echo "packaging: the install, upgrade, remove and purge check needs root: not run"
fi
echo "packaging: layout, desktop entry, metainfo, units and packages check out"

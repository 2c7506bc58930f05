#!/usr/bin/env bash
# Installs every Debian 12 package that building, running and testing Reelmate needs.
# Idempotent; run as root (or through sudo).
set -euo pipefail
packages=(
    g++ cmake ninja-build pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev libfontconfig-dev
    libcurl4-openssl-dev libssl-dev libmicrohttpd-dev libxml2-dev
    fonts-wqy-zenhei fontconfig
    xvfb xauth curl wrk libxcb1-dev libxcb-xkb-dev libxcb-xtest0-dev libgumbo-dev libyaml-cpp-dev
    clang-format clang-tidy cppcheck openssl zlib1g-dev nginx-light haproxy libtorrent-rasterbar-dev
    lintian desktop-file-utils appstream systemd dpkg-dev weston qt6-wayland imagemagick
    transmission-cli python3
)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "bootstrap: installing ${missing[*]} needs root" >&2
        exec sudo "$0" "$@"
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

#!/usr/bin/env bash
# Redraws resources/*.jpg|png from their designs. Run by hand after changing tools/makepictures.cpp.
# The backgrounds become JPEGs at quality 100 without chroma subsampling, so flat areas keep
# their exact design colours (within 2 per channel).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$top/build}
cmake --build "$build" --target reelmate-make-pictures
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
QT_QPA_PLATFORM=offscreen "$build/bin/reelmate-make-pictures" "$tmp"
for name in search torrent; do
    convert "$tmp/$name.png" -quality 100 -sampling-factor 1x1 "$top/resources/$name.jpg"
done
cp "$tmp/icon.png" "$tmp/hand.png" "$top/resources/"
cp "$tmp/icon-128.png" "$tmp/icon-256.png" "$top/packaging/icons/"

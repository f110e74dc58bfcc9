#!/bin/sh
# test_deb.sh BUILD_DIR SOURCE_DIR: the .deb's metadata and contents, and its binary keeps running.
set -eu
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
id=example.zeltraworks.KaveltorCompanion
desktop-file-validate "$2/packaging/$id.desktop"
appstreamcli validate --no-net "$2/packaging/$id.metainfo.xml"
(cd "$1" && cpack -B "$scratch/out" >/dev/null)
deb="$scratch/out/KAVELTORCompanionSetup-1.0.0.deb" # the updater's name for it
for p in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 qt6-qpa-plugins qt6-image-formats-plugins; do
    dpkg-deb -f "$deb" Depends | grep -q "$p" || { echo "$p missing from Depends"; exit 1; }
done
dpkg -x "$deb" "$scratch/root"
cd "$scratch/root/usr"
ls bin/kaveltor-companion "share/applications/$id.desktop" "share/metainfo/$id.metainfo.xml" >/dev/null
for s in 16 22 24 32 48 64 128 256; do
    file -b "share/icons/hicolor/${s}x$s/apps/$id.png" | grep -q "PNG image data, $s x $s," || { echo "icon $s"; exit 1; }
done
QT_QPA_PLATFORM=offscreen timeout -k 5 3 bin/kaveltor-companion >"$scratch/app.log" 2>&1 && status=0 || status=$?
[ "$status" = 124 ] || { echo "installed binary ended early ($status):"; cat "$scratch/app.log"; exit 1; }

#!/bin/sh
# test_deb.sh BUILD_DIR SOURCE_DIR: the .deb's metadata and contents, and its binary keeps running.
set -eu
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
id=example.zeltraworks.KaveltorCompanion
desktop-file-validate "$2/packaging/$id.desktop" "$2"/packaging/file-managers/*.desktop
appstreamcli validate --no-net "$2/packaging/$id.metainfo.xml"
(cd "$1" && cpack -B "$scratch/out" >/dev/null)
deb="$scratch/out/KAVELTORCompanionSetup-1.0.0.deb" # the updater's name for it
for p in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 qt6-qpa-plugins qt6-image-formats-plugins libqt6sql6-sqlite; do
    dpkg-deb -f "$deb" Depends | grep -q "$p" || { echo "$p missing from Depends"; exit 1; }
done
dpkg-deb -f "$deb" Suggests | grep -q python3-nautilus || { echo "python3-nautilus not suggested"; exit 1; }
dpkg -x "$deb" "$scratch/root"
cd "$scratch/root/usr"
ls bin/kaveltor-companion "share/applications/$id.desktop" "share/metainfo/$id.metainfo.xml" >/dev/null
ls share/kio/servicemenus/kaveltor-companion-send.desktop share/Thunar/sendto/kaveltor-companion.desktop \
    share/kaveltor-companion/thunar-uca-action.xml >/dev/null
python3 -c 'import ast, sys; ast.parse(open(sys.argv[1]).read())' \
    share/nautilus-python/extensions/kaveltor_companion_nautilus.py
# The Thunar helper adds its action to a user's list once, and the list stays readable XML.
for _ in 1 2; do
    XDG_CONFIG_HOME="$scratch/config" share/kaveltor-companion/kaveltor-companion-thunar-action >/dev/null
done
python3 -c 'import sys, xml.dom.minidom as m; d = m.parse(sys.argv[1]); sys.exit(
    [c.firstChild.data for c in d.getElementsByTagName("unique-id")].count("kaveltor-companion-send") != 1)' \
    "$scratch/config/Thunar/uca.xml" || { echo "Thunar action not added once"; exit 1; }
for s in 16 22 24 32 48 64 128 256; do
    file -b "share/icons/hicolor/${s}x$s/apps/$id.png" | grep -q "PNG image data, $s x $s," || { echo "icon $s"; exit 1; }
done
QT_QPA_PLATFORM=offscreen timeout -k 5 3 bin/kaveltor-companion >"$scratch/app.log" 2>&1 && status=0 || status=$?
[ "$status" = 124 ] || { echo "installed binary ended early ($status):"; cat "$scratch/app.log"; exit 1; }

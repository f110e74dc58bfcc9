#!/bin/sh
# Builds the .deb from a finished build tree, checks its metadata, unpacks it
# into a scratch root and starts the installed binary there.
#   test_deb.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
src=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

desktop-file-validate "$src/packaging/example.zeltraworks.KaveltorCompanion.desktop"
appstreamcli validate --no-net "$src/packaging/example.zeltraworks.KaveltorCompanion.metainfo.xml"

(cd "$build" && cpack -B "$scratch/out" >/dev/null)
deb=$(ls "$scratch"/out/kaveltor-companion_*.deb)

# The Qt libraries and the plugins loaded at run time are declared.
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for p in libqt6core6 libqt6gui6 libqt6widgets6 libqt6network6 qt6-qpa-plugins qt6-image-formats-plugins; do
    echo "$depends" | grep -q "$p" || { echo "missing dependency $p"; exit 1; }
done
# Every declared dependency is a package this Debian knows and has installed.
for p in $(echo "$depends" | tr ',' '\n' | sed 's/(.*//; s/|.*//' | tr -d ' '); do
    dpkg-query -W -f='${Status}\n' "$p" | grep -q "install ok installed" || { echo "not installable: $p"; exit 1; }
done

root="$scratch/root"
dpkg -x "$deb" "$root"
for f in usr/bin/kaveltor-companion \
         usr/share/applications/example.zeltraworks.KaveltorCompanion.desktop \
         usr/share/metainfo/example.zeltraworks.KaveltorCompanion.metainfo.xml; do
    [ -f "$root/$f" ] || { echo "missing $f"; exit 1; }
done
for size in 16 22 24 32 48 64 128 256; do
    icon="$root/usr/share/icons/hicolor/${size}x${size}/apps/example.zeltraworks.KaveltorCompanion.png"
    [ -f "$icon" ] || { echo "missing icon $size"; exit 1; }
    python3 -c "import struct,sys; d=open(sys.argv[1],'rb').read(24); w,h=struct.unpack('>II',d[16:24]); sys.exit(0 if (w,h)==($size,$size) else 1)" "$icon" \
        || { echo "icon $size has the wrong size"; exit 1; }
done

# The installed binary starts and keeps running (this test already runs in a
# private network namespace).
QT_QPA_PLATFORM=offscreen "$root/usr/bin/kaveltor-companion" >"$scratch/app.log" 2>&1 &
pid=$!
sleep 3
if ! kill -0 "$pid" 2>/dev/null; then
    echo "installed binary exited early:"
    cat "$scratch/app.log"
    exit 1
fi
kill "$pid"
wait "$pid" 2>/dev/null || true
echo "package ok"

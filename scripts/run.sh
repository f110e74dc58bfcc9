#!/bin/sh
# Installs what is missing, builds and starts KAVELTOR Companion.
# In a desktop session it runs on the local network like any tray program.
# Without a display (a server, a container, CI) it starts on Qt's offscreen
# platform inside a private network namespace: a smoke start that cannot
# send anything to the network it sits on.
set -e
. "$(dirname "$0")/lib.sh"
ensure_packages $BUILD_PACKAGES
cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$top/build" --target kaveltor-companion
app="$top/build/app/kaveltor-companion"
if [ -n "$DISPLAY" ] || [ -n "$WAYLAND_DISPLAY" ]; then
    exec "$app"
fi
echo "No display: starting offscreen in a private network namespace (Ctrl+C ends it)."
exec "$top/scripts/netns-run.sh" "$app" -platform offscreen

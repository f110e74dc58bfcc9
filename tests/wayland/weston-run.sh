#!/bin/sh
# Runs a Qt program as a client of a headless weston, the reference Wayland
# compositor, which places windows itself and offers no tray.
#   tests/wayland/weston-run.sh COMMAND [ARGS...]   (inside scripts/test-sandbox.sh)
set -e
: "${XDG_RUNTIME_DIR:?needs a private runtime folder}"
socket=kaveltor-weston-$$
weston --backend=headless-backend.so --socket="$socket" --idle-time=0 >"$XDG_RUNTIME_DIR/weston.log" 2>&1 &
weston=$!
trap 'kill $weston 2>/dev/null; wait $weston 2>/dev/null' EXIT
tries=100
until [ -S "$XDG_RUNTIME_DIR/$socket" ]; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || { echo "weston did not start" >&2; cat "$XDG_RUNTIME_DIR/weston.log" >&2; exit 1; }
    sleep 0.1
done
WAYLAND_DISPLAY=$socket QT_QPA_PLATFORM=wayland "$@"

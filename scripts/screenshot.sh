#!/bin/sh
# Takes pictures of the main window as a user sees it: a virtual X display,
# the application in a private network namespace with a scratch home (two
# paired phones pre-set). Three runs:
#   - no tray host (GNOME without an extension): notray.png, the window as
#     it shows at start;
#   - a tray host (trayer): a click on the icon, then window.png,
#     screen.png, tray.png, outcome.png ("Explorer" with no phone selected),
#     menu.png (a phone's context menu), sheet.png and sheet-log.png (the
#     settings sheet open, at its top and scrolled to the activity log),
#     hidden.png (the window hidden again with the sheet open) and
#     message.png (a message from a phone in the window);
#   - the same at scale 2 (QT_SCALE_FACTOR=2): scale2.png and
#     scale2-sheet.png, for sharp logo, background and text;
#   - a tray at the top edge, as Xfce has it: top-panel.png, the top right
#     of the screen with the panel and the window below it.
#   scripts/screenshot.sh [FOLDER]     (default build/screenshots)
# Prints the folder.
set -e
. "$(dirname "$0")/lib.sh"
ensure_packages $BUILD_PACKAGES $TEST_PACKAGES
configure_and_build "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
app="$top/build/app/kaveltor-companion"
out=${1:-"$top/build/screenshots"}
mkdir -p "$out"
out=$(cd "$out" && pwd)

# ImageMagick by its Debian path: a local wrapper must not stand in for it.
import=/usr/bin/import

scratch=$(mktemp -d "${TMPDIR:-/tmp}/kaveltor-shot.XXXXXX")
xvfb_pid=""
tray_pid=""
app_pid=""
cleanup() {
    for pid in $app_pid $tray_pid $xvfb_pid; do
        kill "$pid" 2>/dev/null || true
    done
    for pid in $app_pid $tray_pid $xvfb_pid; do
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$scratch"
}
trap cleanup EXIT INT TERM

# Polls a command for up to $1 tenths of a second.
retry() {
    tries=$1
    shift
    while [ "$tries" -gt 0 ]; do
        "$@" >/dev/null 2>&1 && return 0
        sleep 0.1
        tries=$((tries - 1))
    done
    return 1
}

# A Unix-socket display only: it is reachable from inside the application's
# network namespace, a TCP display would not be.
Xvfb -displayfd 3 -nolisten tcp -screen 0 1920x1200x24 3>"$scratch/display" 2>"$scratch/xvfb.log" &
xvfb_pid=$!
retry 100 test -s "$scratch/display" || { echo "Xvfb did not start" >&2; exit 1; }
DISPLAY=:$(cat "$scratch/display")
export DISPLAY
retry 50 xdpyinfo || { echo "display $DISPLAY not reachable" >&2; exit 1; }

# A scratch home with two paired phones, so that the list shows rows.
home="$scratch/home"
mkdir -p "$home/Downloads" "$scratch/config/ZELTRAWORKS" "$scratch/data" "$scratch/runtime"
chmod 700 "$scratch/runtime"
cat >"$scratch/config/ZELTRAWORKS/KAVELTOR Companion.conf" <<'EOF'
[PairedDevices]
1\host=pixel-8.local.
1\id=3f2a1c9e-8b7d-4e6f-9a0b-1c2d3e4f5a6b
1\ip=198.51.100.20
1\name=Pixel 8
1\port=53317
1\sharedSecret=example
2\host=annas-iphone.local.
2\id=9c8b7a6f-5e4d-4c3b-8a29-1f0e9d8c7b6a
2\ip=198.51.100.21
2\name=iPhone von Anna
2\port=53317
2\sharedSecret=example
size=2
EOF

start_app() { # [VAR=value...]: extra environment for this run
    env HOME="$home" XDG_CONFIG_HOME="$scratch/config" XDG_DATA_HOME="$scratch/data" \
        XDG_RUNTIME_DIR="$scratch/runtime" XDG_DOWNLOAD_DIR="$home/Downloads" QT_QPA_PLATFORM=xcb "$@" \
        "$top/scripts/netns-run.sh" "$app" >>"$scratch/app.log" 2>&1 &
    app_pid=$!
}
stop_app() {
    kill "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
    app_pid=""
}
main_window() { xdotool search --onlyvisible --name '^KAVELTOR Companion$' 2>/dev/null | head -1; }
has_window() { [ -n "$(main_window)" ]; }
# Sets wx, wy, ww and wh to the window's place and size on the screen.
window_geometry() {
    eval "$(xwininfo -id "$1" | awk '/Absolute upper-left X:/ { print "wx=" $4 }
        /Absolute upper-left Y:/ { print "wy=" $4 } /Width:/ { print "ww=" $2 } /Height:/ { print "wh=" $2 }')"
}
# Clicks "≡" at the right end of the title bar (S = scale) and waits out the
# 340 ms slide.
toggle_sheet() {
    xdotool mousemove "$((wx + ww - 25 * $1))" "$((wy + 20 * $1))" click 1
    sleep 0.8
    xdotool mousemove 0 0
    sleep 0.2
}

# Without a tray host the window shows at start.
start_app
retry 150 has_window || { echo "without a tray the window did not show" >&2; cat "$scratch/app.log" >&2; exit 1; }
sleep 1.5
"$import" -window "$(main_window)" "$out/notray.png"
stop_app

# trayer now and then fails to open a display that has only just come up;
# a second start is enough.
start_trayer() { # EDGE
    trayer --edge "$1" --align right --widthtype request --height 28 --SetDockType true \
        --transparent false --tint 0x202020 >"$scratch/trayer.log" 2>&1 &
    tray_pid=$!
    retry 100 xdotool search --classname '^panel$'
}
start_trayer bottom || start_trayer bottom || {
    echo "trayer did not start" >&2
    cat "$scratch/trayer.log" "$scratch/xvfb.log" >&2
    exit 1
}
tray_window=$(xdotool search --classname '^panel$' | head -1)

# The tray icon is a window that trayer embeds once the application docks it.
icon_window() {
    xwininfo -tree -id "$tray_window" 2>/dev/null |
        awk '/^ +0x[0-9a-f]+ / { print $1 }' |
        while read -r w; do
            width=$(xwininfo -id "$w" | awk '/Width:/ { print $2 }')
            [ "${width:-0}" -gt 1 ] && { echo "$w"; break; }
        done
}
has_icon() { [ -n "$(icon_window)" ]; }
# Starts the program with the given environment and clicks its tray icon.
open_from_tray() {
    start_app "$@"
    retry 150 has_icon || {
        echo "the tray icon did not appear" >&2
        cat "$scratch/app.log" >&2
        exit 1
    }
    sleep 0.5
    icon=$(icon_window)
    eval "$(xwininfo -id "$icon" | awk '/Absolute upper-left X:/ { print "ix=" $4 }
        /Absolute upper-left Y:/ { print "iy=" $4 } /Width:/ { print "iw=" $2 } /Height:/ { print "ih=" $2 }')"
    cx=$((ix + iw / 2))
    cy=$((iy + ih / 2))
    xdotool mousemove "$cx" "$cy" click 1
    retry 100 has_window || { echo "a click on the tray icon did not show the window" >&2; exit 1; }
    # Let the background play a few frames before taking the picture.
    sleep 1.5
    win=$(main_window)
    xdotool mousemove 0 0
    sleep 0.3
    window_geometry "$win"
}

open_from_tray
"$import" -window "$win" "$out/window.png"
"$import" -window root "$out/screen.png"
"$import" -window root -crop "$((iw + 80))x$((ih + 8))+$((ix - 80))+$((iy - 4))" +repage "$out/tray.png"
echo "window ${ww}x${wh} at ${wx},${wy}"

# An outcome in the window itself: "Explorer" with no phone selected.
xdotool mousemove "$((wx + 60))" "$((wy + 270))" click 1
sleep 0.4
xdotool mousemove 0 0
"$import" -window root -crop "${ww}x${wh}+${wx}+${wy}" +repage "$out/outcome.png"
# A phone's menu: a right click on its row.
xdotool mousemove "$((wx + 120))" "$((wy + 110))" click 3
sleep 0.6
"$import" -window root -crop "$((ww + 60))x${wh}+${wx}+${wy}" +repage "$out/menu.png"
xdotool key Escape
sleep 0.3

# A phone's message, sent as a paired phone does, from inside the program's
# network namespace (root only: nsenter), once the outcome above is gone.
sleep 3.5
message="Bin in 10 Minuten am Bahnhof. Die Fotos vom Wochenende liegen hier: https://example.org/teilen/a8f3k2m9q7w1x5z0 – schick mir bitte noch die Adresse!"
if nsenter -t "$app_pid" -n curl -s --max-time 5 -H "X-KAVELTORLink-DeviceId: 3f2a1c9e-8b7d-4e6f-9a0b-1c2d3e4f5a6b" \
    -H "X-KAVELTORLink-Secret: example" -H "Expect:" --data-binary "$message" \
    "http://127.0.0.1:53319/message" >/dev/null; then
    sleep 0.5
    "$import" -window root -crop "${ww}x${wh}+${wx}+${wy}" +repage "$out/message.png"
else
    echo "warning: no message sent, no message.png" >&2
fi

# The settings sheet lives inside the window.
toggle_sheet 1
"$import" -window root -crop "${ww}x${wh}+${wx}+${wy}" +repage "$out/sheet.png"
# Scrolled to the end, where the activity log is.
xdotool mousemove "$((wx + ww / 2))" "$((wy + wh - 120))"
for _ in 1 2 3 4 5 6 7 8 9 10; do xdotool click 5; done
sleep 0.3
xdotool mousemove 0 0
"$import" -window root -crop "${ww}x${wh}+${wx}+${wy}" +repage "$out/sheet-log.png"

# A second click hides the window, and the open sheet with it: nothing of
# the program stays on screen but its tray icon.
xdotool mousemove "$cx" "$cy" click 1
retry 50 sh -c "! xdotool search --onlyvisible --name '^KAVELTOR Companion\$' >/dev/null 2>&1" ||
    echo "warning: a second tray click did not hide the window" >&2
"$import" -window root "$out/hidden.png"
stop_app

# Scale 2, as on a HiDPI laptop.
open_from_tray QT_SCALE_FACTOR=2
"$import" -window root -crop "${ww}x${wh}+${wx}+${wy}" +repage "$out/scale2.png"
toggle_sheet 2
"$import" -window root -crop "${ww}x${wh}+${wx}+${wy}" +repage "$out/scale2-sheet.png"
stop_app

# A tray at the top edge: the window opens below it, in the top right corner.
kill "$tray_pid" 2>/dev/null || true
wait "$tray_pid" 2>/dev/null || true
retry 50 sh -c "! xdotool search --classname '^panel\$' >/dev/null 2>&1"
start_trayer top || start_trayer top || { echo "trayer did not start at the top" >&2; exit 1; }
tray_window=$(xdotool search --classname '^panel$' | head -1)
open_from_tray
screen_width=$(xdpyinfo | awk '/dimensions:/ { split($2, d, "x"); print d[1] }')
"$import" -window root -crop "$((ww + 160))x$((wy + wh + 40))+$((screen_width - ww - 160))+0" +repage "$out/top-panel.png"
echo "top panel: window ${ww}x${wh} at ${wx},${wy}"
stop_app

echo "$out"

#!/bin/sh
# Wake-ups of the idle, hidden application: the context switches of all its
# threads over a quiet period, per second, against a sleeping shell process
# measured in the same run as the baseline. It runs on a virtual display with
# a tray host, where the program starts hidden behind its icon (without a
# tray its window shows, and a shown window animates).
#   bench/idle_wakeups_bench.sh [BUILD_DIR] [SECONDS]    (default: build, 30)
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
seconds=${2:-30}
if [ -z "$KAVELTOR_BENCH_INSIDE" ]; then
    KAVELTOR_BENCH_INSIDE=1 exec "$top/scripts/test-sandbox.sh" \
        xvfb-run -a -s "-nolisten tcp" "$0" "$build" "$seconds"
fi

switches() { # sum of voluntary and involuntary context switches of all threads of $1
    cat /proc/"$1"/task/*/status 2>/dev/null |
        awk '/^(voluntary|nonvoluntary)_ctxt_switches:/ { n += $2 } END { print n + 0 }'
}

trayer --edge bottom --align right --widthtype request --height 28 >/dev/null 2>&1 &
tray=$!
tries=100
until xdotool search --classname '^panel$' >/dev/null 2>&1; do
    tries=$((tries - 1))
    [ "$tries" -gt 0 ] || { echo "trayer did not start" >&2; exit 1; }
    sleep 0.1
done
QT_QPA_PLATFORM=xcb "$build/app/kaveltor-companion" >/dev/null 2>&1 &
app=$!
sleep 300 &
idle=$!
trap 'kill $app $idle $tray 2>/dev/null || true' EXIT
sleep 5 # let start-up settle
a0=$(switches $app)
b0=$(switches $idle)
sleep "$seconds"
a1=$(switches $app)
b1=$(switches $idle)
threads=$(ls /proc/$app/task | wc -l)
awk -v a=$((a1 - a0)) -v b=$((b1 - b0)) -v s="$seconds" -v t="$threads" 'BEGIN {
    printf "idle hidden application: %.2f wake-ups/s across %d threads (target <= 5)\n", a / s, t
    printf "baseline sleeping process: %.2f wake-ups/s\n", b / s
}'

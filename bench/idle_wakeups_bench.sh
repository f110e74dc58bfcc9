#!/bin/sh
# Wake-ups of the idle, hidden application: the context switches of all its
# threads over a quiet period, per second, against a sleeping shell process
# measured in the same run as the baseline.
#   bench/idle_wakeups_bench.sh [BUILD_DIR] [SECONDS]    (default: build, 30)
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
seconds=${2:-30}
if [ -z "$KAVELTOR_BENCH_INSIDE" ]; then
    KAVELTOR_BENCH_INSIDE=1 exec "$top/scripts/test-sandbox.sh" "$0" "$build" "$seconds"
fi

switches() { # sum of voluntary and involuntary context switches of all threads of $1
    cat /proc/"$1"/task/*/status 2>/dev/null |
        awk '/^(voluntary|nonvoluntary)_ctxt_switches:/ { n += $2 } END { print n + 0 }'
}

QT_QPA_PLATFORM=offscreen "$build/app/kaveltor-companion" >/dev/null 2>&1 &
app=$!
sleep 300 &
idle=$!
trap 'kill $app $idle 2>/dev/null || true' EXIT
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

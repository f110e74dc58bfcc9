#!/bin/sh
# Upload receive throughput of the HTTP server against a raw TCP-to-file copy
# of the same bytes with socat followed by an fsync, both over loopback in
# the same run, plus the server's peak memory growth during a 1 GiB upload.
#   bench/upload_bench.sh [BUILD_DIR]        (default: build)
# Everything runs in a private network namespace; the scratch files go to
# $BENCH_TMPDIR (default /var/tmp, which is on disk where /tmp may be RAM)
# and are removed at the end.
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
if [ -z "$KAVELTOR_BENCH_INSIDE" ]; then
    KAVELTOR_BENCH_INSIDE=1 exec "$top/scripts/netns-run.sh" "$0" "$build"
fi

bin="$build/bench/bench_upload"
[ -x "$bin" ] || { echo "build $bin first (cmake --build $build --target bench_upload)" >&2; exit 1; }
command -v socat >/dev/null || { echo "socat is missing" >&2; exit 1; }

server_port=53319
baseline_port=5400 # below the ephemeral range, so no retrying client can connect to itself
rounds=${BENCH_ROUNDS:-3}
work=$(mktemp -d "${BENCH_TMPDIR:-/var/tmp}/kaveltor-bench.XXXXXX")
server_pid=""
cleanup() {
    if [ -n "$server_pid" ]; then
        kill "$server_pid" 2>/dev/null || true
        wait "$server_pid" 2>/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

now() { date +%s.%N; }
mib_per_s() { awk -v b="$1" -v t="$2" 'BEGIN { printf "%.1f", b / 1048576 / t }'; }
median() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
status_kib() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }

mkdir -p "$work/home" "$work/config" "$work/data" "$work/received" "$work/baseline"
head -c 1073741824 /dev/urandom >"$work/large.bin"
head -c 1048576 /dev/urandom >"$work/small.bin"
cat "$work/large.bin" "$work/small.bin" >/dev/null # both runs read from the page cache

HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" QT_QPA_PLATFORM=offscreen \
    "$bin" server "$work/received" >"$work/server.log" 2>&1 &
server_pid=$!
i=0
until grep -q '^ready' "$work/server.log"; do
    i=$((i + 1))
    [ $i -gt 100 ] && { cat "$work/server.log" >&2; exit 1; }
    sleep 0.1
done

# ours FILE COUNT: seconds until every upload was answered "received".
ours() {
    t0=$(now)
    "$bin" client $server_port "$1" "$2" head >/dev/null
    t1=$(now)
    rm -f "$work/received/"*
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f\n", b - a }'
}

# baseline FILE COUNT: one socat receiver per file, each file synced before
# the next receiver starts, as the server syncs before it answers.
baseline() {
    t0=$(now)
    (
        n=1
        while [ $n -le "$2" ]; do
            socat -u -b 65536 TCP-LISTEN:$baseline_port,bind=127.0.0.1,reuseaddr OPEN:"$work/baseline/f$n",creat,trunc
            sync "$work/baseline/f$n"
            n=$((n + 1))
        done
    ) &
    receivers=$!
    "$bin" client $baseline_port "$1" "$2" raw >/dev/null
    wait $receivers
    t1=$(now)
    rm -f "$work/baseline/"*
    awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.6f\n", b - a }'
}

compare() { # LABEL FILE COUNT
    bytes=$(($(stat -c %s "$2") * $3))
    : >"$work/ours.t"
    : >"$work/base.t"
    r=0
    while [ $r -lt "$rounds" ]; do
        baseline "$2" "$3" >>"$work/base.t"
        ours "$2" "$3" >>"$work/ours.t"
        r=$((r + 1))
    done
    if [ -n "$BENCH_VERBOSE" ]; then
        echo "  seconds, server: $(tr '\n' ' ' <"$work/ours.t")" >&2
        echo "  seconds, baseline: $(tr '\n' ' ' <"$work/base.t")" >&2
    fi
    t_ours=$(median <"$work/ours.t")
    t_base=$(median <"$work/base.t")
    printf '%s: server %s MiB/s, baseline socat+fsync %s MiB/s, ratio %s (median of %s)\n' "$1" \
        "$(mib_per_s "$bytes" "$t_ours")" "$(mib_per_s "$bytes" "$t_base")" \
        "$(awk -v a="$t_base" -v b="$t_ours" 'BEGIN { printf "%.2f", a / b }')" "$rounds"
}

rss_before=$(status_kib $server_pid VmRSS)
echo 5 >"/proc/$server_pid/clear_refs" # the peak starts from here
compare "upload 1 GiB" "$work/large.bin" 1
peak=$(status_kib $server_pid VmHWM)
printf 'server peak RSS growth during 1 GiB uploads: %s KiB, limit 8192 KiB, ratio %s\n' \
    $((peak - rss_before)) "$(awk -v g=$((peak - rss_before)) 'BEGIN { printf "%.2f", g / 8192 }')"
compare "upload 200 x 1 MiB" "$work/small.bin" 200

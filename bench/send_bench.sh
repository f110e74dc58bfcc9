#!/bin/sh
# Runs the send benchmark (bench_send): makes files of random bytes (1 GiB,
# its first 256 MiB, and 1 MiB), reads them once so that every contender
# finds them in the page cache, and runs it in a private network namespace
# with a scratch home. The files are removed afterwards, whatever happens.
#   bench/send_bench.sh [BUILD_DIR | BENCH_SEND_BINARY]   (default: build)
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
target=${1:-$top/build}
if [ -d "$target" ]; then
    binary=$(readlink -f "$target/bench/bench_send")
else
    binary=$(readlink -f "$target")
fi
[ -x "$binary" ] || { echo "usage: $0 [BUILD_DIR | BENCH_SEND_BINARY]" >&2; exit 2; }
command -v socat >/dev/null || { echo "send_bench: socat is needed (apt-get install socat)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kaveltor-send-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
head -c 1073741824 /dev/urandom >"$work/large.bin"
head -c 268435456 "$work/large.bin" >"$work/quarter.bin"
head -c 1048576 /dev/urandom >"$work/small.bin"
cat "$work/large.bin" "$work/quarter.bin" "$work/small.bin" >/dev/null
"$top/scripts/test-sandbox.sh" "$binary" "$work/large.bin" "$work/quarter.bin" "$work/small.bin"

#!/bin/sh
# Runs the send benchmark: makes a file of random bytes (1 GiB unless SIZE_MIB
# says otherwise), reads it once so that both contenders find it in the page
# cache, and runs bench_send in a private network namespace with a scratch
# home. The file is removed afterwards, whatever happens.
#   bench/send_bench.sh [BUILD_DIR | BENCH_SEND_BINARY] [SIZE_MIB]   (default: build)
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
target=${1:-$top/build}
if [ -d "$target" ]; then
    binary=$(readlink -f "$target/bench/bench_send")
else
    binary=$(readlink -f "$target")
fi
size_mib=${2:-1024}
[ -x "$binary" ] || { echo "usage: $0 [BUILD_DIR | BENCH_SEND_BINARY] [SIZE_MIB]" >&2; exit 2; }
command -v socat >/dev/null || { echo "send_bench: socat is needed (apt-get install socat)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kaveltor-send-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
file="$work/payload.bin"
dd if=/dev/urandom of="$file" bs=1M count="$size_mib" status=none
cat "$file" >/dev/null
"$top/scripts/test-sandbox.sh" "$binary" "$file"

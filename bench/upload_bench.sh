#!/bin/sh
# Runs the upload benchmark (bench_upload): makes a 1 GiB and a 1 MiB file of
# random bytes, reads them once so that every contender finds them in the
# page cache, and runs it in a private network namespace with a scratch home.
# Received files go to $BENCH_TMPDIR (default /var/tmp, which is on disk where
# /tmp may be RAM); everything is removed at the end, whatever happens.
#   bench/upload_bench.sh [BUILD_DIR]        (default: build)
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
bin="$build/bench/bench_upload"
[ -x "$bin" ] || { echo "build $bin first (cmake --build $build --target bench_upload)" >&2; exit 1; }
command -v socat >/dev/null || { echo "upload_bench: socat is needed (apt-get install socat)" >&2; exit 2; }

work=$(mktemp -d "${BENCH_TMPDIR:-/var/tmp}/kaveltor-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT INT TERM
mkdir -p "$work/home" "$work/config" "$work/data"
head -c 1073741824 /dev/urandom >"$work/large.bin"
head -c 1048576 /dev/urandom >"$work/small.bin"
cat "$work/large.bin" "$work/small.bin" >/dev/null
HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data" QT_QPA_PLATFORM=offscreen \
    "$top/scripts/netns-run.sh" "$bin" "$work/large.bin" "$work/small.bin" "$work"

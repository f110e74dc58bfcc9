#!/bin/sh
# Builds the benchmarks in release mode and runs them. Each prints what it
# measured, the baseline it measured in the same run and their ratio.
#   scripts/bench.sh
set -e
. "$(dirname "$0")/lib.sh"
ensure_packages $BUILD_PACKAGES socat xvfb xauth trayer xdotool
dir="$top/build-bench"
configure_and_build "$dir" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF -DKAVELTOR_BENCH=ON
# Every benchmark runs; one that misses its target says so and fails the
# whole run at the end.
missed=""
for script in "$top"/bench/*_bench.sh; do
    echo "== $(basename "$script")"
    "$script" "$dir" || missed="$missed $(basename "$script")"
done
echo "== idle CPU of the hidden window (60 s)"
"$top/scripts/test-sandbox.sh" env QT_QPA_PLATFORM=offscreen "$dir/bench/bench_idle_cpu" 60
[ -z "$missed" ] || { echo "missed a target:$missed" >&2; exit 1; }

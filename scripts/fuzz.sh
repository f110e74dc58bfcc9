#!/bin/sh
# Builds the libFuzzer targets with clang and runs each for a fixed time.
#   scripts/fuzz.sh [SECONDS]     (default 30)
# Seed corpora live in fuzz/corpus/<target>/; new inputs go to a scratch copy.
set -e
. "$(dirname "$0")/lib.sh"
ensure_packages $BUILD_PACKAGES clang libclang-rt-14-dev
seconds=${1:-30}
dir="$top/build-fuzz"
configure_and_build "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DKAVELTOR_FUZZ=ON \
    -DBUILD_TESTING=OFF -DKAVELTOR_BENCH=OFF
found=0
for target in "$dir"/fuzz/fuzz_*; do
    [ -f "$target" ] && [ -x "$target" ] || continue # not the build's own folders
    found=1
    name=$(basename "$target")
    work=$(mktemp -d)
    [ -d "$top/fuzz/corpus/$name" ] && cp -r "$top/fuzz/corpus/$name/." "$work/"
    echo "== $name for ${seconds}s"
    status=0
    ASAN_OPTIONS=detect_leaks=1 "$target" -max_total_time="$seconds" -print_final_stats=1 "$work" \
        >"$work.log" 2>&1 || status=$?
    tail -3 "$work.log"
    if [ "$status" -ne 0 ]; then
        echo "$name FAILED (exit $status):"
        grep -A40 -E 'ERROR|runtime error|deadly signal' "$work.log" | head -60
        rm -rf "$work" "$work.log"
        exit 1
    fi
    rm -rf "$work" "$work.log"
done
[ "$found" = 1 ] || echo "no fuzz targets"

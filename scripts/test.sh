#!/bin/sh
# Installs what is missing, builds warning-free and runs the whole test suite.
#   scripts/test.sh                     the suite in build/
#   scripts/test.sh --sanitize=SAN      the suite in an instrumented build, SAN being
#                                       "address,undefined" or "thread"
set -e
. "$(dirname "$0")/lib.sh"
ensure_packages $BUILD_PACKAGES $TEST_PACKAGES

case "$1" in
--sanitize=*)
    san=${1#--sanitize=}
    dir="$top/build-$(echo "$san" | tr ',' '-')"
    configure_and_build "$dir" -DCMAKE_BUILD_TYPE=Debug -DKAVELTOR_WERROR=ON -DKAVELTOR_SANITIZE="$san" -DBUILD_TESTING=ON \
        -DKAVELTOR_BENCH=OFF
    export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
    export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
    # die_after_fork=0: a test that runs "ip" to add an interface forks while
    # the service's threads run; the child only execs, and threads the parent
    # starts afterwards are still checked.
    export TSAN_OPTIONS="halt_on_error=1:die_after_fork=0:second_deadlock_stack=1:suppressions=$top/tests/tsan.supp"
    filter=""
    # ThreadSanitizer runs the tests whose point is threads. Its suppression of
    # glibc's time-zone lock names a glibc function, which it can only read
    # with glibc's debugging symbols.
    if [ "$san" = thread ]; then
        filter="-L threads"
        ensure_packages libc6-dbg
    fi
    cd "$dir" && ctest --output-on-failure -j2 $filter
    ;;
"")
    configure_and_build "$top/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKAVELTOR_WERROR=ON -DBUILD_TESTING=ON
    cd "$top/build" && ctest --output-on-failure -j2
    ;;
*)
    echo "usage: $0 [--sanitize=address,undefined|thread]" >&2
    exit 2
    ;;
esac

#!/bin/sh
# The end-to-end test of the real program: run through the test sandbox
# (scratch HOME, private network namespace), so that the simulated phone's
# announcement and the program's multicast DNS never leave this machine.
#   scripts/test-sandbox.sh tests/e2e/run_e2e.sh build/app/kaveltor-companion
set -e
here=$(cd "$(dirname "$0")" && pwd)
app=${1:?usage: $0 PATH/TO/kaveltor-companion [DRIVER OPTIONS]}
shift
for tool in Xvfb xdpyinfo xwininfo xdotool trayer dbus-daemon curl; do
    command -v "$tool" >/dev/null 2>&1 || { echo "e2e: $tool is missing (scripts/lib.sh installs it)" >&2; exit 1; }
done
# Debian's interpreter: it has pyatspi and zeroconf, another one earlier in
# PATH may not.
exec /usr/bin/python3 "$here/e2e_driver.py" --app "$app" --sim-phone "$here/../sim_phone/sim_phone.py" "$@"

#!/bin/sh
# The end-to-end run on a virtual display with a session bus. Run it through
# scripts/test-sandbox.sh, whose private network namespace keeps multicast DNS in.
here=$(cd "$(dirname "$0")" && pwd)
exec xvfb-run -a -s "-screen 0 1280x800x24 -nolisten tcp" dbus-run-session -- /usr/bin/python3 \
    "$here/e2e_driver.py" "${1:?usage: $0 PATH/TO/kaveltor-companion}" "$here/../sim_phone/sim_phone.py"

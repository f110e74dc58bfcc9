#!/bin/sh
# Runs a command in a private network namespace with only a loopback
# interface (multicast enabled and routed there), so that nothing it sends,
# multicast DNS included, can leave this machine. The route names its source
# address: without one, multicast leaves loopback from 0.0.0.0, a sender no
# responder may answer by unicast.
#   scripts/netns-run.sh COMMAND [ARGS...]
set -e
if [ "$(id -u)" -eq 0 ]; then
    flags=-n
else
    flags=-rn # an unprivileged user namespace maps the caller to root inside
fi
exec unshare $flags sh -c '
    ip link set lo up &&
    ip link set lo multicast on &&
    ip route add 224.0.0.0/4 dev lo src 127.0.0.1 &&
    exec "$@"' sh "$@"

#!/bin/sh
# Two network namespaces joined by a veth pair: our service in the first,
# a zeroconf browser in the second must learn our veth address from the A
# record, and a phone registered by zeroconf in the second must reach our
# deviceFound with its veth address. Needs root (for "ip netns"); skips
# otherwise.
#   tests/mdns_veth.sh PEER_EXECUTABLE DRIVER_SCRIPT
set -u
peer=$1
driver=$2
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root for ip netns"; exit 77; }

tag="kvt$$"
ns_ours="$tag-ours"
ns_phone="$tag-phone"
our_address=198.51.100.1
phone_address=198.51.100.2
peer_pid=""
phone_pid=""

scratch=""
cleanup() {
    exec 3>&- 4>&-
    [ -n "$phone_pid" ] && kill "$phone_pid" 2>/dev/null
    if [ -n "$peer_pid" ]; then
        # Closing its stdin ends it; only a hung service needs the kill.
        i=0
        while kill -0 "$peer_pid" 2>/dev/null && [ $i -lt 50 ]; do
            sleep 0.1
            i=$((i + 1))
        done
        kill "$peer_pid" 2>/dev/null
        wait "$peer_pid" 2>/dev/null
    fi
    [ -n "$scratch" ] && rm -rf "$scratch"
    ip netns del "$ns_ours" 2>/dev/null
    ip netns del "$ns_phone" 2>/dev/null
}
trap cleanup EXIT
trap 'exit 1' INT TERM

set -e
ip netns add "$ns_ours"
ip netns add "$ns_phone"
# The pair is made inside the namespaces, so it never exists on this host's
# own network.
ip -n "$ns_ours" link add "${tag}a" type veth peer name "${tag}b" netns "$ns_phone"
for side in "$ns_ours ${tag}a $our_address" "$ns_phone ${tag}b $phone_address"; do
    set -- $side
    ip -n "$1" link set lo up
    ip -n "$1" addr add "$3/24" dev "$2"
    ip -n "$1" link set "$2" up
    ip -n "$1" route add 224.0.0.0/4 dev "$2"
done

# Our side ends when its stdin closes: it reads from a fifo that this
# script holds open until cleanup.
scratch=$(mktemp -d)
mkfifo "$scratch/stdin"
ip netns exec "$ns_ours" "$peer" <"$scratch/stdin" >"$scratch/peer.log" 2>&1 &
peer_pid=$!
exec 3>"$scratch/stdin"
set +e
ip netns exec "$ns_phone" /usr/bin/python3 "$driver" --expect-address "$our_address" resolve
status=$?
if [ "$status" -eq 0 ]; then
    mkfifo "$scratch/phone"
    ip netns exec "$ns_phone" /usr/bin/python3 "$driver" --address "$phone_address" serve <"$scratch/phone" &
    phone_pid=$!
    exec 4>"$scratch/phone"
    want="device {\"host\":\"phone-veth.local.\",\"id\":\"\",\"ip\":\"$phone_address\""
    status=1
    i=0
    while [ $i -lt 200 ]; do
        if grep -qF "$want" "$scratch/peer.log" && grep -qF '"name":"Phone Veth","port":53317' "$scratch/peer.log"; then
            echo "ok: our browser found the phone at $phone_address"
            status=0
            break
        fi
        sleep 0.1
        i=$((i + 1))
    done
    exec 4>&-
    wait "$phone_pid"
fi
if [ "$status" -ne 0 ]; then
    echo "our side said:"
    cat "$scratch/peer.log"
fi
exit $status

#!/bin/bash
# avahi_interop.sh PEER CASE: our discovery service (PEER: mdns_peer) and avahi-daemon, each a host of its
# own (a network namespace we make, 198.51.100.0/24) on one bridge. CASE: browse (avahi resolves us, and
# lists us with -a), find-phone (we find avahi's phone, and its goodbye within 1 s), resolve-host /
# resolve-ours (avahi, its cache emptied, resolves our host name / our instance), goodbye (avahi drops us
# soon after we quit), mcast-phone (we find a phone that answers only by multicast, in two packets),
# late-link (our link comes up after we started; avahi and we still find each other), two-copies (a second
# copy of ours on the link: avahi resolves both, each under names and an address of its own, still ten
# seconds later), late-claimant (avahi claims our name 0.1 s after one of our multicasts: we defend it and
# keep it), ptr-phone (PEER is then the program itself: it finds a phone whose stack answers a browse with
# the PTR alone, asks who it is, and again a minute later, its records refreshed before they run out).
# avahi ignores packets whose IP TTL is not 255. Exit 0 passes, 1 fails, 77 skips.
set -eu
peer=$1 case=$2
# avahi and its bus need real users: root of the machine, not of a user namespace.
[ "$(id -u)" -eq 0 ] && grep -qE '^ +0 +0 +4294967295$' /proc/self/uid_map &&
    command -v avahi-daemon avahi-browse socat >/dev/null || { echo SKIP; exit 77; }
# A mount namespace of our own: /run (namespace names, system bus, avahi's socket, our files) is ours alone.
[ -n "${AVAHI_INTEROP_PRIVATE:-}" ] || AVAHI_INTEROP_PRIVATE=1 exec unshare -m "$0" "$@"
mount -t tmpfs tmpfs /run && mkdir /run/dbus /run/test && work=/run/test
# Every process in our namespaces ends, then the namespaces, within moments of our end, however it comes.
(while kill -0 $$ 2>/dev/null; do sleep 0.2; done
    for n in /run/netns/*; do ip netns pids "${n##*/}" | xargs -r kill -9; ip netns del "${n##*/}"; done) >/dev/null 2>&1 &
fail() { echo "FAIL: $*" && tail -n 30 "$work"/*.log; exit 1; }
wait_for() { local t=$((SECONDS + $1)); until "${@:2}"; do [ $SECONDS -lt $t ] || return 1; sleep 0.3; done; }
host() { ip netns add "$1" && ip -n "$1" link set lo up && plug "$@"; } # host NAME ADDRESS
plug() { # plug NAME ADDRESS: the namespace's one link to the bridge
    ip link add "v-$1" type veth peer name eth0 netns "$1" && ip link set "v-$1" master br0 up
    ip -n "$1" link set eth0 up && ip -n "$1" addr add "$2/24" dev eth0
    ip -n "$1" route add 224.0.0.0/4 dev eth0
}
in_avahi() { ip netns exec avahi "$@"; }
start_avahi() {
    in_avahi avahi-daemon --no-drop-root --no-chroot -f "$work/avahi.conf" >>"$work/avahi.log" 2>&1 &
    wait_for 5 in_avahi avahi-browse -tp _none._tcp >/dev/null 2>&1 || fail "avahi-daemon did not start"
}
peers=() inputs=() got=
start_peer() { # start_peer [NAMESPACE]: ours runs there until the sleep that holds its input open ends
    local ns=${1:-ours} && mkfifo "$work/$ns.in"
    ip netns exec "$ns" "$peer" <"$work/$ns.in" >"$work/$ns.log" 2>&1 & peers+=($!)
    ip netns exec "$ns" sleep 120 >"$work/$ns.in" & inputs+=($!)
    wait_for 10 grep -qs "log mDNS Service aktiv." "$work/$ns.log" || fail "$ns did not start"
}
browse() { in_avahi timeout 10 avahi-browse -rtp _peerharbor._tcp | tee "$work/browse.log" | grep -qxF "$ours"; }
ip link add br0 type bridge mcast_snooping 0 && ip link set br0 up && host ours 198.51.100.1 && host avahi 198.51.100.2
printf '[server]\nhost-name=phone-host\nuse-ipv6=no\nallow-interfaces=eth0\ncheck-response-ttl=yes
[wide-area]\nenable-wide-area=no
[publish]\npublish-workstation=no\n' >"$work/avahi.conf"
in_avahi dbus-daemon --system --nofork --nopidfile >"$work/dbus.log" 2>&1 &
wait_for 5 test -S /run/dbus/system_bus_socket && start_avahi
ours='=;eth0;IPv4;Windows\032KAVELTOR\032Companion;_peerharbor._tcp;local;'
ours+='kaveltor-companion.local;198.51.100.1;53319;"device=windows"'
# Hears one datagram that ours sends from port 5353.
from_ours=UDP4-RECVFROM:5353,reuseaddr,reuseport,ip-add-membership=224.0.0.251:eth0,sourceport=5353,range=198.51.100.1/32
case $case in
browse)
    start_peer
    wait_for 15 browse || fail "avahi did not resolve us"
    in_avahi timeout 10 avahi-browse -atp | grep -q '^+;eth0;IPv4;Windows\\032KAVELTOR\\032Companion;_peerharbor._tcp;local$' ||
        fail "avahi-browse -a does not list us"
    ;;
late-claimant)
    start_peer
    in_avahi timeout 10 avahi-browse -tp _peerharbor._tcp >/dev/null 2>&1 & # we answer it by multicast
    in_avahi timeout 10 socat -u "$from_ours" /dev/null && sleep 0.1
    in_avahi avahi-publish -s "Windows KAVELTOR Companion" _peerharbor._tcp 9999 >"$work/claim.log" 2>&1 &
    wait_for 10 grep -qi collision "$work/claim.log" || fail "avahi took our name"
    wait_for 10 browse && ! grep -q "Name belegt" "$work/ours.log" || fail "we gave up our name"
    ;;
ptr-phone)
    # The phone's announcement at its start goes unheard: only its terse answers can teach us.
    host phone 198.51.100.3
    ip netns exec phone "$(dirname "$0")/ptr_only_phone.py" 198.51.100.3 15 >"$work/phone.log" 2>&1 &
    sleep 1
    ip netns exec ours env QT_QPA_PLATFORM=offscreen "$peer" >"$work/ours.log" 2>&1 & peers+=($!)
    wait_for 20 grep -q identity "$work/phone.log" || fail "the phone was never asked who it is"
    wait_for 75 eval '[ "$(grep -c identity "$work/phone.log")" -ge 2 ]' || fail "not asked again a minute later"
    ! grep -q late "$work/phone.log" || fail "records in use ran out before they were asked for again"
    kill "${peers[0]}"
    ;;
find-phone)
    ip netns exec avahi avahi-publish -s Phone _peerharbor._tcp 8080 >/dev/null 2>&1 & phone=$!
    start_peer
    wait_for 20 grep -q "device Phone|phone-host.local.|8080|198.51.100.2" "$work/ours.log" || fail "no phone"
    kill $phone && timeout 1 sh -c "until grep -q 'gone Phone|phone-host' $work/ours.log; do sleep 0.1; done" ||
        fail "the phone's goodbye did not reach us within 1 s"
    ;;
resolve-host | resolve-ours)
    start_peer
    # Right after something we multicast, with its cache emptied, so that only an answer can teach avahi.
    in_avahi timeout 10 socat -u "$from_ours" /dev/null || true
    in_avahi avahi-daemon -k && wait_for 5 eval '! in_avahi avahi-daemon -c' && start_avahi
    if [ "$case" = resolve-host ]; then
        got=$(in_avahi timeout 3 avahi-resolve -4 -n kaveltor-companion.local 2>&1) || true
        [ "$got" = "$(printf 'kaveltor-companion.local\t198.51.100.1')" ] || fail "avahi resolved: $got"
    else
        got=$(in_avahi timeout 3 dbus-send --system --print-reply --dest=org.freedesktop.Avahi / \
            org.freedesktop.Avahi.Server.ResolveService int32:-1 int32:0 string:"Windows KAVELTOR Companion" \
            string:_peerharbor._tcp string:local int32:0 uint32:0 2>&1 | tr -s ' \n' ' ') || true
        [[ $got == *'"kaveltor-companion.local" int32 0 string "198.51.100.1" uint16 53319'* ]] || fail "avahi: $got"
    fi
    ;;
goodbye)
    in_avahi avahi-browse -p _peerharbor._tcp >"$work/browse.log" 2>&1 &
    start_peer
    wait_for 15 grep -q '^+;eth0;IPv4;Windows' "$work/browse.log" || fail "avahi never listed us"
    kill "${inputs[0]}" && wait "${peers[0]}"
    wait_for 4 grep -q '^-;eth0;IPv4;Windows' "$work/browse.log" || fail "avahi lists us 4 s after we quit"
    ;;
mcast-phone)
    # avahi's unicast replies go to a hardware address nobody has: only its multicast reaches us.
    ip -n avahi neigh replace 198.51.100.1 lladdr 02:00:00:00:00:01 dev eth0 nud permanent
    start_peer
    in_avahi avahi-publish -s -H phone-b.local Phone _peerharbor._tcp 8080 >/dev/null 2>&1 &
    (sleep 2 && in_avahi avahi-publish -a -R phone-b.local 198.51.100.2 >/dev/null 2>&1) &
    wait_for 15 grep -q "device Phone|phone-b.local.|8080|198.51.100.2" "$work/ours.log" || fail "no phone"
    ;;
late-link)
    # Ours starts with no link but loopback, as at login before the network is there.
    ip link del v-ours && start_peer && sleep 3 && plug ours 198.51.100.1
    in_avahi avahi-publish -s Phone _peerharbor._tcp 8080 >/dev/null 2>&1 &
    wait_for 10 browse || fail "avahi did not resolve us once our link was up"
    wait_for 15 grep -q "device Phone|phone-host.local.|8080|198.51.100.2" "$work/ours.log" || fail "no phone"
    ;;
two-copies)
    host ours2 198.51.100.3 && start_peer && start_peer ours2
    n='Windows\032KAVELTOR\032Companion' h=kaveltor-companion
    one_each() { # either copy may keep the first names, as long as names and address stay paired
        got=$(in_avahi timeout 10 avahi-browse -rtp _peerharbor._tcp | tee "$work/browse.log" | grep '^=' |
            cut -d';' -f4,7,8 | LC_ALL=C sort -u | tr '\n' ' ')
        [ "$got" = "$n;$h.local;198.51.100.1 $n\\032\\0402\\041;$h-2.local;198.51.100.3 " ] ||
            [ "$got" = "$n;$h.local;198.51.100.3 $n\\032\\0402\\041;$h-2.local;198.51.100.1 " ]
    }
    wait_for 15 one_each || fail "avahi resolved: $got"
    first=$got && sleep 10 && one_each && [ "$got" = "$first" ] || fail "10 s later avahi resolved: $got"
    ;;
*) fail "no case $case" ;;
esac
kill "${inputs[@]}" 2>/dev/null || true
for p in "${peers[@]}"; do timeout 5 tail --pid="$p" -f /dev/null || fail "ours did not quit within 5 s"; done
echo PASS

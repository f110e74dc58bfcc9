#!/usr/bin/python3
"""Our multicast DNS responder and browser against python3-zeroconf.

Runs only inside a private network namespace (scripts/test-sandbox.sh or
tests/mdns_veth.sh set one up).

  mdns_interop.py --peer PEER same-host        zeroconf and our service side by side
  mdns_interop.py --expect-address A resolve   only resolve our service (veth test)
  mdns_interop.py --address A serve             register a phone until stdin closes (veth test)
  mdns_interop.py --peer PEER --capture DIR same-host   also keep raw datagrams as fuzz seeds
"""
import argparse
import json
import os
import queue
import socket
import struct
import subprocess
import sys
import threading
import time

from zeroconf import InterfaceChoice, IPVersion, ServiceBrowser, ServiceInfo, Zeroconf

SERVICE = "_peerharbor._tcp.local."
OURS = "Windows KAVELTOR Companion." + SERVICE
GROUP = "224.0.0.251"
TIMEOUT = 20


def fail(text):
    print("FAIL: " + text, flush=True)
    sys.exit(1)


class Peer:
    """Our network service in a process of its own."""

    def __init__(self, exe):
        self.proc = subprocess.Popen([exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))

    def wait_for(self, predicate, what, timeout=TIMEOUT):
        for line in self.seen:
            if predicate(line):
                return line
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            try:
                line = self.lines.get(timeout=0.2)
            except queue.Empty:
                continue
            self.seen.append(line)
            if predicate(line):
                return line
        fail("our service never showed " + what + "; it said: " + repr(self.seen))

    def stop(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            fail("our service did not end within 10 s of being asked")


def new_zeroconf():
    return Zeroconf(interfaces=InterfaceChoice.All, ip_version=IPVersion.V4Only)


def resolve_ours(zc, expect_address=None):
    """(a) A zeroconf browser finds and resolves our instance, and the
    address it learns answers on the announced port."""
    found = threading.Event()

    def on_change(zeroconf, service_type, name, state_change):
        if name == OURS:
            found.set()

    browser = ServiceBrowser(zc, SERVICE, handlers=[on_change])
    try:
        if not found.wait(TIMEOUT):
            fail("zeroconf's browser did not find " + OURS)
        info = zc.get_service_info(SERVICE, OURS, timeout=5000)
        if info is None:
            fail("zeroconf could not resolve " + OURS)
        if info.port != 53319:
            fail("port %r instead of 53319" % info.port)
        addresses = info.parsed_addresses(IPVersion.V4Only)
        if not addresses:
            fail("no IPv4 address for " + OURS)
        if expect_address and addresses != [expect_address]:
            fail("announced %r, expected [%r]" % (addresses, expect_address))
        if info.properties.get(b"device") != b"windows":
            fail("TXT record %r" % info.properties)
        with socket.create_connection((addresses[0], info.port), timeout=5) as s:
            s.sendall(b"GET /identity HTTP/1.1\r\nHost: x\r\n\r\n")
            answer = b""
            while True:
                chunk = s.recv(4096)
                if not chunk:
                    break
                answer += chunk
        if b"Windows KAVELTOR Companion" not in answer:
            fail("no identity from %s:%d: %r" % (addresses[0], info.port, answer[:200]))
        print("ok: zeroconf resolved us to %s:%d and reached the service" % (addresses[0], info.port), flush=True)
    finally:
        browser.cancel()


def register_phone(zc, label, port, host, address):
    info = ServiceInfo(SERVICE, label + "." + SERVICE, port=port, server=host,
                       addresses=[socket.inet_aton(address)], properties={"device": "phone"})
    zc.register_service(info)
    return info


def expect_found(peer, label, port, host, address):
    """(b) A service registered with zeroconf reaches deviceFound with
    exactly the registered values."""
    def matches(line):
        if not line.startswith("device "):
            return False
        d = json.loads(line[len("device "):])
        return d["name"] == label
    line = peer.wait_for(matches, "deviceFound for " + label)
    d = json.loads(line[len("device "):])
    want = {"name": label, "host": host, "port": port, "ip": address, "id": ""}
    got = {k: d[k] for k in want}
    if got != want:
        fail("deviceFound %r, expected %r" % (got, want))
    if d["lastSeen"] <= 0:
        fail("lastSeen not set: %r" % d)
    print("ok: deviceFound %r" % got, flush=True)


def capture(directory, seconds=4):
    """Keeps what arrives on the mDNS port, and the replies to a one-shot
    query of our own, as seed files for the fuzzers."""
    os.makedirs(directory, exist_ok=True)
    listen = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    listen.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listen.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    listen.bind(("0.0.0.0", 5353))
    listen.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                      socket.inet_aton(GROUP) + socket.inet_aton("0.0.0.0"))
    ask = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    ask.bind(("0.0.0.0", 0))
    name = b"".join(bytes([len(p)]) + p for p in SERVICE.encode().split(b".") if p) + b"\0"
    ask.sendto(struct.pack(">6H", 4242, 0, 1, 0, 0, 0) + name + struct.pack(">2H", 12, 0x8001), (GROUP, 5353))
    deadline = time.monotonic() + seconds
    count = len(os.listdir(directory))
    while time.monotonic() < deadline:
        for s, kind in ((listen, "port5353"), (ask, "oneshot-reply")):
            s.settimeout(0.05)
            try:
                data = s.recv(9000)
            except socket.timeout:
                continue
            count += 1
            with open(os.path.join(directory, "%s-%d-%03d.bin" % (kind, os.getpid(), count)), "wb") as f:
                f.write(data)
    print("captured %d datagrams into %s" % (count, directory), flush=True)


def same_host(args):
    """(a), (b) and (c): both stacks bound to port 5353 in this namespace,
    in either order of starting."""
    for order, label, port, address in (("zeroconf first", "Pixel Test", 53317, "198.51.100.7"),
                                        ("ours first", "Tablet Ü", 40001, "203.0.113.9")):
        print("== " + order, flush=True)
        peer = zc = None
        try:
            if order == "zeroconf first":
                zc = new_zeroconf()
                time.sleep(0.3)
                peer = Peer(args.peer)
            else:
                peer = Peer(args.peer)
                peer.wait_for(lambda l: l == "log mDNS Service aktiv.", "its responder starting")
                zc = new_zeroconf()
            peer.wait_for(lambda l: l == "log mDNS Service aktiv.", "its responder starting")
            host = label.split()[0].lower() + "-host.local."
            register_phone(zc, label, port, host, address)
            resolve_ours(zc)
            expect_found(peer, label, port, host, address)
            if any("Fehler" in l for l in peer.seen):
                fail("our service reported an error: %r" % peer.seen)
            if args.capture:
                capture(args.capture)
        finally:
            if zc:
                zc.close()
            if peer:
                peer.stop()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--peer")
    parser.add_argument("--expect-address")
    parser.add_argument("--capture")
    parser.add_argument("--address")
    parser.add_argument("case", choices=["same-host", "resolve", "serve"])
    args = parser.parse_args()
    if args.case == "same-host":
        same_host(args)
    elif args.case == "serve":
        # A phone on the other end of a link, until stdin closes.
        zc = new_zeroconf()
        try:
            register_phone(zc, "Phone Veth", 53317, "phone-veth.local.", args.address)
            print("registered", flush=True)
            sys.stdin.read()
        finally:
            zc.close()
        return
    else:
        zc = new_zeroconf()
        try:
            resolve_ours(zc, args.expect_address)
        finally:
            zc.close()
    print("PASS", flush=True)


if __name__ == "__main__":
    main()

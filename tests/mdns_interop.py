#!/usr/bin/python3
# mdns_interop.py PEER: our discovery service (PEER) and python3-zeroconf, an mDNS stack we did not write, share
# port 5353 in either order of starting; zeroconf resolves our announcement and we find the phone it registers.
import socket
import subprocess
import sys
import threading
import time

from zeroconf import InterfaceChoice, IPVersion, ServiceBrowser, ServiceInfo, Zeroconf

SERVICE = "_peerharbor._tcp.local."
OURS = "Windows KAVELTOR Companion." + SERVICE


def wait_for(lines, wanted, seconds=20):
    deadline = time.monotonic() + seconds
    while wanted not in lines:
        if time.monotonic() > deadline:
            sys.exit("FAIL: our service never said %r; it said: %r" % (wanted, lines))
        time.sleep(0.1)


def resolve_ours(zc):
    found = threading.Event()
    browser = ServiceBrowser(zc, SERVICE, handlers=[lambda name, **_: name == OURS and found.set()])
    info = zc.get_service_info(SERVICE, OURS, timeout=5000) if found.wait(20) else None
    browser.cancel()
    got = info and (info.port, info.parsed_addresses(IPVersion.V4Only), info.properties)
    if got != (53319, ["127.0.0.1"], {b"device": b"windows"}):
        sys.exit("FAIL: zeroconf found %r" % (got,))


def main():
    for label, port, address in (("Pixel Test", 53317, "198.51.100.7"), ("Tablet Ü", 40001, "203.0.113.9")):
        zc = None if port == 40001 else Zeroconf(interfaces=InterfaceChoice.All, ip_version=IPVersion.V4Only)
        peer = subprocess.Popen([sys.argv[1]], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        lines = []
        threading.Thread(target=lambda: [lines.append(l.rstrip("\n")) for l in peer.stdout], daemon=True).start()
        try:
            wait_for(lines, "log mDNS Service aktiv.")
            zc = zc or Zeroconf(interfaces=InterfaceChoice.All, ip_version=IPVersion.V4Only)
            host = label.split()[0].lower() + "-host.local."
            zc.register_service(ServiceInfo(SERVICE, label + "." + SERVICE, port=port, server=host,
                                            addresses=[socket.inet_aton(address)]))
            resolve_ours(zc)
            wait_for(lines, "device %s|%s|%d|%s" % (label, host, port, address))
            if any("Fehler" in line for line in lines):
                sys.exit("FAIL: our service reported an error: %r" % lines)
            print("ok: %s, %s started first" % (label, "zeroconf" if port == 53317 else "ours"), flush=True)
        finally:
            if zc:
                zc.close()
            peer.stdin.close()
            try:
                peer.wait(timeout=10)
            except subprocess.TimeoutExpired:
                peer.kill()
                sys.exit("FAIL: our service did not end within 10 s of its stdin closing")
    print("PASS", flush=True)


main()

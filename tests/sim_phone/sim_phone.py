#!/usr/bin/python3
# A simulated phone that answers as the peer application does; see README.md.

import argparse
import json
import os
import re
import socket
import subprocess
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

PAIRED = set()


def report(line):
    sys.stdout.write(line + "\n")  # one write: handlers run in threads
    sys.stdout.flush()


class Phone(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):  # stdout is for the EVENT lines
        pass

    def answer(self, reply, outcome):
        # Reported first, so that whoever waits for the answer finds the event.
        report("EVENT " + json.dumps({"path": self.path, "outcome": outcome}))
        body = json.dumps(reply, separators=(",", ":")).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        self.answer({"deviceId": ARGS.device_id, "name": ARGS.name}, "identity")

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        if self.path == "/pair":
            try:
                asked = json.loads(body)
            except ValueError:
                asked = None
            if not isinstance(asked, dict) or asked.get("code") != ARGS.code:
                return self.answer({"error": "Falscher Code.", "paired": False}, "wrong code")
            PAIRED.add(asked.get("deviceId"))
            return self.answer({"deviceId": ARGS.device_id, "name": ARGS.name, "paired": True,
                                "sharedSecret": ARGS.secret}, "paired")
        if self.headers.get("X-KAVELTORLink-DeviceId") not in PAIRED or \
                self.headers.get("X-KAVELTORLink-Secret") != ARGS.secret:
            return self.answer({"error": "unauthorized"}, "unauthorized")
        if self.path == "/upload":
            name = os.path.basename(self.headers.get("X-Filename", "").replace("\\", "/")) or "upload.bin"
            with open(os.path.join(ARGS.upload_dir, name), "wb") as f:
                f.write(body)
        self.answer({"received": True}, "stored" if self.path == "/upload" else "received " + body.decode())


def announce(port):
    # On a real network the announcement would reach other people's machines.
    listing = subprocess.run(["ip", "-o", "-4", "addr", "show"], capture_output=True, text=True).stdout
    if not listing or any(not address.startswith(("127.", "198.51.100.", "203.0.113."))
                          for address in re.findall(r"inet ([\d.]+)", listing)):
        sys.exit("sim_phone: --announce only runs in a private network namespace")
    from zeroconf import IPVersion, ServiceInfo, Zeroconf

    service = "_peerharbor._tcp.local."
    Zeroconf(interfaces=[ARGS.address], ip_version=IPVersion.V4Only).register_service(ServiceInfo(
        service, f"{ARGS.name}.{service}", addresses=[socket.inet_aton(ARGS.address)], port=port,
        server="sim-phone.local."))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option, default in (("--name", "Sim Phone"), ("--device-id", "sim-phone"), ("--code", "123456"),
                            ("--secret", "sim-secret"), ("--upload-dir", "."), ("--address", "127.0.0.1")):
        parser.add_argument(option, default=default)
    parser.add_argument("--announce", action="store_true")
    parser.add_argument("--exit-on-stdin-eof", action="store_true", help="end with the program that started it")
    ARGS = parser.parse_args()
    server = ThreadingHTTPServer((ARGS.address, 0), Phone)
    if ARGS.announce:
        announce(server.server_port)
    if ARGS.exit_on_stdin_eof:
        threading.Thread(target=lambda: (sys.stdin.read(), os._exit(0)), daemon=True).start()
    report(f"READY {server.server_port}")
    server.serve_forever()

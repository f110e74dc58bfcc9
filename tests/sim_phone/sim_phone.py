#!/usr/bin/python3
"""A simulated phone for KAVELTOR Companion: answers GET /identity,
POST /pair, POST /message and POST /upload the way a phone running the peer
application does, announces itself by multicast DNS on request, and can
misbehave in precisely chosen ways.

The HTTP side is written on raw sockets on purpose: a library server would
not let us close, stall or reset at an exact byte.

Output for programs: one line "READY {json}" on stdout once it listens, then
one line "EVENT {json}" per request it handled. Everything for people goes to
stderr. See README.md beside this file.
"""

import argparse
import base64
import hashlib
import json
import os
import secrets
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import uuid

SERVICE_TYPE = "_peerharbor._tcp.local."
MAX_HEAD_BYTES = 64 * 1024
# Request bodies up to this size are reported byte for byte in the events.
MAX_REPORTED_BODY = 1024 * 1024
READ_CHUNK = 64 * 1024
GOODBYE_LIMIT = 2.0  # seconds to withdraw the announcement when stopped
SLOW_READ_PIECE = 4096
# Address ranges the announcement may ever be seen on (besides loopback).
TEST_NETWORKS = [("198.51.100.0", 24), ("203.0.113.0", 24), ("127.0.0.0", 8)]

MISBEHAVIOURS = {
    "none": "answer every request correctly",
    "close": "read the whole request, then close without answering",
    "silent": "read the whole request, then never answer (the connection stays open)",
    "stall": "read the request head, then never read another byte",
    "error-status": "answer with status 500 but the usual JSON body",
    "slow-read": "read request bodies at --slow-rate bytes per second",
    "reset": "reset the connection after --reset-after body bytes",
}


def compact(obj):
    return json.dumps(obj, sort_keys=True, separators=(",", ":"), ensure_ascii=False).encode("utf-8")


class Output:
    """Serialises lines on stdout (for programs) and stderr (for people)."""

    def __init__(self):
        self.lock = threading.Lock()

    def line(self, kind, obj):
        with self.lock:
            sys.stdout.write(kind + " " + json.dumps(obj, sort_keys=True) + "\n")
            sys.stdout.flush()

    def say(self, text):
        with self.lock:
            sys.stderr.write("sim_phone: " + text + "\n")
            sys.stderr.flush()


class ClientGone(Exception):
    pass


class Request:
    def __init__(self, head, remainder):
        self.head = head
        self.remainder = remainder
        first = head.split(b"\r\n", 1)[0].decode("utf-8", "replace")
        parts = first.split(" ")
        self.method = parts[0] if parts else ""
        self.path = parts[1] if len(parts) > 1 else ""

    def header(self, name):
        """First header whose name matches, case-insensitively; None if absent."""
        key = name.lower().encode() + b":"
        for line in self.head.split(b"\n")[1:]:
            line = line.strip()
            if line.lower().startswith(key):
                return line[len(key):].strip().decode("utf-8", "replace")
        return None


class Phone:
    def __init__(self, args, out):
        self.args = args
        self.out = out
        self.device_id = args.device_id or str(uuid.uuid4())
        self.code = args.code if args.code is not None else "%06d" % secrets.randbelow(1000000)
        self.secret = args.secret or secrets.token_hex(16)
        self.paired = set(args.paired_device or [])
        self.paired_lock = threading.Lock()
        self.upload_dir = args.upload_dir or tempfile.mkdtemp(prefix="sim-phone-")
        os.makedirs(self.upload_dir, exist_ok=True)
        self.name_lock = threading.Lock()
        self.held = []  # connections kept open on purpose
        self.held_lock = threading.Lock()

    # ----- connection handling -------------------------------------------------

    def misbehaving(self, request):
        mode = self.args.misbehave
        if mode == "none":
            return None
        if self.args.route and request.path != self.args.route:
            return None
        return mode

    def handle(self, conn, peer):
        try:
            self.serve(conn)
        except ClientGone:
            pass
        except OSError as e:
            self.out.say("connection from %s:%d: %s" % (peer[0], peer[1], e))
        finally:
            with self.held_lock:
                held = conn in self.held
            if not held:
                conn.close()

    def read_head(self, conn):
        data = b""
        while b"\r\n\r\n" not in data:
            if len(data) > MAX_HEAD_BYTES:
                raise ClientGone()
            piece = conn.recv(8192)
            if not piece:
                raise ClientGone()
            data += piece
        at = data.index(b"\r\n\r\n")
        return Request(data[:at], data[at + 4:])

    def read_body(self, conn, request, length, sink, mode):
        """Reads length body bytes into sink(bytes); returns the count read.
        Stops early when the client goes away."""
        got = 0
        pending = request.remainder[:length]
        if pending:
            sink(pending)
            got += len(pending)
        started = time.monotonic()
        while got < length:
            if mode == "reset" and got >= self.args.reset_after:
                break
            want = min(READ_CHUNK, length - got)
            if mode == "reset":
                want = min(want, self.args.reset_after - got)
            if mode == "slow-read":
                want = min(want, SLOW_READ_PIECE)
                # Keep to the rate: sleep until the bytes so far are "due".
                due = started + got / float(self.args.slow_rate)
                delay = due - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
            try:
                piece = conn.recv(want)
            except OSError:
                piece = b""
            if not piece:
                break
            sink(piece)
            got += len(piece)
        return got

    def serve(self, conn):
        request = self.read_head(conn)
        mode = self.misbehaving(request)
        event = {
            "method": request.method,
            "path": request.path,
            "head": base64.b64encode(request.head + b"\r\n\r\n").decode(),
        }

        if mode == "stall":
            # Take nothing more: the client's sends fill the buffers and stop.
            with self.held_lock:
                self.held.append(conn)
            event["outcome"] = "stalled"
            self.out.line("EVENT", event)
            return

        length_text = request.header("Content-Length")
        try:
            length = int(length_text) if length_text is not None else 0
        except ValueError:
            length = -1
        if length < 0:
            event["outcome"] = "invalid content length"
            self.answer(conn, {"error": "invalid content length"}, mode, event)
            return

        route = (request.method, request.path)
        if route == ("POST", "/upload"):
            self.upload(conn, request, length, mode, event)
            return

        body = bytearray()
        got = self.read_body(conn, request, length, body.extend, mode)
        event["bodyLength"] = got
        event["body"] = base64.b64encode(bytes(body)).decode()
        if got < length:
            self.cut_short(conn, mode, event)
            return

        if route == ("GET", "/identity"):
            reply = {"deviceId": self.device_id, "name": self.args.name}
            event["outcome"] = "identity"
        elif route == ("POST", "/pair"):
            reply = self.pair(bytes(body), event)
        elif route == ("POST", "/message"):
            if self.authorised(request):
                event["message"] = bytes(body).decode("utf-8", "replace")
                event["outcome"] = "received"
                reply = {"received": True}
            else:
                event["outcome"] = "unauthorized"
                reply = {"error": "unauthorized"}
        else:
            event["outcome"] = "unknown route"
            reply = {"error": "unknown route"}
        self.answer(conn, reply, mode, event)

    def pair(self, body, event):
        try:
            asked = json.loads(body.decode("utf-8"))
        except (UnicodeDecodeError, ValueError):
            asked = None
        if not isinstance(asked, dict):
            event["outcome"] = "bad pairing request"
            return {"error": "Ungueltige Anfrage.", "paired": False}
        event["pairingCode"] = asked.get("code")
        event["pairingDeviceId"] = asked.get("deviceId")
        event["pairingName"] = asked.get("name")
        if asked.get("code") != self.code or not isinstance(asked.get("deviceId"), str):
            event["outcome"] = "wrong code"
            return {"error": "Falscher Code.", "paired": False}
        with self.paired_lock:
            self.paired.add(asked["deviceId"])
        event["outcome"] = "paired"
        self.out.say("paired with %s (%s)" % (asked.get("name"), asked["deviceId"]))
        return {"deviceId": self.device_id, "name": self.args.name, "paired": True, "sharedSecret": self.secret}

    def authorised(self, request):
        device = request.header("X-KAVELTORLink-DeviceId")
        secret = request.header("X-KAVELTORLink-Secret")
        with self.paired_lock:
            known = device in self.paired
        return known and secret == self.secret

    def upload(self, conn, request, length, mode, event):
        authorised = self.authorised(request)
        digest = hashlib.sha256()
        reported = bytearray()
        part = None
        if authorised:
            name = self.free_name(request.header("X-Filename") or "")
            part = open(os.path.join(self.upload_dir, name + ".part"), "wb")
            event["fileName"] = name

        def sink(piece):
            digest.update(piece)
            if len(reported) + len(piece) <= MAX_REPORTED_BODY:
                reported.extend(piece)
            if part:
                part.write(piece)

        try:
            got = self.read_body(conn, request, length, sink, mode)
        finally:
            if part:
                part.close()
        event["bodyLength"] = got
        event["bodySha256"] = digest.hexdigest()
        if got <= MAX_REPORTED_BODY:
            event["body"] = base64.b64encode(bytes(reported)).decode()
        if got < length:
            if part:
                os.unlink(part.name)
            self.cut_short(conn, mode, event)
            return
        if not authorised:
            # Drained first, so that the client hears the refusal instead of
            # a reset in the middle of its body.
            event["outcome"] = "unauthorized"
            self.answer(conn, {"error": "unauthorized"}, mode, event)
            return
        final = os.path.join(self.upload_dir, name)
        os.replace(part.name, final)
        event["outcome"] = "stored"
        event["file"] = final
        self.out.say("stored %s (%d bytes)" % (final, got))
        self.answer(conn, {"received": True}, mode, event)

    def free_name(self, proposed):
        base = proposed.replace("\\", "/").split("/")[-1]
        base = "".join(c for c in base if ord(c) >= 0x20 and ord(c) != 0x7F).strip()
        if base in ("", ".", ".."):
            base = "upload.bin"
        stem, dot, ext = base.rpartition(".")
        if not dot or not stem:
            stem, ext = base, ""
        with self.name_lock:
            candidate, n = base, 1
            while os.path.exists(os.path.join(self.upload_dir, candidate)) or os.path.exists(
                os.path.join(self.upload_dir, candidate + ".part")
            ):
                candidate = "%s (%d)%s" % (stem, n, "." + ext if ext else "")
                n += 1
            # Claim it before the body arrives, so that two uploads of one
            # name never share a file.
            open(os.path.join(self.upload_dir, candidate + ".part"), "wb").close()
            return candidate

    def cut_short(self, conn, mode, event):
        if mode == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            event["outcome"] = "reset"
        else:
            event["outcome"] = "incomplete"
        self.out.line("EVENT", event)

    def answer(self, conn, reply, mode, event):
        body = compact(reply)
        if mode == "close":
            event["outcome"] += " (closed without answer)"
            self.out.line("EVENT", event)
            return
        if mode == "silent":
            event["outcome"] += " (never answered)"
            self.out.line("EVENT", event)
            # Hold the connection until the client gives up.
            try:
                while conn.recv(READ_CHUNK):
                    pass
            except OSError:
                pass
            return
        if mode == "reset":
            conn.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            event["outcome"] += " (reset instead of answer)"
            self.out.line("EVENT", event)
            return
        status = b"HTTP/1.1 500 Internal Server Error" if mode == "error-status" else b"HTTP/1.1 200 OK"
        response = (
            status
            + b"\r\nContent-Type: application/json\r\nContent-Length: "
            + str(len(body)).encode()
            + b"\r\nConnection: close\r\n\r\n"
            + body
        )
        try:
            conn.sendall(response)
        except OSError:
            event["outcome"] += " (answer not delivered)"
        event["reply"] = body.decode("utf-8")
        # Report before the client sees the end of the answer, so that a
        # client that sends one request after another reads the events in
        # the same order.
        self.out.line("EVENT", event)
        try:
            conn.shutdown(socket.SHUT_WR)
        except OSError:
            pass


# ----- multicast DNS -------------------------------------------------------------


def in_network(address, network, bits):
    a = struct.unpack("!I", socket.inet_aton(address))[0]
    n = struct.unpack("!I", socket.inet_aton(network))[0]
    mask = (0xFFFFFFFF << (32 - bits)) & 0xFFFFFFFF
    return (a & mask) == (n & mask)


def refuse_unless_private_network():
    """Announcing on a real network would reach other people's machines:
    only ever do it in a network namespace of our own."""
    try:
        if os.readlink("/proc/self/ns/net") == os.readlink("/proc/1/ns/net"):
            sys.exit("sim_phone: --announce only runs in a private network namespace (see README.md)")
    except OSError:
        pass  # not allowed to look at process 1: the addresses below decide
    try:
        listing = subprocess.run(["ip", "-o", "-4", "addr", "show"], capture_output=True, text=True, check=True)
    except (OSError, subprocess.CalledProcessError):
        sys.exit("sim_phone: cannot list the network addresses, refusing to announce")
    for line in listing.stdout.splitlines():
        fields = line.split()
        if "inet" not in fields:
            continue
        address = fields[fields.index("inet") + 1].split("/")[0]
        if not any(in_network(address, n, b) for n, b in TEST_NETWORKS):
            sys.exit("sim_phone: address %s is on a real network, refusing to announce" % address)


def announce(args, port, out):
    refuse_unless_private_network()
    from zeroconf import IPVersion, ServiceInfo, Zeroconf

    address = args.announce_address or (args.bind if args.bind != "0.0.0.0" else "127.0.0.1")
    zc = Zeroconf(interfaces=[address], ip_version=IPVersion.V4Only)
    info = ServiceInfo(
        SERVICE_TYPE,
        "%s.%s" % (args.name, SERVICE_TYPE),
        addresses=[socket.inet_aton(address)],
        port=port,
        server=args.host_name,
        properties={},
    )
    zc.register_service(info)
    out.say("announced %r at %s:%d" % (args.name, address, port))
    return zc, info


def say_goodbye(zc):
    """Withdraws the announcement, but never for longer than GOODBYE_LIMIT:
    zeroconf waits up to ten seconds on a busy event loop, and a phone that
    lingers that long after being stopped fails the test that stops it."""

    def run():
        try:
            zc[0].unregister_service(zc[1])
            zc[0].close()
        except Exception as error:  # a phone going away has no one to tell
            print("sim_phone: goodbye failed: %s" % error, file=sys.stderr)

    goodbye = threading.Thread(target=run, daemon=True)
    goodbye.start()
    goodbye.join(GOODBYE_LIMIT)


# ----- main -----------------------------------------------------------------------


def parse_args(argv):
    modes = "\n".join("  %-13s %s" % item for item in MISBEHAVIOURS.items())
    p = argparse.ArgumentParser(
        prog="sim_phone.py",
        description="A simulated phone that KAVELTOR Companion can find, pair with and send to.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="misbehaviours (--misbehave):\n" + modes + "\n\n"
        'stdout: "READY {json}" once listening (port, code, secret, deviceId, name, uploadDir),\n'
        'then "EVENT {json}" per request handled. Messages for people go to stderr.',
    )
    p.add_argument("--bind", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    p.add_argument("--port", type=int, default=0, help="TCP port; 0 picks a free one (default)")
    p.add_argument("--name", default="Sim Phone", help="display name (default 'Sim Phone')")
    p.add_argument("--device-id", help="device id (default: a new random UUID)")
    p.add_argument("--code", help="pairing code to accept (default: 6 random digits, printed)")
    p.add_argument("--secret", help="shared secret to issue (default: random, printed)")
    p.add_argument(
        "--paired-device",
        action="append",
        metavar="ID",
        help="accept messages and uploads from this computer id without pairing first (repeatable)",
    )
    p.add_argument("--upload-dir", help="folder for received files (default: a new temporary folder)")
    p.add_argument("--misbehave", choices=sorted(MISBEHAVIOURS), default="none")
    p.add_argument("--route", help="misbehave only on requests to this path, e.g. /upload")
    p.add_argument("--slow-rate", type=int, default=64 * 1024, help="bytes per second for slow-read")
    p.add_argument("--reset-after", type=int, default=64 * 1024, help="body bytes read before a reset")
    p.add_argument("--rcvbuf", type=int, help="socket receive buffer size, to make slow reading felt sooner")
    p.add_argument("--announce", action="store_true", help="announce by mDNS (private network namespace only)")
    p.add_argument("--announce-address", help="IPv4 address to announce (default: --bind, or 127.0.0.1)")
    p.add_argument("--host-name", default="sim-phone.local.", help="host name in the SRV record")
    p.add_argument(
        "--exit-on-stdin-eof",
        action="store_true",
        help="end when stdin closes, so that a test that dies takes its phone with it",
    )
    args = p.parse_args(argv)
    if args.slow_rate <= 0 or args.reset_after < 0:
        p.error("--slow-rate must be positive and --reset-after not negative")
    return args


def main(argv):
    args = parse_args(argv)
    out = Output()
    phone = Phone(args, out)

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if args.rcvbuf:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, args.rcvbuf)
    listener.bind((args.bind, args.port))
    listener.listen(64)
    port = listener.getsockname()[1]

    def stop(signum, frame):
        raise SystemExit(0)

    wake_r, wake_w = socket.socketpair()
    wake_w.setblocking(False)
    signal.set_wakeup_fd(wake_w.fileno(), warn_on_full_buffer=False)
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    if args.exit_on_stdin_eof:

        def watch_stdin():
            while sys.stdin.buffer.read(4096):
                pass
            os.kill(os.getpid(), signal.SIGTERM)

        threading.Thread(target=watch_stdin, daemon=True).start()

    zc = None
    if args.announce:
        zc = announce(args, port, out)

    out.line(
        "READY",
        {
            "port": port,
            "code": phone.code,
            "secret": phone.secret,
            "deviceId": phone.device_id,
            "name": args.name,
            "uploadDir": phone.upload_dir,
        },
    )
    out.say("listening on %s:%d, pairing code %s" % (args.bind, port, phone.code))
    try:
        while True:
            # Wait on the wake-up socket as well: the kernel may hand SIGTERM
            # to a handler thread, and then accept() alone would never return
            # to let the main thread run the Python handler.
            readable, _, _ = select.select([listener, wake_r], [], [])
            if wake_r in readable:
                wake_r.recv(64)
            if listener in readable:
                conn, peer = listener.accept()
                threading.Thread(target=phone.handle, args=(conn, peer), daemon=True).start()
    finally:
        listener.close()
        if zc:
            say_goodbye(zc)
        # Every line is flushed as it is written; handler threads may sit in
        # a slow read, and whoever stops the phone wants it gone now.
        os._exit(0)


if __name__ == "__main__":
    main(sys.argv[1:])

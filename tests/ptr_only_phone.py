#!/usr/bin/python3
# ptr_only_phone.py ADDRESS TTL: a phone whose mDNS stack answers tersely, as systemd-resolved does: a browse
# gets the PTR alone, and SRV and A only when asked for them (it has no TXT). It announces itself once, every
# record lives TTL seconds, and it serves GET /identity on port 8080. Prints "identity" for each lookup, and
# "late SRV" (or A) when a record was asked for only after it had run out.
import socket, struct, sys, threading, time
from http.server import BaseHTTPRequestHandler, HTTPServer

ADDRESS, TTL = sys.argv[1], int(sys.argv[2])
SERVICE, INSTANCE, HOST = "_peerharbor._tcp.local.", "Terse Phone._peerharbor._tcp.local.", "terse.local."


def name(text):
    return b"".join(bytes([len(l)]) + l.encode() for l in text.strip(".").split(".")) + b"\0"


def read(message, at):  # the name at at, with compression, and where the question goes on
    labels, end = [], None
    while message[at]:
        if message[at] >= 0xC0:
            end, at = end or at + 2, struct.unpack(">H", message[at:at + 2])[0] & 0x3FFF
            continue
        labels.append(message[at + 1:at + 1 + message[at]].decode(errors="replace"))
        at += 1 + message[at]
    return ".".join(labels).lower() + ".", end or at + 1


def record(owner, rtype, data):
    return name(owner) + struct.pack(">HHIH", rtype, 1, TTL, len(data)) + data


RECORDS = {12: record(SERVICE, 12, name(INSTANCE)), 1: record(HOST, 1, socket.inet_aton(ADDRESS)),
           33: record(INSTANCE, 33, struct.pack(">HHH", 0, 0, 8080) + name(HOST))}
OWNERS = {12: SERVICE, 33: INSTANCE, 1: HOST}


class Identity(BaseHTTPRequestHandler):
    def do_GET(self):
        print("identity", flush=True)
        body = b'{"deviceId":"terse-1","name":"Terse Phone"}'
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


threading.Thread(target=HTTPServer((ADDRESS, 8080), Identity).serve_forever, daemon=True).start()
mdns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
mdns.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
mdns.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_TTL, 255)
mdns.setsockopt(socket.IPPROTO_IP, socket.IP_TTL, 255)
mdns.bind(("", 5353))
mdns.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton("224.0.0.251") + socket.inet_aton(ADDRESS))
mdns.sendto(struct.pack(">6H", 0, 0x8400, 0, 3, 0, 0) + b"".join(RECORDS.values()), ("224.0.0.251", 5353))
answered = {t: time.monotonic() for t in RECORDS}
while True:
    query, (sender, port) = mdns.recvfrom(9000)
    qid, flags, count = struct.unpack(">3H", query[:6])
    at, answers = 12, []
    for _ in range(count if flags & 0x8000 == 0 else 0):
        asked, end = read(query, at)
        rtype = struct.unpack(">H", query[end:end + 2])[0]
        if rtype in RECORDS and asked == OWNERS[rtype].lower():
            if rtype != 12 and time.monotonic() - answered[rtype] > TTL:
                print("late", {33: "SRV", 1: "A"}[rtype], flush=True)
            answered[rtype] = time.monotonic()
            answers.append((name(asked) + query[end:end + 4], RECORDS[rtype]))
        at = end + 4
    for question, answer in answers:  # one reply per question, each the one record asked for
        mdns.sendto(struct.pack(">6H", qid, 0x8400, 1, 1, 0, 0) + question + answer, (sender, port))

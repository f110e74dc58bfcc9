#!/usr/bin/python3
"""Checks the simulated phone itself, so that a test failing against it
points at the program, not at the phone: its help, its announcement as an
independent mDNS stack (python3-zeroconf) sees it, its pairing and
authentication, and two misbehaviours. Runs only inside a private network
namespace (scripts/netns-run.sh), like every test."""

import json
import os
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SIM = os.path.join(HERE, "sim_phone.py")
SERVICE = "_peerharbor._tcp.local."


class Phone:
    def __init__(self, *args):
        self.proc = subprocess.Popen(
            [sys.executable, SIM] + list(args), stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True
        )
        self.ready = self.next_line("READY")

    def next_line(self, kind):
        line = self.proc.stdout.readline()
        if not line.startswith(kind + " "):
            raise AssertionError("expected %s, got %r" % (kind, line))
        return json.loads(line[len(kind) + 1:])

    def stop(self):
        if self.proc.poll() is not None:
            return
        self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise AssertionError("the phone did not end within 10 s of SIGTERM")


def exchange(port, request, shut=True):
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.sendall(request)
    if shut:
        s.shutdown(socket.SHUT_WR)
    data = b""
    try:
        while True:
            piece = s.recv(65536)
            if not piece:
                break
            data += piece
    except ConnectionResetError:
        data += b"<reset>"
    s.close()
    return data


def body_of(response):
    return json.loads(response.split(b"\r\n\r\n", 1)[1])


def post(path, body, headers=""):
    return ("POST %s HTTP/1.1\r\nContent-Length: %d\r\n%s\r\n" % (path, len(body), headers)).encode() + body


def check(condition, what):
    if not condition:
        raise AssertionError(what)
    print("ok:", what)


def test_help():
    out = subprocess.run([sys.executable, SIM, "--help"], capture_output=True, text=True, check=True).stdout
    check("--misbehave" in out and "slow-read" in out and "READY" in out, "--help names the flags and output")


def test_announce_and_contract():
    with tempfile.TemporaryDirectory() as upload:
        announce_and_contract(upload)


def announce_and_contract(upload):
    from zeroconf import IPVersion, Zeroconf

    phone = Phone("--announce", "--name", "Testphone", "--code", "4711", "--upload-dir", upload)
    try:
        port = phone.ready["port"]
        zc = Zeroconf(interfaces=["127.0.0.1"], ip_version=IPVersion.V4Only)
        try:
            info = None
            deadline = time.time() + 10
            while info is None and time.time() < deadline:
                info = zc.get_service_info(SERVICE, "Testphone." + SERVICE, timeout=1000)
            check(info is not None, "the announcement is seen by another mDNS stack")
            check(info.port == port and socket.inet_ntoa(info.addresses[0]) == "127.0.0.1",
                  "it announces its address and port")
        finally:
            zc.close()

        identity = body_of(exchange(port, b"GET /identity HTTP/1.1\r\n\r\n"))
        check(identity == {"deviceId": phone.ready["deviceId"], "name": "Testphone"}, "identity")

        wrong = body_of(exchange(port, post("/pair", b'{"code":"1","deviceId":"pc","name":"PC"}')))
        check(wrong.get("paired") is False and "error" in wrong, "a wrong code is refused")
        paired = body_of(exchange(port, post("/pair", b'{"code":"4711","deviceId":"pc","name":"PC"}')))
        check(paired["paired"] is True and paired["sharedSecret"] == phone.ready["secret"], "the right code pairs")

        auth = "X-KAVELTORLink-DeviceId: pc\r\nX-KAVELTORLink-Secret: %s\r\n" % phone.ready["secret"]
        bad = body_of(exchange(port, post("/message", b"hi", "X-KAVELTORLink-DeviceId: pc\r\n")))
        check(bad == {"error": "unauthorized"}, "a message without the secret is refused")
        ok = body_of(exchange(port, post("/upload", b"hello", auth + "X-Filename: ../a.txt\r\n")))
        check(ok == {"received": True}, "an authenticated upload is received")
        with open(os.path.join(upload, "a.txt"), "rb") as f:
            check(f.read() == b"hello", "and stored under its base name")
        events = [phone.next_line("EVENT") for _ in range(5)]
        outcomes = [e["outcome"] for e in events]
        check(outcomes == ["identity", "wrong code", "paired", "unauthorized", "stored"],
              "every request is reported in order (got %s)" % outcomes)
        check(events[-1]["bodyLength"] == 5 and events[2]["pairingCode"] == "4711", "with its details")
    finally:
        phone.stop()


def test_misbehaviour():
    phone = Phone("--misbehave", "close")
    try:
        check(exchange(phone.ready["port"], b"GET /identity HTTP/1.1\r\n\r\n") == b"", "close: no answer")
    finally:
        phone.stop()
    phone = Phone("--misbehave", "error-status")
    try:
        response = exchange(phone.ready["port"], b"GET /identity HTTP/1.1\r\n\r\n")
        check(response.startswith(b"HTTP/1.1 500") and "deviceId" in body_of(response),
              "error-status: error status, usual body")
    finally:
        phone.stop()
    phone = Phone("--misbehave", "reset", "--reset-after", "10", "--paired-device", "pc", "--secret", "s")
    try:
        request = post("/upload", b"x" * 100000, "X-KAVELTORLink-DeviceId: pc\r\nX-KAVELTORLink-Secret: s\r\n")
        try:
            response = exchange(phone.ready["port"], request, shut=False)
        except (ConnectionResetError, BrokenPipeError):
            response = b"<reset>"
        check(response == b"<reset>", "reset: the connection is reset mid-body")
    finally:
        phone.stop()


def test_stops_when_a_thread_gets_the_signal():
    import ctypes

    phone = Phone("--misbehave", "silent")
    held = socket.create_connection(("127.0.0.1", phone.ready["port"]), timeout=5)
    try:
        held.sendall(b"GET /identity HTTP/1.1\r\n\r\n")
        phone.next_line("EVENT")  # a handler thread now sits in recv()
        pid = phone.proc.pid
        others = [int(t) for t in os.listdir("/proc/%d/task" % pid) if int(t) != pid]
        libc = ctypes.CDLL(None, use_errno=True)
        SYS_tgkill = 234 if os.uname().machine == "x86_64" else 131  # aarch64
        check(others and libc.syscall(SYS_tgkill, pid, others[0], 15) == 0, "SIGTERM sent to a handler thread")
        try:
            phone.proc.wait(10)
        except subprocess.TimeoutExpired:
            pass
        check(phone.proc.poll() is not None, "the phone ends even so")
    finally:
        phone.stop()
        held.close()


if __name__ == "__main__":
    test_help()
    test_announce_and_contract()
    test_misbehaviour()
    test_stops_when_a_thread_gets_the_signal()

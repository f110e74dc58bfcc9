#!/usr/bin/env python3
"""A small HTTPS server standing in for the publisher's update server.

Serves the files of a folder and a few misbehaving routes; prints
"PORT <n>" once it listens on 127.0.0.1.

  https_server.py --cert C --key K --root DIR [--plain-port P]

Routes:
  /files/NAME      the file with a Content-Length
  /unsized/NAME    the file without a Content-Length (ends at close)
  /stall/NAME      headers, half of the body, then silence
  /to-http/NAME    a redirect to http://127.0.0.1:<plain-port>/files/NAME
"""
import argparse
import http.server
import os
import ssl
import sys
import threading
import time


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def _file(self, name):
        path = os.path.join(self.server.root, os.path.basename(name))
        if not os.path.isfile(path):
            return None
        with open(path, "rb") as f:
            return f.read()

    def do_GET(self):
        parts = self.path.lstrip("/").split("/", 1)
        route, name = (parts + [""])[:2]
        if route == "to-http":
            self.send_response(302)
            self.send_header("Location", "http://127.0.0.1:%d/files/%s" % (self.server.plain_port, name))
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        data = self._file(name)
        if data is None:
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        if route == "files":
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data)
        elif route == "unsized":
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(data)
            self.close_connection = True
        elif route == "stall":
            self.send_header("Content-Length", str(len(data)))
            self.end_headers()
            self.wfile.write(data[: len(data) // 2])
            self.wfile.flush()
            time.sleep(30)
        else:
            self.send_error(404)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--root", required=True)
    parser.add_argument("--plain-port", type=int, default=9)
    args = parser.parse_args()

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.root = args.root
    server.plain_port = args.plain_port
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    print("PORT %d" % server.server_address[1], flush=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    # Ends with its parent: the test closes our standard input.
    sys.stdin.read()


if __name__ == "__main__":
    main()

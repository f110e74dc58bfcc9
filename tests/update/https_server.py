# The update tests' publisher: this folder's files on 127.0.0.1 over HTTPS with a trusted
# and a rogue self-signed certificate, and over HTTP; prints the base URLs, ends with stdin.
# /manifest/right|wrong|DIGEST/PATH offers 2.0 from the trusted /PATH with setup.bin's
# digest, a wrong one or DIGEST; /hops/N/NAME redirects N times, /to-http/NAME to HTTP.
import hashlib, http.server, os, ssl, subprocess, sys, threading


class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        route, _, name = self.path.lstrip("/").partition("/")
        first, _, rest = name.partition("/")
        target = URLS[2] + "/files/" + name if route == "to-http" else None
        if route == "hops" and first != "0":
            target = "%s/hops/%d/%s" % (URLS[0], int(first) - 1, rest)
        data = b"" if target else open(os.path.basename(name), "rb").read()
        if route == "manifest":
            digest = {"right": hashlib.sha256(data).hexdigest().upper(), "wrong": "0" * 64}.get(first, first)
            data = ('{"version":"2.0","url":"%s/%s","sha256":" %s\\t"}' % (URLS[0], rest, digest)).encode()
        self.send_response(302 if target else 200)
        self.send_header("Content-Length", str(len(data)))
        if target:
            self.send_header("Location", target)
        self.end_headers()
        self.wfile.write(data)


def serve(certificate=None):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    if certificate:
        subprocess.run(("openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=%s -addext subjectAltName=IP:127.0.0.1 "
                        "-keyout %s.pem -out %s.pem" % ((certificate,) * 3)).split(), check=True, capture_output=True)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(certificate + ".pem")
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return "%s://127.0.0.1:%d" % ("https" if certificate else "http", server.server_address[1])


URLS = [serve("trusted"), serve("rogue"), serve()]
print(*URLS, flush=True)
sys.stdin.read()

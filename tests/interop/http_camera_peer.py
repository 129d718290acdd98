#!/usr/bin/python3
"""A camera as a plain HTTP/1.1 server would be one, for the interop tests of our HTTP client.

Built on Python's http.server, which we did not write. It asks for Digest credentials with
several challenges (SHA-256 and MD5-sess, with opaque, a qop list and a realm holding a comma
and a quote) and checks the answers itself with hashlib; the first nonce it hands out is
declared stale once it is used, so a client must renew it without taking it for a refusal.
The picture stream is chunked multipart whose parts carry no Content-Length, under a quoted
boundary; the camera pages are plain text.

Usage: http_camera_peer.py USER PASSWORD FRAME.jpg...
Writes "PORT <n>" when it listens on 127.0.0.1, then one line per request it judged.
"""
import hashlib
import http.server
import re
import secrets
import sys
import threading

USER, PASSWORD = sys.argv[1], sys.argv[2]
FRAMES = [open(name, "rb").read() for name in sys.argv[3:]]
REALM = 'peer cams, "north"'
BOUNDARY = "--peer boundary"
OPAQUE = secrets.token_hex(8)
ALGORITHMS = {"SHA-256": hashlib.sha256, "MD5-sess": hashlib.md5, "MD5": hashlib.md5}

lock = threading.Lock()
issued = {}  # nonce -> highest nc seen
stale_nonces = set()  # nonces that are declared stale when next used
first_challenge = [True]


def log(text):
    with lock:
        print(text, flush=True)


def quote(value):
    return '"' + value.replace("\\", "\\\\").replace('"', '\\"') + '"'


def new_nonce(expiring):
    nonce = secrets.token_hex(12)
    with lock:
        issued[nonce] = 0
        if expiring:
            stale_nonces.add(nonce)
    return nonce


def parse_parameters(text):
    found = {}
    for match in re.finditer(r'([A-Za-z]+)\s*=\s*("((?:[^"\\]|\\.)*)"|[^,\s]+)', text):
        value = match.group(3) if match.group(3) is not None else match.group(2)
        found[match.group(1).lower()] = re.sub(r"\\(.)", r"\1", value)
    return found


def hash_hex(algorithm, text):
    return ALGORITHMS[algorithm](text.encode()).hexdigest()


def verdict(method, header):
    """'ok', 'stale' or a reason for refusing the Authorization header."""
    if not header.startswith("Digest "):
        return "no digest credentials"
    p = parse_parameters(header[7:])
    algorithm = p.get("algorithm", "MD5")
    if algorithm not in ALGORITHMS:
        return "algorithm " + algorithm
    if p.get("opaque") != OPAQUE:
        return "opaque not echoed"
    if p.get("realm") != REALM or p.get("username") != USER:
        return "realm or user"
    if p.get("qop") != "auth":
        return "qop " + str(p.get("qop"))
    nonce, nc, cnonce = p.get("nonce", ""), p.get("nc", ""), p.get("cnonce", "")
    if not re.fullmatch(r"[0-9a-fA-F]{8}", nc) or not cnonce:
        return "nc or cnonce"
    ha1 = hash_hex(algorithm, f"{USER}:{REALM}:{PASSWORD}")
    if algorithm.endswith("-sess"):
        ha1 = hash_hex(algorithm, f"{ha1}:{nonce}:{cnonce}")
    ha2 = hash_hex(algorithm, f"{method}:{p.get('uri', '')}")
    expected = hash_hex(algorithm, f"{ha1}:{nonce}:{nc}:{cnonce}:auth:{ha2}")
    if p.get("response") != expected:
        return "wrong response"
    with lock:
        if nonce not in issued:
            return "unknown nonce"
        if int(nc, 16) <= issued[nonce]:
            return "nonce count replayed"
        issued[nonce] = int(nc, 16)
        if nonce in stale_nonces:
            stale_nonces.discard(nonce)
            return "stale"
    return "ok " + algorithm + " nc=" + nc


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def challenge(self, stale):
        self.send_response(401, "Unauthorized")
        extra = ", stale=true" if stale else ""
        with lock:
            # The nonces of the very first challenge have expired by the time they come back.
            expiring, first_challenge[0] = first_challenge[0], False
        for algorithm in ("MD5-sess", "SHA-256"):
            self.send_header(
                "WWW-Authenticate",
                f"Digest realm={quote(REALM)}, qop=\"auth,auth-int\", algorithm={algorithm}, "
                f"nonce=\"{new_nonce(expiring)}\", opaque=\"{OPAQUE}\"{extra}")
        self.send_header("Content-Length", "0")
        self.end_headers()

    def do_GET(self):
        result = verdict("GET", self.headers.get("Authorization", ""))
        log(f"{self.path} {result}")
        if not result.startswith("ok"):
            self.challenge(result == "stale")
            return
        if self.path == "/snapshot.cgi":
            self.stream()
        else:
            body = b"Properties.Firmware.Version=peer-1.0\r\n"
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

    def stream(self):
        self.send_response(200)
        self.send_header("Content-Type", f'multipart/x-mixed-replace; boundary="{BOUNDARY}"')
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        body = b""
        for frame in FRAMES:
            body += b"--" + BOUNDARY.encode() + b"\r\nContent-Type: image/jpeg\r\n\r\n"
            body += frame + b"\r\n"
        body += b"--" + BOUNDARY.encode() + b"--\r\n"
        # Chunks of an odd size, so that their edges fall in headers and pictures alike.
        for start in range(0, len(body), 997):
            piece = body[start:start + 997]
            self.wfile.write(b"%x;piece=%d\r\n" % (len(piece), start) + piece + b"\r\n")
        self.wfile.write(b"0\r\nX-Frames: %d\r\n\r\n" % len(FRAMES))
        self.wfile.flush()
        self.close_connection = True


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
server.daemon_threads = True
log(f"PORT {server.server_address[1]}")
threading.Thread(target=lambda: (sys.stdin.read(), server.shutdown()), daemon=True).start()
server.serve_forever()

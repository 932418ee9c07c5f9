"""A DICOMweb server on 127.0.0.1 that misbehaves on purpose, for the PACS fault tests.

Usage: /usr/bin/python3 misbehaving_server.py DICOM_FILE [CERT KEY]   (https with CERT, KEY)
Prints "PORT <n>", then "S: <method> <path> <authorization>" per request, and serves
until stdin closes. The first path segment picks the behaviour (see respond); QIDO
answers find no study, WADO answers carry DICOM_FILE.
"""
import http.server
import ssl
import sys
import threading
import time

BOUNDARY = b"kelvo-test-boundary"
DICOM = b""


def part(data, length=None):
    return (b"--" + BOUNDARY + b"\r\nContent-Type: application/dicom\r\nContent-Length: "
            + str(len(data) if length is None else length).encode() + b"\r\n\r\n" + data + b"\r\n")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def head(self, status, kind, length=None):
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header(*(("Content-Length", str(length)) if length is not None else ("Connection", "close")))
        self.end_headers()

    def whole(self, status, kind, body):
        self.head(status, kind, len(body))
        self.wfile.write(body)

    def paced(self, kind, body, step, pause):  # the whole body, `step` bytes every `pause` s
        self.head(200, kind, len(body))
        for i in range(0, len(body), step):
            self.wfile.write(body[i:i + step])
            self.wfile.flush()
            time.sleep(pause)

    def do_POST(self):
        self.do_GET()

    def do_GET(self):
        try:
            self.respond()
        except (BrokenPipeError, ConnectionResetError):
            pass  # the client gave up, as the tests of cut-offs want

    def respond(self):
        print(f"S: {self.command} {self.path} {self.headers.get('Authorization', '-')}", flush=True)
        self.rfile.read(int(self.headers.get("Content-Length", "0") or 0))
        mode, _, rest = self.path.lstrip("/").partition("/")
        multipart = f'multipart/related; type="application/dicom"; boundary={BOUNDARY.decode()}'
        search = rest.startswith("studies?") or rest == "studies"
        if mode in ("401", "403", "404", "500"):
            self.whole(int(mode), "text/plain", b"no")
        elif mode == "notmultipart":
            self.whole(200, "text/html", b"<html>login page</html>")
        elif search:
            self.whole(200, "application/dicom+json", b"[]")
        elif mode == "ok":
            self.whole(200, multipart, part(DICOM) + part(DICOM) + b"--" + BOUNDARY + b"--\r\n")
        elif mode == "trickle":  # slow, never idle
            self.paced(multipart, part(DICOM) + b"--" + BOUNDARY + b"--\r\n", 512, 0.02)
        elif mode == "stall":  # 100 bytes, then silence
            self.head(200, multipart, 10 * len(DICOM))
            self.wfile.write(part(DICOM)[:100])
            self.wfile.flush()
            time.sleep(30)
        elif mode == "truncated":  # the second part cut short by the connection's end
            self.head(200, multipart)
            self.wfile.write(part(DICOM) + part(DICOM)[: len(DICOM) // 2])
        elif mode == "oversized":  # a part announcing 1000 bytes runs on for 8 MiB
            self.head(200, multipart)
            self.wfile.write(part(b"", 1000)[:-2])
            chunk = b"\0" * 65536
            for _ in range(128):
                self.wfile.write(chunk)
        elif mode == "slowparts":  # one part every 500 ms
            self.paced(multipart, part(DICOM) * 10 + b"--" + BOUNDARY + b"--\r\n", len(part(DICOM)), 0.5)
        else:
            self.whole(404, "text/plain", b"unknown")


def main(args):
    global DICOM
    DICOM = open(args[0], "rb").read()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    if len(args) >= 3:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args[1], args[2])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print(f"PORT {server.server_address[1]}", flush=True)
    sys.stdin.read()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

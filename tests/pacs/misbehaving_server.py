"""A DICOMweb server on 127.0.0.1 that misbehaves on purpose, for the PACS fault tests.

Usage: /usr/bin/python3 misbehaving_server.py DICOM_FILE [CERT KEY]
Prints "PORT <n>", then one line "S: <method> <path> <authorization>" per request it
receives, and serves until stdin closes. With CERT and KEY it speaks https. The first
path segment picks the behaviour; the rest is the DICOMweb path:
  /ok/...          QIDO: no study; WADO: the file twice as a multipart answer
  /trickle/...     WADO: the answer in 512-byte pieces 20 ms apart (slow, never idle)
  /stall/...       WADO: the header and 100 bytes, then silence
  /truncated/...   WADO: the first part cut in the middle, then the connection closes
  /oversized/...   WADO: a part announcing 1000 bytes that runs on for 8 MiB
  /slowparts/...   WADO: one part every 500 ms, ten in all
  /notmultipart/.. WADO and QIDO: a web page
  /401/, /403/, /404/, /500/: that status
"""
import http.server
import socketserver
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
        elif mode == "trickle":
            body = part(DICOM) + b"--" + BOUNDARY + b"--\r\n"
            self.head(200, multipart, len(body))
            for i in range(0, len(body), 512):
                self.wfile.write(body[i:i + 512])
                self.wfile.flush()
                time.sleep(0.02)
        elif mode == "stall":
            self.head(200, multipart, 10 * len(DICOM))
            self.wfile.write(part(DICOM)[:100])
            self.wfile.flush()
            time.sleep(30)
        elif mode == "truncated":
            self.head(200, multipart)
            self.wfile.write(part(DICOM) + part(DICOM)[: len(DICOM) // 2])
        elif mode == "oversized":
            self.head(200, multipart)
            self.wfile.write(part(b"", 1000)[:-2])
            chunk = b"\0" * 65536
            for _ in range(128):
                self.wfile.write(chunk)
        elif mode == "slowparts":
            body = b"".join(part(DICOM) for _ in range(10)) + b"--" + BOUNDARY + b"--\r\n"
            self.head(200, multipart, len(body))
            step = len(part(DICOM))
            for i in range(10):
                self.wfile.write(body[i * step:(i + 1) * step])
                self.wfile.flush()
                time.sleep(0.5)
            self.wfile.write(body[10 * step:])
        else:
            self.whole(404, "text/plain", b"unknown")


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True


def main(args):
    global DICOM
    DICOM = open(args[0], "rb").read()
    server = Server(("127.0.0.1", 0), Handler)
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

#!/usr/bin/python3
"""The update server of the tests: HTTPS and plain HTTP on localhost, serving a folder
under /files/ (slowly under /slow/MS/ and /slow-no-length/MS/, cut off after every N
bytes of a response under /cut/N/) and scripted faults under other paths. Files and the
bodies under /ranged/ come with an ETag and a Last-Modified and honour "Range: bytes=N-"
with "If-Range". Each request is appended to the handler class's `requests` as (time,
path), each file or /ranged/ response to `responses` as a Response and, when the
handler's `response_log` names a file, as a line there.

  test_server.py start STATE_DIR SERVE_DIR   start in the background, with nginx beside
                                             it; ports in STATE_DIR
  test_server.py stop STATE_DIR              stop both
  test_server.py run STATE_DIR SERVE_DIR     serve in the foreground

Bodies made up by the server are pattern(n): byte i is i % 251.
"""
import collections
import email.utils
import http.server
import os
import re
import signal
import socket
import ssl
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import release  # noqa: E402

import nginx_server  # noqa: E402  (beside this file)


def pattern(n, start=0):
    return bytes((i % 251) for i in range(start, start + n))


# One response with a body that can be asked for in part: what was asked and what went out.
Response = collections.namedtuple("Response", "path status range if_range sent")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    serve_dir = "."
    plain_port = 0
    requests = []
    requests_lock = threading.Lock()
    responses = []
    response_log = None

    def log_message(self, format, *args):
        pass

    def send(self, status, body=b"", length=None, headers=()):
        """A response whose Content-Length is `length` (None: the body's size, -1: none)."""
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        if length is None:
            length = len(body)
        if length >= 0:
            self.send_header("Content-Length", str(length))
        if length < 0 or length != len(body):
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        self.wfile.write(body)
        self.wfile.flush()

    def drop(self):
        """Ends the connection at once, with a reset rather than an orderly close."""
        self.wfile.flush()
        raw = self.connection
        raw.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
        self.close_connection = True

    def parse_request(self):
        # A request target in absolute form, as a client sends it through a proxy (WinHTTP
        # under Wine, in the tunnel too), names the same path: servers must accept it.
        if not super().parse_request():
            return False
        absolute = re.match(r"https?://[^/]*(/.*)?$", self.path, re.IGNORECASE)
        if absolute:
            self.path = absolute.group(1) or "/"
        return True

    def do_GET(self):
        parts = self.path.split("?")[0].strip("/").split("/")
        kind, args = parts[0], parts[1:]
        with self.requests_lock:
            self.requests.append((time.monotonic(), self.path))
        numbers = [int(a) for a in args if a.isdigit()]
        if kind == "files":
            return self.serve_file("/".join(args))
        if kind in ("slow", "slow-no-length"):  # /slow/MS/REL: a pause before each 64 KiB
            return self.serve_file("/".join(args[1:]), pause=numbers[0] / 1000,
                                   announce=kind == "slow")
        if kind == "cut":  # /cut/N/REL: every response ends in a reset after N bytes
            return self.serve_file("/".join(args[1:]), cut=numbers[0])
        if kind == "ranged":
            # /ranged/N/OPTIONS/NAME: pattern(N) as a file would come, NAME only to tell
            # requests apart. OPTIONS, comma-separated ("-" for none): cut=K (a reset after
            # K bytes of each response), tag=T (another version of the body, pattern
            # shifted by T, with its own validators), noetag, nolm, weak (a weak ETag),
            # norange (Range ignored), badrange (a 206 one byte off).
            options = dict((o.split("=") + [""])[:2] for o in args[1].split(",") if o != "-")
            shift = int(options.get("tag") or 0)
            return self.send_ranged(
                numbers[0], lambda start, n: pattern(n, start + shift),
                etag=None if "noetag" in options else
                ('W/"p%d-%d"' if "weak" in options else '"p%d-%d"') % (numbers[0], shift),
                modified=None if "nolm" in options else
                email.utils.formatdate(1.6e9 + shift, usegmt=True),
                cut=int(options["cut"]) if "cut" in options else None,
                chunk=1 << 16, ranges="norange" not in options,
                bad_range="badrange" in options)
        if kind == "status":
            # 301 without Location, and with one a client must not follow: from HTTPS
            # down to plain HTTP.
            code = numbers[0]
            headers = []
            if "to-plain-http" in args:
                headers = [("Location", "http://localhost:%s/body/5" % Handler.plain_port)]
            if code in (204, 304):
                return self.send(code, b"", length=-1 if code == 304 else 0, headers=headers)
            if code == 206:
                return self.send(code, pattern(100), headers=[("Content-Range", "bytes 0-99/200")])
            return self.send(code, b"status %d" % code, headers=headers)
        if kind == "body":  # /body/N: exactly N bytes
            return self.send(200, pattern(numbers[0]))
        if kind == "no-length":  # /no-length/N: N bytes, end marked by closing
            return self.send(200, pattern(numbers[0]), length=-1)
        if kind == "length":  # /length/ANNOUNCED/SENT, then the connection closes
            return self.send(200, pattern(numbers[1]), length=numbers[0])
        if kind == "drop":  # /drop/ANNOUNCED/SENT, then a reset
            self.send(200, pattern(numbers[1]), length=numbers[0])
            # A reset throws away whatever the client has not read yet, headers
            # included: give it time to read what was sent.
            time.sleep(0.5)
            return self.drop()
        if kind == "trickle":  # /trickle/N/PIECES/MS: N bytes in pieces, MS apart
            n, pieces, pause = numbers
            self.send_response(200)
            self.send_header("Content-Length", str(n))
            self.end_headers()
            step = (n + pieces - 1) // pieces
            for start in range(0, n, step):
                self.wfile.write(pattern(min(step, n - start), start))
                self.wfile.flush()
                time.sleep(pause / 1000)
            return None
        if kind == "silent":  # /silent/S: reads the request, says nothing for S seconds
            time.sleep(numbers[0])
            return self.drop()
        if kind == "drip":  # /drip/N/MS: the headers, then N bytes, one each MS
            n, pause = numbers
            self.send_response(200)
            self.send_header("Content-Length", str(n))
            self.send_header("Connection", "close")
            self.close_connection = True
            self.end_headers()
            self.wfile.flush()
            for i in range(n):
                time.sleep(pause / 1000)
                self.wfile.write(pattern(1, i))
                self.wfile.flush()
            return None
        if kind in ("drip-headers", "drip-chunk-size"):
            # /drip-headers/MS: the whole response a byte at a time, MS apart;
            # /drip-chunk-size/MS/N: a chunked body of five bytes whose first size line
            # comes a byte at a time, N leading zeros first.
            head = b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"
            if kind == "drip-chunk-size":
                self.wfile.write(b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")
                head = b"0" * numbers[1] + b"5\r\nhello\r\n0\r\n\r\n"
            self.close_connection = True
            try:
                for byte in head:
                    time.sleep(numbers[0] / 1000)
                    self.wfile.write(bytes([byte]))
                    self.wfile.flush()
            except OSError:
                pass
            return None
        if kind == "endless":  # an unannounced body that never ends
            self.send_response(200)
            self.send_header("Connection", "close")
            self.end_headers()
            chunk = pattern(1 << 16)
            try:
                while True:
                    self.wfile.write(chunk)
            except OSError:
                return None
        if kind == "raw-length":  # /raw-length/HEADER[,HEADER]/SENT: Content-Length as given
            self.send_response(200)
            for value in args[0].split(","):
                self.send_header("Content-Length", value)
            self.send_header("Connection", "close")
            self.close_connection = True
            self.end_headers()
            self.wfile.write(pattern(numbers[-1]))
            return None
        if kind == "agent":
            return self.send(200, self.headers.get("User-Agent", "").encode())
        if kind == "path":
            return self.send(200, self.path.encode())
        return self.send(404, b"not found")

    def serve_file(self, rel, pause=0.0, announce=True, cut=None):
        path = os.path.realpath(os.path.join(self.serve_dir, rel))
        if not path.startswith(os.path.realpath(self.serve_dir) + os.sep) or not os.path.isfile(path):
            return self.send(404, b"not found")
        time.sleep(pause)
        info = os.stat(path)
        with open(path, "rb") as f:
            def read(start, n):
                f.seek(start)
                return f.read(n)
            return self.send_ranged(info.st_size, read,
                                    etag='"%x-%x"' % (info.st_mtime_ns, info.st_size),
                                    modified=email.utils.formatdate(info.st_mtime, usegmt=True),
                                    cut=cut, pause=pause, announce=announce,
                                    chunk=1 << 16 if pause else 1 << 20)

    def send_ranged(self, size, read, etag, modified, cut=None, pause=0.0, announce=True,
                    chunk=1 << 20, ranges=True, bad_range=False):
        """Sends the `size` bytes that read(start, n) gives, or their rest from where
        "Range: bytes=N-" asks while "If-Range" (when sent) names the current ETag or
        Last-Modified, as a 206; with `cut`, a response ends in a reset after that many
        bytes; `pause` comes before each piece of `chunk` bytes."""
        asked, if_range = self.headers.get("Range"), self.headers.get("If-Range")
        start, status = 0, 200
        wanted = re.fullmatch(r"bytes=(\d+)-", (asked or "").strip())
        if ranges and wanted and (if_range is None or if_range in (etag, modified)):
            start, status = int(wanted.group(1)), 206
            if start >= size:
                self.log_response(416, asked, if_range, 0)
                return self.send(416, b"", headers=[("Content-Range", "bytes */%d" % size)])
        shown = start + 1 if bad_range and status == 206 else start
        self.send_response(status)
        if ranges:
            self.send_header("Accept-Ranges", "bytes")
        if etag:
            self.send_header("ETag", etag)
        if modified:
            self.send_header("Last-Modified", modified)
        if status == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (shown, size - 1, size))
        if announce:
            self.send_header("Content-Length", str(size - shown))
        if not announce or cut is not None:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        sent, position = 0, shown
        try:
            while position < size and (cut is None or sent < cut):
                n = min(chunk, size - position, cut - sent if cut is not None else chunk)
                self.wfile.write(read(position, n))
                sent += n
                position += n
                if pause:
                    self.wfile.flush()
                    time.sleep(pause)
            self.wfile.flush()
        except OSError:
            pass
        self.log_response(status, asked, if_range, sent)
        if position < size:
            # A reset throws away what the client has not read yet: let it read first.
            time.sleep(0.5)
            self.drop()
        return None

    def log_response(self, status, asked, if_range, sent):
        entry = Response(self.path, status, asked, if_range, sent)
        with self.requests_lock:
            self.responses.append(entry)
            if self.response_log:
                # As nginx_server.py has nginx log them: "STATUS SENT PATH RANGE".
                with open(self.response_log, "a") as log:
                    log.write("%d %d %s %s\n" % (status, sent, self.path, asked or "-"))


def run(state_dir, serve_dir):
    # Blocked before any thread starts, so that only sigwait below receives them.
    signal.pthread_sigmask(signal.SIG_BLOCK, [signal.SIGTERM, signal.SIGINT])
    Handler.serve_dir = serve_dir
    Handler.response_log = os.path.join(state_dir, "responses.log")
    certs = release.make_certificates(os.path.join(state_dir, "certs"))
    secure = http.server.ThreadingHTTPServer(("localhost", 0), Handler)
    context = release.tls_context(certs)
    secure.socket = context.wrap_socket(secure.socket, server_side=True,
                                        do_handshake_on_connect=False)
    plain = http.server.ThreadingHTTPServer(("localhost", 0), Handler)
    Handler.plain_port = plain.server_address[1]
    for server in (secure, plain):
        server.daemon_threads = True
        threading.Thread(target=server.serve_forever, daemon=True).start()
    write(os.path.join(state_dir, "https_port"), str(secure.server_address[1]))
    write(os.path.join(state_dir, "http_port"), str(plain.server_address[1]))
    signal.sigwait([signal.SIGTERM, signal.SIGINT])


def write(path, text):
    with open(path + ".tmp", "w") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


def start(state_dir, serve_dir):
    stop(state_dir)
    os.makedirs(state_dir, exist_ok=True)
    for name in ("https_port", "http_port", "responses.log", "nginx-responses.log"):
        if os.path.exists(os.path.join(state_dir, name)):
            os.remove(os.path.join(state_dir, name))
    with open(os.path.join(state_dir, "server.log"), "wb") as log:
        server = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "run", state_dir, serve_dir],
            stdin=subprocess.DEVNULL, stdout=log, stderr=log, start_new_session=True)
    write(os.path.join(state_dir, "pid"), str(server.pid))
    for _ in range(200):
        if os.path.exists(os.path.join(state_dir, "http_port")):
            certs = release.make_certificates(os.path.join(state_dir, "certs"))
            return nginx_server.start(state_dir, serve_dir, certs["server.pem"],
                                      certs["server-key.pem"])
        if server.poll() is not None:
            break
        time.sleep(0.05)
    print("test server did not start; see %s/server.log" % state_dir, file=sys.stderr)
    return 1


def stop(state_dir):
    nginx_server.stop(state_dir)
    try:
        with open(os.path.join(state_dir, "pid")) as f:
            os.kill(int(f.read()), signal.SIGTERM)
    except (OSError, ValueError):
        pass
    return 0


def main():
    command, state_dir = sys.argv[1], os.path.abspath(sys.argv[2])
    if command == "run":
        return run(state_dir, os.path.abspath(sys.argv[3]))
    if command == "start":
        return start(state_dir, os.path.abspath(sys.argv[3]))
    return stop(state_dir)


if __name__ == "__main__":
    sys.exit(main())

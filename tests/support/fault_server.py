#!/usr/bin/env python3
"""A deliberately faulty HTTP server for the download tests.

Listens on a free loopback port, prints the port on the first line of its output and serves until it is
terminated. Each path produces one fault (or one well-formed answer to compare against):

  /bytes/N               N bytes (byte i is i mod 251), with Content-Length
  /chunked/N             the same N bytes in chunked transfer coding, in pieces of 1000
  /status/N              status N with the body "status N page"
  /user-agent            the request's User-Agent header as the body
  /drop-mid-body         announces 100000 bytes, sends 40000, closes the connection
  /stall-mid-body        announces 100000 bytes, sends 5000, then sends nothing more
  /stall-after-headers   sends the headers of a 1000-byte answer, then nothing
  /stall-before-headers  reads the request, then sends nothing
  /close-before-headers  reads the request and closes the connection
  /redirect-loop         redirects to itself
  /redirect-file         redirects to file:///etc/passwd
  /redirect-ftp          redirects to an ftp URL on this port
  /huge-header           a 200 answer with a 1 MiB header line
  /trickle?rate=R&size=N announces N bytes (default 10^9) as /bytes/N and sends them at R bytes per second
  /endless               a chunked body that never ends, 64 KiB pieces as fast as the client takes them

  /file/KEY?size=N&...   N bytes as /bytes/N, with a strong ETag and a Last-Modified date, honouring Range
                         ("A-B", "A-" and the tail "-N") and If-Range, on a kept-alive connection.
                         Requests and body bytes are counted per
                         KEY. Options, each changing one thing:
                           drop=B       the first request of KEY breaks off after B bytes of its body
                           range=0      Range is ignored: always the whole body (200)
                           range=416    every Range is answered with 416
                           etag=0       no ETag
                           lm=0         no Last-Modified
                           fail=S&times=K  the first K requests of KEY are answered with status S
                           retry=V      those answers carry "Retry-After: V"; retry=dateN sends the
                                        HTTP date N seconds from now
                           after=S      every request of KEY after the first is answered with status S
                           corrupt=K    the first K whole bodies of KEY have their first byte changed
                           close=1      every answer closes its connection
  /served/OPTS/NAME      the file NAME of the directory given with --root, served as /file/ serves its
                         bytes, with the options in the path ("drop=40000,fail=503,times=1", or "-" for
                         none) so that the URL's last segment stays a plain file name; counted under NAME
  /stats?key=KEY         "connections C requests R bytes B": connections accepted for requests other than
                         /stats so far, requests of KEY and the body bytes sent for KEY

Usage: fault_server.py [--root DIR]
"""
import email.utils
import http.server
import os
import socket
import sys
import threading
import time
import urllib.parse

STALL_SECONDS = 600
LAST_MODIFIED = "Tue, 01 Dec 2026 10:00:00 GMT"

lock = threading.Lock()
connections = 0
requests = {}  # KEY -> requests so far
body_bytes = {}  # KEY -> body bytes sent


def pattern(n):
    return bytes(i % 251 for i in range(n))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # answers of a kept-alive connection must not wait for delayed ACKs

    def log_message(self, *args):
        pass

    def setup(self):
        super().setup()
        self.counted = False

    def count_connection(self):
        global connections
        if not self.counted:
            self.counted = True
            with lock:
                connections += 1

    def serve_file(self, key, query, content=None):
        def option(name, default):
            return query.get(name, [default])[0]

        size = len(content) if content is not None else int(option("size", "0"))
        with lock:
            requests[key] = requests.get(key, 0) + 1
            count = requests[key]
        keep = option("close", "0") != "1"
        etag = '"%s-%d"' % (key, size)
        extra = []
        if option("etag", "1") == "1":
            extra.append(("ETag", etag))
        if option("lm", "1") == "1":
            extra.append(("Last-Modified", LAST_MODIFIED))
        fail = int(option("fail", "0"))
        if fail and count <= int(option("times", "1")):
            body = b"status %d page" % fail
            pacing = []
            retry = option("retry", "")
            if retry.startswith("date"):
                pacing.append(("Retry-After", email.utils.formatdate(time.time() + int(retry[4:]), usegmt=True)))
            elif retry:
                pacing.append(("Retry-After", retry))
            self.answer(fail, body, pacing, keep)
            return
        after = int(option("after", "0"))
        if after and count > 1:
            self.answer(after, b"status %d page" % after, [], keep)
            return
        body = content if content is not None else pattern(size)
        status, start, end = 200, 0, size
        wanted = self.headers.get("Range")
        if wanted and wanted.startswith("bytes=") and option("range", "1") != "0":
            if option("range", "1") == "416":
                self.answer(416, b"", [("Content-Range", "bytes */%d" % size)], keep)
                return
            guard = self.headers.get("If-Range")
            if guard is None or (guard == etag and option("etag", "1") == "1") or (
                    guard == LAST_MODIFIED and option("lm", "1") == "1"):
                first_text, last_text = wanted[len("bytes="):].split(",")[0].split("-", 1)
                if first_text:
                    first = int(first_text)
                    last = min(int(last_text), size - 1) if last_text else size - 1
                else:  # a tail: the last N bytes
                    first, last = max(size - int(last_text), 0), size - 1
                if first >= size or last < first:
                    self.answer(416, b"", [("Content-Range", "bytes */%d" % size)], keep)
                    return
                status, start, end = 206, first, last + 1
                extra.append(("Content-Range", "bytes %d-%d/%d" % (first, last, size)))
        if status == 200 and count <= int(option("corrupt", "0")) and size > 0:
            body = bytes([body[0] ^ 0xFF]) + body[1:]
        piece = body[start:end]
        drop = int(option("drop", "-1"))
        if drop >= 0 and count == 1:
            self.head(status, len(piece), extra)
            self.send_counted(key, piece[:drop])
            self.drop()
            return
        self.answer(status, piece, extra, keep, key)

    def serve_root_file(self, options, name):
        query = {}
        for option in options.split(","):
            if "=" in option:
                key, value = option.split("=", 1)
                query[key] = [value]
        root = self.server.root
        path = os.path.join(root, name) if root else None
        if path is None or os.path.basename(name) != name or not os.path.isfile(path):
            self.head(404, 0)
            return
        with open(path, "rb") as served:
            self.serve_file(name, query, served.read())

    def send_counted(self, key, data):
        self.wfile.write(data)
        self.wfile.flush()
        with lock:
            body_bytes[key] = body_bytes.get(key, 0) + len(data)

    def answer(self, status, body, extra, keep, key=None):
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        for name, value in extra:
            self.send_header(name, value)
        if not keep:
            self.send_header("Connection", "close")
            self.close_connection = True
        self.end_headers()
        if key is None:
            self.wfile.write(body)
        else:
            self.send_counted(key, body)

    def stats(self, query):
        key = query.get("key", [""])[0]
        with lock:
            text = "connections %d requests %d bytes %d" % (connections, requests.get(key, 0),
                                                             body_bytes.get(key, 0))
        self.answer(200, text.encode(), [], False)

    def head(self, status, length, extra=()):
        self.send_response(status)
        if length is not None:
            self.send_header("Content-Length", str(length))
        for name, value in extra:
            self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.flush()
        self.close_connection = True

    def drop(self):
        self.wfile.flush()
        try:
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self.close_connection = True

    def do_GET(self):
        path = self.path
        parts = urllib.parse.urlsplit(path)
        if parts.path == "/stats":
            self.stats(urllib.parse.parse_qs(parts.query))
            return
        self.count_connection()
        if parts.path.startswith("/file/"):
            self.serve_file(parts.path[len("/file/"):], urllib.parse.parse_qs(parts.query))
        elif parts.path.startswith("/served/") and parts.path.count("/") == 3:
            self.serve_root_file(*parts.path[len("/served/"):].split("/"))
        elif path.startswith("/bytes/"):
            body = pattern(int(path[len("/bytes/"):]))
            self.head(200, len(body))
            self.wfile.write(body)
        elif path.startswith("/chunked/"):
            body = pattern(int(path[len("/chunked/"):]))
            self.head(200, None, [("Transfer-Encoding", "chunked")])
            for i in range(0, len(body), 1000):
                piece = body[i:i + 1000]
                self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\n\r\n")
        elif path.startswith("/status/"):
            code = int(path[len("/status/"):])
            body = b"status %d page" % code
            self.head(code, len(body))
            self.wfile.write(body)
        elif path == "/user-agent":
            body = self.headers.get("User-Agent", "").encode("latin-1")
            self.head(200, len(body))
            self.wfile.write(body)
        elif path == "/drop-mid-body":
            self.head(200, 100000)
            self.wfile.write(pattern(40000))
            self.drop()
        elif path == "/stall-mid-body":
            self.head(200, 100000)
            self.wfile.write(pattern(5000))
            self.wfile.flush()
            time.sleep(STALL_SECONDS)
        elif path == "/stall-after-headers":
            self.head(200, 1000)
            time.sleep(STALL_SECONDS)
        elif path == "/stall-before-headers":
            time.sleep(STALL_SECONDS)
        elif path == "/close-before-headers":
            self.drop()
        elif path == "/redirect-loop":
            self.head(302, 0, [("Location", "/redirect-loop")])
        elif path == "/redirect-file":
            self.head(302, 0, [("Location", "file:///etc/passwd")])
        elif path == "/redirect-ftp":
            port = self.server.server_address[1]
            self.head(302, 0, [("Location", "ftp://127.0.0.1:%d/file" % port)])
        elif parts.path == "/trickle":
            query = urllib.parse.parse_qs(parts.query)
            rate = int(query.get("rate", ["1"])[0])
            size = int(query.get("size", ["1000000000"])[0])
            self.head(200, size)
            piece = max(1, rate // 16)
            sent = 0
            start = time.monotonic()
            while sent < size:
                data = bytes(i % 251 for i in range(sent, min(size, sent + piece)))
                self.wfile.write(data)
                self.wfile.flush()
                sent += len(data)
                # Paced against the start, so the rate holds however long each write took.
                delay = start + sent / rate - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
        elif path == "/endless":
            self.head(200, None, [("Transfer-Encoding", "chunked")])
            piece = b"%x\r\n%s\r\n" % (65536, bytes(65536))
            while True:
                self.wfile.write(piece)
        elif path == "/huge-header":
            self.head(200, 2, [("X-Filler", "a" * (1024 * 1024))])
            self.wfile.write(b"ok")
        else:
            self.head(404, 0)


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    root = None

    def handle_error(self, request, client_address):
        # Clients that hang up on a kept-alive or faulty connection are part of the tests.
        if isinstance(sys.exc_info()[1], (ConnectionResetError, BrokenPipeError)):
            return
        super().handle_error(request, client_address)


def main():
    server = Server(("127.0.0.1", 0), Handler)
    if len(sys.argv) == 3 and sys.argv[1] == "--root":
        server.root = sys.argv[2]
    elif len(sys.argv) != 1:
        print("usage: fault_server.py [--root DIR]", file=sys.stderr)
        return 2
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())

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
"""
import http.server
import socket
import sys
import time

STALL_SECONDS = 600


def pattern(n):
    return bytes(i % 251 for i in range(n))


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

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
        if path.startswith("/bytes/"):
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
        elif path == "/huge-header":
            self.head(200, 2, [("X-Filler", "a" * (1024 * 1024))])
            self.wfile.write(b"ok")
        else:
            self.head(404, 0)


def main():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    print(server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())

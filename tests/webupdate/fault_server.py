#!/usr/bin/env python3
"""Fault-injecting HTTP server for the web update tests (loopback only).

Serves files of --root in the ways a real server will not do on demand and
records every request (its request line, its header lines, an empty line)
in --log before answering, so that a test reads the log once its transfer
has ended. Prints "READY <port>" when it listens. Ends when its standard
input closes (the test process went away) or after --lifetime seconds.

The body bytes of every response are written, before they are sent, to
--log.sent ("PATH BYTES" lines), so that a test sees what a download cost.

Routes (NAME is a file of --root):
  /plain/NAME            200 with a correct Content-Length
  /nolength/NAME         200 without Content-Length, the connection closes
  /short/NAME            Content-Length 1000 bytes too large, then the
                         connection drops
  /badlength/NAME        Content-Length "12abc"
  /huge/NAME             Content-Length 2147483647, the file, then the
                         connection closes
  /chunked/NAME          HTTP/1.1 chunked, announcing the file's length as
                         Content-Length but sending the file twice
  /status/CODE/NAME      that status code, the file as its body
  /redirect/N/ROUTE      302 to /redirect/N-1/ROUTE, /redirect/0/ROUTE is ROUTE
  /loop                  302 to itself
  /slow/NAME             correct Content-Length, the first 4100 bytes, then
                         nothing until the client closes (at most 30 s)
  /empty                 200 with Content-Length 0
  /trickle/MS/NAME       correct Content-Length, then one byte every MS
                         milliseconds until the client leaves
  /range/NAME            honours "Range: bytes=N-" (206 with Content-Range)
                         unless an If-Range names another validator than
                         its ETag (a strong tag of the content) or its
                         Last-Modified; 200 with the whole file otherwise
  /norange/NAME          as /range but ignores Range: always 200, whole
  /badrange/NAME         a range request gets 206 with a Content-Range from
                         byte 0; without Range 200, whole
  /unsatisfiable/NAME    a range request gets 416; without Range 200, whole
  /cut/N/ROUTE           ROUTE's answer with its body cut after N bytes (the
                         connection drops)
  /hold/NAME             the first request whole; each later one gets the
                         headers and the first 4100 bytes, prints "HELD" and
                         gets the rest once a line "release" arrives on
                         standard input (at most 30 s)
"""

import argparse
import hashlib
import os
import select
import socket
import socketserver
import sys
import threading
import time

ARGS = None
LOG_LOCK = threading.Lock()
HOLD_COUNTS = {}
RELEASE = threading.Event()


def log_request(request_line, headers):
    with LOG_LOCK:
        with open(ARGS.log, "a", encoding="latin-1") as log:
            log.write(request_line + "\n")
            for key, value in headers:
                log.write("%s: %s\n" % (key, value))
            log.write("\n")
            log.flush()


def log_sent(path, count):
    with LOG_LOCK:
        with open(ARGS.log + ".sent", "a", encoding="latin-1") as log:
            log.write("%s %d\n" % (path, count))


def read_file(name):
    path = os.path.join(ARGS.root, name)
    if os.path.sep in os.path.normpath(name) or name.startswith("."):
        return None
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


class Handler(socketserver.StreamRequestHandler):
    cut = None  # body bytes sent before the connection drops

    def send(self, status, headers, body=b""):
        head = "HTTP/1.0 %s X\r\n" % status
        for key, value in headers:
            head += "%s: %s\r\n" % (key, value)
        if self.cut is not None:
            body = body[:self.cut]
        log_sent(self.path, len(body))  # before the client can have it
        self.wfile.write(head.encode("latin-1") + b"\r\n" + body)
        self.wfile.flush()

    def header(self, name):
        for key, value in self.headers:
            if key.lower() == name.lower():
                return value
        return None

    def ranged(self, body, honour, from_zero=False, refuse=False):
        tag = '"%s"' % hashlib.sha256(body).hexdigest()[:16]
        modified = "Tue, 01 Dec 2026 10:00:00 GMT"
        whole = [("ETag", tag), ("Last-Modified", modified), ("Accept-Ranges", "bytes")]
        asked = self.header("Range")
        condition = self.header("If-Range")
        if not asked or not asked.startswith("bytes=") or not asked.endswith("-"):
            return self.send(200, whole + [("Content-Length", str(len(body)))], body)
        if refuse:
            return self.send(416, [("Content-Range", "bytes */%d" % len(body)),
                                   ("Content-Length", "0")])
        start = int(asked[6:-1])
        if not honour or (condition is not None and condition not in (tag, modified)) \
                or start >= len(body):
            return self.send(200, whole + [("Content-Length", str(len(body)))], body)
        if from_zero:
            start = 0
        rest = body[start:]
        return self.send(206, whole + [
            ("Content-Range", "bytes %d-%d/%d" % (start, len(body) - 1, len(body))),
            ("Content-Length", str(len(rest)))], rest)

    def not_found(self):
        self.send(404, [("Content-Length", "9")], b"not found")

    def handle(self):
        self.connection.settimeout(30)
        request_line = self.rfile.readline(8192).decode("latin-1").rstrip("\r\n")
        headers = []
        while True:
            line = self.rfile.readline(8192).decode("latin-1")
            if line in ("", "\r\n", "\n"):
                break
            key, _, value = line.rstrip("\r\n").partition(":")
            headers.append([key, value.strip()])
        log_request(request_line, headers)
        self.headers = headers
        parts = request_line.split(" ")
        if len(parts) < 2:
            return
        self.path = parts[1]
        self.route(parts[1])

    def route(self, path):
        path = path.split("?", 1)[0]
        segments = path.lstrip("/").split("/", 1)
        kind = segments[0]
        rest = segments[1] if len(segments) > 1 else ""
        if kind == "redirect":
            count, _, target = rest.partition("/")
            if not count.isdigit():
                return self.not_found()
            if int(count) == 0:
                return self.route("/" + target)
            location = "/redirect/%d/%s" % (int(count) - 1, target)
            return self.send(302, [("Location", location), ("Content-Length", "0")])
        if kind == "cut":
            count, _, target = rest.partition("/")
            if not count.isdigit():
                return self.not_found()
            self.cut = int(count)
            return self.route("/" + target)
        if kind == "loop":
            return self.send(302, [("Location", "/loop"), ("Content-Length", "0")])
        if kind == "trickle":
            interval, _, name = rest.partition("/")
            body = read_file(name)
            if body is None or not interval.isdigit():
                return self.not_found()
            return self.trickle(body, int(interval) / 1000.0)
        if kind == "empty":
            return self.send(200, [("Content-Length", "0")])
        if kind == "status":
            code, _, name = rest.partition("/")
            body = read_file(name)
            if body is None or not code.isdigit():
                return self.not_found()
            return self.send(int(code), [("Content-Length", str(len(body)))], body)
        body = read_file(rest)
        if body is None:
            return self.not_found()
        if kind in ("range", "norange", "badrange", "unsatisfiable"):
            return self.ranged(body, kind != "norange", kind == "badrange",
                               kind == "unsatisfiable")
        if kind == "plain":
            return self.send(200, [("Content-Length", str(len(body)))], body)
        if kind == "nolength":
            return self.send(200, [], body)
        if kind == "short":
            return self.send(200, [("Content-Length", str(len(body) + 1000))], body)
        if kind == "badlength":
            return self.send(200, [("Content-Length", "12abc")], body)
        if kind == "huge":
            return self.send(200, [("Content-Length", "2147483647")], body)
        if kind == "chunked":
            return self.chunked(body, body + body)
        if kind == "hold":
            with LOG_LOCK:
                earlier = HOLD_COUNTS.get(rest, 0)
                HOLD_COUNTS[rest] = earlier + 1
            if earlier == 0:
                return self.send(200, [("Content-Length", str(len(body)))], body)
            first = min(len(body), 4100)
            self.send(200, [("Content-Length", str(len(body)))], body[:first])
            print("HELD", flush=True)
            RELEASE.wait(30)
            self.wfile.write(body[first:])
            return None
        if kind == "slow":
            first = min(len(body), 4100)
            self.send(200, [("Content-Length", str(len(body)))], body[:first])
            # Hold the rest back until the client gives up (a cancelled
            # transfer closes its connection) or the time is up.
            readable, _, _ = select.select([self.connection], [], [], 30)
            if not readable:
                self.wfile.write(body[first:])
            return None
        return self.not_found()


    def chunked(self, announced, body):
        head = ("HTTP/1.1 200 X\r\nContent-Length: %d\r\nTransfer-Encoding: chunked\r\n"
                "Connection: close\r\n\r\n" % len(announced))
        try:
            self.wfile.write(head.encode("latin-1"))
            for start in range(0, len(body), 4096):
                piece = body[start:start + 4096]
                self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
            self.wfile.write(b"0\r\n\r\n")
            self.wfile.flush()
        except OSError:
            return  # the client stopped reading

    def trickle(self, body, interval):
        self.send(200, [("Content-Length", str(len(body)))])
        for i in range(len(body)):
            time.sleep(interval)
            try:
                self.wfile.write(body[i:i + 1])
                self.wfile.flush()
            except OSError:
                return


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--lifetime", type=float, default=300)
    ARGS = parser.parse_args()
    server = Server(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print("READY %d" % server.server_address[1], flush=True)
    # Ends with the test process (its end closes our standard input) or when
    # the lifetime is over, whichever comes first.
    done = threading.Event()

    def watch_stdin():
        try:
            for line in sys.stdin.buffer:
                if line.strip() == b"release":
                    RELEASE.set()
        finally:
            done.set()

    threading.Thread(target=watch_stdin, daemon=True).start()
    done.wait(ARGS.lifetime)
    server.shutdown()
    server.server_close()


if __name__ == "__main__":
    main()

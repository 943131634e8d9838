#!/usr/bin/env python3
"""A small web server for the tests: serves one directory on 127.0.0.1 with Content-Length and
Last-Modified on GET and HEAD, records every request, and can be told to misbehave.

    http_server.py ROOT [--fail-first K] [--no-last-modified] [--log FILE] [--rule RULE]...
                        [--tls CERT KEY] [--keep-alive] [--no-ranges] [--drop PERCENT [--seed S]]

It prints "PORT <n>" on its first line once it listens on an ephemeral port. With --tls it speaks
HTTPS only (a plain request gets no answer and is counted under "/_plain"). With --keep-alive it
answers HTTP/1.1 and keeps connections open between requests; every connection is counted under
"/_connections" (method ANY). With --drop it closes the connection without any answer on PERCENT
per cent of the requests (chosen by a generator seeded with S, default 1; /_count and /_last are
never dropped); they are counted under "/_dropped".

A GET of a file with "Range: bytes=FIRST-" answers 206 with the bytes from FIRST on and a
Content-Range header (416 when FIRST is not inside the file), unless an If-Range header differs
from the file's Last-Modified text or --no-ranges is given: then the whole file, 200. A cut rule
counts the bytes sent; a corrupt rule's offset is one of the file.

Per-path rules, METHOD:PATH:KIND[:ARG...] (METHOD is GET, HEAD or ANY; PATH as requested, e.g.
/Data0.zip; a COUNT of 0 means every time):
    fail:CODE:COUNT       answer CODE to the first COUNT requests of the path
    drop:COUNT            close the connection without any answer
    cut:BYTES:COUNT       send only BYTES bytes of the body (whole length announced), then close
    corrupt:OFFSET:COUNT  flip every bit of the byte at OFFSET of the body
    nolm                  omit Last-Modified
    redirect:TARGET       answer 302 with Location: TARGET
    skewrange             answer a range request with the part one byte later than asked for
    slow:RATE             send the body at RATE bytes per second
    stall:MS:COUNT        send the headers and half of the body, then wait MS milliseconds
    endless               send no Content-Length, then the body and zero bytes without end (up to 256 MiB)
    length:N              announce a Content-Length of N, then send as "endless" does
    drip:BYTES:MS         send the body BYTES bytes at a time, one piece every MS milliseconds
Requests are counted per method and path: /_count/PATH answers {"GET": n, "HEAD": m} (not counted).

Faults chosen by the path prefix of a request:
    /_status/CODE/PATH   answer CODE with a short body
    /_redirect/PATH      answer 302 with Location: /PATH and the body "redirect"
    /_cut/N/PATH         announce the whole file but send only N bytes, then close
    /_stall/MS/PATH      wait MS milliseconds before answering
    /_stallbody/MS/PATH  send the headers and half of the file, then wait MS milliseconds
    /_last               the last recorded request (not itself recorded) as JSON
Any POST is recorded and answered 200 with the file ROOT/PATH when it exists, else with the body.
"""
import argparse
import email.utils
import http.server
import json
import os
import random
import socketserver
import ssl
import sys
import threading
import time
import urllib.parse


class Rule:
    def __init__(self, text):
        parts = text.split(":")
        self.method, self.path, self.kind = parts[0], parts[1], parts[2]
        self.args = parts[3:]
        self.used = 0

    def applies(self, method, path):
        if self.path != path or self.method not in ("ANY", method):
            return False
        count = int(self.args[-1]) if self.kind in ("fail", "cut", "corrupt", "stall", "drop") else 0
        if count and self.used >= count:
            return False
        self.used += 1
        return True


class State:
    def __init__(self, root, fail_first, last_modified, log, rules, ranges=True, drop=0, seed=1):
        self.root = os.path.realpath(root)
        self.ranges = ranges
        self.fail_left = fail_first
        self.last_modified = last_modified
        self.log = log
        self.last = {}
        self.rules = [Rule(text) for text in rules]
        self.counts = {}
        self.drop = drop
        self.random = random.Random(seed)
        self.lock = threading.Lock()

    def should_drop(self):
        with self.lock:
            if self.drop <= 0 or self.random.random() * 100 >= self.drop:
                return False
            dropped = self.counts.setdefault("/_dropped", {})
            dropped["ANY"] = dropped.get("ANY", 0) + 1
            return True

    def take_rules(self, method, path):
        """Counts the request and answers the rules that apply to it, by kind."""
        with self.lock:
            per_path = self.counts.setdefault(path, {})
            per_path[method] = per_path.get(method, 0) + 1
            return {rule.kind: rule.args for rule in self.rules if rule.applies(method, path)}


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    server_version = "fixture"
    sys_version = ""

    def log_message(self, fmt, *args):
        pass

    def setup(self):
        super().setup()
        state = self.server.state
        with state.lock:
            connections = state.counts.setdefault("/_connections", {})
            connections["ANY"] = connections.get("ANY", 0) + 1

    def wanted_range(self, stamp, length):
        """The first byte a GET asks for, None for the whole file, or -1 when outside the file."""
        text = self.headers.get("Range")
        if self.command != "GET" or not text or not self.server.state.ranges:
            return None
        if_range = self.headers.get("If-Range")
        if if_range is not None and if_range != stamp:
            return None
        if not text.startswith("bytes=") or not text.endswith("-") or not text[6:-1].isdigit():
            return None
        first = int(text[6:-1])
        return first if first < length else -1

    def record(self, body):
        state = self.server.state
        entry = {"method": self.command, "path": self.path,
                 "headers": [[k, v] for k, v in self.headers.items()],
                 "body": body.decode("latin-1")}
        with state.lock:
            state.last = entry
            if state.log:
                with open(state.log, "a") as out:
                    out.write(json.dumps(entry) + "\n")

    def fail_if_asked(self):
        state = self.server.state
        with state.lock:
            if state.fail_left <= 0:
                return False
            state.fail_left -= 1
        self.answer(503, b"failing on purpose\n")
        return True

    def answer(self, code, body, headers=(), send_body=True):
        self.send_response(code)
        self.send_header("Content-Length", str(len(body)))
        for key, value in headers:
            self.send_header(key, value)
        self.end_headers()
        if send_body:
            self.wfile.write(body)

    def local_file(self, path):
        relative = urllib.parse.unquote(path.split("?", 1)[0]).lstrip("/")
        full = os.path.realpath(os.path.join(self.server.state.root, relative))
        if full != self.server.state.root and not full.startswith(self.server.state.root + os.sep):
            return None
        return full if os.path.isfile(full) else None

    def serve(self, send_body):
        path = self.path
        if path == "/_last":
            with self.server.state.lock:
                body = json.dumps(self.server.state.last).encode()
            return self.answer(200, body, send_body=send_body)
        if path.startswith("/_count/"):
            with self.server.state.lock:
                body = json.dumps(self.server.state.counts.get(path[len("/_count"):], {})).encode()
            return self.answer(200, body, send_body=send_body)
        if self.server.state.should_drop():
            self.close_connection = True
            return
        body = self.rfile.read(int(self.headers.get("Content-Length", 0) or 0))
        self.record(body)
        if self.fail_if_asked():
            return
        rules = self.server.state.take_rules(self.command, path.split("?", 1)[0])
        if "drop" in rules:
            self.close_connection = True
            return
        if "fail" in rules:
            return self.answer(int(rules["fail"][0]), b"failing on purpose\n", send_body=send_body)
        if "redirect" in rules:
            # The target may hold colons of its own (a scheme, a port).
            return self.answer(302, b"redirect", [("Location", ":".join(rules["redirect"]))], send_body)
        cut = None
        parts = path.split("/")
        if path.startswith("/_stall/"):
            time.sleep(int(parts[2]) / 1000.0)
            path = "/" + "/".join(parts[3:])
            parts = path.split("/")
        if path.startswith("/_status/"):
            return self.answer(int(parts[2]), b"status on purpose\n", send_body=send_body)
        if path.startswith("/_redirect/"):
            return self.answer(302, b"redirect", [("Location", "/" + "/".join(parts[2:]))], send_body)
        stall_body = None
        if path.startswith("/_stallbody/"):
            stall_body = int(parts[2]) / 1000.0
            path = "/" + "/".join(parts[3:])
            parts = path.split("/")
        if "stall" in rules:
            stall_body = int(rules["stall"][0]) / 1000.0
        if path.startswith("/_cut/"):
            cut = int(parts[2])
            path = "/" + "/".join(parts[3:])
        if "cut" in rules:
            cut = int(rules["cut"][0])
        if self.command == "POST":
            local = self.local_file(path)
            data = open(local, "rb").read() if local else body
            return self.answer(200, data, [("Content-Type", "application/json")])
        local = self.local_file(path)
        if not local:
            return self.answer(404, b"not found\n", send_body=send_body)
        data = open(local, "rb").read()
        if "corrupt" in rules and int(rules["corrupt"][0]) < len(data):
            offset = int(rules["corrupt"][0])
            data = data[:offset] + bytes([data[offset] ^ 0xFF]) + data[offset + 1:]
        stamp = email.utils.formatdate(os.stat(local).st_mtime, usegmt=True)
        with_stamp = self.server.state.last_modified and "nolm" not in rules
        first = self.wanted_range(stamp if with_stamp else None, len(data))
        if first == -1:
            return self.answer(416, b"", [("Content-Range", "bytes */%d" % len(data))], send_body)
        if first is not None:
            if "skewrange" in rules:
                first = min(first + 1, len(data) - 1)
            self.send_response(206)
            self.send_header("Content-Range", "bytes %d-%d/%d" % (first, len(data) - 1, len(data)))
            data = data[first:]
        else:
            self.send_response(200)
        endless = "endless" in rules or "length" in rules
        if "length" in rules:
            self.send_header("Content-Length", rules["length"][0])
        elif "endless" not in rules:
            self.send_header("Content-Length", str(len(data)))
        if with_stamp:
            self.send_header("Last-Modified", stamp)
        self.end_headers()
        if cut is not None or stall_body is not None or endless or "slow" in rules or "drip" in rules:
            self.close_connection = True
        if send_body and endless:
            self.send_endless(data)
        elif send_body and "drip" in rules:
            self.send_in_pieces(data, max(1, int(rules["drip"][0])), int(rules["drip"][1]) / 1000.0)
        elif send_body and "slow" in rules:
            rate = max(1, int(rules["slow"][0]))
            for start in range(0, len(data), rate):
                self.wfile.write(data[start:start + rate])
                self.wfile.flush()
                time.sleep(1.0)
        elif send_body and stall_body is not None:
            self.wfile.write(data[:len(data) // 2])
            self.wfile.flush()
            time.sleep(stall_body)
            self.wfile.write(data[len(data) // 2:])
        elif send_body:
            self.wfile.write(data if cut is None else data[:cut])
            self.wfile.flush()

    def send_endless(self, data, limit=256 << 20):
        """The body, then zeros until the client goes away (or the limit is reached)."""
        try:
            self.wfile.write(data)
            zeros, sent = bytes(65536), len(data)
            while sent < limit:
                self.wfile.write(zeros)
                sent += len(zeros)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def send_in_pieces(self, data, size, pause):
        try:
            for start in range(0, len(data), size):
                self.wfile.write(data[start:start + size])
                self.wfile.flush()
                time.sleep(pause)
        except (BrokenPipeError, ConnectionResetError):
            pass

    def do_GET(self):
        self.serve(True)

    def do_HEAD(self):
        self.serve(False)

    def do_POST(self):
        self.serve(True)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    tls = None

    def finish_request(self, request, client_address):
        if self.tls is not None:
            try:
                request = self.tls.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                with self.state.lock:
                    plain = self.state.counts.setdefault("/_plain", {})
                    plain["ANY"] = plain.get("ANY", 0) + 1
                return
        super().finish_request(request, client_address)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("--fail-first", type=int, default=0)
    parser.add_argument("--no-last-modified", action="store_true")
    parser.add_argument("--log")
    parser.add_argument("--rule", action="append", default=[])
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--keep-alive", action="store_true")
    parser.add_argument("--no-ranges", action="store_true")
    parser.add_argument("--drop", type=float, default=0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    if args.keep_alive:
        Handler.protocol_version = "HTTP/1.1"
    server = Server(("127.0.0.1", 0), Handler)
    server.state = State(args.root, args.fail_first, not args.no_last_modified, args.log, args.rule,
                         not args.no_ranges, args.drop, args.seed)
    if args.tls:
        server.tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        server.tls.load_cert_chain(args.tls[0], args.tls[1])
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())

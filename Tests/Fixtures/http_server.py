#!/usr/bin/env python3
"""A small web server for the tests: serves one directory on 127.0.0.1 with Content-Length and
Last-Modified on GET and HEAD, records every request, and misbehaves as its rules say.

    http_server.py ROOT [--rule RULE]... [--seed S] [--log FILE] [--tls CERT KEY] [--keep-alive]

It prints "PORT <n>" on its first line once it listens on an ephemeral port. With --tls it speaks
HTTPS only (a plain request gets no answer and is counted under "/_plain"). With --keep-alive it
answers HTTP/1.1 and keeps connections open between requests; every connection is counted under
"/_connections" (method ANY).

A GET of a file with "Range: bytes=FIRST-" answers 206 with the bytes from FIRST on and a
Content-Range header (416 when FIRST is not inside the file), unless an If-Range header differs
from the file's Last-Modified text: then the whole file, 200. Any POST is recorded and answered 200
with the file ROOT/PATH when it exists, else with the body.

Every fault is a rule, METHOD:PATH:KIND[:ARG...]: METHOD is GET, HEAD, POST or ANY; PATH is the
path as requested (e.g. /Data0.zip) or * for every path; a COUNT of 0 means every time, else the
first COUNT requests the rule applies to.
    fail:CODE:COUNT       answer CODE with a short body
    drop:COUNT            close the connection without any answer
    dropshare:PERCENT     drop PERCENT per cent of the requests, chosen by a generator seeded with
                          --seed (default 1); counted under "/_dropped"
    delay:MS              wait MS milliseconds before answering
    cut:BYTES:COUNT       send only BYTES bytes of the body (whole length announced), then close
    corrupt:OFFSET:COUNT  flip every bit of the byte at OFFSET of the file
    stall:MS:COUNT        send the headers and half of the body, then wait MS milliseconds
    slow:RATE             send the body at RATE bytes per second
    drip:BYTES:MS         send the body BYTES bytes at a time, one piece every MS milliseconds
    endless               send no Content-Length, then the body and zero bytes without end (up to 256 MiB)
    length:N              announce a Content-Length of N, then send as "endless" does
    nolm                  omit Last-Modified
    norange               ignore Range headers: always the whole file
    skewrange             answer a range request with the part one byte later than asked for
    redirect:TARGET       answer 302 with Location: TARGET (which may hold colons)
A cut rule counts the bytes sent. Requests are counted per method and path: /_count/PATH answers
{"GET": n, "HEAD": m}; /_count/_bytes answers {"ANY": n}, the body bytes sent to every path but
these; /_last answers the last recorded request as JSON. Neither is counted, recorded or subject
to rules.
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

COUNTED = ("fail", "drop", "cut", "corrupt", "stall")


class Rule:
    def __init__(self, text):
        parts = text.split(":")
        if len(parts) < 3:
            raise SystemExit("http_server.py: a rule is METHOD:PATH:KIND[:ARG...]: %s" % text)
        self.method, self.path, self.kind = parts[0], parts[1], parts[2]
        self.args = parts[3:]
        self.used = 0

    def applies(self, method, path):
        if self.path not in ("*", path) or self.method not in ("ANY", method):
            return False
        count = int(self.args[-1]) if self.kind in COUNTED else 0
        if count and self.used >= count:
            return False
        self.used += 1
        return True


class State:
    def __init__(self, root, log, rules, seed=1):
        self.root = os.path.realpath(root)
        self.log = log
        self.last = {}
        self.rules = [Rule(text) for text in rules]
        self.counts = {}
        self.random = random.Random(seed)
        self.lock = threading.Lock()

    def count(self, path, method):
        per_path = self.counts.setdefault(path, {})
        per_path[method] = per_path.get(method, 0) + 1

    def take_rules(self, method, path):
        """Counts the request and answers the rules that apply to it, by kind."""
        with self.lock:
            self.count(path, method)
            rules = {rule.kind: rule.args for rule in self.rules if rule.applies(method, path)}
            if "dropshare" in rules and self.random.random() * 100 < float(rules["dropshare"][0]):
                self.count("/_dropped", "ANY")
                rules["drop"] = []
            return rules


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    server_version = "fixture"
    sys_version = ""

    def log_message(self, fmt, *args):
        pass

    def setup(self):
        super().setup()
        with self.server.state.lock:
            self.server.state.count("/_connections", "ANY")

    def wanted_range(self, stamp, length, rules):
        """The first byte a GET asks for, None for the whole file, or -1 when outside the file."""
        text = self.headers.get("Range")
        if self.command != "GET" or not text or "norange" in rules:
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

    def write(self, data):
        """Sends body bytes, counting them under /_bytes."""
        self.wfile.write(data)
        with self.server.state.lock:
            per_path = self.server.state.counts.setdefault("/_bytes", {})
            per_path["ANY"] = per_path.get("ANY", 0) + len(data)

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

    def query(self, send_body):
        """Answers /_last and /_count/PATH; False for any other path."""
        state = self.server.state
        if self.path == "/_last":
            with state.lock:
                body = json.dumps(state.last).encode()
        elif self.path.startswith("/_count/"):
            with state.lock:
                body = json.dumps(state.counts.get(self.path[len("/_count"):], {})).encode()
        else:
            return False
        self.answer(200, body, send_body=send_body)
        return True

    def serve(self, send_body):
        if self.query(send_body):
            return
        rules = self.server.state.take_rules(self.command, self.path.split("?", 1)[0])
        if "drop" in rules:
            self.close_connection = True
            return
        body = self.rfile.read(int(self.headers.get("Content-Length", 0) or 0))
        self.record(body)
        if "delay" in rules:
            time.sleep(int(rules["delay"][0]) / 1000.0)
        if "fail" in rules:
            return self.answer(int(rules["fail"][0]), b"failing on purpose\n", send_body=send_body)
        if "redirect" in rules:
            return self.answer(302, b"redirect", [("Location", ":".join(rules["redirect"]))], send_body)
        local = self.local_file(self.path)
        if self.command == "POST":
            data = open(local, "rb").read() if local else body
            return self.answer(200, data, [("Content-Type", "application/json")])
        if not local:
            return self.answer(404, b"not found\n", send_body=send_body)
        self.serve_file(local, rules, send_body)

    def serve_file(self, local, rules, send_body):
        data = open(local, "rb").read()
        if "corrupt" in rules and int(rules["corrupt"][0]) < len(data):
            offset = int(rules["corrupt"][0])
            data = data[:offset] + bytes([data[offset] ^ 0xFF]) + data[offset + 1:]
        stamp = email.utils.formatdate(os.stat(local).st_mtime, usegmt=True)
        with_stamp = "nolm" not in rules
        first = self.wanted_range(stamp if with_stamp else None, len(data), rules)
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
        if "length" in rules:
            self.send_header("Content-Length", rules["length"][0])
        elif "endless" not in rules:
            self.send_header("Content-Length", str(len(data)))
        if with_stamp:
            self.send_header("Last-Modified", stamp)
        self.end_headers()
        if any(kind in rules for kind in ("cut", "stall", "endless", "length", "slow", "drip")):
            self.close_connection = True
        if send_body:
            self.send_body(data, rules)

    def send_body(self, data, rules):
        try:
            if "endless" in rules or "length" in rules:
                self.send_endless(data)
            elif "drip" in rules:
                self.send_in_pieces(data, max(1, int(rules["drip"][0])), int(rules["drip"][1]) / 1000.0)
            elif "slow" in rules:
                self.send_in_pieces(data, max(1, int(rules["slow"][0])), 1.0)
            elif "stall" in rules:
                self.write(data[:len(data) // 2])
                self.wfile.flush()
                time.sleep(int(rules["stall"][0]) / 1000.0)
                self.write(data[len(data) // 2:])
            else:
                self.send_chunks(data if "cut" not in rules else data[:int(rules["cut"][0])])
                self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError):
            pass

    def send_endless(self, data, limit=256 << 20):
        """The body, then zeros until the client goes away (or the limit is reached)."""
        self.write(data)
        zeros, sent = bytes(65536), len(data)
        while sent < limit:
            self.write(zeros)
            sent += len(zeros)

    def send_in_pieces(self, data, size, pause):
        for start in range(0, len(data), size):
            self.write(data[start:start + size])
            self.wfile.flush()
            time.sleep(pause)

    def send_chunks(self, data, size=1 << 16):
        """The body in pieces, so that a client that stops reading is counted for what it took."""
        for start in range(0, len(data), size):
            self.write(data[start:start + size])

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
                    self.state.count("/_plain", "ANY")
                return
        super().finish_request(request, client_address)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("--log")
    parser.add_argument("--rule", action="append", default=[])
    parser.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    parser.add_argument("--keep-alive", action="store_true")
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    if args.keep_alive:
        Handler.protocol_version = "HTTP/1.1"
    server = Server(("127.0.0.1", 0), Handler)
    server.state = State(args.root, args.log, args.rule, args.seed)
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

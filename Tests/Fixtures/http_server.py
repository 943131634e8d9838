#!/usr/bin/env python3
"""A small web server for the tests: serves one directory on 127.0.0.1 with Content-Length and
Last-Modified on GET and HEAD, records every request, and can be told to misbehave.

    http_server.py ROOT [--fail-first K] [--no-last-modified] [--log FILE]

It prints "PORT <n>" on its first line once it listens on an ephemeral port.

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
import socketserver
import sys
import threading
import time
import urllib.parse


class State:
    def __init__(self, root, fail_first, last_modified, log):
        self.root = os.path.realpath(root)
        self.fail_left = fail_first
        self.last_modified = last_modified
        self.log = log
        self.last = {}
        self.lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    server_version = "fixture"
    sys_version = ""

    def log_message(self, fmt, *args):
        pass

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
        body = self.rfile.read(int(self.headers.get("Content-Length", 0) or 0))
        self.record(body)
        if self.fail_if_asked():
            return
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
        if path.startswith("/_cut/"):
            cut = int(parts[2])
            path = "/" + "/".join(parts[3:])
        if self.command == "POST":
            local = self.local_file(path)
            data = open(local, "rb").read() if local else body
            return self.answer(200, data, [("Content-Type", "application/json")])
        local = self.local_file(path)
        if not local:
            return self.answer(404, b"not found\n", send_body=send_body)
        data = open(local, "rb").read()
        self.send_response(200)
        self.send_header("Content-Length", str(len(data)))
        if self.server.state.last_modified:
            stamp = email.utils.formatdate(os.stat(local).st_mtime, usegmt=True)
            self.send_header("Last-Modified", stamp)
        self.end_headers()
        if send_body and stall_body is not None:
            self.wfile.write(data[:len(data) // 2])
            self.wfile.flush()
            time.sleep(stall_body)
            self.wfile.write(data[len(data) // 2:])
        elif send_body:
            self.wfile.write(data if cut is None else data[:cut])
            self.wfile.flush()

    def do_GET(self):
        self.serve(True)

    def do_HEAD(self):
        self.serve(False)

    def do_POST(self):
        self.serve(True)


class Server(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("root")
    parser.add_argument("--fail-first", type=int, default=0)
    parser.add_argument("--no-last-modified", action="store_true")
    parser.add_argument("--log")
    args = parser.parse_args()
    server = Server(("127.0.0.1", 0), Handler)
    server.state = State(args.root, args.fail_first, not args.no_last_modified, args.log)
    print("PORT %d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    sys.exit(main())

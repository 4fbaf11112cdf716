#!/usr/bin/python3
"""Stand-in for the relay's provisioning endpoint, on loopback.

POST /provision answers fresh credentials as JSON; GET /count tells how many
provisioning requests have arrived. Options make it misbehave for tests.
"""

import argparse
import json
import secrets
import select
import signal
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


def parse_arguments(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, default=8787, help="0 picks a free port")
    parser.add_argument("--status", type=int, default=200, help="status of /provision answers")
    body = parser.add_mutually_exclusive_group()
    body.add_argument("--body", help="exact body of /provision answers")
    body.add_argument("--body-file", help="file holding the exact body of /provision answers")
    behaviour = parser.add_mutually_exclusive_group()
    behaviour.add_argument("--delay", type=float, default=0.0, help="seconds to wait before answering")
    behaviour.add_argument("--never-answer", action="store_true", help="accept and stay silent")
    behaviour.add_argument("--trickle", action="store_true", help="send the headers, then one body byte a second")
    options = parser.parse_args(argv)
    if not 0 <= options.port <= 65535:
        parser.error("--port must be 0..65535")
    if not 100 <= options.status <= 999:
        parser.error("--status must be a three-digit HTTP status")
    if options.delay < 0:
        parser.error("--delay must not be negative")
    if options.body_file is not None:
        try:
            with open(options.body_file, "rb") as f:
                options.fixed_body = f.read()
        except OSError as error:
            parser.error("cannot read --body-file: %s" % error.strerror)
    elif options.body is not None:
        options.fixed_body = options.body.encode()
    else:
        options.fixed_body = None
    return options


def fresh_credentials():
    return json.dumps({
        "device_id": "dev-" + secrets.token_hex(8),
        "server_token": secrets.token_urlsafe(24),
        "client_token": secrets.token_urlsafe(24),
    }).encode()


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "relay-standin"
    sys_version = ""

    def do_POST(self):
        self.discard_body()
        if self.path != "/provision":
            self.answer(404, b"not found\n", "text/plain")
            return
        self.server.count_request()
        options = self.server.options
        if options.never_answer:
            self.wait_for_client_to_leave()
            return
        if options.delay:
            time.sleep(options.delay)
        body = options.fixed_body if options.fixed_body is not None else fresh_credentials()
        if options.trickle:
            self.trickle(options.status, body)
        else:
            self.answer(options.status, body, "application/json")

    def do_GET(self):
        if self.path == "/count":
            self.answer(200, b"%d\n" % self.server.request_count(), "text/plain")
        elif self.path == "/provision":
            self.answer(405, b"use POST\n", "text/plain")
        else:
            self.answer(404, b"not found\n", "text/plain")

    def discard_body(self):
        # Provisioning posts carry no body, but one sent anyway must not be read as the next request.
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                self.rfile.read(size + 2)
                if size == 0:
                    return
        length = int(self.headers.get("Content-Length") or 0)
        if length > 0:
            self.rfile.read(length)

    def answer(self, status, body, content_type):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def trickle(self, status, body):
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.flush()
        try:
            for index in range(len(body)):
                time.sleep(1.0)
                self.wfile.write(body[index:index + 1])
                self.wfile.flush()
        except OSError:
            self.close_connection = True  # the client gave up

    def wait_for_client_to_leave(self):
        # Holds the connection open without a byte of answer until the peer closes it.
        self.close_connection = True
        while True:
            readable, _, _ = select.select([self.connection], [], [], 1.0)
            if readable:
                try:
                    if not self.connection.recv(4096):
                        return
                except OSError:
                    return

    def log_message(self, format, *args):
        sys.stderr.write("relay-standin: %s\n" % (format % args))


class RelayServer(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True  # on Linux this still refuses a port someone listens on

    def __init__(self, port, options):
        super().__init__(("127.0.0.1", port), Handler)
        self.options = options
        self._count = 0
        self._lock = threading.Lock()

    def count_request(self):
        with self._lock:
            self._count += 1

    def request_count(self):
        with self._lock:
            return self._count


def main(argv):
    options = parse_arguments(argv)
    try:
        server = RelayServer(options.port, options)
    except OSError as error:
        print("relay-standin: cannot listen on 127.0.0.1:%d: %s" % (options.port, error.strerror), file=sys.stderr)
        return 1

    def stop(*_):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print("listening on 127.0.0.1:%d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/env python3
"""A small demo upstream for cgi_forward, on 127.0.0.1:8011.

Endpoints:
  /                  this list, as JSON
  /api/state         a JSON document (HTTP/1.1 with Content-Length)
  /http10            an HTTP/1.0 reply: the gateway puts a Status block in front
  /http10?bare=1     the same without a reason phrase in the status line
                     (code=404 for another status code, with either)
  /stream?n=5        a chunked reply, one line every 0.2 s (n=0: never ends)
  /events            server-sent events, one a second, never ending
  /echo              what the upstream received: method, path, query,
                     header lines, body size and SHA-256 (any method)
  /items/NAME        a small store kept in memory: PUT a body there, GET or
                     HEAD it, PATCH appends to it, DELETE removes it
  /status/404        an empty reply with that status code
  /streams           how many /stream and /events replies are in progress, and
                     the most at once since the last /streams?reset=1

Every endpoint answers HEAD as GET without the body, and OPTIONS with the
methods it allows (Allow); another method gets 405 with Allow.

--reuse-port lets a second instance listen beside this one, so that one can
take over from the other without a moment in which nothing listens.
"""
import hashlib
import json
import select
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit


class Handler(BaseHTTPRequestHandler):
    # HTTP/1.1 replies (which answer Expect: 100-continue), except where an
    # endpoint says otherwise.
    protocol_version = "HTTP/1.1"
    # Headers and body go out in separate writes; without TCP_NODELAY the
    # second waits for the client's delayed acknowledgement on a kept
    # connection (some 40 ms a request).
    disable_nagle_algorithm = True
    server_version = "demo-upstream/1.0"

    def log_message(self, fmt, *args):
        if not self.server.quiet:
            sys.stderr.write("upstream: %s\n" % (fmt % args))

    def reply(self, code, body, content_type="application/json", version=None, fields=()):
        if version:
            self.protocol_version = version
        self.send_response(code)
        if code != 204:
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
        for name, value in fields:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def body_parts(self):
        """The request body as it arrives, by Content-Length or chunked."""
        length = self.headers.get("Content-Length")
        if length is not None:
            left = int(length)
            while left > 0:
                part = self.rfile.read(min(left, 1 << 20))
                if not part:
                    break
                left -= len(part)
                yield part
        elif self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            while True:
                chunk_size = int(self.rfile.readline().split(b";")[0], 16)
                if chunk_size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    break
                yield self.rfile.read(chunk_size)
                self.rfile.readline()

    def read_body(self):
        digest, size = hashlib.sha256(), 0
        for part in self.body_parts():
            digest.update(part)
            size += len(part)
        return size, digest.hexdigest()

    def allowed(self, path):
        """The methods an endpoint answers besides OPTIONS; None: no such endpoint."""
        if path.startswith("/items/") and len(path) > len("/items/"):
            return ("GET", "HEAD", "PUT", "PATCH", "DELETE")
        if path in ("/", "/api/state", "/http10", "/stream", "/events", "/streams") or (
                path.startswith("/status/") and path[8:].isdigit()):
            return ("GET", "HEAD")
        return None

    def route(self):
        path = urlsplit(self.path).path
        if path == "/echo":
            self.echo()
            return
        methods = self.allowed(path)
        if methods is None or self.command not in methods:
            self.read_body()
            allow = ("Allow", ", ".join(methods + ("OPTIONS",))) if methods else None
            if methods is None:
                self.reply(404, b'{"error": "no such endpoint"}\n')
            elif self.command == "OPTIONS":
                self.reply(204, b"", fields=[allow])
            else:
                self.reply(405, b'{"error": "method not allowed"}\n', fields=[allow])
        elif path.startswith("/items/"):
            self.item(path[len("/items/"):])
        else:
            self.get()

    do_GET = do_HEAD = do_POST = do_PUT = do_PATCH = do_DELETE = do_OPTIONS = route

    def get(self):
        url = urlsplit(self.path)
        query = parse_qs(url.query)
        if url.path == "/api/state":
            state = {"service": "demo-upstream", "time": int(time.time()), "ok": True}
            self.reply(200, (json.dumps(state) + "\n").encode())
        elif url.path == "/http10" and "bare" in query:
            # A status line without a reason phrase, as some small servers send.
            self.close_connection = True
            code = int(query.get("code", ["200"])[0])
            self.wfile.write((b"HTTP/1.0 %d\r\nContent-Type: text/plain\r\n"
                              b"Content-Length: 18\r\n\r\n" % code) +
                             (b"" if self.command == "HEAD" else b"an HTTP/1.0 reply\n"))
        elif url.path == "/http10":
            self.close_connection = True
            self.reply(int(query.get("code", ["200"])[0]), b"an HTTP/1.0 reply\n", "text/plain",
                       version="HTTP/1.0")
        elif url.path == "/stream":
            self.stream(int(query.get("n", ["5"])[0]), 0.2, "line %d\n", "text/plain")
        elif url.path == "/events":
            self.stream(0, 1.0, "data: event %d\n\n", "text/event-stream")
        elif url.path.startswith("/status/"):
            self.reply(int(url.path[8:]), b"")
        elif url.path == "/":
            self.reply(200, (json.dumps({"endpoints": ENDPOINTS}, indent=1) + "\n").encode())
        else:
            self.reply(200, (json.dumps(self.server.streams.report("reset" in query)) + "\n")
                       .encode())

    def item(self, name):
        """PUT, GET, HEAD, PATCH or DELETE of one item of the store."""
        items = self.server.items
        if self.command in ("PUT", "PATCH"):
            body, size = [], 0
            for part in self.body_parts():  # read to the end whatever its size
                size += len(part)
                if size <= ITEM_LIMIT:
                    body.append(part)
            with items.lock:
                old = items.data.get(name)
                if size > ITEM_LIMIT:
                    code, text = 413, "at most %d bytes an item" % ITEM_LIMIT
                elif self.command == "PATCH" and old is None:
                    code, text = 404, "no such item"
                elif self.command == "PATCH" and len(old[1]) + size > ITEM_LIMIT:
                    code, text = 413, "at most %d bytes an item" % ITEM_LIMIT
                elif old is None and len(items.data) >= ITEM_COUNT:
                    code, text = 507, "at most %d items" % ITEM_COUNT
                else:
                    data = (old[1] if self.command == "PATCH" else b"") + b"".join(body)
                    content_type = (old[0] if self.command == "PATCH" else self.headers.get(
                        "Content-Type", "application/octet-stream"))
                    items.data[name] = (content_type, data)
                    code, text = (201 if old is None else 200), None
            if text:
                self.reply(code, (json.dumps({"error": text}) + "\n").encode())
            else:
                # A root-relative Location: the gateway leads it back under its mount.
                self.reply(code, (json.dumps({"item": name, "size": len(data)}) + "\n").encode(),
                           fields=[("Location", "/items/" + name)] if code == 201 else ())
            return
        with items.lock:
            found = items.data.pop(name, None) if self.command == "DELETE" else \
                items.data.get(name)
        if found is None:
            self.reply(404, b'{"error": "no such item"}\n')
        elif self.command == "DELETE":
            self.reply(204, b"")
        else:
            self.reply(200, found[1], found[0])

    def echo(self):
        url = urlsplit(self.path)
        size, digest = self.read_body()
        seen = {
            "method": self.command,
            "path": url.path,
            "query": url.query,
            "headers": [f"{k}:{v}" for k, v in self.headers.items()],
            "body_size": size,
            "body_sha256": digest,
        }
        self.reply(200, (json.dumps(seen, indent=1) + "\n").encode())

    def stream(self, count, interval, line, content_type):
        self.send_response(200)
        self.send_header("Content-Type", content_type)
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        if self.command == "HEAD":
            return
        i = 0
        self.server.streams.change(1)
        try:
            while count == 0 or i < count:
                i += 1
                data = (line % i).encode()
                self.wfile.write(b"%x\r\n%s\r\n" % (len(data), data))
                self.wfile.flush()
                # The client sends nothing while it reads the stream: the
                # connection turns readable only when the client has left.
                if select.select([self.connection], [], [], interval)[0]:
                    self.close_connection = True
                    return
            self.wfile.write(b"0\r\n\r\n")
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True
        finally:
            self.server.streams.change(-1)


# What / lists, as the docstring has them.
ENDPOINTS = ["/", "/api/state", "/http10", "/http10?bare=1", "/stream?n=5", "/events", "/echo",
             "/items/NAME", "/status/404", "/streams"]
ITEM_LIMIT = 1 << 20  # bytes an item holds at most
ITEM_COUNT = 100  # items the store holds at most


class Items:
    """The store of /items/NAME: name -> (Content-Type, bytes)."""

    def __init__(self):
        self.lock = threading.Lock()
        self.data = {}


class StreamCount:
    """Streamed replies in progress, and the most at once since a reset."""

    def __init__(self):
        self.lock = threading.Lock()
        self.now = self.most = 0

    def change(self, by):
        with self.lock:
            self.now += by
            self.most = max(self.most, self.now)

    def report(self, reset):
        with self.lock:
            seen = {"in_progress": self.now, "most": self.most}
            if reset:
                self.most = self.now
            return seen


class Server(ThreadingHTTPServer):
    request_queue_size = 256  # many gateway processes may connect at once
    daemon_threads = True

    def handle_error(self, request, client_address):
        # A client that closes its connection while we wait for a next
        # request is the normal end of a one-request gateway process.
        if not isinstance(sys.exc_info()[1], (ConnectionResetError, BrokenPipeError)):
            super().handle_error(request, client_address)


def main():
    Server.allow_reuse_port = "--reuse-port" in sys.argv
    server = Server(("127.0.0.1", 8011), Handler)
    server.quiet = "--quiet" in sys.argv
    server.streams = StreamCount()
    server.items = Items()
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main()

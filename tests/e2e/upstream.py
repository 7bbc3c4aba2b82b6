"""A scripted upstream on 127.0.0.1:8011 for end-to-end tests.

It accepts one connection, records the exact request bytes, and plays a
script of actions: bytes to send, a pause until the test says go on, a cut
of the connection, or an endless stream of events.
"""
import socket
import threading
import time

PORT = 8011


def parse_headers(request):
    """The header fields of a request, by lower-case name."""
    head = request.partition(b"\r\n\r\n")[0]
    fields = (line.partition(b":") for line in head.split(b"\r\n")[1:])
    return {name.strip().lower(): value.strip() for name, _, value in fields}


def read_request(conn):
    """Reads one request: the header section and a Content-Length or chunked body."""
    data = b""
    while b"\r\n\r\n" not in data:
        part = conn.recv(65536)
        if not part:
            return data
        data += part
    head, _, body = data.partition(b"\r\n\r\n")
    headers = parse_headers(data)
    if headers.get(b"expect", b"").lower() == b"100-continue" and not body:
        return head + b"\r\n\r\n"  # the script decides whether to answer 100
    return head + b"\r\n\r\n" + read_body(conn, headers, body)


def read_body(conn, headers, body):
    if b"content-length" in headers:
        want = int(headers[b"content-length"])
        while len(body) < want:
            part = conn.recv(1 << 20)
            if not part:
                break
            body += part
        return body
    if headers.get(b"transfer-encoding", b"").lower() == b"chunked":
        while not body.endswith(b"0\r\n\r\n"):
            part = conn.recv(1 << 20)
            if not part:
                break
            body += part
    return body


def dechunk(body):
    out, rest = b"", body
    while rest:
        size_line, _, rest = rest.partition(b"\r\n")
        size = int(size_line.split(b";")[0], 16)
        if size == 0:
            break
        out, rest = out + rest[:size], rest[size + 2:]
    return out


class Upstream:
    """Plays `script` on the connections it accepts: a list of bytes (or a
    function of the request giving bytes), "wait" (until go_on), "cut" (close
    at once), "stream" (events until the peer leaves), "continue-body" (read
    the body held back by Expect), "request" (read the next request on the
    same connection) and "accept" (close, then take the next connection).
    With parallel=True it plays the whole script on every connection it
    accepts, each in a thread of its own, until closed. A read or write
    that waits longer than timeout seconds ends the connection. Another
    port makes it a proxy the gateway is sent to."""

    def __init__(self, script, parallel=False, timeout=30, port=PORT):
        self.script = script
        self.timeout = timeout
        self.parallel = parallel
        self.request = None
        self.requests = []
        self.connections = 0
        self.contacted = False
        self.go_on = threading.Event()
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind(("127.0.0.1", port))
        self.sock.listen(8)
        self.sock.settimeout(0.02)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _accept(self):
        # A connection the gateway made (and perhaps left) before close()
        # is still taken and played: stop counts only once none is waiting.
        while True:
            try:
                conn, _ = self.sock.accept()
            except socket.timeout:
                if self.stop.is_set():
                    return None
                continue
            except OSError:
                return None
            self.contacted = True
            self.connections += 1
            conn.settimeout(self.timeout)
            return conn

    def _read(self, conn):
        request = read_request(conn)  # parallel connections share self.request
        self.request = request
        self.requests.append(request)

    def _serve(self):
        if self.parallel:
            while conn := self._accept():
                threading.Thread(target=self._play_all, args=(conn,), daemon=True).start()
            return
        conn, steps = self._accept(), list(self.script)
        while conn:
            with conn:
                try:
                    self._read(conn)
                    while steps and steps[0] not in ("accept", "cut"):
                        self._play(conn, steps.pop(0))
                    conn.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass  # the gateway went away first; what it sent is recorded
            conn = self._accept() if steps and steps.pop(0) == "accept" else None

    def _play_all(self, conn):
        with conn:
            try:
                self._read(conn)
                for step in self.script:
                    self._play(conn, step)
            except OSError:
                pass

    def _play(self, conn, step):
        if step == "wait":
            self.go_on.wait(30)
        elif step == "request":
            self._read(conn)
        elif step == "stream":  # events until the peer goes away, 60 s at most
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                conn.sendall(b"data: more\n\n")
                time.sleep(0.05)
        elif step == "continue-body":
            self.request += read_body(conn, parse_headers(self.request), b"")
            self.requests[-1] = self.request
        elif callable(step):
            conn.sendall(step(self.request))
        else:
            conn.sendall(step)

    def close(self):
        self.stop.set()
        self.go_on.set()
        try:
            self.thread.join(35)
        finally:
            self.sock.close()

"""A raw FastCGI client for the end-to-end tests: builds records byte by
byte, so that a test can send what a web server would never send (half a
record, a silent connection, a lying length), and reads back what the
server answered.

Written from the FastCGI 1.0 record layout, independently of the gateway's
own codec: a record is version, type, request id (2 bytes), content length
(2 bytes), padding length, a reserved byte, then content and padding.
"""
import errno
import os
import select
import socket
import struct
import time

VERSION = 1
BEGIN_REQUEST, ABORT_REQUEST, END_REQUEST, PARAMS, STDIN, STDOUT, STDERR, DATA, \
    GET_VALUES, GET_VALUES_RESULT, UNKNOWN_TYPE = range(1, 12)
RESPONDER, AUTHORIZER, FILTER = 1, 2, 3
KEEP_CONN = 1
REQUEST_COMPLETE, CANT_MPX_CONN, OVERLOADED, UNKNOWN_ROLE = range(4)


def record(type_, request_id, content=b"", padding=0, version=VERSION):
    return struct.pack(">BBHHBx", version, type_, request_id, len(content), padding) + \
        content + b"\0" * padding


def length(n):
    """A name or value length: one byte under 128, else four with the top bit set."""
    return bytes([n]) if n < 128 else struct.pack(">I", n | 0x80000000)


def pairs(items):
    """Name-value pairs, from a dict or a list of (name, value), str or bytes."""
    items = items.items() if isinstance(items, dict) else items
    out = b""
    for name, value in items:
        name = name.encode("latin-1") if isinstance(name, str) else name
        value = value.encode("latin-1") if isinstance(value, str) else value
        out += length(len(name)) + length(len(value)) + name + value
    return out


def read_pairs(content):
    """The pairs of a record's content, as a list of (name, value)."""
    out, i = [], 0
    while i < len(content):
        sizes = []
        for _ in range(2):
            if content[i] < 128:
                sizes.append(content[i])
                i += 1
            else:
                sizes.append(struct.unpack(">I", content[i:i + 4])[0] & 0x7fffffff)
                i += 4
        out.append((content[i:i + sizes[0]], content[i + sizes[0]:i + sum(sizes)]))
        i += sum(sizes)
    return out


def stream(type_, request_id, data, piece=65535):
    """data as records of at most `piece` bytes, then the empty record that ends it."""
    return b"".join(record(type_, request_id, data[i:i + piece])
                    for i in range(0, len(data), piece)) + record(type_, request_id)


def begin(request_id=1, role=RESPONDER, flags=0):
    return record(BEGIN_REQUEST, request_id, struct.pack(">HB5x", role, flags))


def request(params, body=b"", request_id=1, keep=False, role=RESPONDER):
    """A whole request as a web server sends it."""
    return (begin(request_id, role, KEEP_CONN if keep else 0) +
            stream(PARAMS, request_id, pairs(params)) + stream(STDIN, request_id, body))


def split_records(data):
    """(records, rest): whole records as (type, request id, content), and
    the bytes of an unfinished one."""
    out = []
    while len(data) >= 8:
        _, type_, rid, size, padding = struct.unpack(">BBHHBx", data[:8])
        if len(data) < 8 + size + padding:
            break
        out.append((type_, rid, data[8:8 + size]))
        data = data[8 + size + padding:]
    return out, data


def end_request(content):
    """(application status, protocol status) of an END_REQUEST's content."""
    return struct.unpack(">IB3x", content)


class Closed(Exception):
    """The server closed the connection."""


class Connection:
    """One connection to the server, at a unix socket path or (host, port)."""

    def __init__(self, address, timeout=30):
        family = socket.AF_UNIX if isinstance(address, str) else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(address)
        self.pending = b""
        self.records = []  # (type, id, content) read so far and not yet taken

    def send(self, data):
        self.sock.sendall(data)

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _read(self, deadline):
        self.sock.settimeout(max(0.001, deadline - time.monotonic()))
        try:
            part = self.sock.recv(1 << 16)
        except ConnectionResetError:
            part = b""
        if not part:
            raise Closed()
        got, self.pending = split_records(self.pending + part)
        self.records += got

    def next_record(self, timeout=30):
        """The next record; Closed when the connection ends first,
        socket.timeout when nothing comes in time."""
        deadline = time.monotonic() + timeout
        while not self.records:
            self._read(deadline)
        return self.records.pop(0)

    def response(self, request_id=1, timeout=30):
        """(stdout, stderr, app status, protocol status) of one request,
        read up to its END_REQUEST."""
        out = {STDOUT: [], STDERR: []}  # joined at the end: answers may be 100 MiB
        while True:
            type_, rid, content = self.next_record(timeout)
            if rid != request_id:
                raise AssertionError(f"a record of type {type_} for request {rid}")
            if type_ == END_REQUEST:
                return (b"".join(out[STDOUT]), b"".join(out[STDERR])) + end_request(content)
            out[type_].append(content)

    def closed_within(self, timeout):
        """Whether the server closes the connection within timeout seconds,
        whatever it sends before."""
        deadline = time.monotonic() + timeout
        try:
            while time.monotonic() < deadline:
                self._read(deadline)
        except Closed:
            return True
        except socket.timeout:
            pass
        return False

    def is_open(self):
        """Whether the server has not closed the connection yet (without
        waiting, and without taking what it sent)."""
        timeout = self.sock.gettimeout()
        self.sock.setblocking(False)  # else Python waits for input first
        try:
            return self.sock.recv(1, socket.MSG_PEEK) != b""
        except BlockingIOError:
            return True
        except ConnectionResetError:
            return False
        finally:
            self.sock.settimeout(timeout)


def wait_closed(socks, timeout):
    """Waits until the server has closed every socket of socks, reading and
    dropping what it sends; returns those still open after timeout."""
    left = {s.fileno(): s for s in socks}
    deadline = time.monotonic() + timeout
    poller = select.poll()
    for fd in left:
        poller.register(fd, select.POLLIN)
    while left and time.monotonic() < deadline:
        for fd, _ in poller.poll(max(1, int(1000 * (deadline - time.monotonic())))):
            try:
                ended = os.read(fd, 1 << 16) == b""
            except OSError as e:
                ended = e.errno == errno.ECONNRESET
            if ended:
                poller.unregister(fd)
                del left[fd]
    return list(left.values())


def push(pending, stall=1.0):
    """Sends many connections' bytes at once, none waiting on another:
    pending maps a socket to the bytes still to send, and loses each one
    once all of its bytes are sent (or the server has closed it). Returns
    when nothing has moved for `stall` seconds, or nothing is left."""
    poller = select.poll()
    by_fd = {}
    for sock in pending:
        sock.setblocking(False)
        poller.register(sock, select.POLLOUT)
        by_fd[sock.fileno()] = sock
    views = {sock: memoryview(data) for sock, data in pending.items()}
    while views:
        ready = poller.poll(int(stall * 1000))
        if not ready:
            break
        for fd, _ in ready:
            sock = by_fd[fd]
            try:
                sent = sock.send(views[sock])
            except BlockingIOError:
                continue
            except OSError:
                sent = len(views[sock])
            views[sock] = views[sock][sent:]
            if not views[sock]:
                poller.unregister(fd)
                del views[sock], pending[sock]
    for sock, view in views.items():
        pending[sock] = view.tobytes()


def answers(pending, timeout):
    """Sends each socket its bytes (pending maps a socket to them, perhaps
    none) while reading each up to its END_REQUEST or its close: a dict
    from socket to (stdout, app status, protocol status), or to None when
    it was closed without one. Sockets with neither within timeout seconds
    are left out."""
    poller = select.poll()
    by_fd, views, got, found = {}, {}, {}, {}
    for sock, data in pending.items():
        sock.setblocking(False)
        poller.register(sock, select.POLLIN | (select.POLLOUT if data else 0))
        by_fd[sock.fileno()] = sock
        views[sock] = memoryview(data)
        got[sock] = b""
    deadline = time.monotonic() + timeout
    while by_fd and time.monotonic() < deadline:
        for fd, events in poller.poll(max(1, int(1000 * (deadline - time.monotonic())))):
            sock = by_fd.get(fd)
            if sock is None:
                continue
            if events & select.POLLOUT and views[sock]:
                try:
                    views[sock] = views[sock][sock.send(views[sock]):]
                except BlockingIOError:
                    pass
                except OSError:
                    views[sock] = views[sock][:0]
                if not views[sock]:
                    poller.modify(sock, select.POLLIN)
            if not events & (select.POLLIN | select.POLLHUP | select.POLLERR):
                continue
            try:
                part = sock.recv(1 << 16)
            except BlockingIOError:
                continue
            except OSError:
                part = b""
            got[sock] += part
            records, _ = split_records(got[sock])
            ends = [content for type_, _, content in records if type_ == END_REQUEST]
            if part and not ends:
                continue
            found[sock] = (b"".join(c for t, _, c in records if t == STDOUT),
                           *end_request(ends[0])) if ends else None
            poller.unregister(fd)
            del by_fd[fd]
    return found

"""Many server-sent-event streams at once through the gateway's FastCGI
mode, for the load run (load.py --streams) and the benchmark.

Each stream asks the upstream for N events (/events?n=N&every=S) and must
receive every one of them, in order, and the end of the reply. The
upstream is this file run with --upstream: one asyncio thread, so that a
thousand streams do not slow its other answers down as threads would. The
streams are opened together, either straight at the gateway's socket with
the raw FastCGI client, or over HTTP through a web server. Meanwhile a
separate process sends a plain GET (/api/state) every 20 ms and times it,
and the serving process's resident memory is sampled: before (idle, after
a warm-up), at its highest, and once the streams have ended. The same GET
straight at the upstream, timed alike, tells what of the latency is the
upstream's own.
"""
import asyncio
import json
import multiprocessing
import os
import re
import socket
import statistics
import sys
import time
from urllib.parse import parse_qs, urlsplit

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import fastcgi_client as fcgi  # noqa: E402

UPSTREAM_PORT = 8011
PROBE_EVERY = 0.02


def cgi_params(query):
    return {"GATEWAY_INTERFACE": "CGI/1.1", "SERVER_PROTOCOL": "HTTP/1.1",
            "SERVER_SOFTWARE": "streams", "REQUEST_METHOD": "GET", "QUERY_STRING": query}


class FastCGITarget:
    """Requests straight to the gateway's unix socket."""

    def __init__(self, sock):
        self.sock = sock

    async def fetch(self, query):
        reader, writer = await asyncio.open_unix_connection(self.sock)
        try:
            writer.write(fcgi.request(cgi_params(query)))
            await writer.drain()
            out, pending = b"", b""
            while part := await reader.read(1 << 16):
                records, pending = fcgi.split_records(pending + part)
                for type_, _, content in records:
                    if type_ == fcgi.STDOUT:
                        out += content
                    elif type_ == fcgi.END_REQUEST:
                        return out
            return None  # closed before END_REQUEST
        finally:
            writer.close()

    def get(self, query):
        with fcgi.Connection(self.sock, 10) as conn:
            conn.send(fcgi.request(cgi_params(query)))
            out = conn.response()[0]
        return out.startswith(b"Status: 200")


class HTTPTarget:
    """Requests over HTTP/1.0 to a web server that passes them to the gateway."""

    def __init__(self, port, path):
        self.port, self.path = port, path

    def request(self, query):
        return b"GET %s?%s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" % (self.path.encode(),
                                                                  query.encode())

    async def fetch(self, query):
        reader, writer = await asyncio.open_connection("127.0.0.1", self.port)
        try:
            writer.write(self.request(query))
            await writer.drain()
            return await reader.read()
        finally:
            writer.close()

    def get(self, query):
        with socket.create_connection(("127.0.0.1", self.port), 10) as s:
            s.sendall(self.request(query))
            reply = b""
            while part := s.recv(1 << 16):
                reply += part
        # lighttpd answers an HTTP/1.0 request in HTTP/1.0, nginx in 1.1.
        return re.match(rb"HTTP/1\.[01] 200 ", reply) is not None


class UpstreamTarget(HTTPTarget):
    """The upstream itself, without the gateway: /PATH for path=/PATH."""

    def __init__(self):
        super().__init__(UPSTREAM_PORT, "")

    def request(self, query):
        return b"GET %s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" % query[len("path="):].encode()


def complete(reply, events):
    """Whether a reply holds events 1..events, in order, and nothing else."""
    if reply is None:
        return False
    body = reply.partition(b"\r\n\r\n")[2]
    return body == b"".join(b"data: event %d\n\n" % i for i in range(1, events + 1))


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"VmRSS:\s+(\d+) kB", f.read()).group(1))


def start_upstream(spawn):
    """This file's upstream, started by spawn(command)."""
    proc = spawn([sys.executable, os.path.abspath(__file__), "--upstream"])
    deadline = time.monotonic() + 20
    while True:
        try:
            socket.create_connection(("127.0.0.1", UPSTREAM_PORT), 1).close()
            return proc
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def upstream_streams(reset=False):
    with socket.create_connection(("127.0.0.1", UPSTREAM_PORT), 5) as s:
        s.sendall(b"GET /streams%s HTTP/1.0\r\n\r\n" % (b"?reset=1" if reset else b""))
        reply = b""
        while part := s.recv(4096):
            reply += part
    return json.loads(reply.split(b"\r\n\r\n", 1)[1])


def probe(target, stop, results):
    """Runs in a process of its own: a plain GET every PROBE_EVERY seconds
    until stop is set; sends back (latencies in ms, failures)."""
    latencies, failures = [], 0
    while not stop.is_set():
        began = time.perf_counter()
        try:
            ok = target.get("path=/api/state")
        except OSError:
            ok = False
        latencies.append((time.perf_counter() - began) * 1000)
        failures += not ok
        time.sleep(PROBE_EVERY)
    results.send((latencies, failures))


def percentile(values, p):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * p / 100))] if ordered else 0.0


class Probes:
    """Timed GETs, each target's from a process of its own, until stop()."""

    def __init__(self, targets):
        self.done = multiprocessing.Event()
        self.pipes, self.procs = [], []
        for target in targets:
            mine, theirs = multiprocessing.Pipe()
            self.pipes.append(mine)
            self.procs.append(multiprocessing.Process(target=probe,
                                                      args=(target, self.done, theirs)))
            self.procs[-1].start()

    def stop(self):
        """[(latencies, failures)] of each target."""
        self.done.set()
        results = [pipe.recv() for pipe in self.pipes]
        for proc in self.procs:
            proc.join()
        return results


async def _open_all(target, count, events, every, pid, samples):
    query = f"path=/events&n={events}&every={every}"

    async def sample():
        while True:
            samples.append(resident_kib(pid))
            await asyncio.sleep(0.1)

    sampler = asyncio.ensure_future(sample())
    tasks = []
    for i in range(count):  # fifty at a time, not to overflow listen queues
        tasks.append(asyncio.ensure_future(target.fetch(query)))
        if i % 50 == 49:
            await asyncio.sleep(0.02)
    replies = await asyncio.gather(*tasks, return_exceptions=True)
    sampler.cancel()
    return [r if isinstance(r, bytes) else None for r in replies]


def run(target, pid, count, events=20, every=0.5, alone=2.0, settle=2.0):
    """Opens `count` streams at once through target; pid is the process
    whose memory counts. Plain GETs for `alone` seconds first (also the
    warm-up), and `settle` seconds of rest before each memory reading.
    Returns the figures as a dict."""
    probes = Probes([target])
    time.sleep(alone)
    (before, _), = probes.stop()
    time.sleep(settle)
    idle = resident_kib(pid)
    upstream_streams(reset=True)
    probes = Probes([target, UpstreamTarget()])
    samples = []
    began = time.monotonic()
    try:
        replies = asyncio.run(_open_all(target, count, events, every, pid, samples))
    finally:
        (during, failures), (upstream, _) = probes.stop()
    took = time.monotonic() - began
    most = upstream_streams()["most"]
    time.sleep(settle)
    after = resident_kib(pid)
    peak = max(samples + [idle])
    return {
        "streams": count, "events": events, "seconds": took,
        "complete": sum(complete(r, events) for r in replies), "most_at_once": most,
        "gets": len(during), "get_failures": failures,
        "p50_ms": percentile(during, 50), "p99_ms": percentile(during, 99),
        "max_ms": max(during, default=0.0), "p99_alone_ms": percentile(before, 99),
        "upstream_p99_ms": percentile(upstream, 99),
        "idle_kib": idle, "peak_kib": peak, "after_kib": after,
        "kib_per_stream": (peak - idle) / count,
        "after_vs_idle": (after - idle) / idle,
    }


def summary(name, r):
    """One line of figures, and whether the targets are met: p99 under
    50 ms, at most 100 KiB a stream, back within 10 % of idle."""
    targets = [("p99 < 50 ms", r["p99_ms"] < 50),
               ("<= 100 KiB a stream", r["kib_per_stream"] <= 100),
               ("back within 10%", r["after_vs_idle"] <= 0.10)]
    return (f"{name}: {r['streams']} streams of {r['events']} events in {r['seconds']:.1f} s: "
            f"{r['complete']} complete, {r['most_at_once']} at once at the upstream; "
            f"plain GET meanwhile p50 {r['p50_ms']:.1f} ms, p99 {r['p99_ms']:.1f} ms, "
            f"max {r['max_ms']:.1f} ms ({r['gets']} requests, {r['get_failures']} failed; "
            f"p99 {r['p99_alone_ms']:.1f} ms without the streams, the upstream itself "
            f"meanwhile {r['upstream_p99_ms']:.1f} ms); RSS idle "
            f"{r['idle_kib'] / 1024:.1f} MiB, at most {r['peak_kib'] / 1024:.1f} MiB "
            f"({r['kib_per_stream']:.1f} KiB a stream), after {r['after_kib'] / 1024:.1f} MiB "
            f"({100 * r['after_vs_idle']:+.1f}% of idle); targets: "
            + ", ".join(f"{t} {'met' if ok else 'NOT met'}" for t, ok in targets))


def median_of(runs, key):
    values = [r[key] for r in runs]
    return statistics.median(values), min(values), max(values)


async def upstream_connection(reader, writer, count):
    """Serves one connection: /events?n=N&every=S (chunked), /api/state and
    /streams (in progress, most at once since ?reset=1); kept open for
    HTTP/1.1."""
    try:
        while True:
            head = await reader.readuntil(b"\r\n\r\n")
            method, target, version = head.split(b"\r\n", 1)[0].decode().split(" ")
            url = urlsplit(target)
            query = parse_qs(url.query)
            if url.path == "/events":
                writer.write(b"HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"
                             b"Transfer-Encoding: chunked\r\n\r\n")
                count["in_progress"] += 1
                count["most"] = max(count["most"], count["in_progress"])
                try:
                    events, every = int(query["n"][0]), float(query["every"][0])
                    for i in range(1, events + 1):
                        data = b"data: event %d\n\n" % i
                        writer.write(b"%x\r\n%s\r\n" % (len(data), data))
                        await writer.drain()
                        if i < events:
                            await asyncio.sleep(every)
                    writer.write(b"0\r\n\r\n")
                finally:
                    count["in_progress"] -= 1
            else:
                if url.path == "/api/state":
                    code, body = b"200 OK", b'{"ok": true}\n'
                elif url.path == "/streams":
                    code, body = b"200 OK", json.dumps(count).encode()
                    if "reset" in query:
                        count["most"] = count["in_progress"]
                else:
                    code, body = b"404 Not Found", b""
                writer.write(b"HTTP/1.1 %s\r\nContent-Type: application/json\r\n"
                             b"Content-Length: %d\r\n\r\n%s" % (code, len(body), body))
            await writer.drain()
            if version == "HTTP/1.0":
                break
    except (asyncio.IncompleteReadError, ConnectionError, ValueError, KeyError):
        pass
    finally:
        writer.close()


async def serve_upstream():
    count = {"in_progress": 0, "most": 0}
    server = await asyncio.start_server(
        lambda r, w: upstream_connection(r, w, count), "127.0.0.1", UPSTREAM_PORT,
        backlog=4096, reuse_address=True)
    await server.serve_forever()


if __name__ == "__main__" and sys.argv[1:] == ["--upstream"]:
    asyncio.run(serve_upstream())

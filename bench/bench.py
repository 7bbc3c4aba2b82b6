"""Benchmark for cgi_forward; run by scripts/bench in a private network namespace.

Prints one table; every figure in it comes from this one run. Each figure is
measured ROUNDS times with the programs taken in turn (A B C, B C A, ...), and
shown as the median with the minimum and maximum; ratios are of medians.
Per request: hyperfine, a batch of runs of each program per round, a small
reply. Through a web server: wrk for a few seconds per target and round.
Streaming: wall time and peak resident memory of the program, its output
drained from a pipe by bench_drain. Idle: the CPU time and wake-ups of each
server while nothing is asked of it. Server-sent events: a thousand streams
at once (tests/fullstack/streams.py), the latency of a plain GET meanwhile
and the memory each stream costs the process that holds it.
Usage: bench.py TOOLS_DIR CHART_DATA NAME=GATEWAY [NAME=GATEWAY ...]
The last gateway also serves FastCGI.
"""
import json
import math
import os
import re
import socket
import statistics
import subprocess
import sys
import tempfile
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(TOP, "tests", "fullstack"))
import streams  # noqa: E402

ROUNDS = 5
GIB = 1 << 30
UPSTREAM_PORT = 8011
LIGHTTPD_PORT = 8080
NGINX_PORT = 8081
WRK_SECONDS = 2
HYPERFINE_RUNS = 100
MEMORY_REQUESTS = (1000, 1000000)
IDLE_SECONDS = 2
SSE_STREAMS = 1000
SSE_EVENTS = 10  # one every 0.5 s


def spread(values, unit, digits):
    """'median unit (min-max)'."""
    med = statistics.median(values)
    return f"{med:.{digits}f} {unit} ({min(values):.{digits}f}-{max(values):.{digits}f})"


def wait_for_port(port, limit=20.0):
    deadline = time.monotonic() + limit
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), 0.5).close()
            return
        except OSError:
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


def start(cmd, work, name):
    """A server, its messages in work/NAME.log."""
    with open(os.path.join(work, name + ".log"), "ab") as log:
        return subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=log)


def stop(proc):
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def in_turn(names, round_no):
    """The names in the order for this round: each round starts one further."""
    k = round_no % len(names)
    return names[k:] + names[:k]


def lighttpd_upstream(work):
    """lighttpd serving fixed files on 127.0.0.1:8011, keep-alive allowed."""
    www = os.path.join(work, "upstream")
    os.makedirs(www)
    with open(os.path.join(www, "small.json"), "w") as f:
        f.write(json.dumps({"service": "bench", "items": list(range(40))}) + "\n")
    for name, size in (("16m", 16 << 20), ("1g", GIB)):
        with open(os.path.join(www, name), "wb") as f:
            f.truncate(size)
    conf = os.path.join(work, "upstream.conf")
    with open(conf, "w") as f:
        f.write(f'server.document-root = "{www}"\nserver.bind = "127.0.0.1"\n'
                f'server.port = {UPSTREAM_PORT}\nserver.max-keep-alive-requests = 100000\n'
                'server.max-keep-alive-idle = 60\n')
    proc = start(["lighttpd", "-D", "-f", conf], work, "upstream")
    wait_for_port(UPSTREAM_PORT)
    return proc


def per_request(tools, gateways, work):
    commands = [("static no-op program", os.path.join(tools, "bench_noop")),
                ("raw-socket GET (floor)", os.path.join(tools, "bench_raw_get"))]
    commands += [(f"cgi_forward, {name} build", path) for name, path in gateways]
    paths = dict(commands)
    env = dict(os.environ, QUERY_STRING="path=/small.json", REQUEST_METHOD="GET")
    out = os.path.join(work, "hyperfine.json")
    times = {name: [] for name, _ in commands}
    for r in range(ROUNDS):
        order = in_turn([name for name, _ in commands], r)
        subprocess.run(["hyperfine", "-N", "--warmup", "10", "--runs", str(HYPERFINE_RUNS),
                        "--export-json", out, "--style", "none"] + [paths[n] for n in order],
                       env=env, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out) as f:
            for name, result in zip(order, json.load(f)["results"]):
                times[name].append(result["mean"] * 1000)
    floor = statistics.median(times["raw-socket GET (floor)"])
    rows = [["per request, whole process", name, spread(times[name], "ms", 3), "", "",
             f"{statistics.median(times[name]) / floor:.2f}x raw-socket floor"]
            for name, _ in commands]
    return rows + mount_per_request(gateways[-1], work)


def mount_per_request(gateway, work):
    """A mount request against the same request with path=, the same build,
    taken in turn round by round."""
    name, path = gateway
    envs = {"path=": dict(os.environ, QUERY_STRING="path=/small.json", REQUEST_METHOD="GET"),
            "mount": dict(os.environ, QUERY_STRING="", PATH_INFO="/small.json",
                          SCRIPT_NAME="/app", REQUEST_URI="/app/small.json",
                          REQUEST_METHOD="GET", HTTP_HOST="example.org")}
    out = os.path.join(work, "hyperfine-mount.json")
    times = {kind: [] for kind in envs}
    for r in range(ROUNDS):
        for kind in in_turn(list(envs), r):
            subprocess.run(["hyperfine", "-N", "--warmup", "10", "--runs", str(HYPERFINE_RUNS),
                            "--export-json", out, "--style", "none", path], env=envs[kind],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            with open(out) as f:
                times[kind].append(json.load(f)["results"][0]["mean"] * 1000)
    ratio = statistics.median(times["mount"]) / statistics.median(times["path="])
    return [["per request, whole process", f"cgi_forward, {name} build, {kind} request",
             spread(times[kind], "ms", 3), "", "",
             f"{ratio:.2f}x path= request" if kind == "mount" else ""] for kind in envs]


def start_fastcgi(gateway, work, name="fastcgi"):
    sock = os.path.join(work, name + ".sock")
    proc = start([gateway, "--fastcgi", "unix:" + sock], work, name)
    for _ in range(200):
        if os.path.exists(sock):
            return proc, sock
        time.sleep(0.05)
    raise RuntimeError("the FastCGI server did not start")


def start_lighttpd(tools, gateways, sock, work):
    """lighttpd on LIGHTTPD_PORT: mod_proxy to the upstream, mod_fastcgi to
    the FastCGI server, and the gateways and a no-op program as CGI programs,
    streaming both ways as in deploy/. The FastCGI server is started here
    rather than by bin-path, so that lighttpd and nginx share it."""
    www = os.path.join(work, "www")
    os.makedirs(www, exist_ok=True)
    lines = [f'server.document-root = "{www}"',
             'server.bind = "127.0.0.1"',
             f'server.port = {LIGHTTPD_PORT}',
             'server.max-keep-alive-requests = 1000000',
             'server.modules += ( "mod_alias", "mod_cgi", "mod_proxy", "mod_fastcgi" )',
             '$HTTP["url"] =^ "/proxy/" {',
             f'  proxy.server = ( "" => (( "host" => "127.0.0.1", "port" => {UPSTREAM_PORT} )) )',
             '  proxy.header = ( "map-urlpath" => ( "/proxy/" => "/" ) ) }',
             '$HTTP["url"] == "/fastcgi" {',
             '  server.stream-request-body = 2',
             '  server.stream-response-body = 2',
             f'  fastcgi.server = ( "" => (( "socket" => "{sock}",',
             '                              "check-local" => "disable" )) ) }',
             # The same server with the upstream mounted at /app.
             '$HTTP["url"] =^ "/app/" {',
             '  server.stream-request-body = 2',
             '  server.stream-response-body = 2',
             f'  fastcgi.server = ( "/app" => (( "socket" => "{sock}",',
             '                                  "check-local" => "disable" )) ) }']
    programs = [(name, path) for name, path in gateways] + [("noop", f"{tools}/bench_noop_cgi")]
    for name, path in programs:
        lines += [f'$HTTP["url"] == "/cgi-bin/{name}" {{',
                  f'  alias.url = ( "/cgi-bin/{name}" => "{path}" )',
                  '  cgi.assign = ( "" => "" )',
                  '  server.stream-request-body = 2',
                  '  server.stream-response-body = 2 }']
    conf = os.path.join(work, "front.conf")
    with open(conf, "w") as f:
        f.write("\n".join(lines) + "\n")
    proc = start(["lighttpd", "-D", "-f", conf], work, "lighttpd")
    wait_for_port(LIGHTTPD_PORT)
    return proc


def start_nginx(sock, work):
    """nginx on NGINX_PORT, one worker process: fastcgi_pass to the FastCGI
    server (a new connection per request, as lighttpd does, and kept
    connections) and proxy_pass to the upstream."""
    conf = os.path.join(work, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""
daemon off;
master_process off;
user root;
pid {work}/nginx.pid;
error_log {work}/nginx-error.log;
events {{ worker_connections 4096; }}
http {{
    access_log off;
    client_body_temp_path {work}/body;
    fastcgi_temp_path {work}/fastcgi;
    proxy_temp_path {work}/proxy;
    keepalive_requests 1000000;
    # Connections kept to the FastCGI server, as deploy/nginx-fastcgi.conf
    # has them.
    upstream kept {{
        server unix:{sock};
        keepalive 8;
    }}
    server {{
        listen 127.0.0.1:{NGINX_PORT};
        location = /fastcgi {{
            include /etc/nginx/fastcgi_params;
            fastcgi_buffering off;
            fastcgi_request_buffering off;
            fastcgi_pass unix:{sock};
        }}
        location = /fastcgi-kept {{
            include /etc/nginx/fastcgi_params;
            fastcgi_keep_conn on;
            fastcgi_pass kept;
        }}
        location /proxy/ {{
            proxy_pass http://127.0.0.1:{UPSTREAM_PORT}/;
        }}
    }}
}}
""")
    proc = start(["nginx", "-c", conf, "-p", work], work, "nginx")
    wait_for_port(NGINX_PORT)
    return proc


def latency_ms(text, percent):
    m = re.search(rf"^\s+{percent}%\s+([\d.]+)(us|ms|s)\s*$", text, re.M)
    return float(m.group(1)) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[m.group(2)]


def wrk(url, connections, seconds):
    """Runs wrk; returns (requests/s, requests, p50 ms, p99 ms, problems)."""
    out = subprocess.run(["wrk", "-t2", f"-c{connections}", f"-d{seconds}s", "--latency", url],
                         capture_output=True, text=True, check=True).stdout
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    count = int(re.search(r"(\d+) requests in", out).group(1))
    problems = []
    bad = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    if bad:
        problems.append(f"non-2xx {bad.group(1)}")
    errors = re.search(r"Socket errors: (.*)", out)
    if errors:
        problems.append(f"socket errors: {errors.group(1)}")
    return rate, count, latency_ms(out, 50), latency_ms(out, 99), problems


def resident_mib(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"VmRSS:\s+(\d+) kB", f.read()).group(1)) / 1024


def through_servers(tools, gateways, work, chart):
    """Requests per second and latency through lighttpd and nginx, and the
    FastCGI server's resident memory after MEMORY_REQUESTS."""
    fastcgi, sock = start_fastcgi(gateways[-1][1], work)
    servers = [fastcgi]
    try:
        servers.append(start_lighttpd(tools, gateways, sock, work))
        servers.append(start_nginx(sock, work))
        rows = measure_servers(gateways, fastcgi.pid, chart)
        names = [f"FastCGI server, cgi_forward {gateways[-1][0]} build", "lighttpd", "nginx"]
        return rows + idle_rows(dict(zip(names, (p.pid for p in servers))))
    finally:
        for proc in reversed(servers):
            stop(proc)


def measure_servers(gateways, fastcgi_pid, chart):
    light = f"http://127.0.0.1:{LIGHTTPD_PORT}"
    ngx = f"http://127.0.0.1:{NGINX_PORT}"
    query = "path=/small.json"
    fast = f"FastCGI, cgi_forward {gateways[-1][0]} build"
    noop = "CGI, no-op program (ceiling)"
    # (server, program, url, connection counts)
    targets = [("upstream itself", "lighttpd, static file",
                f"http://127.0.0.1:{UPSTREAM_PORT}/small.json", (8, 64)),
               ("lighttpd", "mod_proxy", light + "/proxy/small.json", (8, 64)),
               ("lighttpd", fast, f"{light}/fastcgi?{query}", (8, 64)),
               ("lighttpd", fast + ", mount", f"{light}/app/small.json", (8,)),
               ("nginx", "proxy_pass", ngx + "/proxy/small.json", (8, 64)),
               ("nginx", fast, f"{ngx}/fastcgi?{query}", (8, 64)),
               ("nginx", fast + ", kept connections", f"{ngx}/fastcgi-kept?{query}", (8, 64))]
    targets += [("lighttpd", f"CGI, cgi_forward {name} build", f"{light}/cgi-bin/{name}?{query}",
                 (8,)) for name, _ in gateways]
    targets += [("lighttpd", noop, light + "/cgi-bin/noop", (8,))]
    runs = [(server, program, url, c) for c in (8, 64)
            for server, program, url, counts in targets if c in counts]

    # The first 1,000 requests through the FastCGI server, 16 at a time so
    # that every worker serves some.
    subprocess.run(["curl", "-s", "-Z", "--parallel-max", "16",
                    f"{light}/fastcgi?{query}&n=[1-{MEMORY_REQUESTS[0]}]"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    served = MEMORY_REQUESTS[0]
    memory = [resident_mib(fastcgi_pid)]
    results = {(server, program, c): [] for server, program, _, c in runs}
    for r in range(ROUNDS):
        for server, program, url, c in in_turn(runs, r):
            result = wrk(url, c, WRK_SECONDS)
            results[(server, program, c)].append(result)
            if program.startswith(fast):
                served += result[1]
    rates = {key: statistics.median(v[0] for v in values) for key, values in results.items()}
    # After the rate runs, at up to 64 connections: what a busy server holds.
    memory.append(resident_mib(fastcgi_pid))
    busy = served
    # The rest of the million over kept connections, the faster way.
    rate = rates[("lighttpd", fast, 64)]
    while served < MEMORY_REQUESTS[1]:
        seconds = math.ceil((MEMORY_REQUESTS[1] - served) / rate * 1.05)
        rate, count = wrk(f"{ngx}/fastcgi-kept?{query}", 16, min(seconds, 60))[:2]
        served += count
    memory.append(resident_mib(fastcgi_pid))

    rows = []
    for (server, program, c), values in results.items():
        rate = rates[(server, program, c)]
        ratio = []
        if program.startswith("CGI"):
            ratio.append(f"{rate / rates[(server, noop, c)]:.2f}x no-op CGI")
        elif program == fast + ", mount":
            ratio.append(f"{rate / rates[(server, fast, c)]:.2f}x path= request")
        elif server != "upstream itself":
            proxy = "mod_proxy" if server == "lighttpd" else "proxy_pass"
            ratio.append(f"{rate / rates[(server, proxy, c)]:.2f}x {proxy}")
        if program == fast and server == "lighttpd" and c == 8:
            ratio += [f"{rate / rates[(server, f'CGI, cgi_forward {name} build', c)]:.1f}x "
                      f"{name} CGI" for name, _ in gateways]
        problems = sorted({p for v in values for p in v[4]})
        rows.append([f"{server}, {c} connections", program,
                     spread([v[0] for v in values], "req/s", 0)
                     + (f" ({', '.join(problems)})" if problems else ""),
                     f"{statistics.median(v[2] for v in values):.2f} / "
                     f"{statistics.median(v[3] for v in values):.2f} ms", "", ", ".join(ratio)])
        short = re.sub(r"cgi_forward | build| program \(ceiling\)", "", program)
        chart.append((f"{server}: {short}", c, [v[0] for v in values]))
    rows.append(["FastCGI server, resident memory", f"after {MEMORY_REQUESTS[0]:,} requests",
                 f"{memory[0]:.1f} MiB", "", "", ""])
    rows.append(["FastCGI server, resident memory", f"after {busy:,} requests (the rate runs)",
                 f"{memory[1]:.1f} MiB", "", "", ""])
    rows.append(["FastCGI server, resident memory", f"after {served:,} requests",
                 f"{memory[2]:.1f} MiB", "", "",
                 f"{memory[2] / memory[1]:.2f}x after {busy:,}, "
                 f"{memory[2] / memory[0]:.2f}x after {MEMORY_REQUESTS[0]:,}"])
    return rows


def activity(pid):
    """(CPU seconds, context switches) of all the process's threads so far."""
    cpu = switches = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                cpu += int(f.read().split()[0]) / 1e9
            with open(f"/proc/{pid}/task/{task}/status") as f:
                switches += sum(int(n) for n in re.findall(r"ctxt_switches:\s+(\d+)", f.read()))
        except OSError:
            pass  # a thread that ended
    return cpu, switches


def idle_rows(pids):
    """CPU time and wake-ups a second of each server, IDLE_SECONDS at a time
    with nothing asked of any: a server without a polling loop sleeps."""
    time.sleep(IDLE_SECONDS)  # the last requests settle
    cpu = {name: [] for name in pids}
    wakes = {name: [] for name in pids}
    for _ in range(ROUNDS):
        before = {name: activity(pid) for name, pid in pids.items()}
        time.sleep(IDLE_SECONDS)
        for name, pid in pids.items():
            now = activity(pid)
            cpu[name].append((now[0] - before[name][0]) * 1000 / IDLE_SECONDS)
            wakes[name].append((now[1] - before[name][1]) / IDLE_SECONDS)
    return [[f"idle, {ROUNDS} x {IDLE_SECONDS} s", name, spread(cpu[name], "ms CPU/s", 3), "",
             "", f"{spread(wakes[name], 'wake-ups/s', 1)}"] for name in pids]


class ProxyTarget(streams.HTTPTarget):
    """Through nginx's proxy_pass: /proxy/PATH?REST for path=/PATH&REST."""

    def request(self, query):
        path, _, rest = query.partition("&")
        return b"GET /proxy%s?%s HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" % (
            path[len("path="):].encode(), rest.encode())


def start_sse_nginx(sock, work):
    """nginx on NGINX_PORT for event streams: to the FastCGI server as
    deploy/nginx-fastcgi.conf has it, and proxy_pass without buffering."""
    conf = os.path.join(work, "sse-nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""
daemon off;
master_process off;
user root;
worker_rlimit_nofile 8192;
pid {work}/sse-nginx.pid;
error_log {work}/sse-nginx-error.log;
events {{ worker_connections 4096; }}
http {{
    access_log off;
    client_body_temp_path {work}/body;
    fastcgi_temp_path {work}/fastcgi;
    proxy_temp_path {work}/proxy;
    upstream gateway {{
        server unix:{sock};
        keepalive 8;
    }}
    server {{
        listen 127.0.0.1:{NGINX_PORT} backlog=4096;
        location = /fastcgi {{
            include /etc/nginx/fastcgi_params;
            fastcgi_pass gateway;
            fastcgi_keep_conn on;
            fastcgi_buffering off;
            fastcgi_request_buffering off;
        }}
        location /proxy/ {{
            proxy_pass http://127.0.0.1:{UPSTREAM_PORT}/;
            proxy_buffering off;
        }}
    }}
}}
""")
    proc = start(["nginx", "-c", conf, "-p", work], work, "sse-nginx")
    wait_for_port(NGINX_PORT)
    return proc


def sse_streams(gateways, work):
    """SSE_STREAMS event streams at once (streams.py's upstream): straight at
    the FastCGI server, through nginx to it, and through nginx's
    proxy_pass; the memory is that of the process holding the streams (the
    gateway, or nginx for proxy_pass)."""
    procs = [streams.start_upstream(lambda cmd: start(cmd, work, "sse-upstream"))]
    try:
        fastcgi, sock = start_fastcgi(gateways[-1][1], work, "sse-fastcgi")
        procs.append(fastcgi)
        nginx = start_sse_nginx(sock, work)
        procs.append(nginx)
        build = f"cgi_forward {gateways[-1][0]} build"
        targets = {f"FastCGI, {build}, at its socket": (streams.FastCGITarget(sock), fastcgi.pid),
                   f"nginx + FastCGI, {build}": (streams.HTTPTarget(NGINX_PORT, "/fastcgi"),
                                                 fastcgi.pid),
                   "nginx proxy_pass": (ProxyTarget(NGINX_PORT, ""), nginx.pid)}
        runs = {name: [] for name in targets}
        for r in range(ROUNDS):
            for name in in_turn(list(targets), r):
                target, pid = targets[name]
                runs[name].append(streams.run(target, pid, SSE_STREAMS, SSE_EVENTS,
                                              alone=1.0, settle=1.0))
    finally:
        for proc in reversed(procs):
            stop(proc)
    rows = []
    for name, results in runs.items():
        complete = min(r["complete"] for r in results)
        failed = sum(r["get_failures"] for r in results)
        rows.append([
            f"{SSE_STREAMS:,} SSE streams at once, {SSE_EVENTS} events each", name,
            f"{complete:,} of {SSE_STREAMS:,} complete in every run"
            + (f", {failed} GETs failed" if failed else "")
            + f"; GET meanwhile p99 {spread([r['p99_ms'] for r in results], 'ms', 1)}"
            + f" (upstream itself {spread([r['upstream_p99_ms'] for r in results], 'ms', 1)})",
            f"{statistics.median(r['p50_ms'] for r in results):.2f} / "
            f"{statistics.median(r['p99_ms'] for r in results):.2f} ms",
            f"{statistics.median(r['peak_kib'] for r in results) / 1024:.1f} MiB",
            f"{spread([r['kib_per_stream'] for r in results], 'KiB a stream', 1)}; after: "
            f"{spread([100 * r['after_vs_idle'] for r in results], '% of idle', 1)}"])
    return rows


def run_measured(tools, cmd, env=None, stdin=None):
    """Runs cmd with standard output into a pipe that bench_drain empties;
    returns (seconds, peak KiB, bytes)."""
    drain = subprocess.Popen([os.path.join(tools, "bench_drain")], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE)
    proc = subprocess.run([os.path.join(tools, "bench_peak")] + cmd, env=env,
                          stdin=stdin or subprocess.DEVNULL, stdout=drain.stdin,
                          stderr=subprocess.PIPE)
    drain.stdin.close()
    total = int(drain.stdout.read())
    drain.wait()
    err = proc.stderr.decode()
    m = re.search(r"seconds ([\d.]+) peak_kib (\d+)", err)
    return float(m.group(1)), int(m.group(2)), total


def stream_rows(label, programs, measure):
    """programs: [(name, how)]; measure(how) gives (seconds, KiB, bytes)."""
    seconds = {name: [] for name, _ in programs}
    peak = {name: 0 for name, _ in programs}
    how = dict(programs)
    for r in range(ROUNDS):
        for name in in_turn([name for name, _ in programs], r):
            s, kib, _ = measure(how[name])
            seconds[name].append(s)
            peak[name] = max(peak[name], kib)
    base = statistics.median(seconds["curl tool"])
    return [[label, name, spread(seconds[name], "s", 3 if base < 0.5 else 2), "",
             f"{peak[name] / 1024:.1f} MiB",
             f"{statistics.median(seconds[name]) / base:.2f}x curl tool"] for name, _ in programs]


def streaming(tools, gateways, work):
    rows = []
    url = f"http://127.0.0.1:{UPSTREAM_PORT}"
    for label, size_name, size in (("GET 1 GiB into a pipe", "1g", GIB),
                                   ("GET 16 MiB into a pipe", "16m", 16 << 20)):
        env = dict(os.environ, QUERY_STRING=f"path=/{size_name}", REQUEST_METHOD="GET")

        def measure(cmd):
            seconds, kib, got = run_measured(tools, cmd, env=env)
            assert got >= size, f"short response from {cmd[0]}"
            return seconds, kib, got

        programs = [("curl tool", ["/usr/bin/curl", "-s", f"{url}/{size_name}"])]
        programs += [(f"cgi_forward, {name} build", [path]) for name, path in gateways]
        rows += stream_rows(label, programs, measure)
    return rows


def streaming_post(tools, gateways, work):
    body = os.path.join(work, "post-body")
    with open(body, "wb") as f:
        f.truncate(GIB)
    env = dict(os.environ, QUERY_STRING="path=/sink", REQUEST_METHOD="POST",
               CONTENT_LENGTH=str(GIB))

    def measure(cmd):
        with open(body, "rb") as stdin:
            seconds, kib, got = run_measured(tools, cmd, env=env, stdin=stdin)
        assert got > 0, f"no response from {cmd[0]}"
        return seconds, kib, got

    url = f"http://127.0.0.1:{UPSTREAM_PORT}/sink"
    programs = [("curl tool", ["/usr/bin/curl", "-s", "-X", "POST", "-T", body, url])]
    programs += [(f"cgi_forward, {name} build", [path]) for name, path in gateways]
    sink = start([os.path.join(tools, "bench_sink")], work, "sink")
    try:
        wait_for_port(UPSTREAM_PORT)
        return stream_rows("POST 1 GiB from a file", programs, measure)
    finally:
        stop(sink)


def write_chart_data(path, chart):
    """One line per program: its name, then median, minimum and maximum
    requests per second at 8 and at 64 connections ("-" when not measured)."""
    names = list(dict.fromkeys(name for name, _, _ in chart))
    values = {(name, c): v for name, c, v in chart}
    with open(path, "w") as f:
        for name in names:
            fields = [json.dumps(name)]
            for c in (8, 64):
                v = values.get((name, c))
                fields += [f"{statistics.median(v):.0f}", f"{min(v):.0f}", f"{max(v):.0f}"] if v \
                    else ["-", "-", "-"]
            f.write(" ".join(fields) + "\n")


def main():
    tools = os.path.abspath(sys.argv[1])
    chart_data = os.path.abspath(sys.argv[2])
    gateways = [tuple(arg.split("=", 1)) for arg in sys.argv[3:]]
    gateways = [(name, os.path.abspath(path)) for name, path in gateways]
    rows, chart = [], []
    with tempfile.TemporaryDirectory() as work:
        os.chmod(work, 0o755)
        upstream = lighttpd_upstream(work)
        try:
            rows += per_request(tools, gateways, work)
            rows += through_servers(tools, gateways, work, chart)
            rows += streaming(tools, gateways, work)
        finally:
            stop(upstream)
        rows += sse_streams(gateways, work)
        rows += streaming_post(tools, gateways, work)
    write_chart_data(chart_data, chart)
    print(f"Each figure: median (minimum-maximum) of {ROUNDS} runs, programs in turn;"
          " resident memory: one reading.")
    print("| measurement | program | result | latency p50 / p99 | peak RSS | ratio |")
    print("|---|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()

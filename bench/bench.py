"""Benchmark for cgi_forward; run by scripts/bench in a private network namespace.

Prints two tables; every figure in them comes from this one run. Each figure is
measured ROUNDS times with the programs taken in turn (A B C, B C A, ...), and
shown as the median with the minimum and maximum; ratios are of medians.
Per request: hyperfine, a batch of runs of each program per round, a small
reply. Through a web server (lighttpd, nginx, Apache, Caddy; each also with
its own proxy, and HAProxy for reference): wrk for a few seconds per target
and round, after one unmeasured second each.
Streaming: wall time and peak resident memory of the program, its output
drained from a pipe by bench_drain. Idle: the CPU time and wake-ups of each
server while nothing is asked of it. Server-sent events: a thousand streams
at once (tests/fullstack/streams.py), the latency of a plain GET meanwhile
and the memory each stream costs the process that holds it. Idle kept
connections: what each costs the FastCGI server's resident memory.
The second table: through each web server, the CPU time each process on the
path spends on a request, from the same runs. The servers and their
settings are in servers.py.
Usage: bench.py TOOLS_DIR CHART_DATA NAME=GATEWAY [NAME=GATEWAY ...]
The last gateway also serves FastCGI. BENCH_PARTS (comma-separated, of
process,servers,streams,sse,post; all by default) runs only those parts.
"""
import json
import math
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

from servers import (APACHE_PORT, CADDY_PORT, GATEWAY_PATH, GIB, HAPROXY_PORT, LIGHTTPD_PORT,
                     NGINX_PORT, TOP, UPSTREAM_PORT, cpu_seconds, lighttpd_upstream,
                     resident_kib, start, start_apache, start_caddy, start_fastcgi,
                     start_haproxy, start_lighttpd, start_nginx, start_sse_nginx, stop,
                     wait_for_port)

sys.path.insert(0, os.path.join(TOP, "tests", "fullstack"))
sys.path.insert(0, os.path.join(TOP, "tests", "e2e"))
import fastcgi_client as fcgi  # noqa: E402
import streams  # noqa: E402

ROUNDS = 5
QUERY = "path=/small.json"
NOOP = "CGI, no-op program (ceiling)"
# Each server's own proxy with its upstream connections kept, and the
# proxies a FastCGI row is compared with.
KEPT_PROXY = {"nginx": "proxy_pass, keepalive 32", "Apache": "mod_proxy_http, reused connections",
              "Caddy": "reverse_proxy", "HAProxy": "http-reuse always"}
PROXIES = {"lighttpd": ["mod_proxy"], "nginx": ["proxy_pass", KEPT_PROXY["nginx"]],
           "Apache": [KEPT_PROXY["Apache"]], "Caddy": [KEPT_PROXY["Caddy"]]}
IDLE_KEPT = 1000
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



def in_turn(names, round_no):
    """The names in the order for this round: each round starts one further."""
    k = round_no % len(names)
    return names[k:] + names[:k]


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



def latency_ms(text, percent):
    m = re.search(rf"^\s+{percent}%\s+([\d.]+)(us|ms|s)\s*$", text, re.M)
    return float(m.group(1)) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[m.group(2)]


def wrk(url, connections, seconds):
    """Runs wrk; returns (requests/s, requests, p50 ms, p99 ms, problems)."""
    out = subprocess.run(["wrk", "-t2", f"-c{connections}", f"-d{seconds}s", "--latency", url],
                         capture_output=True, text=True, check=True).stdout
    rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
    count = int(re.search(r"(\d+) requests in", out).group(1))
    problems = {}
    bad = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
    if bad:
        problems["non-2xx"] = int(bad.group(1))
    errors = re.search(r"Socket errors: (.*)", out)
    for kind, n in re.findall(r"(\w+) (\d+)", errors.group(1) if errors else ""):
        if int(n):
            problems[f"socket {kind} errors"] = int(n)
    return rate, count, latency_ms(out, 50), latency_ms(out, 99), problems


def problems_note(values):
    """' (N what, ...)' summed over the runs, or ''."""
    total = {}
    for v in values:
        for kind, n in v[4].items():
            total[kind] = total.get(kind, 0) + n
    return f" ({', '.join(f'{n} {kind}' for kind, n in total.items())})" if total else ""


def through_servers(tools, gateways, upstream_pid, work, chart):
    """Requests per second, latency and CPU time a request through each web
    server, and the FastCGI server's resident memory after MEMORY_REQUESTS
    and with idle kept connections."""
    fastcgi, sock = start_fastcgi(gateways[-1][1], work)
    procs = [fastcgi]
    try:
        web = {}
        for name, starter in (("lighttpd", lambda: start_lighttpd(tools, gateways, sock, work)),
                              ("nginx", lambda: start_nginx(sock, work)),
                              ("Apache", lambda: start_apache(sock, work)),
                              ("Caddy", lambda: start_caddy(sock, work)),
                              ("HAProxy", lambda: start_haproxy(work))):
            web[name] = starter()
            procs.append(web[name])
        pids = {"upstream": upstream_pid, "gateway": fastcgi.pid}
        pids.update((name, proc.pid) for name, proc in web.items())
        rows, cpu_rows = measure_servers(gateways, pids, chart)
        names = [f"FastCGI server, cgi_forward {gateways[-1][0]} build", "lighttpd", "nginx"]
        rows += idle_rows(dict(zip(names, (fastcgi.pid, web["lighttpd"].pid, web["nginx"].pid))))
    finally:
        for proc in reversed(procs):
            stop(proc)
    return rows + idle_kept_rows(gateways[-1][1], work), cpu_rows


def server_targets(gateways):
    """(server, program, URL, connection counts) for each target; FAST and
    CGI programs are the gateway, the rest each server's own proxy."""
    light = f"http://127.0.0.1:{LIGHTTPD_PORT}"
    ngx = f"http://127.0.0.1:{NGINX_PORT}"
    apache = f"http://127.0.0.1:{APACHE_PORT}"
    caddy = f"http://127.0.0.1:{CADDY_PORT}"
    fast = f"FastCGI, cgi_forward {gateways[-1][0]} build"
    deployed = f"{GATEWAY_PATH}?{QUERY}"
    both = (8, 64)
    targets = [("upstream itself", "lighttpd, static file",
                f"http://127.0.0.1:{UPSTREAM_PORT}/small.json", both),
               ("lighttpd", "mod_proxy", light + "/proxy/small.json", both),
               ("lighttpd", fast, f"{light}/fastcgi?{QUERY}", both),
               ("lighttpd", fast + ", mount", f"{light}/app/small.json", (8,)),
               ("nginx", "proxy_pass", ngx + "/proxy/small.json", both),
               ("nginx", KEPT_PROXY["nginx"], ngx + "/proxy-kept/small.json", both),
               ("nginx", fast, f"{ngx}/fastcgi?{QUERY}", both),
               ("nginx", fast + ", kept connections", ngx + deployed, both),
               ("Apache", KEPT_PROXY["Apache"], apache + "/proxy/small.json", both),
               ("Apache", fast, apache + deployed, both),
               ("Caddy", KEPT_PROXY["Caddy"], caddy + "/proxy/small.json", both),
               ("Caddy", fast, caddy + deployed, both),
               ("HAProxy", KEPT_PROXY["HAProxy"],
                f"http://127.0.0.1:{HAPROXY_PORT}/small.json", both)]
    targets += [("lighttpd", f"CGI, cgi_forward {name} build", f"{light}/cgi-bin/{name}?{QUERY}",
                 (8,)) for name, _ in gateways]
    targets += [("lighttpd", NOOP, light + "/cgi-bin/noop", (8,))]
    return fast, targets


def on_path(server, program, pids):
    """The processes a request passes through: {role: pid}."""
    path = {"upstream": pids["upstream"]}
    if server != "upstream itself":
        path["web server"] = pids[server]
    if program.startswith("FastCGI"):
        path["gateway"] = pids["gateway"]
    return path


def measured_wrk(url, connections, path):
    """wrk's figures, and the CPU time of each process on the path
    (utime + stime, all threads and worker processes) over the run, in µs a
    request."""
    before = {role: cpu_seconds(pid) for role, pid in path.items()}
    result = wrk(url, connections, WRK_SECONDS)
    spent = {role: (cpu_seconds(pid) - before[role]) * 1e6 / max(result[1], 1)
             for role, pid in path.items()}
    return result + (spent,)


def warm_up(runs):
    """A second of each target at its most connections, unmeasured, so that
    no measured run pays for a server's start (threads, pools)."""
    most = {}
    for _, _, url, c in runs:
        most[url] = max(c, most.get(url, 0))
    for url, c in most.items():
        wrk(url, c, 1)


def measure_servers(gateways, pids, chart):
    fast, targets = server_targets(gateways)
    runs = [(server, program, url, c) for c in (8, 64)
            for server, program, url, counts in targets if c in counts]
    light = f"http://127.0.0.1:{LIGHTTPD_PORT}"

    # The first 1,000 requests through the FastCGI server, 16 at a time so
    # that every worker serves some.
    subprocess.run(["curl", "-s", "-Z", "--parallel-max", "16",
                    f"{light}/fastcgi?{QUERY}&n=[1-{MEMORY_REQUESTS[0]}]"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    served = MEMORY_REQUESTS[0]
    memory = [resident_kib(pids["gateway"]) / 1024]
    results = {(server, program, c): [] for server, program, _, c in runs}
    warm_up(runs)
    for r in range(ROUNDS):
        for server, program, url, c in in_turn(runs, r):
            result = measured_wrk(url, c, on_path(server, program, pids))
            results[(server, program, c)].append(result)
            if program.startswith(fast):
                served += result[1]
    rates = {key: statistics.median(v[0] for v in values) for key, values in results.items()}
    # After the rate runs, at up to 64 connections: what a busy server holds.
    memory.append(resident_kib(pids["gateway"]) / 1024)
    busy = served
    # The rest of the million over kept connections, the faster way.
    rate = rates[("lighttpd", fast, 64)]
    while served < MEMORY_REQUESTS[1]:
        seconds = math.ceil((MEMORY_REQUESTS[1] - served) / rate * 1.05)
        rate, count = wrk(f"http://127.0.0.1:{NGINX_PORT}{GATEWAY_PATH}?{QUERY}", 16,
                          min(seconds, 60))[:2]
        served += count
    memory.append(resident_kib(pids["gateway"]) / 1024)

    rows = [rate_row(key, values, rates, fast, gateways) for key, values in results.items()]
    for (server, program, c), values in results.items():
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
    cpu_rows = [cpu_row(key, values) for key, values in results.items()
                if not key[1].startswith("CGI")]
    return rows, cpu_rows


def rate_row(key, values, rates, fast, gateways):
    server, program, c = key
    rate = rates[key]
    ratio = []
    if program.startswith("CGI"):
        ratio.append(f"{rate / rates[(server, NOOP, c)]:.2f}x no-op CGI")
    elif program == fast + ", mount":
        ratio.append(f"{rate / rates[(server, fast, c)]:.2f}x path= request")
    elif program.startswith(fast):
        ratio += [f"{rate / rates[(server, proxy, c)]:.2f}x {proxy}"
                  for proxy in PROXIES[server]]
    elif server not in ("upstream itself", "HAProxy"):
        ratio.append(f"{rate / rates[('HAProxy', KEPT_PROXY['HAProxy'], c)]:.2f}x HAProxy")
    if program == fast and server == "lighttpd" and c == 8:
        ratio += [f"{rate / rates[(server, f'CGI, cgi_forward {name} build', c)]:.1f}x "
                  f"{name} CGI" for name, _ in gateways]
    return [f"{server}, {c} connections", program,
            spread([v[0] for v in values], "req/s", 0) + problems_note(values),
            f"{statistics.median(v[2] for v in values):.2f} / "
            f"{statistics.median(v[3] for v in values):.2f} ms", "", ", ".join(ratio)]


def cpu_row(key, values):
    """µs of CPU a request in each process on the path, and their sum."""
    server, program, c = key
    cells = []
    for role in ("web server", "gateway", "upstream"):
        spent = [v[5][role] for v in values if role in v[5]]
        cells.append(spread(spent, "µs", 0) if spent else "")
    total = statistics.median(sum(v[5].values()) for v in values)
    return [f"{server}, {c} connections", program] + cells + [f"{total:.0f} µs"]


def idle_kept_rows(gateway, work):
    """What idle kept connections cost the FastCGI server: its resident
    memory with IDLE_KEPT connections open after a request each, against
    the same server with none, taken in turn."""
    fastcgi, sock = start_fastcgi(gateway, work, "kept-fastcgi")
    params = streams.cgi_params(QUERY)
    per_connection = []
    try:
        # Warm: the requests' own allocations are made once before the baseline.
        hold_kept(sock, params, IDLE_KEPT)
        for _ in range(ROUNDS):
            time.sleep(0.5)
            none = resident_kib(fastcgi.pid)
            held = hold_kept(sock, params, IDLE_KEPT, keep_open=True)
            kept = resident_kib(fastcgi.pid)
            for conn in held:
                conn.close()
            per_connection.append((kept - none) / IDLE_KEPT)
    finally:
        stop(fastcgi)
    return [["FastCGI server, idle kept connections",
             f"{IDLE_KEPT:,} held open after a request each, against none",
             spread(per_connection, "KiB a connection", 1), "", "", ""]]


def hold_kept(sock, params, count, keep_open=False):
    """count connections that each asked one request with FCGI_KEEP_CONN
    and got its whole answer; closed again unless keep_open."""
    held = []
    for _ in range(count):
        conn = fcgi.Connection(sock, 10)
        conn.send(fcgi.request(params, keep=True))
        out = conn.response()[0]
        if not out.startswith(b"Status: 200"):
            raise RuntimeError(f"the FastCGI server answered {out[:40]!r}")
        held.append(conn)
    if not keep_open:
        for conn in held:
            conn.close()
        held = []
    return held


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
    parts = os.environ.get("BENCH_PARTS", "process,servers,streams,sse,post").split(",")
    rows, cpu_rows, chart = [], [], []
    with tempfile.TemporaryDirectory() as work:
        os.chmod(work, 0o755)
        upstream = lighttpd_upstream(work)
        try:
            if "process" in parts:
                rows += per_request(tools, gateways, work)
            if "servers" in parts:
                more, cpu_rows = through_servers(tools, gateways, upstream.pid, work, chart)
                rows += more
            if "streams" in parts:
                rows += streaming(tools, gateways, work)
        finally:
            stop(upstream)
        if "sse" in parts:
            rows += sse_streams(gateways, work)
        if "post" in parts:
            rows += streaming_post(tools, gateways, work)
    write_chart_data(chart_data, chart)
    print(f"Each figure: median (minimum-maximum) of {ROUNDS} runs, programs in turn;"
          " resident memory: one reading.")
    print("| measurement | program | result | latency p50 / p99 | peak RSS | ratio |")
    print("|---|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    if cpu_rows:
        print("\nCPU time a request, from the rate runs above: each process's user and"
              " system time over a run (all threads and worker processes) divided by the"
              " requests it served; median (minimum-maximum) of the runs.")
        print("| through | program | web server | gateway | upstream | all |")
        print("|---|---|---|---|---|---|")
        for row in cpu_rows:
            print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()

"""Benchmark for cgi_forward; run by scripts/bench in a private network namespace.

Prints one table; every figure in it comes from this one run, side by side.
Per request: hyperfine, 600 runs of each program, a 1 KiB reply. Through
lighttpd: wrk, 8 s for each target. Streaming: wall time and peak resident
memory of the program, its output drained from a pipe.
Usage: bench.py TOOLS_DIR NAME=GATEWAY [NAME=GATEWAY ...]
"""
import json
import os
import re
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "fullstack"))
import stack  # noqa: E402

GIB = 1 << 30


def lighttpd_upstream(work):
    """lighttpd serving fixed files on 127.0.0.1:8011."""
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
                f'server.port = {stack.UPSTREAM_PORT}\nserver.max-keep-alive-requests = 1000\n')
    proc = subprocess.Popen(["lighttpd", "-D", "-f", conf])
    stack.wait_for_port(stack.UPSTREAM_PORT)
    return proc


def per_request(tools, gateways, work):
    commands = [("static no-op program", os.path.join(tools, "bench_noop")),
                ("raw-socket GET (floor)", os.path.join(tools, "bench_raw_get"))]
    commands += [(f"cgi_forward, {name} build", path) for name, path in gateways]
    out = os.path.join(work, "hyperfine.json")
    env = dict(os.environ, QUERY_STRING="path=/small.json", REQUEST_METHOD="GET")
    cmd = ["hyperfine", "-N", "--warmup", "50", "--runs", "600", "--export-json", out, "--style",
           "none"]
    for _, path in commands:
        cmd.append(path)
    subprocess.run(cmd, env=env, check=True, stdout=subprocess.DEVNULL)
    with open(out) as f:
        means = [r["mean"] for r in json.load(f)["results"]]
    floor = means[1]
    return [["per request, whole process", name, f"{mean * 1000:.3f} ms", "",
             f"{mean / floor:.2f}x raw-socket floor"] for (name, _), mean in zip(commands, means)]


def through_lighttpd(tools, gateways, work):
    conf = os.path.join(work, "front.conf")
    www = os.path.join(work, "www")
    os.makedirs(www, exist_ok=True)
    text = subprocess.check_output([os.path.join(stack.TOP, "scripts", "lighttpd-conf"),
                                    gateways[0][1], str(stack.WEB_PORT), www]).decode()
    extra = ['server.modules += ( "mod_proxy" )',
             'server.max-keep-alive-requests = 100000',
             '$HTTP["url"] =^ "/proxy/" {',
             '  proxy.server = ( "" => (( "host" => "127.0.0.1", "port" => 8011 )) )',
             '  proxy.header = ( "map-urlpath" => ( "/proxy/" => "/" ) ) }',
             '$HTTP["url"] == "/cgi-bin/noop" {',
             f'  alias.url = ( "/cgi-bin/noop" => "{tools}/bench_noop_cgi" )',
             '  cgi.assign = ( "" => "" ) }']
    for name, path in gateways[1:]:
        extra += [f'$HTTP["url"] == "/cgi-bin/{name}" {{',
                  f'  alias.url = ( "/cgi-bin/{name}" => "{path}" )',
                  '  cgi.assign = ( "" => "" ) }']
    with open(conf, "w") as f:
        f.write(text + "\n".join(extra) + "\n")
    proc = subprocess.Popen(["lighttpd", "-D", "-f", conf])
    stack.wait_for_port(stack.WEB_PORT)
    base = f"http://127.0.0.1:{stack.WEB_PORT}"
    targets = [(f"cgi_forward, {gateways[0][0]} build",
                base + "/cgi-bin/cgi_forward?path=/small.json")]
    targets += [(f"cgi_forward, {name} build", f"{base}/cgi-bin/{name}?path=/small.json")
                for name, _ in gateways[1:]]
    targets += [("no-op CGI program (ceiling)", base + "/cgi-bin/noop"),
                ("lighttpd mod_proxy", base + "/proxy/small.json")]
    rows, rates = [], {}
    try:
        for name, url in targets:
            out = subprocess.run(["wrk", "-t2", "-c8", "-d8s", url], capture_output=True,
                                 text=True, check=True).stdout
            rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
            bad = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
            errors = re.search(r"Socket errors: (.*)", out)
            rates[name] = rate
            rows.append(["through lighttpd, 8 connections", name,
                         f"{rate:.0f} req/s (non-2xx {bad.group(1) if bad else 0}"
                         + (f", socket errors: {errors.group(1)}" if errors else "") + ")", ""])
    finally:
        stack.stop(proc)
    ceiling = rates["no-op CGI program (ceiling)"]
    default = rates[targets[0][0]]
    for row in rows:
        ratio = f"{rates[row[1]] / ceiling:.2f}x no-op CGI"
        if row[1] != targets[0][0] and row[1].startswith("cgi_forward"):
            ratio += f", {rates[row[1]] / default:.2f}x {gateways[0][0]} build"
        row.append(ratio)
    return rows


def run_measured(tools, cmd, env=None, stdin=None):
    """Runs cmd with standard output into a pipe drained here; returns (seconds, peak KiB, bytes)."""
    start = time.monotonic()
    proc = subprocess.Popen([os.path.join(tools, "bench_peak")] + cmd, env=env,
                            stdin=stdin or subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    total = 0
    while True:
        part = os.read(proc.stdout.fileno(), 1 << 20)
        if not part:
            break
        total += len(part)
    err = proc.stderr.read().decode()
    proc.wait()
    proc.stdout.close()
    proc.stderr.close()
    peak = int(re.search(r"peak_kib (\d+)", err).group(1))
    return time.monotonic() - start, peak, total


def streaming(tools, gateways, work):
    rows = []
    url = f"http://127.0.0.1:{stack.UPSTREAM_PORT}"
    for label, size_name, size in (("GET 1 GiB into a pipe", "1g", GIB),
                                   ("GET 16 MiB into a pipe", "16m", 16 << 20)):
        env = dict(os.environ, QUERY_STRING=f"path=/{size_name}", REQUEST_METHOD="GET")
        seconds, rss, total = run_measured(tools, ["/usr/bin/curl", "-s", url + "/" + size_name])
        rows.append([label, "curl tool", f"{seconds:.2f} s", f"{rss / 1024:.1f} MiB",
                     "1.00x curl tool"])
        base = seconds
        for name, path in gateways:
            seconds, rss, got = run_measured(tools, [path], env=env)
            assert got > size, "short response"
            rows.append([label, f"cgi_forward, {name} build", f"{seconds:.2f} s",
                         f"{rss / 1024:.1f} MiB", f"{seconds / base:.2f}x curl tool"])
    return rows


def streaming_post(tools, gateways, work):
    rows = []
    body = os.path.join(work, "body")
    with open(body, "wb") as f:
        f.truncate(GIB)
    sink = subprocess.Popen([os.path.join(tools, "bench_sink")])
    try:
        stack.wait_for_port(stack.UPSTREAM_PORT)
        url = f"http://127.0.0.1:{stack.UPSTREAM_PORT}/sink"
        seconds, rss, _ = run_measured(tools, ["/usr/bin/curl", "-s", "-X", "POST", "-T", body, url])
        rows.append(["POST 1 GiB from a file", "curl tool", f"{seconds:.2f} s", f"{rss / 1024:.1f} MiB",
                     "1.00x curl tool"])
        base = seconds
        env = dict(os.environ, QUERY_STRING="path=/sink", REQUEST_METHOD="POST",
                   CONTENT_LENGTH=str(GIB))
        for name, path in gateways:
            with open(body, "rb") as stdin:
                seconds, rss, _ = run_measured(tools, [path], env=env, stdin=stdin)
            rows.append(["POST 1 GiB from a file", f"cgi_forward, {name} build", f"{seconds:.2f} s",
                         f"{rss / 1024:.1f} MiB", f"{seconds / base:.2f}x curl tool"])
    finally:
        stack.stop(sink)
    return rows


def main():
    tools = os.path.abspath(sys.argv[1])
    gateways = [tuple(arg.split("=", 1)) for arg in sys.argv[2:]]
    gateways = [(name, os.path.abspath(path)) for name, path in gateways]
    rows = []
    with tempfile.TemporaryDirectory() as work:
        os.chmod(work, 0o755)
        upstream = lighttpd_upstream(work)
        try:
            rows += per_request(tools, gateways, work)
            rows += through_lighttpd(tools, gateways, work)
            rows += streaming(tools, gateways, work)
        finally:
            stack.stop(upstream)
        rows += streaming_post(tools, gateways, work)
    print("| measurement | program | result | peak RSS | ratio |")
    print("|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()

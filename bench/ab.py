"""Two builds of the gateway side by side: the FastCGI server of each
behind nginx as deploy/nginx-fastcgi.conf has it, taken in turn, and for
each run the requests a second and the CPU time a request of nginx, the
gateway and the upstream (all threads and workers). For a change that is
to cost less CPU, the before and after in one run:
  tests/in_netns --keep-root python3 bench/ab.py BEFORE AFTER [ROUNDS [CONNECTIONS]]
BEFORE and AFTER are programs, each with arguments if quoted with them
("build/cgi_forward --workers 1").
"""
import os
import statistics
import sys
import tempfile

from bench import wrk
from servers import (GATEWAY_PATH, NGINX_PORT, cpu_seconds, lighttpd_upstream, start_fastcgi,
                     start_nginx, stop)

SECONDS = 4


def one_run(build, connections, work, upstream):
    # A build is a program, or a program and its arguments ("PATH --workers 1").
    gateway, *args = build.split()
    fastcgi, sock = start_fastcgi(gateway, work, "ab", args)
    nginx = start_nginx(sock, work)
    url = f"http://127.0.0.1:{NGINX_PORT}{GATEWAY_PATH}?path=/small.json"
    try:
        wrk(url, connections, 1)  # warm-up: kept connections, handles
        procs = {"nginx": nginx.pid, "gateway": fastcgi.pid, "upstream": upstream.pid}
        before = {name: cpu_seconds(pid) for name, pid in procs.items()}
        rate, count, _, _, problems = wrk(url, connections, SECONDS)
        used = {name: (cpu_seconds(pid) - before[name]) * 1e6 / count
                for name, pid in procs.items()}
    finally:
        stop(nginx)
        stop(fastcgi)
    if problems:
        raise RuntimeError(f"{build}: {problems}")
    return rate, used


def spread(values, digits=1):
    return (f"{statistics.median(values):.{digits}f} "
            f"({min(values):.{digits}f}-{max(values):.{digits}f})")


def main():
    builds = sys.argv[1:3]
    rounds = int(sys.argv[3]) if len(sys.argv) > 3 else 5
    connections = int(sys.argv[4]) if len(sys.argv) > 4 else 8
    results = {b: [] for b in builds}
    with tempfile.TemporaryDirectory() as work:
        upstream = lighttpd_upstream(work)
        try:
            for r in range(rounds):
                for b in builds if r % 2 == 0 else reversed(builds):
                    results[b].append(one_run(b, connections, work, upstream))
        finally:
            stop(upstream)
    print(f"{rounds} runs of {SECONDS} s each, {connections} connections, through nginx")
    print("| build | requests/s | nginx µs | gateway µs | upstream µs |")
    print("|---|---|---|---|---|")
    for b in builds:
        rates = [rate for rate, _ in results[b]]
        cpu = {k: [used[k] for _, used in results[b]] for k in ("nginx", "gateway", "upstream")}
        print(f"| {b} | {spread(rates, 0)} | {spread(cpu['nginx'])} | {spread(cpu['gateway'])} "
              f"| {spread(cpu['upstream'])} |")
    ratio = [a[1]["gateway"] / b[1]["gateway"] for a, b in zip(results[builds[1]], results[builds[0]])]
    print(f"gateway CPU a request, {builds[1]} / {builds[0]}, run by run: {spread(ratio, 2)}")


if __name__ == "__main__":
    main()

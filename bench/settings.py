"""The connection settings of the FastCGI deploy files, measured side by
side: each variant of a server's FastCGI setting in one server process,
with that server's own proxy (connections kept) as the yardstick, wrk runs
taken in turn as bench.py takes them. What it compares:
  nginx   keepalive 8 or 32 kept connections to the FastCGI server, and 32
          with keepalive_requests raised (nginx's default closes a kept
          connection after 1,000 requests);
  Apache  mod_proxy_fcgi with a new connection for every request (its
          default) or with enablereuse=on;
  Caddy   its FastCGI transport, which connects anew for every request and
          has no setting to keep connections (one variant only).
Run in a private network namespace as real root (Apache switches user):
  tests/in_netns --keep-root python3 bench/settings.py GATEWAY [ROUNDS [SERVER...]]
ROUNDS: runs of each (5 by default); SERVER: nginx, Apache or Caddy (all by
default).
"""
import os
import re
import statistics
import sys
import tempfile

import bench
from servers import (APACHE_PORT, CADDY_PORT, DEPLOY_SOCKET, KEPT_HTTP, NGINX_PORT,
                     deploy_text, lighttpd_upstream, nginx_deploy_parts, nginx_head, serve,
                     start_apache, start_caddy, start_fastcgi, stop, write)

NGINX_VARIANTS = {"keepalive 8": "keepalive 8;",
                  "keepalive 32": "keepalive 32;",
                  "keepalive 32, keepalive_requests 1000000":
                      "keepalive 32;\n        keepalive_requests 1000000;"}
APACHE_VARIANTS = {"a new connection each request": "",
                   "enablereuse=on": " enablereuse=on"}


def nginx_settings(sock, work):
    """nginx with one upstream block and location per variant, each
    location the deploy file's own with its upstream renamed."""
    _, server_part = nginx_deploy_parts(sock)
    location = re.search(r"^location = /cgi-bin/cgi_forward \{.*?^\}", server_part,
                         re.M | re.S).group(0)
    upstreams, locations, urls = [], [], {}
    for n, (name, setting) in enumerate(NGINX_VARIANTS.items()):
        upstreams.append(f"upstream v{n} {{\n        server unix:{sock};\n"
                         f"        {setting}\n    }}")
        locations.append(location.replace("location = /cgi-bin/cgi_forward", f"location = /v{n}")
                         .replace("fastcgi_pass cgi_forward;", f"fastcgi_pass v{n};"))
        urls[f"FastCGI, {name}"] = f"http://127.0.0.1:{NGINX_PORT}/v{n}?{bench.QUERY}"
    link = os.path.join(work, "fastcgi_params")
    if not os.path.exists(link):
        os.symlink("/etc/nginx/fastcgi_params", link)
    conf = write(os.path.join(work, "nginx.conf"), nginx_head(work, "nginx") + f"""
    keepalive_requests 1000000;
    {chr(10).join(upstreams)}
    {KEPT_HTTP}
    server {{
        listen 127.0.0.1:{NGINX_PORT};
        {chr(10).join(locations)}
        location /proxy-kept/ {{
            proxy_pass http://kept-http/;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
        }}
    }}
}}
""")
    urls[bench.KEPT_PROXY["nginx"]] = f"http://127.0.0.1:{NGINX_PORT}/proxy-kept/small.json"
    return serve(["nginx", "-c", conf, "-p", work], work, "nginx", NGINX_PORT), urls


def apache_settings(sock, work):
    """Apache as bench.py runs it, with one more ProxyPass to the FastCGI
    server per variant, each the deploy file's own line with its path and
    worker name changed."""
    line = re.search(r'^ProxyPass "/cgi-bin/cgi_forward" .*$',
                     deploy_text("apache-fastcgi.conf"), re.M).group(0)
    extra, urls = [], {}
    for n, (name, setting) in enumerate(APACHE_VARIANTS.items()):
        extra.append(line.replace('"/cgi-bin/cgi_forward"', f'"/v{n}"')
                     .replace("|fcgi://cgi-forward/", f"|fcgi://v{n}/")
                     .replace(" enablereuse=on", "") + setting)
        urls[f"FastCGI, {name}"] = f"http://127.0.0.1:{APACHE_PORT}/v{n}?{bench.QUERY}"
    urls[bench.KEPT_PROXY["Apache"]] = f"http://127.0.0.1:{APACHE_PORT}/proxy/small.json"
    text = "\n".join(extra).replace(DEPLOY_SOCKET, sock)
    return start_apache(sock, work, text), urls


def caddy_settings(sock, work):
    base = f"http://127.0.0.1:{CADDY_PORT}"
    return start_caddy(sock, work), {
        "FastCGI, as deploy/Caddyfile has it": f"{base}/cgi-bin/cgi_forward?{bench.QUERY}",
        bench.KEPT_PROXY["Caddy"]: f"{base}/proxy/small.json"}


def main():
    gateway = os.path.abspath(sys.argv[1])
    if len(sys.argv) > 2:
        bench.ROUNDS = int(sys.argv[2])
    chosen = sys.argv[3:] or ["nginx", "Apache", "Caddy"]
    rows = []
    with tempfile.TemporaryDirectory() as work:
        os.chmod(work, 0o755)
        procs = [lighttpd_upstream(work)]
        pids = {"upstream": procs[0].pid}
        try:
            fastcgi, sock = start_fastcgi(gateway, work)
            procs.append(fastcgi)
            pids["gateway"] = fastcgi.pid
            targets = []
            for server, starter in (("nginx", nginx_settings), ("Apache", apache_settings),
                                    ("Caddy", caddy_settings)):
                if server not in chosen:
                    continue
                proc, urls = starter(sock, work)
                procs.append(proc)
                pids[server] = proc.pid
                targets += [(server, program, url) for program, url in urls.items()]
            rows = compare(targets, pids)
        finally:
            for proc in reversed(procs):
                stop(proc)
    print(f"Each figure: median (minimum-maximum) of {bench.ROUNDS} runs of "
          f"{bench.WRK_SECONDS} s, all in turn; CPU: µs a request in the web server / gateway"
          " / upstream.")
    print("| server, connections | setting | result | latency p50 / p99 | CPU µs a request |"
          " ratio |")
    print("|---|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


def compare(targets, pids):
    runs = [(server, program, url, c) for c in (8, 64) for server, program, url in targets]
    results = {(server, program, c): [] for server, program, _, c in runs}
    bench.warm_up(runs)
    for r in range(bench.ROUNDS):
        for server, program, url, c in bench.in_turn(runs, r):
            results[(server, program, c)].append(
                bench.measured_wrk(url, c, bench.on_path(server, program, pids)))
    rows = []
    for (server, program, c), values in results.items():
        rate = statistics.median(v[0] for v in values)
        proxy = statistics.median(v[0] for v in results[(server, bench.KEPT_PROXY[server], c)])
        cpu = " / ".join(
            f"{statistics.median(v[5][role] for v in values):.0f}" if role in values[0][5]
            else "-" for role in ("web server", "gateway", "upstream"))
        rows.append([f"{server}, {c} connections", program,
                     bench.spread([v[0] for v in values], "req/s", 0)
                     + bench.problems_note(values),
                     f"{statistics.median(v[2] for v in values):.2f} / "
                     f"{statistics.median(v[3] for v in values):.2f} ms", cpu,
                     f"{rate / proxy:.2f}x {bench.KEPT_PROXY[server]}"])
    return rows


if __name__ == "__main__":
    main()

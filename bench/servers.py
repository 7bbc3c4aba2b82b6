"""The servers of the benchmark (bench.py): the upstream, and the web servers
in front of the gateway's FastCGI server, each with its own reverse proxy
beside it. The gateway's part of each is taken from its file in deploy/,
so the benchmark measures what is shipped; the proxies are set up as their
servers' documentation advises for speed (kept upstream connections).
"""
import json
import os
import re
import socket
import subprocess
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), ".."))
DEPLOY = os.path.join(TOP, "deploy")
DEPLOY_SOCKET = "/run/cgi-forward.sock"
GIB = 1 << 30
UPSTREAM_PORT = 8011
LIGHTTPD_PORT = 8080
NGINX_PORT = 8081
APACHE_PORT = 8082
CADDY_PORT = 8083
HAPROXY_PORT = 8084
# The gateway's path in every deploy file.
GATEWAY_PATH = "/cgi-bin/cgi_forward"


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


def start(cmd, work, name, env=None):
    """A server, its messages in work/NAME.log."""
    with open(os.path.join(work, name + ".log"), "ab") as log:
        return subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=log, env=env)


def stop(proc):
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def serve(cmd, work, name, port, env=None):
    """A server that listens on port once it is up; stopped if it never is."""
    proc = start(cmd, work, name, env)
    try:
        wait_for_port(port)
    except OSError:
        stop(proc)
        with open(os.path.join(work, name + ".log"), errors="replace") as log:
            raise RuntimeError(f"{name} did not start: {log.read()[-2000:]}") from None
    return proc


def deploy_text(name, replacements=()):
    """deploy/NAME with each (old, new) replaced; every old must occur."""
    with open(os.path.join(DEPLOY, name)) as f:
        text = f.read()
    for old, new in replacements:
        if old not in text:
            raise RuntimeError(f"{old!r} is not in deploy/{name}")
        text = text.replace(old, new)
    return text


def write(path, text):
    with open(path, "w") as f:
        f.write(text)
    return path


def lighttpd_upstream(work):
    """lighttpd serving fixed files on 127.0.0.1:8011, keep-alive allowed."""
    www = os.path.join(work, "upstream")
    os.makedirs(www)
    with open(os.path.join(www, "small.json"), "w") as f:
        f.write(json.dumps({"service": "bench", "items": list(range(40))}) + "\n")
    for name, size in (("16m", 16 << 20), ("1g", GIB)):
        with open(os.path.join(www, name), "wb") as f:
            f.truncate(size)
    conf = write(os.path.join(work, "upstream.conf"),
                 f'server.document-root = "{www}"\nserver.bind = "127.0.0.1"\n'
                 f'server.port = {UPSTREAM_PORT}\nserver.max-keep-alive-requests = 100000\n'
                 'server.max-keep-alive-idle = 60\n')
    return serve(["lighttpd", "-D", "-f", conf], work, "upstream", UPSTREAM_PORT)


def start_fastcgi(gateway, work, name="fastcgi", args=()):
    """The FastCGI server on a socket every web server may use (Apache's
    workers run as www-data)."""
    sock = os.path.join(work, name + ".sock")
    proc = start([gateway, "--fastcgi", "unix:" + sock, *args], work, name)
    for _ in range(200):
        if os.path.exists(sock):
            os.chmod(sock, 0o666)
            return proc, sock
        time.sleep(0.05)
    stop(proc)
    raise RuntimeError("the FastCGI server did not start")


def start_lighttpd(tools, gateways, sock, work):
    """lighttpd on LIGHTTPD_PORT: mod_proxy to the upstream, mod_fastcgi to
    the FastCGI server, and the gateways and a no-op program as CGI programs,
    streaming both ways as in deploy/. The FastCGI server is started here
    rather than by bin-path, so that all the web servers share it."""
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
    conf = write(os.path.join(work, "front.conf"), "\n".join(lines) + "\n")
    return serve(["lighttpd", "-D", "-f", conf], work, "lighttpd", LIGHTTPD_PORT)


def nginx_head(work, name, main_extra=""):
    """The start of an nginx configuration for one worker in the
    foreground, its files in work, up to inside its http block."""
    return f"""
daemon off;
master_process off;
user root;
{main_extra}pid {work}/{name}.pid;
error_log {work}/{name}-error.log;
events {{ worker_connections 4096; }}
http {{
    access_log off;
    client_body_temp_path {work}/body;
    fastcgi_temp_path {work}/fastcgi;
    proxy_temp_path {work}/proxy;
"""


# nginx's proxy to the upstream with kept connections.
KEPT_HTTP = f"""upstream kept-http {{
        server 127.0.0.1:{UPSTREAM_PORT};
        keepalive 32;
        keepalive_requests 1000000;
    }}"""


def nginx_deploy_parts(sock):
    """deploy/nginx-fastcgi.conf's http part and server part."""
    text = deploy_text("nginx-fastcgi.conf", [(DEPLOY_SOCKET, sock)])
    http_part, _, server_part = text.partition("\n## ---- server")
    return http_part[http_part.index("## ---- http"):], server_part


def start_nginx(sock, work):
    """nginx on NGINX_PORT, one worker process: fastcgi_pass to the FastCGI
    server with a new connection per request, as lighttpd has it (/fastcgi);
    deploy/nginx-fastcgi.conf as it is (/cgi-bin/cgi_forward); proxy_pass
    to the upstream with nginx's defaults, a new connection per request
    (/proxy/), and with kept connections (/proxy-kept/)."""
    http_part, server_part = nginx_deploy_parts(sock)
    # fastcgi_params, which the deploy file includes by a relative name.
    link = os.path.join(work, "fastcgi_params")
    if not os.path.exists(link):
        os.symlink("/etc/nginx/fastcgi_params", link)
    conf = write(os.path.join(work, "nginx.conf"), nginx_head(work, "nginx") + f"""
    keepalive_requests 1000000;
    {http_part}
    {KEPT_HTTP}
    server {{
        listen 127.0.0.1:{NGINX_PORT};
        location = /fastcgi {{
            include /etc/nginx/fastcgi_params;
            fastcgi_buffering off;
            fastcgi_request_buffering off;
            fastcgi_pass unix:{sock};
        }}
        {server_part}
        location /proxy/ {{
            proxy_pass http://127.0.0.1:{UPSTREAM_PORT}/;
        }}
        location /proxy-kept/ {{
            proxy_pass http://kept-http/;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
        }}
    }}
}}
""")
    return serve(["nginx", "-c", conf, "-p", work], work, "nginx", NGINX_PORT)


def start_apache(sock, work, extra=""):
    """Apache on APACHE_PORT with Debian's default event MPM:
    deploy/apache-fastcgi.conf as it is, and mod_proxy_http to the upstream
    at /proxy/ (it keeps its connections by default); extra: more
    configuration."""
    mods = "/usr/lib/apache2/modules"
    loads = "".join(f"LoadModule {m}_module {mods}/mod_{m}.so\n" for m in (
        "mpm_event", "authz_core", "alias", "filter", "setenvif", "proxy", "proxy_http",
        "proxy_fcgi"))
    www = os.path.join(work, "www")
    os.makedirs(www, exist_ok=True)
    part = deploy_text("apache-fastcgi.conf", [(DEPLOY_SOCKET, sock)])
    conf = write(os.path.join(work, "apache.conf"), f"""
{loads}
# Debian's mpm_event.conf, but threads for 64 connections from the start
# and kept between runs: with fewer, the first run at 64 connections has
# Apache close client connections while it starts more.
StartServers 3
MinSpareThreads 75
MaxSpareThreads 150
ThreadLimit 64
ThreadsPerChild 25
MaxRequestWorkers 150
MaxConnectionsPerChild 0
# Client connections kept as long as the other servers keep them.
KeepAlive On
MaxKeepAliveRequests 0
ServerName localhost
Listen 127.0.0.1:{APACHE_PORT}
User www-data
Group www-data
PidFile {work}/apache.pid
ErrorLog {work}/apache-error.log
Mutex file:{work}
DocumentRoot {www}
{part}
ProxyPass /proxy/ http://127.0.0.1:{UPSTREAM_PORT}/
{extra}
""")
    return serve(["apache2", "-DFOREGROUND", "-f", conf], work, "apache", APACHE_PORT)


def start_caddy(sock, work):
    """Caddy on CADDY_PORT: deploy/Caddyfile as it is, and reverse_proxy to
    the upstream at /proxy/ (its HTTP transport keeps connections)."""
    text = deploy_text("Caddyfile", [("unix/" + DEPLOY_SOCKET, "unix/" + sock),
                                     (":8080 {", f"http://127.0.0.1:{CADDY_PORT} {{")])
    proxy = ("\thandle_path /proxy/* {\n"
             f"\t\treverse_proxy 127.0.0.1:{UPSTREAM_PORT}\n"
             "\t}\n")
    # The proxy's handle goes into the site block, before its end.
    end = text.rindex("}")
    conf = write(os.path.join(work, "Caddyfile"),
                 "{\n\tadmin off\n}\n" + text[:end] + proxy + text[end:])
    env = dict(os.environ, HOME=work, XDG_DATA_HOME=work, XDG_CONFIG_HOME=work)
    return serve(["caddy", "run", "--config", conf, "--adapter", "caddyfile"], work, "caddy",
                 CADDY_PORT, env)


def start_haproxy(work):
    """HAProxy on HAPROXY_PORT in front of the upstream, its connections
    kept and shared among clients (http-reuse always): the reference for
    what a reverse proxy costs on this machine."""
    conf = write(os.path.join(work, "haproxy.cfg"), f"""
global
    maxconn 8192
defaults
    mode http
    timeout connect 5s
    timeout client 60s
    timeout server 60s
frontend front
    bind 127.0.0.1:{HAPROXY_PORT}
    default_backend upstream
backend upstream
    http-reuse always
    server upstream 127.0.0.1:{UPSTREAM_PORT}
""")
    return serve(["haproxy", "-db", "-f", conf], work, "haproxy", HAPROXY_PORT)


def start_sse_nginx(sock, work):
    """nginx on NGINX_PORT for event streams: to the FastCGI server as
    deploy/nginx-fastcgi.conf has it, and proxy_pass without buffering."""
    conf = write(os.path.join(work, "sse-nginx.conf"),
                 nginx_head(work, "sse-nginx", "worker_rlimit_nofile 8192;\n") + f"""
    upstream gateway {{
        server unix:{sock};
        keepalive 32;
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
    return serve(["nginx", "-c", conf, "-p", work], work, "sse-nginx", NGINX_PORT)


def process_tree(pid):
    """pid and its descendants (a server's worker processes)."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    ppid = int(f.read().rpartition(")")[2].split()[1])
            except OSError:
                continue
            children.setdefault(ppid, []).append(int(entry))
    tree, todo = [], [pid]
    while todo:
        tree.append(todo.pop())
        todo += children.get(tree[-1], [])
    return tree


CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    """User and system CPU time of pid, all its threads and all its worker
    processes, living or ended (an ended one counts in its parent's
    children's times once reaped)."""
    total = 0
    for p in process_tree(pid):
        try:
            with open(f"/proc/{p}/stat") as f:
                fields = f.read().rpartition(")")[2].split()
        except OSError:
            continue  # ended meanwhile
        # utime, stime, cutime, cstime: fields 14-17, here from the state on.
        total += sum(int(v) for v in fields[11:15])
    return total / CLOCK_TICKS


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"VmRSS:\s+(\d+) kB", f.read()).group(1))

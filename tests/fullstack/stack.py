"""A real stack for full-stack tests: curl -> web server -> cgi_forward -> upstream.

Each web server is started from its file in deploy/, with the paths and the
port set for a work directory, so the tests run the configurations users
copy. Meant to run in a private network namespace (tests/in_netns), where
127.0.0.1:8011 and the web server's port belong to the test.

Every process is started in a session of its own and stopped by ending its
whole process group; this process is the subreaper of whatever the servers
leave behind, so nothing outlives a stack.
"""
import collections
import ctypes
import grp
import hashlib
import http.server
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
DEPLOY = os.path.join(TOP, "deploy")
WEB_PORT = 8080
UPSTREAM_PORT = 8011
INSTALLED = "/usr/lib/cgi-bin/cgi_forward"  # where the deploy/ files expect the gateway
FASTCGI_SOCKET = "/run/cgi-forward.sock"
FASTCGI_WORKERS = 2  # fewer than the tests' concurrent requests
GATEWAY_EXE = None
# The web server's time-out for a silent gateway, as each deploy/ file sets
# it (60 s); start_server(read_timeout=N) sets N instead.
READ_TIMEOUTS = {
    "lighttpd.conf": r'("read-timeout"\s*=> )60()', "lighttpd-fastcgi.conf": r'("read-timeout" => )60()',
    "apache-cgi.conf": r"(ScriptTimeout )60()", "apache-fastcgi.conf": r"(timeout=)60()",
    "nginx-fastcgi.conf": r"(fastcgi_read_timeout )60(s)", "Caddyfile": r"(read_timeout )60(s)"}
read_timeout = None

PR_SET_CHILD_SUBREAPER = 36
ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)


def eventually(check, limit=20.0):
    """Whether check() holds within limit seconds."""
    deadline = time.monotonic() + limit
    while not check() and time.monotonic() < deadline:
        time.sleep(0.02)
    return check()


def accepts(address, family=socket.AF_INET):
    with socket.socket(family) as s:
        try:
            s.connect(address)
            return True
        except OSError:
            return False


def wait_for_port(port, up=True):
    if not eventually(lambda: accepts(("127.0.0.1", port)) == up):
        raise RuntimeError(f"port {port} still {'down' if up else 'up'}")


def wait_for_socket(path):
    if not eventually(lambda: accepts(path, socket.AF_UNIX)):
        raise RuntimeError(f"nothing listens on {path}")


def spawn(cmd, **options):
    """Starts cmd as the leader of a new session and process group."""
    options.setdefault("stderr", subprocess.DEVNULL)
    return subprocess.Popen(cmd, start_new_session=True, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, **options)


def group_gone(proc):
    """Whether nothing of proc's process group is left; reaps the members
    handed to this subreaper on the way."""
    proc.poll()
    left = False
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        state, ppid, pgid = stat[stat.rindex(")") + 2:].split()[:3]
        if int(pgid) == proc.pid:
            left = True
            if state == "Z" and int(ppid) == os.getpid() and int(entry) != proc.pid:
                os.waitpid(int(entry), os.WNOHANG)
    return not left and proc.returncode is not None


def stop(proc, grace=12.0):
    """Ends proc and everything in its process group: SIGTERM, then SIGKILL
    for what is left after grace seconds."""
    for sig, limit in ((signal.SIGTERM, grace), (signal.SIGKILL, 10.0)):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            pass
        if eventually(lambda: group_gone(proc), limit):
            return
    raise RuntimeError(f"process group {proc.pid} outlives SIGKILL")


def listeners(port):
    """How many sockets listen on 127.0.0.1:port."""
    with open("/proc/net/tcp") as f:
        rows = [line.split() for line in f.readlines()[1:]]
    return sum(1 for row in rows if row[1] == f"0100007F:{port:04X}" and row[3] == "0A")


def start_upstream(reuse_port=False):
    proc = spawn([sys.executable, os.path.join(TOP, "demo", "upstream.py"), "--quiet"] +
                 (["--reuse-port"] if reuse_port else []), stderr=None)
    wait_for_port(UPSTREAM_PORT)
    return proc


Request = collections.namedtuple("Request", "method target headers body")


class _ScriptedHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # answers Expect: 100-continue
    disable_nagle_algorithm = True

    def log_message(self, fmt, *args):
        pass

    def setup(self):
        super().setup()
        with self.server.lock:
            self.server.connections.add(self.connection)

    def finish(self):
        with self.server.lock:
            self.server.connections.discard(self.connection)
        super().finish()

    def __getattr__(self, name):  # every method: do_GET, do_HEAD, do_PUT...
        if name.startswith("do_"):
            return self.answer
        raise AttributeError(name)

    def read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            body = b""
            while size := int(self.rfile.readline().split(b";")[0], 16):
                body += self.rfile.read(size)
                self.rfile.readline()
            while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                pass
            return body
        return self.rfile.read(int(self.headers.get("Content-Length", 0)))

    def answer(self):
        server = self.server
        request = Request(self.command, self.path, self.headers, self.read_body())
        with server.lock:
            server.busy += 1
            server.received.append(request)
        try:
            status, fields, body = server.script(request)
            head = f"HTTP/1.1 {status}\r\n" + "".join(f"{n}: {v}\r\n" for n, v in fields)
            if isinstance(body, list):  # pieces of a chunked body, one at a time
                self.wfile.write(head.encode() + b"Transfer-Encoding: chunked\r\n\r\n")
                for piece in body:
                    if piece is None:
                        self.close_connection = True
                        return
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
                    self.wfile.flush()
                    time.sleep(0.05)
                self.wfile.write(b"0\r\n\r\n")
                return
            if status[:3] not in ("204", "304") and "content-length" not in head.lower():
                head += f"Content-Length: {len(body)}\r\n"
            self.wfile.write(head.encode() + b"\r\n" + (b"" if self.command == "HEAD" else body))
            self.close_connection = self.close_connection or "\nconnection: close" in head.lower()
        finally:
            self.wfile.flush()
            with server.lock:
                server.busy -= 1


class ScriptedUpstream(http.server.ThreadingHTTPServer):
    """An upstream on 127.0.0.1:8011 in this process: it answers each request
    as script(request) says, (status, [(name, value)], body), the body bytes
    or a list of pieces to send chunked (a None piece: the answer is cut
    there), and keeps what it received. A field "Connection: close" closes
    the connection after the answer, however short of its length."""
    daemon_threads = True
    request_queue_size = 64

    def __init__(self):
        super().__init__(("127.0.0.1", UPSTREAM_PORT), _ScriptedHandler)
        self.lock = threading.Lock()
        self.connections, self.received, self.busy = set(), [], 0
        self.script = None
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def take(self):
        """What was received since the last take(), once every answer is out:
        (method, target, SHA-256 of the body) for each request."""
        eventually(lambda: self.busy == 0, 10)
        with self.lock:
            taken, self.received = self.received, []
        return tuple((r.method, r.target, hashlib.sha256(r.body).hexdigest()) for r in taken)

    def stop(self):
        """Stops listening and ends every connection, kept ones included."""
        self.shutdown()
        self.server_close()
        with self.lock:
            for connection in self.connections:
                try:
                    connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
        wait_for_port(UPSTREAM_PORT, up=False)


def with_read_timeout(text, name):
    if read_timeout is None:
        return text
    text, n = re.subn(READ_TIMEOUTS[name], rf"\g<1>{read_timeout}\g<2>", text)
    if not n:
        raise RuntimeError(f"no read time-out in deploy/{name}")
    return text


def deploy_text(name, replacements=()):
    """deploy/NAME with each (old, new) replaced; every old must occur, so a
    changed deploy file cannot silently escape the tests."""
    with open(os.path.join(DEPLOY, name)) as f:
        text = with_read_timeout(f.read(), name) if name in READ_TIMEOUTS else f.read()
    for old, new in replacements:
        if old not in text:
            raise RuntimeError(f"{old!r} is not in deploy/{name}")
        text = text.replace(old, new)
    return text


def deploy_command(name, program, conf):
    """The command line that deploy/NAME's comment gives, indented, for
    starting program, with its configuration file conf."""
    for line in deploy_text(name).splitlines():
        words = shlex.split(line[1:]) if line.startswith("#   ") else []
        if words[:len(program)] == program:
            return [conf if word.startswith("/etc/") else word for word in words]
    raise RuntimeError(f"no '{' '.join(program)}' command in deploy/{name}")


def write(path, text):
    with open(path, "w") as f:
        f.write(text)
    return path


def install_gateway(gateway, workdir):
    """Copies the gateway into workdir/www/cgi-bin, where every server finds it."""
    cgi_bin = os.path.join(workdir, "www", "cgi-bin")
    os.makedirs(cgi_bin, exist_ok=True)
    os.chmod(workdir, 0o755)
    target = os.path.join(cgi_bin, "cgi_forward")
    shutil.copy(gateway, target)
    os.chmod(target, 0o755)
    global GATEWAY_EXE
    GATEWAY_EXE = os.path.realpath(target)
    return target


def start_fastcgi_gateway(gateway, workdir):
    """cgi_forward --fastcgi on a unix socket. The gateway makes it 0660, so
    it lies in a setgid directory of the web server's group (Apache runs as
    www-data), whose group it takes, as with the systemd socket unit."""
    run = os.path.join(workdir, "run")
    os.mkdir(run)
    try:
        os.chown(run, -1, grp.getgrnam("www-data").gr_gid)
    except (KeyError, OSError):
        pass  # no such group, or not real root: the server runs as this user
    os.chmod(run, 0o2775)
    sock = os.path.join(run, "cgi-forward.sock")
    proc = spawn([gateway, "--fastcgi", "unix:" + sock, "--workers", str(FASTCGI_WORKERS)])
    wait_for_socket(sock)
    return proc, sock


# ---- the servers' own reverse proxies, at /proxy/ beside the gateway ----
# The same request reaches the upstream through the proxy as /proxy/X?Q and
# through the gateway as ?path=/proxy/X&Q: the same target both ways, and
# nothing for a proxy to map in either direction. Each proxy location takes
# the streaming settings of the gateway's own, as its deploy file sets them.
PROXY_PREFIX = "/proxy/"


# Beside it, each proxy with the upstream mounted as the gateway's deploy
# files mount it (/app/X reaches the upstream as /X), redirects and cookie
# paths mapped back: the oracle for mount requests.
PROXY_MOUNT = "/proxy-app"
MOUNT = "/app"


def _settings(text, pattern, least):
    found = re.findall(pattern, text, re.M | re.S)
    if len(found) < least:
        raise RuntimeError(f"the gateway's block has {len(found)} of {pattern!r}")
    return found


def lighttpd_proxy(conf):
    streams = _settings(conf, r"^    (server\.stream-(?:request|response)-body\s*=[^\n]*)$", 2)
    return (f'\nserver.modules += ( "mod_proxy" )\n$HTTP["url"] =^ "{PROXY_PREFIX}" {{\n'
            f'    proxy.server = ( "" => (( "host" => "127.0.0.1", "port" => {UPSTREAM_PORT} )) )\n'
            + "".join(f"    {line}\n" for line in streams) + "}\n"
            f'$HTTP["url"] =^ "{PROXY_MOUNT}/" {{\n'
            f'    proxy.server = ( "" => (( "host" => "127.0.0.1", "port" => {UPSTREAM_PORT} )) )\n'
            f'    proxy.header = ( "map-urlpath" => ( "{PROXY_MOUNT}/" => "/" ) )\n}}\n')


def apache_proxy(part):
    # The output filters of the gateway's <Location> block.
    block = _settings(part, r"^<Location /cgi-bin/cgi_forward>\n.*?^(\s*<IfModule mod_filter\.c>"
                            r"\n.*?</IfModule>\n).*?^</Location>", 1)[0]
    to = f"http://127.0.0.1:{UPSTREAM_PORT}{PROXY_PREFIX}"
    return (f"\nProxyPass {PROXY_PREFIX} {to}\nProxyPassReverse {PROXY_PREFIX} {to}\n"
            f"<Location {PROXY_PREFIX}>\n{block}</Location>\n"
            f"ProxyPass {PROXY_MOUNT}/ http://127.0.0.1:{UPSTREAM_PORT}/\n"
            f"<Location {PROXY_MOUNT}/>\n    ProxyPassReverse http://127.0.0.1:{UPSTREAM_PORT}/\n"
            f"    ProxyPassReverseCookiePath / {PROXY_MOUNT}/\n</Location>\n")


def nginx_proxy(part):
    # fastcgi_buffering and fastcgi_request_buffering as proxy_ settings;
    # HTTP/1.1 lets a chunked request body stream on as it does to FastCGI.
    # Each once: the mount's location repeats them.
    buffering = dict.fromkeys(_settings(part, r"^\s*fastcgi_((?:request_)?buffering \w+;)", 2))
    lines = [f"proxy_{b}" for b in buffering] + list(dict.fromkeys(_settings(
        part, r"^\s*((?:gzip|client_max_body_size) \w+;)", 2)))
    return (f"location {PROXY_PREFIX} {{\n        proxy_pass http://127.0.0.1:{UPSTREAM_PORT};\n"
            "        proxy_http_version 1.1;\n" + "".join(f"        {l}\n" for l in lines)
            + "    }\n"
            f"    location {PROXY_MOUNT}/ {{\n        proxy_pass http://127.0.0.1:{UPSTREAM_PORT}/;\n"
            f"        proxy_http_version 1.1;\n        proxy_cookie_path / {PROXY_MOUNT}/;\n    }}\n")


# ---- the servers: each returns the processes it started, server last ----

def lighttpd_conf(gateway, workdir):
    return subprocess.check_output([os.path.join(TOP, "scripts", "lighttpd-conf"), gateway,
                                    str(WEB_PORT), os.path.join(workdir, "www")]).decode()


def start_lighttpd(gateway, workdir):
    text = with_read_timeout(lighttpd_conf(gateway, workdir), "lighttpd.conf")
    conf = write(os.path.join(workdir, "lighttpd.conf"), text + lighttpd_proxy(text))
    return [spawn(["lighttpd", "-D", "-f", conf])]


def start_lighttpd_fastcgi(gateway, workdir, workers=FASTCGI_WORKERS):
    # The server part of lighttpd.conf, then the FastCGI part instead of mod_cgi's.
    server = lighttpd_conf(gateway, workdir)
    server = server[:server.index("\n## ---- cgi_forward")]
    part = deploy_text("lighttpd-fastcgi.conf", [
        (INSTALLED, gateway), ("/run/lighttpd", workdir),
        ("--workers 16", f"--workers {workers}")])
    conf = write(os.path.join(workdir, "lighttpd.conf"), server + part + lighttpd_proxy(part))
    return [spawn(["lighttpd", "-D", "-f", conf])]


def _apache(workdir, modules, part):
    mods = "/usr/lib/apache2/modules"
    loads = "".join(f"LoadModule {m}_module {mods}/mod_{m}.so\n"
                    for m in dict.fromkeys(modules + ["proxy", "proxy_http"]))
    conf = write(os.path.join(workdir, "apache.conf"), f"""
LoadModule mpm_prefork_module {mods}/mod_mpm_prefork.so
LoadModule authz_core_module {mods}/mod_authz_core.so
LoadModule alias_module {mods}/mod_alias.so
LoadModule filter_module {mods}/mod_filter.so
LoadModule deflate_module {mods}/mod_deflate.so
{loads}
# As Debian enables it by default: it would hold streams back.
AddOutputFilterByType DEFLATE text/html text/plain text/xml text/css text/javascript
AddOutputFilterByType DEFLATE application/javascript application/xml
# Enough processes for the tests' concurrent requests from the start.
StartServers 8
MinSpareServers 8
ServerName localhost
Listen 127.0.0.1:{WEB_PORT}
User www-data
Group www-data
PidFile {workdir}/apache.pid
ErrorLog {workdir}/apache-error.log
Mutex file:{workdir}
DocumentRoot {workdir}/www
{part}
{apache_proxy(part)}
""")
    return [spawn(["apache2", "-DFOREGROUND", "-f", conf])]


def start_apache(gateway, workdir):
    part = deploy_text("apache-cgi.conf", [(os.path.dirname(INSTALLED),
                                            os.path.dirname(gateway))])
    return _apache(workdir, ["cgi", "headers"], part)


def start_apache_fastcgi(gateway, workdir):
    fcgi, sock = start_fastcgi_gateway(gateway, workdir)
    part = deploy_text("apache-fastcgi.conf", [(FASTCGI_SOCKET, sock)])
    return [fcgi] + _apache(workdir, ["proxy", "proxy_fcgi", "setenvif"], part)


def _nginx(workdir, part, http_part=""):
    # fastcgi_params, which the deploy files include by a relative name.
    os.symlink("/etc/nginx/fastcgi_params", os.path.join(workdir, "fastcgi_params"))
    conf = write(os.path.join(workdir, "nginx.conf"), f"""
daemon off;
master_process off;
user root;
pid {workdir}/nginx.pid;
error_log {workdir}/nginx-error.log;
# Room for the load run's thousand streams, each a client connection and
# one to the gateway.
worker_rlimit_nofile 8192;
events {{ worker_connections 4096; }}
http {{
    access_log off;
    client_body_temp_path {workdir}/body;
    fastcgi_temp_path {workdir}/fastcgi;
    {http_part}
    server {{
        listen 127.0.0.1:{WEB_PORT};
        {part}
        {nginx_proxy(part)}
    }}
}}
""")
    return [spawn(["nginx", "-c", conf, "-p", workdir])]


def start_nginx(gateway, workdir):
    sock = os.path.join(workdir, "fcgiwrap.sock")
    wrap = spawn(["fcgiwrap", "-c", "4", "-s", "unix:" + sock])
    wait_for_socket(sock)
    part = deploy_text("nginx-fcgiwrap.conf", [(INSTALLED, gateway),
                                               ("/run/fcgiwrap.socket", sock)])
    return [wrap] + _nginx(workdir, part)


def start_nginx_fastcgi(gateway, workdir):
    fcgi, sock = start_fastcgi_gateway(gateway, workdir)
    # Fewer workers than kept connections here: a worker must never wait on
    # an idle kept connection while new ones go unanswered.
    text = deploy_text("nginx-fastcgi.conf", [(FASTCGI_SOCKET, sock)])
    http_part, _, part = text.partition("\n## ---- server")
    return [fcgi] + _nginx(workdir, part, http_part[http_part.index("## ---- http"):])


def start_busybox(gateway, workdir):
    conf = write(os.path.join(workdir, "busybox-httpd.conf"), deploy_text(
        "busybox-httpd.conf", [("/srv/cgi-forward", os.path.join(workdir, "www"))]))
    return [spawn(deploy_command("busybox-httpd.conf", ["busybox", "httpd"], conf))]


def start_mini_httpd(gateway, workdir):
    conf = write(os.path.join(workdir, "mini_httpd.conf"), deploy_text("mini_httpd.conf", [
        ("/srv/cgi-forward", os.path.join(workdir, "www")),
        ("/var/log/mini_httpd-cgi-forward.log", os.path.join(workdir, "mini_httpd.log")),
        ("/run/mini_httpd-cgi-forward.pid", os.path.join(workdir, "mini_httpd.pid"))]))
    return [spawn(deploy_command("mini_httpd.conf", ["mini_httpd"], conf))]


def start_caddy(gateway, workdir):
    fcgi, sock = start_fastcgi_gateway(gateway, workdir)
    # No admin endpoint and no state outside the work directory.
    conf = write(os.path.join(workdir, "Caddyfile"), "{\n\tadmin off\n}\n" + deploy_text(
        "Caddyfile", [("unix/" + FASTCGI_SOCKET, "unix/" + sock)]))
    env = dict(os.environ, HOME=workdir, XDG_DATA_HOME=workdir, XDG_CONFIG_HOME=workdir)
    return [fcgi, spawn(["caddy", "run", "--config", conf, "--adapter", "caddyfile"], env=env)]


# start: the starter; tools: the executables it needs; fastcgi: the gateway in
# FastCGI mode, else a CGI program; real_root: switches to another user;
# proxy: also serves its own reverse proxy at PROXY_PREFIX.
Server = collections.namedtuple("Server", "start tools fastcgi real_root proxy",
                                defaults=(False, False, False))


SERVERS = {
    "lighttpd": Server(start_lighttpd, ["lighttpd"], proxy=True),
    "apache": Server(start_apache, ["apache2"], real_root=True, proxy=True),
    "nginx": Server(start_nginx, ["nginx", "fcgiwrap"], proxy=True),
    "busybox": Server(start_busybox, ["busybox"], real_root=True),
    "mini_httpd": Server(start_mini_httpd, ["mini_httpd"], real_root=True),
    "lighttpd-fastcgi": Server(start_lighttpd_fastcgi, ["lighttpd"], fastcgi=True, proxy=True),
    "nginx-fastcgi": Server(start_nginx_fastcgi, ["nginx"], fastcgi=True, proxy=True),
    "apache-fastcgi": Server(start_apache_fastcgi, ["apache2"], fastcgi=True, real_root=True,
                             proxy=True),
    "caddy": Server(start_caddy, ["caddy"], fastcgi=True),
}


def in_user_namespace():
    with open("/proc/self/uid_map") as f:
        return f.read().split() != ["0", "0", "4294967295"]


def why_not(name):
    """Why the server cannot run here, or None."""
    server = SERVERS[name]
    missing = [t for t in server.tools if not shutil.which(t, path=os.environ.get("PATH", "")
                                                             + ":/usr/sbin:/sbin")]
    if missing:
        return f"{name} is not installed (no {', '.join(missing)})"
    if server.real_root and (os.geteuid() != 0 or in_user_namespace()):
        return f"{name} drops privileges to another user, which needs real root"
    return None


def start_server(name, gateway, workdir, timeout=None, **options):
    global read_timeout
    read_timeout = timeout
    try:
        procs = SERVERS[name].start(install_gateway(gateway, workdir), workdir, **options)
    finally:
        read_timeout = None
    try:
        wait_for_port(WEB_PORT)
    except RuntimeError:
        stop_server(procs)
        raise
    return procs


def stop_server(procs):
    for proc in reversed(procs):
        stop(proc)
    wait_for_port(WEB_PORT, up=False)


def start_front(server, gateway, workdir, upstream):
    """Starts the web server in front of an upstream already started; the
    upstream is stopped when the server cannot start."""
    try:
        return start_server(server, gateway, workdir)
    except BaseException:
        stop(upstream)
        raise


def stop_stack(web, upstream):
    stop_server(web)
    stop(upstream)


def gateway_url(query=None):
    url = f"http://127.0.0.1:{WEB_PORT}/cgi-bin/cgi_forward"
    return url if query is None else url + "?" + query


def curl(query, *args, data_file=None):
    """Runs the curl client; returns (status, header text, body bytes)."""
    with tempfile.TemporaryDirectory() as tmp:
        head, body = os.path.join(tmp, "head"), os.path.join(tmp, "body")
        cmd = ["curl", "-s", "--max-time", "30", "-D", head, "-o", body, *args]
        if data_file:
            cmd += ["--data-binary", "@" + data_file]
        subprocess.run(cmd + [gateway_url(query)], check=True)
        with open(head, "rb") as f:
            head_text = f.read().decode("latin-1")
        with open(body, "rb") as f:
            body_bytes = f.read()
    # The last header section is the final response's (curl also writes 100s).
    last = head_text.strip().split("\r\n\r\n")[-1]
    status = int(last.split("\r\n", 1)[0].split(" ")[1])
    return status, last, body_bytes


def gateway_processes():
    """The processes running the gateway copy of the current stack."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.readlink(f"/proc/{entry}/exe") == GATEWAY_EXE:
                found.append(int(entry))
        except OSError:
            pass
    return found

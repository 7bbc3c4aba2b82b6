"""A real stack for full-stack tests: curl -> lighttpd -> cgi_forward -> upstream.

Meant to run in a private network namespace (tests/in_netns), where
127.0.0.1:8011 and the web server's port belong to the test.
"""
import os
import re
import socket
import subprocess
import sys
import shutil
import tempfile
import time

TOP = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
WEB_PORT = 8080
UPSTREAM_PORT = 8011
GATEWAY_EXE = None


def wait_for_port(port, up=True, limit=20.0):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        try:
            socket.create_connection(("127.0.0.1", port), 0.5).close()
            if up:
                return
        except OSError:
            if not up:
                return
        time.sleep(0.05)
    raise RuntimeError(f"port {port} still {'down' if up else 'up'}")


def start_upstream():
    proc = subprocess.Popen([sys.executable, os.path.join(TOP, "demo", "upstream.py"), "--quiet"])
    wait_for_port(UPSTREAM_PORT)
    return proc


def stop(proc):
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


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


def start_lighttpd(gateway, workdir, read_timeout=None):
    conf = os.path.join(workdir, "lighttpd.conf")
    text = subprocess.check_output([os.path.join(TOP, "scripts", "lighttpd-conf"), gateway,
                                    str(WEB_PORT), os.path.join(workdir, "www")]).decode()
    if read_timeout is not None:
        text, n = re.subn(r'"read-timeout"\s*=> \d+', f'"read-timeout" => {read_timeout}', text)
        assert n == 1, "no read-timeout in the lighttpd configuration"
    with open(conf, "w") as f:
        f.write(text)
    return subprocess.Popen(["lighttpd", "-D", "-f", conf], stderr=subprocess.DEVNULL)


def start_apache(gateway, workdir):
    mods = "/usr/lib/apache2/modules"
    conf = os.path.join(workdir, "apache.conf")
    with open(conf, "w") as f:
        f.write(f"""
LoadModule mpm_prefork_module {mods}/mod_mpm_prefork.so
LoadModule authz_core_module {mods}/mod_authz_core.so
LoadModule alias_module {mods}/mod_alias.so
LoadModule cgi_module {mods}/mod_cgi.so
ServerName localhost
Listen 127.0.0.1:{WEB_PORT}
User www-data
Group www-data
PidFile {workdir}/apache.pid
ErrorLog {workdir}/apache-error.log
Mutex file:{workdir}
DocumentRoot {workdir}/www
ScriptAlias /cgi-bin/cgi_forward {gateway}
<Directory {workdir}/www>
    Require all granted
</Directory>
""")
    return subprocess.Popen(["apache2", "-X", "-f", conf], stderr=subprocess.DEVNULL)


def start_nginx(gateway, workdir):
    sock = os.path.join(workdir, "fcgiwrap.sock")
    wrap = subprocess.Popen(["fcgiwrap", "-c", "4", "-s", "unix:" + sock],
                            stderr=subprocess.DEVNULL)
    conf = os.path.join(workdir, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"""
daemon off;
master_process off;
user root;
pid {workdir}/nginx.pid;
error_log {workdir}/nginx-error.log;
events {{}}
http {{
    access_log off;
    client_body_temp_path {workdir}/body;
    fastcgi_temp_path {workdir}/fastcgi;
    client_max_body_size 0;
    server {{
        listen 127.0.0.1:{WEB_PORT};
        location = /cgi-bin/cgi_forward {{
            include /etc/nginx/fastcgi_params;
            fastcgi_param SCRIPT_FILENAME {gateway};
            fastcgi_buffering off;
            fastcgi_request_buffering off;
            fastcgi_pass unix:{sock};
        }}
    }}
}}
""")
    proc = subprocess.Popen(["nginx", "-c", conf, "-p", workdir], stderr=subprocess.DEVNULL)
    proc.companions = [wrap]
    return proc


def start_busybox(gateway, workdir):
    return subprocess.Popen(["busybox", "httpd", "-f", "-p", f"127.0.0.1:{WEB_PORT}",
                             "-h", os.path.join(workdir, "www")], stderr=subprocess.DEVNULL)


SERVERS = {"lighttpd": start_lighttpd, "apache": start_apache, "nginx": start_nginx,
           "busybox": start_busybox}


def start_server(name, gateway, workdir, **options):
    proc = SERVERS[name](install_gateway(gateway, workdir), workdir, **options)
    wait_for_port(WEB_PORT)
    return proc


def stop_server(proc):
    stop(proc)
    for companion in getattr(proc, "companions", []):
        stop(companion)
    wait_for_port(WEB_PORT, up=False)


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
    status = int(last.split(" ", 2)[1])
    return status, last, body_bytes


def gateway_processes():
    """The processes running the gateway copy of the current stack."""
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                if os.readlink(f"/proc/{entry}/exe") == GATEWAY_EXE:
                    found.append(int(entry))
            except OSError:
                pass
    return found

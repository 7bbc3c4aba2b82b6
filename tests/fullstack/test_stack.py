"""Full-stack tests: curl -> web server -> cgi_forward -> demo upstream.

Usage (in a private network namespace): test_stack.py PATH_TO_CGI_FORWARD
The web server is lighttpd with deploy/lighttpd.conf unless STACK_SERVER
names another way of serving (see stack.SERVERS). Exits 77 (skipped) when
that server cannot run here. Where the server has a reverse proxy of its
own, a table of cases compares the gateway with it (CASES below).
"""
import base64
import collections
import concurrent.futures
import contextlib
import gzip
import hashlib
import json
import os
import re
import select
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(__file__))
import stack  # noqa: E402

GATEWAY = None
SERVER = os.environ.get("STACK_SERVER", "lighttpd")
FASTCGI = stack.SERVERS[SERVER].fastcgi if SERVER in stack.SERVERS else False
# Only lighttpd's mod_cgi gets the passthrough form; every other server
# reads the document form, which answers what the gateway does not forward.
DOCUMENT = SERVER != "lighttpd"
# These use the gateway's Status line and also pass it on as a field.
STATUS_FIELD = SERVER in ("mini_httpd", "caddy")


# ---- the server's own reverse proxy as the oracle ----
# Each case sends the same request through the gateway and through the web
# server's proxy to the same scripted upstream, then compares what the client
# got (status, the fields a client acts on, the body) and what the upstream
# received. A difference passes only where the README's table of intended
# differences names that case, that way in and that part of the view.
PROXY = SERVER in stack.SERVERS and stack.SERVERS[SERVER].proxy
FIELDS = ("Location", "Content-Location", "Set-Cookie", "Content-Type", "Content-Encoding",
          "Content-Range", "ETag", "Last-Modified", "Cache-Control", "WWW-Authenticate",
          "Allow", "Content-Length")
UPSTREAM = "upstream request"
DIFFERENCES = "## Where the gateway differs from a proxy"
# The names of the ways in, as the table's "where" cells spell them.
WHERE = {"all": {"lighttpd", "lighttpd-fastcgi", "apache", "apache-fastcgi", "nginx",
                 "nginx-fastcgi"}}
WHERE["document form"] = WHERE["all"] - {"lighttpd"}
for _name, _server in (("lighttpd", "lighttpd"), ("Apache", "apache"), ("nginx", "nginx")):
    WHERE[f"{_name} FastCGI"] = {_server + "-fastcgi"}
    WHERE[f"{_name} {'fcgiwrap' if _name == 'nginx' else 'CGI'}"] = {_server}
    WHERE[f"{_name} (both)"] = {_server, _server + "-fastcgi"}

TEXT = b"".join(b"line %02d of version r1\n" % i for i in range(8))
ETAG = '"r1"'
PLAIN = ("Content-Type", "text/plain")


def reply(status="200 OK", fields=(PLAIN,), body=TEXT):
    return lambda request: (status, list(fields), body)


def uploaded(request):
    return "200 OK", [PLAIN], b"%d bytes\n" % len(request.body)


def basic_auth(request):
    if request.headers.get("Authorization") == "Basic " + base64.b64encode(b"user:pass").decode():
        return "200 OK", [PLAIN], b"welcome\n"
    return "401 Unauthorized", [PLAIN, ("WWW-Authenticate", 'Basic realm="test"')], b"who?\n"


def ranged(request):
    """Range and If-Range as RFC 9110 has them, for one representation."""
    wanted = re.fullmatch(r"bytes=(\d+)-(\d+)", request.headers.get("Range", ""))
    if wanted and request.headers.get("If-Range", ETAG) == ETAG:
        first, last = map(int, wanted.groups())
        return "206 Partial Content", [PLAIN, ("ETag", ETAG), (
            "Content-Range", f"bytes {first}-{last}/{len(TEXT)}")], TEXT[first:last + 1]
    return "200 OK", [PLAIN, ("ETag", ETAG), ("Accept-Ranges", "bytes")], TEXT


def conditional(request):
    if request.headers.get("If-None-Match") == ETAG:
        return "304 Not Modified", [("ETag", ETAG)], b""
    return "200 OK", [PLAIN, ("ETag", ETAG)], TEXT


def negotiated(request):
    if "gzip" in request.headers.get("Accept-Encoding", ""):
        return "200 OK", [PLAIN, ("Content-Encoding", "gzip"), ("Vary", "Accept-Encoding")], \
            gzip.compress(TEXT)
    return "200 OK", [PLAIN, ("Vary", "Accept-Encoding")], TEXT


def webdav(request):
    """A WebDAV tree at /dav/ as a server behind a proxy sees it: it reads
    only the paths of Destination and of the If field's tagged resources,
    refuses any outside its tree (412 for If, 502 for Destination) and
    names them all in the body."""
    tagged = re.findall(r"<([^>]*)>\s*\(", request.headers.get("If", ""))
    named = [urllib.parse.urlsplit(url).path for url in tagged]
    destination = urllib.parse.urlsplit(request.headers.get("Destination", "")).path
    body = "".join(path + "\n" for path in [destination] + named).encode()
    if any(not path.startswith("/dav/") for path in named):
        return "412 Precondition Failed", [PLAIN], body
    if not destination.startswith("/dav/"):
        return "502 Bad Gateway", [PLAIN], body
    return "201 Created", [PLAIN], body


# id: what the README's table calls the case; upload: a request body
# (POST); fields: more fields to compare than FIELDS; mount: path and query
# go under the mount, the gateway's (MOUNT) and the proxy's (PROXY_MOUNT),
# and BASE in args stands for the origin and that mount.
Case = collections.namedtuple("Case", "id path query args answer upload fields mount",
                              defaults=("", (), None, None, (), False))
BASE = "{base}"
DAV_LOCK = "(<opaquelocktoken:e71d4fae-5dec-22d6-fea5-00a0c91e6be4>)"
CASES = [
    Case("chunked upload, 11 bytes", "/proxy/upload", "", ("-H", "Transfer-Encoding: chunked"),
         uploaded, b"hello world"),
    Case("chunked upload, 3 MB", "/proxy/upload", "", ("-H", "Transfer-Encoding: chunked"),
         uploaded, os.urandom(3_000_000)),
    Case("POST", "/proxy/form", "", ("-H", "Content-Type: application/x-www-form-urlencoded"),
         reply("201 Created", [PLAIN, ("Location", "/proxy/form/1")]), os.urandom(5000)),
    Case("query", "/proxy/query", "a=1&b=two%20words&c=&d=4", (), reply()),
    Case("200 with relative Location", "/proxy/here", "", (),
         reply(fields=[PLAIN, ("Location", "/elsewhere")])),
    Case("200 with absolute Location", "/proxy/here", "", (),
         reply(fields=[PLAIN, ("Location", "http://example.test/elsewhere")])),
    *(Case(f"{code} {kind}", "/proxy/moved", "", (), reply(f"{code} {reason}", [
        PLAIN, ("Location", where)], b"moved\n"))
      for code, reason in ((301, "Moved Permanently"), (302, "Found"), (303, "See Other"),
                           (307, "Temporary Redirect"))
      for kind, where in (("relative", "/new"), ("absolute", "http://example.test/new"))),
    Case("Set-Cookie", "/proxy/login", "", (), reply(fields=[PLAIN, *(("Set-Cookie", c) for c in (
        "a=1; Path=/; HttpOnly", "b=2; Path=/proxy/; Expires=Wed, 21 Oct 2037 07:28:00 GMT",
        "c=3; Max-Age=60; SameSite=Lax"))])),
    Case("204", "/proxy/empty", "", (), reply("204 No Content", [], b"")),
    Case("304", "/proxy/same", "", (), reply("304 Not Modified", [("ETag", ETAG)], b"")),
    Case("401", "/proxy/private", "", (), reply("401 Unauthorized", [
        PLAIN, ("WWW-Authenticate", 'Bearer realm="test"')], b"no\n")),
    Case("405 with Allow", "/proxy/fixed", "", (), reply("405 Method Not Allowed", [
        PLAIN, ("Allow", "POST")], b"no\n")),
    Case("basic auth", "/proxy/private", "", ("-u", "user:pass"), basic_auth),
    Case("cache fields", "/proxy/page", "", (), reply(fields=[
        ("Content-Type", "text/html; charset=utf-8"), ("ETag", ETAG),
        ("Last-Modified", "Tue, 01 Dec 2026 10:00:00 GMT"), ("Cache-Control", "max-age=60"),
        ("Content-Location", "/proxy/page.en")])),
    Case("upstream field Status", "/proxy/odd", "", (), reply(fields=[
        PLAIN, ("Status", "404 Not Found")])),
    Case("Connection names a field", "/proxy/odd", "", (), reply(fields=[
        PLAIN, ("Connection", "X-Secret"), ("X-Secret", "1")]), fields=("X-Secret",)),
    Case("Range", "/proxy/file", "", ("-H", "Range: bytes=10-19"), ranged),
    Case("Range, stale If-Range", "/proxy/file", "",
         ("-H", "Range: bytes=10-19", "-H", 'If-Range: "old"'), ranged),
    Case("10 MiB body", "/proxy/big", "", (), reply(fields=[
        ("Content-Type", "application/octet-stream")], body=os.urandom(10 << 20))),
    Case("stream", "/proxy/stream", "", (), reply(body=[b"piece %d\n" % i for i in range(4)])),
    Case("gzip body", "/proxy/packed", "", (), reply(fields=[
        PLAIN, ("Content-Encoding", "gzip")], body=gzip.compress(TEXT))),
    Case("HEAD", "/proxy/file", "", ("-I",), reply()),
    Case("PUT", "/proxy/upload", "", ("-X", "PUT"), uploaded, b"a new version\n"),
    Case("If-None-Match", "/proxy/file", "", ("-H", f"If-None-Match: {ETAG}"), conditional),
    Case("Accept-Encoding", "/proxy/file", "", ("-H", "Accept-Encoding: gzip"), negotiated),
    Case("path with + and %3A", "/proxy/a+b%3A", "", (), reply()),
    Case("MOVE with Destination", "/dav/src.txt", "", (
        "-X", "MOVE", "-H", f"Destination: {BASE}/dav/dst.txt"), webdav, mount=True),
    Case("MOVE with If", "/dav/src.txt", "", (
        "-X", "MOVE", "-H", f"Destination: {BASE}/dav/dst.txt",
        "-H", f"If: <{BASE}/dav/src.txt> {DAV_LOCK}"), webdav, mount=True),
    # lighttpd's proxy maps Destination, but not the If field's URLs.
    # The prefix without its slash: no request reaches the upstream.
    Case("bare prefix", "", "v=1&w=a%20b", (), reply(), mount=True),
]


def client_view(url, case):
    """What the client gets: status, FIELDS and case.fields, SHA-256 of the body."""
    with tempfile.TemporaryDirectory() as tmp:
        head, body, upload = (os.path.join(tmp, n) for n in ("head", "body", "upload"))
        cmd = ["curl", "-s", "--max-time", "30", "-D", head, "-o", body, *case.args]
        if case.upload is not None:
            with open(upload, "wb") as f:
                f.write(case.upload)
            cmd += ["--data-binary", "@" + upload]
        code = subprocess.run(cmd + [url]).returncode
        if code:
            return {"status": f"no answer (curl exit {code})"}
        with open(head, "rb") as f:
            sections = f.read().decode("latin-1").strip().split("\r\n\r\n")
        # curl makes no file for an empty body, and -I writes the head there.
        with open(body, "a+b") as f:
            f.seek(0)
            view = {"status": int(sections[-1].split(" ")[1]),
                    "body": hashlib.sha256(b"" if "-I" in case.args else f.read()).hexdigest()}
    lines = [line.split(":", 1) for line in sections[-1].split("\r\n")[1:]]
    for name in FIELDS + case.fields:
        view[name] = tuple(v.strip() for n, v in lines if n.strip().lower() == name.lower())
    if "-L" in case.args:  # each redirect followed: its status, and where it led
        hops, at = [], url
        for section in sections[:-1]:
            at = urllib.parse.urljoin(at, "".join(
                v.strip() for n, v in (line.split(":", 1) for line in section.split("\r\n")[1:])
                if n.strip().lower() == "location"))
            hops.append((int(section.split(" ")[1]), at))
        view["redirects"] = tuple(hops)
    return view


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def framed_view(url, case):
    """What a client gets for a POST whose chunk framing it writes itself."""
    url = urllib.parse.urlsplit(url)
    with socket.create_connection((url.hostname, url.port), 30) as s:
        s.sendall(f"POST {url.path}?{url.query} HTTP/1.1\r\nHost: {url.netloc}\r\n"
                  "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n".encode()
                  + case.framing)
        answer = b""
        while part := s.recv(65536):
            answer += part
    status = int(answer.split(b" ", 2)[1]) if answer.startswith(b"HTTP/") else None
    return {"status": status, "success": status is not None and 200 <= status < 300}


def as_through_the_mount(view):
    """A view through the proxy's mount with its prefix read as the gateway's
    where the client sees it (Location, redirects...): the bodies and the
    upstream's request stay as they came."""
    def swapped(value):
        if isinstance(value, tuple):
            return tuple(map(swapped, value))
        if isinstance(value, str):
            return re.sub(re.escape(stack.PROXY_MOUNT) + r"(?=[/?]|$)", MOUNT, value)
        return value
    return {part: value if part in ("body", UPSTREAM) else swapped(value)
            for part, value in view.items()}


def differences(gateway, proxy):
    """The parts of two views that differ; Content-Length only where both have it."""
    return {part for part in gateway.keys() | proxy.keys()
            if gateway.get(part) != proxy.get(part)
            and (part != "Content-Length" or gateway.get(part) and proxy.get(part))}


Row = collections.namedtuple("Row", "case servers parts line")


def intended_differences():
    """The rows of the README's table: which case differs where, in what."""
    with open(os.path.join(stack.TOP, "README.md")) as f:
        text = f.read()
    if text.count("\n" + DIFFERENCES + "\n") != 1:
        raise AssertionError(f"README.md needs one heading {DIFFERENCES!r}")
    # The first table after the heading, before the next heading.
    table = re.search(r"\n" + DIFFERENCES + r"\n(?:(?:[^|#\n].*)?\n)*((?:\|.*\n)+)", text + "\n")
    if not table:
        raise AssertionError(f"README.md has no table under {DIFFERENCES!r}")
    table = table.group(1).splitlines()
    cells = [[c.strip() for c in line.strip().strip("|").split("|")] for line in table]
    header = [c.lower() for c in cells[0]]
    column = {name: header.index(name) for name in ("case", "where", "differs in")}
    known = {case.id.lower(): case for case in CASES}
    rows = []
    for line, row in zip(table[2:], cells[2:]):
        case_id = row[column["case"]].split(":")[0].strip("` ")
        case = known.get(case_id.lower())
        where = [w.strip() for w in row[column["where"]].split(",")]
        parts = {p.strip().lower() for p in row[column["differs in"]].split(",")}
        allowed = {p.lower(): p for p in ("status", "body", UPSTREAM, *FIELDS, *(
            case.fields if case else ()))}
        if not case or not all(w in WHERE for w in where) or not parts <= allowed.keys():
            raise AssertionError(f"README.md: a case, way in or part that no case has: {line}")
        rows.append(Row(case.id, set().union(*(WHERE[w] for w in where)),
                        {allowed[p] for p in parts}, line))
    return rows


def upstream_streams(reset=False):
    with socket.create_connection(("127.0.0.1", stack.UPSTREAM_PORT), 5) as s:
        s.sendall(b"GET /streams%s HTTP/1.0\r\n\r\n" % (b"?reset=1" if reset else b""))
        reply = b""
        while part := s.recv(4096):
            reply += part
    return json.loads(reply.split(b"\r\n\r\n", 1)[1])


def concurrently(calls):
    with concurrent.futures.ThreadPoolExecutor(len(calls)) as pool:
        return list(pool.map(lambda call: call(), calls))


# ---- mount requests: the upstream under the gateway's prefix ----
# Each case goes to MOUNT + path through the gateway, to the scripted
# upstream; `upstream` is what that must receive (method, target, body, and
# fields by the exact name it reads), `client` what the client must get
# (status and fields). One request has no query, for which mini_httpd sets
# no QUERY_STRING.
# Where the server has a proxy, the target must also be the proxy's for the
# same path under PROXY_MOUNT, except where PROXY_DECODES says otherwise.
# busybox httpd and mini_httpd run the gateway as /cgi-bin/cgi_forward/...
MOUNT = "/cgi-bin/cgi_forward" if SERVER in ("busybox", "mini_httpd") else stack.MOUNT
ORIGIN = f"http://127.0.0.1:{stack.WEB_PORT}"
# upstream None: no request reaches the upstream whole. framing: a chunked
# body's framing as the client sends it, on a socket of its own.
MountCase = collections.namedtuple("MountCase",
                                   "id path args upload answer upstream client fields framing",
                                   defaults=(None, None, {}, {}, (), None))
# busybox httpd 1.35 hands a CGI program only the part of a chunked body
# that came with the head: a larger one never reaches the upstream whole.
CUT_BY_BUSYBOX = SERVER == "busybox"
LARGE = os.urandom(3 << 20)
MOUNT_CASES = [
    MountCase("PUT with a body", "/items/1?v=1", ("-X", "PUT"), b"a new version\n", uploaded,
              {"method": "PUT", "target": "/items/1?v=1", "body": b"a new version\n"},
              {"status": 200}),
    MountCase("PATCH with a body", "/items/1?v=2", ("-X", "PATCH"), b'{"n": 2}', uploaded,
              {"method": "PATCH", "body": b'{"n": 2}'}, {"status": 200}),
    MountCase("POST with a body", "/items?v=3", (), os.urandom(3000), uploaded,
              {"method": "POST", "body_size": 3000}, {"status": 200}),
    MountCase("DELETE with a body", "/items/1?v=4", ("-X", "DELETE"), b"why", uploaded,
              {"method": "DELETE", "body": b"why"}, {"status": 200}),
    MountCase("GET without a query", "/items/9", (), None, reply(),
              {"method": "GET", "target": "/items/9"}, {"status": 200}),
    MountCase("DELETE without a body", "/items/1?v=5", ("-X", "DELETE"), None,
              reply("204 No Content", [], b""), {"method": "DELETE", "body": b""},
              {"status": 204}),
    MountCase("PUT without a body", "/items/2?v=6", ("-X", "PUT"), None, uploaded,
              {"method": "PUT", "body": b""}, {"status": 200}),
    MountCase("HEAD", "/file?v=7", ("-I",), None, reply(), {"method": "HEAD"},
              {"status": 200, "Content-Type": ("text/plain",)}),
    MountCase("header names", "/fields?v=8", ("-H", "X-Api-Key: k1", "-H", "X-Request-Id: 7"),
              None, reply(), {"X-Api-Key": "k1", "X-Request-Id": "7"}, {"status": 200}),
    MountCase("Accept-Encoding", "/file?v=8", ("-H", "Accept-Encoding: gzip"), None, negotiated,
              {"Accept-Encoding": "gzip"}, {"status": 200, "Content-Encoding": ("gzip",)}),
    MountCase("conditional GET", "/file?v=9", ("-H", f"If-None-Match: {ETAG}"), None, conditional,
              {"If-None-Match": ETAG}, {"status": 304, "ETag": (ETAG,)}),
    MountCase("forwarding fields", "/where?v=10", (), None, reply(),
              {"X-Forwarded-For": "127.0.0.1", "X-Forwarded-Host": f"127.0.0.1:{stack.WEB_PORT}",
               "X-Forwarded-Proto": "http", "X-Forwarded-Prefix": MOUNT}, {"status": 200}),
    MountCase("client's X-Forwarded-For", "/where?v=11", ("-H", "X-Forwarded-For: 192.0.2.7"),
              None, reply(), {"X-Forwarded-For": "192.0.2.7, 127.0.0.1"}, {"status": 200}),
    MountCase("redirect to the upstream's origin", "/go?v=12", (), None, reply("302 Found", [
        PLAIN, ("Location", f"http://127.0.0.1:{stack.UPSTREAM_PORT}/login?next=/x")], b""), {},
        {"status": 302, "Location": (f"{ORIGIN}{MOUNT}/login?next=/x",)}),
    MountCase("root-relative redirect", "/go?v=13", (), None, reply("303 See Other", [
        PLAIN, ("Location", "/login")], b""), {}, {"status": 303, "Location": (f"{MOUNT}/login",)}),
    MountCase("already-prefixed redirect", "/go?v=14", (), None, reply("302 Found", [
        PLAIN, ("Location", f"{MOUNT}/login")], b""), {},
        {"status": 302, "Location": (f"{MOUNT}/login",)}),
    MountCase("Set-Cookie path", "/login?v=15", (), None, reply(fields=[PLAIN, (
        "Set-Cookie", "s=1; Path=/; HttpOnly"), ("Set-Cookie", "t=2; Path=/api; Max-Age=60")]), {},
        {"status": 200, "Set-Cookie": (f"s=1; Path={MOUNT}/; HttpOnly",
                                       f"t=2; Path={MOUNT}/api; Max-Age=60")}),
    # The target keeps the client's escapes.
    *(MountCase(f"path with {name}", f"/a{escape}b/caf%C3%A9?v=16", (), None, reply(),
                {"target": f"/a{escape}b/caf%C3%A9?v=16"}, {"status": 200})
      for name, escape in (("%2F", "%2F"), ("%3F", "%3F"), ("a blank", "%20"), ("UTF-8", "%C3%A9"))),
    # A body without a length: busybox httpd hands its chunk framing over.
    MountCase("chunked upload", "/items?v=18", ("-H", "Transfer-Encoding: chunked"),
              b"hello world", uploaded, {"method": "POST", "body": b"hello world"},
              {"status": 200}),
    MountCase("chunked upload over 1 MiB", "/items/3?v=19",
              ("-X", "PUT", "-H", "Transfer-Encoding: chunked"), LARGE, uploaded,
              None if CUT_BY_BUSYBOX else {"method": "PUT", "body_sha256": sha256(LARGE)},
              {"status": 502 if CUT_BY_BUSYBOX else 200}),
    *(MountCase(f"malformed chunk framing: {name}", "/items?v=20", (), answer=uploaded,
                upstream=None, client={"success": False}, framing=framing)
      for name, framing in (("data longer than its size", b"5\r\nhello, world\r\n0\r\n\r\n"),
                            ("size not hex", b"5\r\nhello\r\nzz\r\n0\r\n\r\n"))),
    # The prefix without its slash is redirected to it (by the deploy file,
    # or nginx itself), the query kept.
    *(MountCase(f"bare prefix{name}", query, ("-L",), None, reply(),
                {"method": "GET", "target": "/" + query},
                {"status": 200, "redirects": ((301, f"{ORIGIN}{MOUNT}/{query}"),)})
      for name, query in (("", "?v=17&w=a%20b/c"), (" without a query", ""))),
]
# What a server cannot do, and why (doc/mount.md has the same).
MINI_FIELDS = "mini_httpd hands a CGI program only User-Agent, Referer, Cookie and Host"
BARE_PROGRAM = "the prefix is the program's own path, which without a path is a ?path= request"
MOUNT_LIMITS = {
    "mini_httpd": {
        "PATCH with a body": "mini_httpd answers PATCH itself with 501",
        "POST with a body": "mini_httpd loses the answer to a POST whose body comes with its head",
        **dict.fromkeys(("PUT with a body", "DELETE with a body"),
                        "mini_httpd hands a CGI program a body with POST alone"),
        **dict.fromkeys(("header names", "Accept-Encoding", "conditional GET",
                         "client's X-Forwarded-For"), MINI_FIELDS),
        "path with %2F": "mini_httpd decodes %2F into PATH_INFO and hands over no REQUEST_URI",
        **dict.fromkeys(("bare prefix", "bare prefix without a query"), BARE_PROGRAM),
        **dict.fromkeys(("chunked upload", "chunked upload over 1 MiB",
                         "malformed chunk framing: data longer than its size",
                         "malformed chunk framing: size not hex"),
                        "mini_httpd hands a chunked body over as its framing, with neither a "
                        "length nor HTTP_TRANSFER_ENCODING: the upstream gets an empty body")},
    "busybox": {
        "conditional GET": "busybox httpd keeps If-None-Match to itself",
        "Accept-Encoding": "busybox httpd keeps Accept-Encoding to itself",
        "path with %2F": "busybox httpd answers 404 to an encoded slash",
        **dict.fromkeys(("bare prefix", "bare prefix without a query"), BARE_PROGRAM)},
    "apache": {"path with %2F": "Apache answers 404 to an encoded slash (AllowEncodedSlashes Off)"},
    "caddy": {"client's X-Forwarded-For": "Caddy drops an untrusted client's X-Forwarded-For"},
}
MOUNT_LIMITS["apache-fastcgi"] = MOUNT_LIMITS["apache"]
# Where the server's own proxy sends another target: it decodes %2F.
PROXY_DECODES = {"lighttpd": {"path with %2F"}, "lighttpd-fastcgi": {"path with %2F"},
                 "nginx": {"path with %2F"}, "nginx-fastcgi": {"path with %2F"}}

# ---- an upstream answer that breaks off ----
# Each cut as the scripted upstream sends it, and the body it sends before.
CUT_ANSWERS = {
    "short of its Content-Length": (
        ("200 OK", [PLAIN, ("Content-Length", "10000"), ("Connection", "close")], b"x" * 4000),
        b"x" * 4000),
    "without its last chunk": (("200 OK", [PLAIN], [b"part 1\n", b"part 2\n", None]),
                               b"part 1\npart 2\n"),
    # The same shapes whole: they must not look cut.
    "whole, then closed": (("200 OK", [PLAIN, ("Content-Length", "4000"), ("Connection", "close")],
                            b"x" * 4000), b"x" * 4000),
    "whole, chunked": (("200 OK", [PLAIN], [b"part 1\n", b"part 2\n"]), b"part 1\npart 2\n"),
}
# The cuts a server lets its HTTP/1.1 client see (curl exit 18); any other
# looks whole there (doc/reliability.md has why). Under CGI only a short
# Content-Length can show, where the server passes it on: Apache's mod_cgi
# sends the length of what came. Through FastCGI the gateway closes the
# connection without FCGI_END_REQUEST, which Caddy takes for an end.
SHORT, UNCHUNKED = "short of its Content-Length", "without its last chunk"
CUTS_SHOWN = {"lighttpd": {SHORT}, "nginx": {SHORT}, "busybox": {SHORT}, "mini_httpd": {SHORT},
              "apache": set(), "lighttpd-fastcgi": {SHORT, UNCHUNKED},
              "nginx-fastcgi": {SHORT, UNCHUNKED}, "apache-fastcgi": {SHORT, UNCHUNKED},
              "caddy": {SHORT}}

# What scripts/run offers a newcomer: the demo upstream through the mount with
# each method, in this order (the item made, changed, read, removed).
DEMO_ITEM = "/items/note?v=1"
DEMO_CASES = [
    # busybox httpd answers the program's path with a slash (PATH_INFO "/") with 404.
    *([MountCase("the list at /", "/?v=1", (), client={
        "status": 200, "Content-Type": ("application/json",)})] if SERVER != "busybox" else []),
    MountCase("HEAD", "/api/state?v=1", ("-I",), client={
        "status": 200, "Content-Type": ("application/json",), "body": hashlib.sha256().hexdigest()}),
    MountCase("OPTIONS", "/api/state?v=1", ("-X", "OPTIONS"), client={
        "status": 204, "Allow": ("GET, HEAD, OPTIONS",)}),
    MountCase("DELETE not allowed", "/api/state?v=1", ("-X", "DELETE"), client={
        "status": 405, "Allow": ("GET, HEAD, OPTIONS",)}),
    MountCase("PUT", DEMO_ITEM, ("-X", "PUT", "-H", "Content-Type: text/plain"), b"hello", client={
        "status": 201, "Location": (f"{MOUNT}/items/note",)}),
    MountCase("PATCH", DEMO_ITEM, ("-X", "PATCH"), b" world", client={"status": 200}),
    MountCase("GET", DEMO_ITEM, (), client={
        "status": 200, "Content-Type": ("text/plain",),
        "body": hashlib.sha256(b"hello world").hexdigest()}),
    MountCase("DELETE", DEMO_ITEM, ("-X", "DELETE"), client={"status": 204}),
    MountCase("GET after DELETE", DEMO_ITEM, (), client={"status": 404}),
]


def received_requests(upstream):
    """The requests the scripted upstream received since the last call."""
    stack.eventually(lambda: upstream.busy == 0, 10)
    with upstream.lock:
        taken, upstream.received = upstream.received, []
    return taken


class FullStack(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.upstream = stack.start_upstream()
        cls.web = stack.start_front(SERVER, GATEWAY, cls.work.name, cls.upstream)

    @classmethod
    def tearDownClass(cls):
        stack.stop_stack(cls.web, cls.upstream)
        cls.work.cleanup()

    def restart_upstream(self):
        stack.stop(type(self).upstream)
        stack.wait_for_port(stack.UPSTREAM_PORT, up=False)
        type(self).upstream = stack.start_upstream()

    def test_http10_replies_keep_their_status(self):
        for query, code in (("path=/http10", 200), ("path=/http10&bare=1", 200),
                            ("path=/http10&code=404", 404), ("path=/http10&bare=1&code=503", 503)):
            with self.subTest(query=query):
                status, head, body = stack.curl(query)
                self.assertEqual(status, code)
                self.assertEqual(body, b"an HTTP/1.0 reply\n")
                self.assertEqual("\nStatus:" in head, STATUS_FIELD)

    def test_http11_replies_keep_their_status(self):
        status, head, body = stack.curl("path=/api/state")
        self.assertEqual(status, 200)
        self.assertIn("Content-Type: application/json", head)
        self.assertTrue(json.loads(body)["ok"])
        for code in (404, 500, 503):
            with self.subTest(code=code):
                self.assertEqual(stack.curl(f"path=/status/{code}")[0], code)

    def test_chunked_reply_arrives_whole(self):
        status, head, body = stack.curl("path=/stream&n=4")
        self.assertEqual(status, 200)
        self.assertEqual(body, b"line 1\nline 2\nline 3\nline 4\n")

    def test_requests_without_a_path_get_400(self):
        for query in (None, "", "id=7"):
            with self.subTest(query=query):
                self.assertEqual(stack.curl(query)[0], 400)

    def test_other_methods_are_refused(self):
        status, head, _ = stack.curl("path=/echo", "-X", "PUT", "--data-binary", "x")
        # lighttpd answers the passthrough form's empty output with 500.
        self.assertEqual(status, 405 if DOCUMENT else 500)
        self.assertEqual("\nAllow: GET, POST" in head, DOCUMENT)

    def test_client_headers_address_and_query_reach_the_upstream(self):
        status, _, body = stack.curl("path=/echo&a=1&b=2", "-H", "X-Test: yes",
                                     "-H", "Accept-Language: de", "-H", "Cookie: c=3")
        self.assertEqual(status, 200)
        seen = json.loads(body)
        self.assertEqual((seen["method"], seen["path"], seen["query"]), ("GET", "/echo", "a=1&b=2"))
        expected = ["COOKIE:c=3", "X-Forwarded-For:127.0.0.1", "User-Agent:libcurl-agent/1.0"]
        # mini_httpd hands a CGI program only a few request fields (Cookie among them).
        if SERVER != "mini_httpd":
            expected += ["X_TEST:yes", "ACCEPT_LANGUAGE:de"]
        for line in expected:
            self.assertIn(line, seen["headers"])

    def test_multi_megabyte_post_arrives_whole(self):
        # Both curl and the gateway's libcurl send "Expect: 100-continue".
        with tempfile.NamedTemporaryFile() as f:
            data = os.urandom(8 << 20)
            f.write(data)
            f.flush()
            status, _, body = stack.curl("path=/echo", "-H", "Content-Type: application/octet-stream",
                                         data_file=f.name)
        self.assertEqual(status, 200)
        seen = json.loads(body)
        self.assertEqual(seen["body_size"], len(data))
        self.assertEqual(seen["body_sha256"], hashlib.sha256(data).hexdigest())
        self.assertIn("Content-Type:application/octet-stream", seen["headers"])

    def test_stream_reaches_the_client_live_and_ends_when_it_leaves(self):
        # A never-ending text/plain stream, a type web servers like to compress.
        client = subprocess.Popen(["curl", "-sN", "-H", "Accept-Encoding: gzip",
                                   stack.gateway_url("path=/stream&n=0")], stdout=subprocess.PIPE)
        try:
            seen, deadline = b"", time.monotonic() + 20
            while b"\n" not in seen and time.monotonic() < deadline:
                if select.select([client.stdout], [], [], 1)[0]:
                    part = os.read(client.stdout.fileno(), 4096)
                    if not part:
                        break
                    seen += part
            # The stream never ends, so this line came while the upstream still sends.
            self.assertTrue(seen.startswith(b"line 1\n"), seen)
            self.assertEqual(upstream_streams()["in_progress"], 1)
            if not FASTCGI:
                self.assertTrue(stack.gateway_processes())
        finally:
            client.kill()
            client.wait()
            client.stdout.close()
        self.assertTrue(stack.eventually(lambda: upstream_streams()["in_progress"] == 0))
        if not FASTCGI:
            self.assertTrue(stack.eventually(lambda: not stack.gateway_processes()))
        self.assertEqual(stack.curl("path=/api/state")[0], 200)

    @contextlib.contextmanager
    def upstream_replaced(self, scripted=True):
        """The demo upstream stopped (its port free) for the block, a scripted
        one in its place when asked; the demo upstream again after."""
        stack.stop(type(self).upstream)
        try:
            stack.wait_for_port(stack.UPSTREAM_PORT, up=False)
            replacement = stack.ScriptedUpstream() if scripted else None
            try:
                yield replacement
            finally:
                if replacement:
                    replacement.stop()
        finally:
            type(self).upstream = stack.start_upstream()

    def test_upstream_down_gives_a_server_error(self):
        with self.upstream_replaced(scripted=False):
            # lighttpd answers the passthrough form's empty output with 500.
            self.assertEqual(stack.curl("path=/api/state")[0], 502 if DOCUMENT else 500)

    def test_a_cut_answer_reaches_the_client_cut_where_the_server_can_tell(self):
        # Whatever the end, the bytes that came reach the client as they are.
        with self.upstream_replaced() as upstream, tempfile.TemporaryDirectory() as tmp:
            body = os.path.join(tmp, "body")
            for name, (answer, sent) in CUT_ANSWERS.items():
                upstream.script = lambda request, answer=answer: answer
                for url in (stack.gateway_url("path=/cut&v=1"), ORIGIN + MOUNT + "/cut?v=2"):
                    with self.subTest(name, url=url):
                        code = subprocess.run(["curl", "-s", "--max-time", "30", "-o", body,
                                               url]).returncode
                        with open(body, "a+b") as f:
                            f.seek(0)
                            got = f.read()
                        self.assertEqual((code, got),
                                         (18 if name in CUTS_SHOWN[SERVER] else 0, sent))

    @unittest.skipUnless(PROXY, "no reverse proxy of its own")
    def test_client_and_upstream_see_what_the_servers_own_proxy_gives(self):
        rows = {}
        for row in intended_differences():
            if SERVER in row.servers:
                self.assertNotIn(row.case, rows, f"two rows for one case here: {row.line}")
                rows[row.case] = row
        used = set()
        with self.upstream_replaced() as upstream:
            for case in CASES:
                with self.subTest(case=case.id):
                    upstream.script = case.answer
                    upstream.take()  # what a failed case left
                    query = "?" + case.query if case.query else ""
                    if case.mount:
                        ways = [(base + case.path + query, case._replace(args=tuple(
                            a.replace(BASE, base) for a in case.args)))
                            for base in (ORIGIN + MOUNT, ORIGIN + stack.PROXY_MOUNT)]
                    else:
                        ways = [(stack.gateway_url("path=" + case.path + query.replace("?", "&")),
                                 case), (ORIGIN + case.path + query, case)]
                    gateway = client_view(*ways[0])
                    gateway[UPSTREAM] = upstream.take()
                    proxy = client_view(*ways[1])
                    proxy[UPSTREAM] = upstream.take()
                    if case.mount:
                        proxy = as_through_the_mount(proxy)
                    found = differences(gateway, proxy)
                    allowed = rows[case.id].parts if case.id in rows else set()
                    if found & allowed:
                        used.add(case.id)
                    self.assertLessEqual(found, allowed, "\n".join(
                        f"{p}: gateway {gateway.get(p)!r:.300}, proxy {proxy.get(p)!r:.300}"
                        for p in sorted(found - allowed)))
        self.assertFalse([rows[c].line for c in rows.keys() - used],
                         "rows of README.md's table whose difference no longer occurs here")

    def test_mount_requests_reach_the_upstream_as_through_a_proxy(self):
        with self.upstream_replaced() as upstream:
            for case in MOUNT_CASES:
                with self.subTest(case=case.id):
                    if case.id in MOUNT_LIMITS.get(SERVER, {}):
                        self.skipTest(MOUNT_LIMITS[SERVER][case.id])
                    upstream.script = case.answer
                    received_requests(upstream)  # what a failed case left
                    view = (framed_view if case.framing else client_view)(
                        ORIGIN + MOUNT + case.path, case)
                    seen = received_requests(upstream)
                    if case.upstream is None:
                        self.assertEqual(seen, [], view)
                        self.assertEqual({k: view.get(k) for k in case.client}, case.client)
                        continue
                    self.assertEqual(len(seen), 1, view)
                    request = seen[0]
                    got = {"method": request.method, "target": request.target,
                           "body": request.body, "body_size": len(request.body),
                           "body_sha256": sha256(request.body)}
                    for name in case.upstream:
                        if name[0].isupper():  # a field, by the name as the upstream reads it
                            got[name] = dict(request.headers.items()).get(name)
                    self.assertEqual({k: got[k] for k in case.upstream}, case.upstream)
                    self.assertEqual({k: view.get(k) for k in case.client}, case.client)
                    # The proxies' mounts (stack.py) redirect no bare prefix.
                    if PROXY and "target" in case.upstream and "-L" not in case.args:
                        client_view(ORIGIN + stack.PROXY_MOUNT + case.path, case)
                        proxied = received_requests(upstream)
                        same = [r.target for r in proxied] == [request.target]
                        self.assertEqual(same, case.id not in PROXY_DECODES.get(SERVER, ()),
                                         f"proxy: {[r.target for r in proxied]}")

    @unittest.skipIf(SERVER == "mini_httpd", "mini_httpd answers PATCH and OPTIONS itself and "
                     "hands a body to POST alone")
    def test_demo_upstream_answers_each_method_through_the_mount(self):
        for case in DEMO_CASES:
            with self.subTest(case=case.id):
                view = client_view(ORIGIN + MOUNT + case.path, case)
                self.assertEqual({k: view.get(k) for k in case.client}, case.client)

    @unittest.skipUnless(FASTCGI, "FastCGI mode: no request holds a worker")
    def test_more_streams_than_workers_are_served_at_once(self):
        # Never-ending streams, eight for each event-loop thread: all of
        # them reach the upstream together, and each client gets its lines.
        count = 8 * stack.FASTCGI_WORKERS
        clients = [subprocess.Popen(["curl", "-sN", stack.gateway_url("path=/stream&n=0")],
                                    stdout=subprocess.PIPE) for _ in range(count)]
        try:
            self.assertTrue(stack.eventually(lambda: upstream_streams()["in_progress"] == count),
                            f"not {count} streams at once: {upstream_streams()}")
            for client in clients:
                seen, deadline = b"", time.monotonic() + 20
                while b"\n" not in seen and time.monotonic() < deadline:
                    if select.select([client.stdout], [], [], 1)[0]:
                        seen += os.read(client.stdout.fileno(), 4096)
                self.assertTrue(seen.startswith(b"line 1\n"), seen)
        finally:
            for client in clients:
                client.kill()
                client.wait()
                client.stdout.close()
        self.assertTrue(stack.eventually(lambda: upstream_streams()["in_progress"] == 0))
        self.assertEqual(stack.curl("path=/api/state")[0], 200)

    @unittest.skipUnless(FASTCGI, "FastCGI mode: connections kept to the upstream")
    def test_upstream_restart_costs_no_later_request(self):
        # Every worker holds a kept connection to the upstream, then loses it.
        concurrently([lambda: stack.curl("path=/stream&n=2")] * (2 * stack.FASTCGI_WORKERS))
        self.restart_upstream()
        data = b"after the restart\n" * 100
        with tempfile.NamedTemporaryFile() as f:
            f.write(data)
            f.flush()
            for _ in range(2 * stack.FASTCGI_WORKERS):
                status, _, body = stack.curl("path=/echo", data_file=f.name)
                self.assertEqual(status, 200)
                self.assertEqual(json.loads(body)["body_sha256"], hashlib.sha256(data).hexdigest())
                self.assertEqual(stack.curl("path=/api/state")[0], 200)


# The servers whose time-out ends the gateway: nginx gives up too, but
# fcgiwrap does not end the program; busybox httpd and mini_httpd have none.
TIMED_OUT = {"lighttpd", "apache", "lighttpd-fastcgi", "nginx-fastcgi", "apache-fastcgi", "caddy"}


@unittest.skipUnless(SERVER in TIMED_OUT, "no web server time-out that ends the gateway")
class StalledUpstream(unittest.TestCase):
    """An upstream that accepts and never answers meets the web server's read time-out."""

    def test_client_gets_504_and_the_upstream_transfer_ends(self):
        with tempfile.TemporaryDirectory() as work, socket.socket() as silent:
            silent.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            silent.bind(("127.0.0.1", stack.UPSTREAM_PORT))
            silent.listen(16)
            web = stack.start_server(SERVER, GATEWAY, work, timeout=2)
            try:
                self.assertEqual(stack.curl("path=/never")[0], 504)
                upstream, _ = silent.accept()
                with upstream:
                    upstream.settimeout(20)
                    while upstream.recv(65536):  # the request, then its end
                        pass
                if not FASTCGI:
                    self.assertTrue(stack.eventually(lambda: not stack.gateway_processes()))
            finally:
                stack.stop_server(web)


if __name__ == "__main__":
    GATEWAY = os.path.abspath(sys.argv.pop(1))
    if SERVER not in stack.SERVERS:
        sys.exit(f"STACK_SERVER={SERVER}: not one of {', '.join(stack.SERVERS)}")
    reason = stack.why_not(SERVER)
    if reason:
        print(f"skipped: {reason}")
        sys.exit(77)
    unittest.main(verbosity=2)

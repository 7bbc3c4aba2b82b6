"""Full-stack tests: curl -> web server -> cgi_forward -> demo upstream.

Usage (in a private network namespace): test_stack.py PATH_TO_CGI_FORWARD
The web server is lighttpd with deploy/lighttpd.conf unless STACK_SERVER
names another way of serving (see stack.SERVERS). Exits 77 (skipped) when
that server cannot run here.
"""
import concurrent.futures
import hashlib
import json
import os
import select
import socket
import subprocess
import sys
import tempfile
import time
import unittest

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


class FullStack(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.upstream = stack.start_upstream()
        try:
            cls.web = stack.start_server(SERVER, GATEWAY, cls.work.name)
        except BaseException:
            stack.stop(cls.upstream)
            raise

    @classmethod
    def tearDownClass(cls):
        stack.stop_server(cls.web)
        stack.stop(cls.upstream)
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

    def test_upstream_down_gives_a_server_error(self):
        stack.stop(type(self).upstream)
        try:
            stack.wait_for_port(stack.UPSTREAM_PORT, up=False)
            # lighttpd answers the passthrough form's empty output with 500.
            self.assertEqual(stack.curl("path=/api/state")[0], 502 if DOCUMENT else 500)
        finally:
            type(self).upstream = stack.start_upstream()

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

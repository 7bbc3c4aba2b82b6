"""Full-stack tests: curl -> web server -> cgi_forward -> demo upstream.

Usage (in a private network namespace): test_stack.py PATH_TO_CGI_FORWARD
The web server is lighttpd with deploy/lighttpd.conf unless STACK_SERVER
names another one (see stack.SERVERS).
"""
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


class FullStack(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.upstream = stack.start_upstream()
        cls.web = stack.start_server(SERVER, GATEWAY, cls.work.name)

    @classmethod
    def tearDownClass(cls):
        stack.stop_server(cls.web)
        stack.stop(cls.upstream)
        cls.work.cleanup()

    def test_http10_reply_reaches_the_client_with_its_status(self):
        for query in ("path=/http10", "path=/http10&bare=1"):
            with self.subTest(query=query):
                status, head, body = stack.curl(query)
                self.assertEqual(status, 200)
                self.assertEqual(body, b"an HTTP/1.0 reply\n")
                self.assertNotIn("Status", head)

    def test_chunked_reply_arrives_whole(self):
        status, _, body = stack.curl("path=/stream&n=4")
        self.assertEqual(status, 200)
        self.assertEqual(body, b"line 1\nline 2\nline 3\nline 4\n")

    def test_json_reply_and_upstream_status_codes(self):
        status, head, body = stack.curl("path=/api/state")
        self.assertEqual(status, 200)
        self.assertIn("Content-Type: application/json", head)
        self.assertTrue(json.loads(body)["ok"])
        for code in (404, 500, 503):
            with self.subTest(code=code):
                self.assertEqual(stack.curl(f"path=/status/{code}")[0], code)

    def test_requests_without_a_path_get_400(self):
        for query in (None, "", "id=7"):
            with self.subTest(query=query):
                self.assertEqual(stack.curl(query)[0], 400)

    def test_client_headers_address_and_query_reach_the_upstream(self):
        status, _, body = stack.curl("path=/echo&a=1&b=2", "-H", "X-Test: yes",
                                     "-H", "Accept-Language: de")
        self.assertEqual(status, 200)
        seen = json.loads(body)
        self.assertEqual((seen["method"], seen["path"], seen["query"]), ("GET", "/echo", "a=1&b=2"))
        for line in ("X_TEST:yes", "ACCEPT_LANGUAGE:de", "X-Forwarded-For:127.0.0.1",
                     "User-Agent:libcurl-agent/1.0"):
            self.assertIn(line, seen["headers"])

    def test_multi_megabyte_post_arrives_whole(self):
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

    def test_stream_reaches_the_client_live_and_ends_with_it(self):
        client = subprocess.Popen(["curl", "-sN", stack.gateway_url("path=/events")],
                                  stdout=subprocess.PIPE)
        try:
            seen, deadline = b"", time.monotonic() + 30
            while b"\n\n" not in seen and time.monotonic() < deadline:
                if select.select([client.stdout], [], [], 1)[0]:
                    part = os.read(client.stdout.fileno(), 4096)
                    if not part:
                        break
                    seen += part
            # /events never ends, so this event came while the upstream still sends.
            self.assertTrue(seen.startswith(b"data: event 1\n\n"), seen)
            self.assertTrue(stack.gateway_processes())
        finally:
            client.kill()
            client.wait()
            client.stdout.close()
        deadline = time.monotonic() + 20
        while stack.gateway_processes() and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(stack.gateway_processes(), [])

    def test_upstream_down_gives_a_server_error(self):
        stack.stop(type(self).upstream)
        try:
            stack.wait_for_port(stack.UPSTREAM_PORT, up=False)
            status, _, _ = stack.curl("path=/api/state")
            self.assertGreaterEqual(status, 500)
            self.assertLess(status, 600)
        finally:
            type(self).upstream = stack.start_upstream()


@unittest.skipUnless(SERVER == "lighttpd", "the read time-out is lighttpd's")
class StalledUpstream(unittest.TestCase):
    """An upstream that accepts and never answers meets the web server's read time-out."""

    def test_client_gets_504_and_the_gateway_is_ended(self):
        with tempfile.TemporaryDirectory() as work, socket.socket() as silent:
            silent.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            silent.bind(("127.0.0.1", stack.UPSTREAM_PORT))
            silent.listen(16)
            web = stack.start_server(SERVER, GATEWAY, work, read_timeout=2)
            try:
                status, _, _ = stack.curl("path=/never")
                self.assertEqual(status, 504)
                deadline = time.monotonic() + 20
                while stack.gateway_processes() and time.monotonic() < deadline:
                    time.sleep(0.1)
                self.assertEqual(stack.gateway_processes(), [])
            finally:
                stack.stop_server(web)


if __name__ == "__main__":
    GATEWAY = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)

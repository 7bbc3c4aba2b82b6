"""Load: wrk drives lighttpd + cgi_forward + the demo upstream with mixed GET
and POST requests whose bodies the upstream hashes and the client checks.

Usage (in a private network namespace):
    load.py PATH_TO_CGI_FORWARD [--seconds N] [--connections N]
Prints requests, non-2xx answers, socket errors, wrong bodies and processes
left behind; exits non-zero unless all but the requests are zero.
"""
import argparse
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(__file__))
import stack  # noqa: E402

LUA = r"""
local threads = {}
local body = string.rep("load-test-body-0123456789abcdef\n", 128)
local post_sha = "%(post_sha)s"
local empty_sha = "%(empty_sha)s"

function setup(thread) table.insert(threads, thread) end

function init(args) wrong = 0; n = 0 end

function request()
  n = n + 1
  if n %% 2 == 0 then
    return wrk.format("POST", "%(path)s?path=/echo&n=" .. n,
                      {["Content-Type"] = "application/octet-stream"}, body)
  end
  return wrk.format("GET", "%(path)s?path=/echo&n=" .. n)
end

function response(status, headers, body)
  local ok = (body:find('"POST"', 1, true) and body:find(post_sha, 1, true))
          or (body:find('"GET"', 1, true) and body:find(empty_sha, 1, true))
  if status ~= 200 or not ok then wrong = wrong + 1 end
end

function done(summary, latency, requests)
  local total = 0
  for _, t in ipairs(threads) do total = total + t:get("wrong") end
  io.write(string.format("wrong bodies: %%d\n", total))
end
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("gateway")
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--connections", type=int, default=64)
    args = parser.parse_args()
    body = b"load-test-body-0123456789abcdef\n" * 128
    with tempfile.TemporaryDirectory() as work:
        script = os.path.join(work, "mixed.lua")
        with open(script, "w") as f:
            f.write(LUA % {"post_sha": hashlib.sha256(body).hexdigest(),
                           "empty_sha": hashlib.sha256(b"").hexdigest(),
                           "path": "/cgi-bin/cgi_forward"})
        upstream = stack.start_upstream()
        web = stack.start_server("lighttpd", os.path.abspath(args.gateway), work)
        try:
            out = subprocess.run(
                ["wrk", "-t2", f"-c{args.connections}", f"-d{args.seconds}s", "--timeout", "30s",
                 "-s", script, f"http://127.0.0.1:{stack.WEB_PORT}/"],
                capture_output=True, text=True, check=True).stdout
            deadline = time.monotonic() + 20
            while stack.gateway_processes() and time.monotonic() < deadline:
                time.sleep(0.1)
            left = len(stack.gateway_processes())
        finally:
            stack.stop_server(web)
            stack.stop(upstream)
    requests = int(re.search(r"(\d+) requests in", out).group(1))
    rate = re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)
    non2xx = int((re.search(r"Non-2xx or 3xx responses: (\d+)", out) or [0, 0])[1])
    errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    socket_errors = sum(int(x) for x in errors.groups()) if errors else 0
    wrong = int(re.search(r"wrong bodies: (\d+)", out).group(1))
    print(f"{args.connections} connections for {args.seconds} s: {requests} requests "
          f"({rate}/s), non-2xx {non2xx}, socket errors {socket_errors}, "
          f"wrong bodies {wrong}, processes left {left}")
    if non2xx or socket_errors or wrong or left or not requests:
        print("load: FAILED")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""Load: wrk drives lighttpd + cgi_forward + the demo upstream with mixed GET
and POST requests whose bodies the upstream hashes and the client checks,
with the gateway as a CGI program (lighttpd) and in FastCGI mode
(lighttpd-fastcgi).

Usage (in a private network namespace):
    load.py PATH_TO_CGI_FORWARD [--seconds N] [--connections N]
            [--servers lighttpd,lighttpd-fastcgi] [--restart handover|cold]
    load.py PATH_TO_CGI_FORWARD --streams N [--events N]
            [--servers fastcgi,nginx-fastcgi]
Prints, per server, requests, non-2xx answers, socket errors, wrong bodies
and gateway processes left behind; exits non-zero unless all but the
requests are zero. --restart restarts the upstream halfway: "handover"
starts the new one beside the old one and then stops the old one, so only
the requests in flight at the old one may fail; "cold" stops it and starts
it again, so requests sent while it is down fail too. The failures are
counted; one after the new upstream listens fails the run.
--streams opens N server-sent-event streams at once instead (streams.py),
straight at the FastCGI socket ("fastcgi") or through a web server, and
prints the figures; a stream that misses an event, or a failed GET, fails
the run.
"""
import argparse
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(__file__))
import stack  # noqa: E402
import streams  # noqa: E402

LUA = r"""
local ffi = require("ffi")
ffi.cdef[[
typedef struct { long tv_sec; long tv_nsec; } load_time;
int clock_gettime(int clock, load_time *ts);
]]
local clock = ffi.new("load_time")
local function now()
  ffi.C.clock_gettime(0, clock)  -- CLOCK_REALTIME, as the driver's time.time()
  return tonumber(clock.tv_sec) + tonumber(clock.tv_nsec) / 1e9
end

local threads = {}
local body = string.rep("load-test-body-0123456789abcdef\n", 128)
local post_sha = "%(post_sha)s"
local empty_sha = "%(empty_sha)s"

function setup(thread) table.insert(threads, thread) end

function init(args) wrong = 0; n = 0; failed_at = "" end

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
  if status ~= 200 or not ok then
    wrong = wrong + 1
    failed_at = failed_at .. string.format(" %%.3f", now())
  end
end

function done(summary, latency, requests)
  local total, times = 0, ""
  for _, t in ipairs(threads) do
    total = total + t:get("wrong")
    times = times .. t:get("failed_at")
  end
  io.write(string.format("wrong bodies: %%d\nfailed at:%%s\n", total, times))
end
"""

# A request that meets the restart may fail up to this long after the new
# upstream listens (its 502 is still on the way to the client).
IN_TRANSIT = 0.5


def run(server, gateway, args, work):
    body = b"load-test-body-0123456789abcdef\n" * 128
    script = os.path.join(work, "mixed.lua")
    with open(script, "w") as f:
        f.write(LUA % {"post_sha": hashlib.sha256(body).hexdigest(),
                       "empty_sha": hashlib.sha256(b"").hexdigest(),
                       "path": "/cgi-bin/cgi_forward"})
    fastcgi = stack.SERVERS[server].fastcgi
    upstream = [stack.start_upstream(reuse_port=args.restart == "handover")]
    options = {"workers": 16} if fastcgi else {}
    web = stack.start_server(server, os.path.abspath(gateway), os.path.join(work, server),
                             **options)
    restart = {}

    def restart_upstream():
        time.sleep(args.seconds / 2)
        restart["stop"] = time.time()
        old = upstream[0]
        if args.restart == "handover":
            upstream[0] = stack.start_upstream(reuse_port=True)
            # Until the new one listens too.
            if not stack.eventually(lambda: stack.listeners(stack.UPSTREAM_PORT) == 2):
                raise RuntimeError("the new upstream does not listen")
            stack.stop(old)
        else:
            stack.stop(old)
            upstream[0] = stack.start_upstream()
        restart["back"] = time.time()

    try:
        restarter = threading.Thread(target=restart_upstream)
        began = time.time()
        if args.restart:
            restarter.start()
        out = subprocess.run(
            ["wrk", "-t2", f"-c{args.connections}", f"-d{args.seconds}s", "--timeout", "30s",
             "-s", script, f"http://127.0.0.1:{stack.WEB_PORT}/"],
            capture_output=True, text=True, check=True).stdout
        if args.restart:
            restarter.join()
        left = 0
        if not fastcgi:
            # CGI: every gateway process ends with its request.
            stack.eventually(lambda: not stack.gateway_processes())
            left = len(stack.gateway_processes())
    finally:
        stack.stop_server(web)
        stack.stop(upstream[0])
    left += len(stack.gateway_processes())  # none outlives its web server

    requests = int(re.search(r"(\d+) requests in", out).group(1))
    rate = re.search(r"Requests/sec:\s+([\d.]+)", out).group(1)
    non2xx = int((re.search(r"Non-2xx or 3xx responses: (\d+)", out) or [0, 0])[1])
    errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    socket_errors = sum(int(x) for x in errors.groups()) if errors else 0
    wrong = int(re.search(r"wrong bodies: (\d+)", out).group(1))
    failed_at = [float(t) for t in re.search(r"failed at:(.*)", out).group(1).split()]
    line = (f"{server}: {args.connections} connections for {args.seconds} s: {requests} requests "
            f"({rate}/s), non-2xx {non2xx}, socket errors {socket_errors}, "
            f"wrong bodies {wrong}, processes left {left}")
    if not args.restart:
        print(line)
        return not (non2xx or socket_errors or wrong or left or not requests)
    # Every failure must fall between the stop and the upstream's return.
    late = [t for t in failed_at if not restart["stop"] <= t <= restart["back"] + IN_TRANSIT]
    print(f"{line}; upstream restarted ({args.restart}) {restart['stop'] - began:.0f} s in, "
          f"took {1000 * (restart['back'] - restart['stop']):.0f} ms: "
          f"{len(failed_at) - len(late)} requests failed at the restart, {len(late)} outside it")
    # A response cut off when the upstream went away shows as a socket
    # error, which wrk cannot time: there may be one per connection at most,
    # for the request in flight on it at that moment.
    return not (socket_errors > args.connections or late or left or not requests)


def run_streams(server, gateway, args, work):
    upstream = streams.start_upstream(stack.spawn)
    try:
        if server == "fastcgi":
            procs = [stack.start_fastcgi_gateway(os.path.abspath(gateway), work)[0]]
            target = streams.FastCGITarget(os.path.join(work, "run", "cgi-forward.sock"))
        else:
            procs = stack.start_server(server, os.path.abspath(gateway),
                                       os.path.join(work, server))
            target = streams.HTTPTarget(stack.WEB_PORT, "/cgi-bin/cgi_forward")
        try:
            # The gateway comes first among the processes started.
            result = streams.run(target, procs[0].pid, args.streams, args.events)
        finally:
            if server == "fastcgi":
                stack.stop(procs[0])
            else:
                stack.stop_server(procs)
    finally:
        stack.stop(upstream)
    print(streams.summary(server, result))
    return result["complete"] == args.streams and not result["get_failures"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("gateway")
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("--connections", type=int, default=64)
    parser.add_argument("--servers", default="lighttpd,lighttpd-fastcgi")
    parser.add_argument("--restart", choices=["handover", "cold"])
    parser.add_argument("--streams", type=int)
    parser.add_argument("--events", type=int, default=20)
    args = parser.parse_args()
    ok = True
    for server in args.servers.split(","):
        with tempfile.TemporaryDirectory() as work:
            if args.streams:
                ok = run_streams(server, args.gateway, args, work) and ok
            else:
                ok = run(server, args.gateway, args, work) and ok
    if not ok:
        print("load: FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())

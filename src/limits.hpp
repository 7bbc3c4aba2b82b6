// Every fixed limit of the gateway, with its reason. Compile-time
// constants: there is no run-time configuration, the defaults follow what
// nginx and lighttpd use on their own sides, and a web server on the same
// machine never needs them changed.
#pragma once

#include <chrono>
#include <cstddef>

// A request, through either way in.

// The longest path value kept: a longer one is cut there, not refused, as
// the gateway has always done (the rest of it is lost).
constexpr std::size_t path_capacity = 511;

// The room behind the upstream's authority in the URL for the path once
// encoded again; a longer one is refused.
constexpr std::size_t encoded_path_capacity = 513;

// The longest REMOTE_ADDR forwarded as X-Forwarded-For (an IPv6 address
// with a zone fits); a longer one comes from no web server and is refused.
constexpr std::size_t forwarded_for_capacity = 47;

// A chunk-framed body's size line with its extensions, and its whole
// trailer section with the line ends: the decoder holds no more of either.
constexpr std::size_t chunk_line_capacity = 4096;
constexpr std::size_t trailer_capacity = 16384;

// A body the upstream did not take is read away this much at a time, on the
// stack, so that the web server does not get a reset instead of the answer.
constexpr std::size_t skip_chunk = 16384;

namespace fastcgi_limits {

// From a connection's accept (or, on a kept connection, the first byte of
// its next request) until the request's params are complete. A local web
// server sends them in one go; nginx's client_header_timeout is 60 s for
// clients across the network, lighttpd's max-read-idle 60 s.
constexpr std::chrono::seconds params_read{10};

// A kept connection with no request on it is closed after this long. Above
// nginx's upstream keepalive_timeout (60 s), so the web server, which opens
// the connections, normally closes them first.
constexpr std::chrono::seconds kept_idle{75};

// A write to the web server that makes no progress for this long closes the
// connection and ends its transfer (nginx's send_timeout).
constexpr std::chrono::seconds write_stall{60};

// A request body that makes no progress for this long, while the upstream
// waits for it, closes the connection (lighttpd's max-read-idle).
constexpr std::chrono::seconds body_stall{60};

// After SIGTERM or SIGINT, requests in flight get this long to finish;
// then every connection is closed and the process exits.
constexpr std::chrono::seconds stop_grace{10};

// Open connections from the web server, for the whole process (shared out
// among the event-loop threads). At the cap, the oldest idle kept
// connection is closed to make room; when none is idle, new connections
// wait in the listen queue until one closes. Each connection takes two
// descriptors (its own and the upstream's); the cap is lowered to fit the
// open-files limit.
constexpr std::size_t max_connections = 4096;

// Response bytes held for one request before the upstream transfer is
// paused until the web server has taken them.
constexpr std::size_t output_buffer = 64 * 1024;

// Request body bytes read ahead of the upstream: beyond this, the
// connection is not read until libcurl has taken them.
constexpr std::size_t body_ahead = 64 * 1024;

// All of one request's params (names and values, with their length
// prefixes), and their number. Apache allows 100 header fields of 8 KiB,
// nginx 4 buffers of 8 KiB for the whole header; CGI adds some thirty. A
// CGI program's environment has no such limit, and requests with ten
// thousand header fields are served as the CGI program serves them.
constexpr std::size_t max_params_bytes = 256 * 1024;
constexpr std::size_t max_params_count = 16384;

// What all connections together may hold for params (and the header lines
// a request being served was made from), request bodies read ahead and
// output. Near it, connections still sending params are not read and are
// closed at the params limit; requests being served go on, each within its
// own limits above. 64 MiB holds the largest header nginx takes (4 buffers
// of 8 KiB) for 2,048 requests at once, four times the 512 connections of
// an nginx worker by default, and Apache's largest (100 fields of 8 KiB)
// for 80; 4,096 connections at the params limit would hold 1 GiB.
constexpr std::size_t memory_budget = 64 * 1024 * 1024;

// What a connection still sending params may hold even at the budget: one
// of nginx's large header buffers. A plain request's params (a few hundred
// bytes of CGI variables, and the client's header) fit, so it is still
// served; 4,096 connections held there take at most some 100 MiB besides
// the budget.
constexpr std::size_t params_reserve = 8 * 1024;

// Requests refused or ended early whose late records a connection still
// recognises and ignores (a web server sends the rest of a request it has
// begun, or an abort that crosses the end); records of older ones break
// the protocol. A connection serves one request at a time, so few are ever
// pending.
constexpr std::size_t ended_early_remembered = 4;

// Idle connections to the upstream each event-loop thread keeps for the
// next requests; each takes a descriptor besides the connections'.
constexpr std::size_t upstream_idle_kept = 32;

// Descriptors kept aside from the connections when the connection cap is
// fitted to the open-files limit: standard streams, the listener, epoll
// sets, curl's own.
constexpr std::size_t reserved_descriptors = 64;

// The listen queue: connections beyond the cap wait there.
constexpr int listen_backlog = 1024;

// What one read from a connection takes, and how many reads one connection
// gets in a turn before the others get theirs.
constexpr std::size_t read_size = 64 * 1024;
constexpr int reads_per_turn = 16;

// One connection per wake-up, as nginx does by default: with level-triggered
// epoll the next wait returns at once while more wait, and no accept is
// spent on EAGAIN.
constexpr int accepts_per_turn = 1;

// After running out of descriptors, accepting is tried again this much later.
constexpr std::chrono::milliseconds accept_retry{100};

// Easy handles each thread keeps aside for reuse.
constexpr std::size_t spare_handles = 16;

// A request answered before its stdin ended: before its connection closes,
// this much of the rest is read, so that a web server still sending it
// does not get a reset instead of the answer.
constexpr std::size_t drain_budget = 64 * 1024;

// A new connection whose whole request came with its first read waits only
// for the upstream's answer; it joins the epoll set (to notice an abort or
// the web server hanging up) only if that answer takes longer than this.
// Most answers come sooner, and the connection is closed without ever
// having been added.
constexpr std::chrono::milliseconds watch_delay{50};

// While connections wait for room in the memory budget, the loop looks
// this often whether other loops have made some.
constexpr std::chrono::milliseconds budget_recheck{100};

// Event-loop threads at most (--workers): more than any machine's CPUs, and
// each keeps upstream connections and easy handles of its own.
constexpr int max_workers = 1024;

// The connections at once that make a crowd, whose going gives memory back.
constexpr std::size_t crowd = 64;

// The server's log: a kind of failure or limit is written at most once this
// often, with a count of what came since, so that a flood of failures costs
// the journal a line, not a line a request.
constexpr std::chrono::seconds log_interval{10};

// How long a log line waits for standard error to take it before it is
// dropped: a pipe nobody reads must not hold up the stop.
constexpr std::chrono::milliseconds log_write_wait{1000};

} // namespace fastcgi_limits

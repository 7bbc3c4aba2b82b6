// The FastCGI server's time limits and caps. Compile-time constants: the
// defaults follow what nginx and lighttpd use on their own sides, and a web
// server on the same machine never needs them changed.
#pragma once

#include <chrono>
#include <cstddef>

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

// A record's content is at most 65535 bytes by its header's 16-bit length;
// input read but not yet parsed is bounded by one record and its padding.
constexpr std::size_t record_header = 8;
constexpr std::size_t max_record = record_header + 65535 + 255;

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

} // namespace fastcgi_limits

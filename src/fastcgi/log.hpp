// What the FastCGI server writes on standard error, which systemd puts in
// the journal: a line when it starts and when it stops, and each kind of
// failure or limit at most once per interval, with a count of what came
// since. The CGI program never writes there.
#pragma once

#include "limits.hpp"

#include <curl/curl.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

enum class log_kind : std::uint8_t {
    upstream_refused,   // no connection to the upstream
    upstream_timed_out, // libcurl's own time limits (the connect's, 300 s)
    upstream_broke,     // no answer, or one that broke off
    params_time,        // connections closed at the params limit
    write_stall,        // connections closed for a web server that stopped reading
    body_stall,         // connections closed for a request body that stopped coming
    connection_cap,     // a new connection found its thread's share full
    memory_budget,      // a connection not read until the budget has room
};
constexpr std::size_t log_kinds = 8;

using fastcgi_limits::log_interval;

using log_clock = std::chrono::steady_clock;

// The rate limit alone: occurrences and the time in, the counts to report
// out. Not thread-safe by itself; server_log guards it.
struct rate_limit {
    struct kind_state {
        std::uint64_t count = 0; // since the last line
        bool said = false;
        log_clock::time_point said_at{};
    };
    std::array<kind_state, log_kinds> kinds{};
};

// Counts one occurrence at now: true when a line of its kind is due now.
bool count_event(rate_limit &limit, log_kind kind, log_clock::time_point now);

// The count for a line of kind due now (its interval over and something
// counted), or 0.
std::uint64_t take_due(rate_limit &limit, log_kind kind, log_clock::time_point now);

// When a counted occurrence is next due to be written; max() when none waits.
log_clock::time_point next_due(const rate_limit &limit);

// The kind of upstream failure a finished transfer's result is; none for
// success and for ends the web server's side caused (a write refused, an
// upload aborted).
std::optional<log_kind> upstream_failure(CURLcode result);

// One line, without the program's prefix and the newline.
std::string event_line(log_kind kind, std::uint64_t count);

// The log shared by every event-loop thread. Only failures and limits come
// here: the fast path never takes the lock. The loops only count; the
// server thread writes, so that a standard error nobody reads never holds
// up a request.
struct server_log {
    bool quiet = false;
    int wake_fd = -1; // the server thread's eventfd, written when a line is due
    std::mutex lock;
    rate_limit limit;
    bool woken = false;                  // wake_fd written, the lines not yet taken
    std::atomic<std::size_t> cut_off{0}; // requests in progress when the stop grace ran out
};

// Writes "cgi_forward: " and text as one line, unless quiet. Waits at most
// log_write_wait for standard error to take it; then the line is dropped.
void write_line(const server_log &log, std::string_view text) noexcept;

// Counts one occurrence; wakes the server thread when a line is due.
void log_event(server_log &log, log_kind kind) noexcept;

// Writes the lines that have fallen due; with all, every count left (at the
// stop). Returns when the next one falls due.
log_clock::time_point write_due(server_log &log, bool all = false) noexcept;

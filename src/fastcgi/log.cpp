#include "log.hpp"

#include "limits.hpp"

#include <algorithm>
#include <poll.h>
#include <unistd.h>
#include <utility>

namespace {

std::size_t index(log_kind kind) {
    return static_cast<std::size_t>(kind);
}

// What happened, as the start of its line; the count follows.
std::string what_happened(log_kind kind) {
    using namespace fastcgi_limits;
    switch (kind) {
    case log_kind::upstream_refused:
        return "upstream refused the connection or could not be reached";
    case log_kind::upstream_timed_out:
        return "upstream timed out";
    case log_kind::upstream_broke:
        return "upstream gave no answer, or broke it off";
    case log_kind::params_time:
        return "connection closed at the params limit of " + std::to_string(params_read.count()) +
               " s";
    case log_kind::write_stall:
        return "connection closed: the web server took no output for " +
               std::to_string(write_stall.count()) + " s";
    case log_kind::body_stall:
        return "connection closed: its request body stalled for " +
               std::to_string(body_stall.count()) + " s";
    case log_kind::connection_cap:
        return "connection cap reached: an idle kept connection closed, or new ones left "
               "waiting";
    case log_kind::memory_budget:
        return "memory budget of " + std::to_string(memory_budget >> 20) +
               " MiB full: a connection's params not read on";
    }
    return "event";
}

} // namespace

bool count_event(rate_limit &limit, log_kind kind, log_clock::time_point now) {
    rate_limit::kind_state &state = limit.kinds[index(kind)];
    ++state.count;
    return !state.said || now >= state.said_at + log_interval;
}

std::uint64_t take_due(rate_limit &limit, log_kind kind, log_clock::time_point now) {
    rate_limit::kind_state &state = limit.kinds[index(kind)];
    if (state.count == 0 || (state.said && now < state.said_at + log_interval)) return 0;
    const std::uint64_t count = state.count;
    state = {0, true, now};
    return count;
}

log_clock::time_point next_due(const rate_limit &limit) {
    auto next = log_clock::time_point::max();
    for (const rate_limit::kind_state &state : limit.kinds)
        if (state.count > 0) next = std::min(next, state.said_at + log_interval);
    return next;
}

std::optional<log_kind> upstream_failure(CURLcode result) {
    switch (result) {
    case CURLE_COULDNT_CONNECT:
        return log_kind::upstream_refused;
    case CURLE_OPERATION_TIMEDOUT:
        return log_kind::upstream_timed_out;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_WEIRD_SERVER_REPLY:
        return log_kind::upstream_broke;
    default:
        // Success, and what the gateway's own callbacks ended: the web
        // server gone (a write refused), an upload short of its length.
        return std::nullopt;
    }
}

std::string event_line(log_kind kind, std::uint64_t count) {
    return what_happened(kind) + ": " + std::to_string(count) + (count == 1 ? " time" : " times") +
           " since the last such line";
}

void write_line(const server_log &log, std::string_view text) noexcept {
    if (log.quiet) return;
    // A pipe that polls writable has room for a short line: the write
    // below does not block. Nobody reading meanwhile: the line goes.
    pollfd out{STDERR_FILENO, POLLOUT, 0};
    const auto wait = static_cast<int>(fastcgi_limits::log_write_wait.count());
    if (poll(&out, 1, wait) != 1 || !(out.revents & POLLOUT)) return;
    try {
        std::string line = "cgi_forward: ";
        line.append(text).push_back('\n');
        if (write(STDERR_FILENO, line.data(), line.size()) < 0) return;
    } catch (...) {
        // Out of memory: the line is lost, the server goes on.
    }
}

void log_event(server_log &log, log_kind kind) noexcept {
    if (log.quiet) return;
    bool wake = false;
    {
        const std::lock_guard<std::mutex> hold(log.lock);
        if (count_event(log.limit, kind, log_clock::now()) && !log.woken) wake = log.woken = true;
    }
    const std::uint64_t one = 1;
    if (wake && write(log.wake_fd, &one, sizeof one) < 0) {
        // Not woken (no eventfd): the line waits for the next look.
    }
}

log_clock::time_point write_due(server_log &log, bool all) noexcept {
    if (log.quiet) return log_clock::time_point::max();
    std::array<std::uint64_t, log_kinds> counts{};
    log_clock::time_point next{};
    {
        const std::lock_guard<std::mutex> hold(log.lock);
        log.woken = false;
        const auto now = log_clock::now();
        for (std::size_t i = 0; i < log_kinds; ++i) {
            counts[i] = take_due(log.limit, static_cast<log_kind>(i), now);
            if (all && counts[i] == 0) std::swap(counts[i], log.limit.kinds[i].count);
        }
        next = next_due(log.limit);
    }
    for (std::size_t i = 0; i < log_kinds; ++i)
        if (counts[i] > 0) try {
                write_line(log, event_line(static_cast<log_kind>(i), counts[i]));
            } catch (...) {
            }
    return next;
}

// What a connection from the web server may do next, apart from its I/O:
// its state and the moves between states. Pure, so that every move is
// written once and tested by table.
#pragma once

#include "connection_codec.hpp"
#include "log.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace fastcgi {

enum class link_state {
    open,      // a request may come, or is being served
    kept_idle, // its request ended and the web server keeps it for the next
    draining,  // not kept: the rest of the ended request's stdin is read first
    closing,   // closed once what is owed is written
    broken,    // the web server is gone or broke the protocol: closed at once
};

enum class link_event {
    ended_kept,     // a request ended, and the web server keeps the connection
    ended_draining, // a request ended before its stdin did, connection not kept
    ended_closing,  // a request ended, connection not kept, nothing to read
    next_began,     // records of the next request came on a kept connection
    drained,        // the ended request's stdin is over, or the next one came
    answer_cut,     // the upstream's answer was cut: no END_REQUEST follows
    gone,           // hung up, failed, or sent what the protocol forbids
};

// Every move in one place; a move that does not apply leaves the state.
link_state next_link(link_state state, link_event event) noexcept;

// Whether records may be taken from the connection at all.
constexpr bool takes_records(link_state s) noexcept {
    return s == link_state::open || s == link_state::kept_idle || s == link_state::draining;
}

// Whether it is to close once the output is written (the drain first).
constexpr bool is_closing(link_state s) noexcept {
    return s == link_state::draining || s == link_state::closing;
}

// Why a connection is closed; each close names one.
enum class close_reason {
    done,        // its last request was answered and it is not kept
    gone,        // the web server hung up, failed, or broke the protocol
    unwatchable, // it could not join the epoll set
    params_time, // no request, or its params, within the params limit
    body_stall,  // the request body stopped coming
    write_stall, // the web server stopped reading
    kept_idle,   // kept, and idle for longer than a kept connection may be
    room_at_cap, // the oldest idle kept one, for a new connection at the cap
    stopping,    // the server stops: no request in flight on it
    loop_end,    // the loop ends, what is left with it
};

// What a close is logged as, if it is news to the administrator (an idle
// kept connection closing is not).
std::optional<log_kind> logged_as(close_reason reason) noexcept;

// What the loop knows of a connection when it decides its deadline and
// what it waits for; read, never changed, by the functions below.
struct connection_view {
    link_state link = link_state::open;
    request_phase phase = request_phase::idle;
    bool holding = false;           // the next request waits for the current one
    bool watched = false;           // in the epoll set
    bool transfer = false;          // its transfer runs
    bool unread_records = false;    // input read but not parsed yet
    bool budget_room = true;        // the memory budget allows a read now
    std::size_t output_waiting = 0; // bytes for the web server not yet written
    std::size_t body_ahead = 0;     // stdin read, not yet taken by libcurl
};

// Whether records may be taken from the connection; reading more also
// needs room in the memory budget.
bool may_take_input(const connection_view &c) noexcept;

// Only the upstream's answer is awaited: nothing is expected from the web
// server but an abort or a hang-up.
bool awaits_upstream(const connection_view &c) noexcept;

// The epoll events the connection waits for.
std::uint32_t epoll_interest(const connection_view &c) noexcept;

// The time a deadline counts from.
enum class deadline_from {
    none,          // no deadline
    last_progress, // the last write, or when output began to wait
    last_input,    // the last read that brought bytes
    phase_start,   // accepted, became idle kept, or its request began
};

struct deadline_rule {
    deadline_from from = deadline_from::none;
    std::chrono::milliseconds after{0};
    close_reason reason = close_reason::unwatchable; // of a close at the deadline
};

// The connection's deadline. An unwatched connection's is when it joins
// the epoll set (closed only when it cannot).
deadline_rule deadline_of(const connection_view &c) noexcept;

} // namespace fastcgi

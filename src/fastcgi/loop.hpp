// An event-loop thread's own state, shared by the files that make it up:
// its connections from the web server, each with the request it serves,
// and the loop that holds them (event_loop.cpp: the requests and the turn;
// connection.cpp: a connection's input, output, deadline and close;
// admission.cpp: the listener, the cap, the stop and memory given back;
// reactor.cpp: epoll and libcurl's multi handle).
#pragma once

#include "connection_codec.hpp"
#include "connection_policy.hpp"
#include "event_loop.hpp"
#include "reactor.hpp"
#include "upstream/curl_holders.hpp"
#include "upstream/exchange.hpp"

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace fastcgi {

struct connection;
using deadline_map = std::multimap<time_point, connection *>;
using connection_list = std::list<std::unique_ptr<connection>>;
struct event_loop;

struct connection {
    event_loop *loop = nullptr;
    int fd = -1;
    connection_state codec;
    std::string out; // records for the web server; from out_sent on not yet written
    std::size_t out_sent = 0;
    time_point last_progress{};         // of writing, while output waits
    time_point last_input{};            // the last read that brought bytes
    time_point phase_start{};           // accepted, or became idle kept, or its request began
    link_state link = link_state::open; // moved only by move_link
    bool holding = false;               // the next request waits for the current one
    std::uint16_t drain_id = 0;
    std::size_t drain_left = 0;
    bool in_dirty = false;
    bool watched = false;       // in the loop's epoll set
    bool budget_paused = false; // not read until the memory budget has room
    std::size_t charged = 0;    // what it holds, as counted in the budget
    std::uint32_t interest = 0; // registered epoll events
    deadline_map::iterator deadline;
    bool has_deadline = false;
    close_reason deadline_reason{};  // of a close at the deadline
    connection_list::iterator place; // in the loop's list, oldest first

    // The request being served; reset whole when it ends.
    struct request_fields {
        exchange x;                 // its handle is set while its transfer runs
        body_source stdin_source{}; // reads body_ahead
        std::size_t plan_bytes = 0; // what the plan's header lines hold
        std::string body_ahead;     // stdin read, not yet taken
        bool body_ended = false;
    } request;
};

struct event_loop {
    const loop_setup *setup;
    reactor io;
    connection_list connections;                     // oldest first
    std::vector<std::unique_ptr<connection>> closed; // freed once a turn is over
    std::vector<connection *> dirty;
    deadline_map deadlines;
    std::vector<easy_handle> spare_handles;
    easy_handle decoder; // for the translation's percent-decoding
    bool listener_armed = false;
    bool accept_retry_set = false;
    time_point accept_retry_at{};
    std::size_t paused_connections = 0; // connections waiting for room in the budget
    std::size_t peak_connections = 0;   // since memory was last given back
    bool crowd_seen = false;            // and many were open since the loop was last empty
    bool multi_stale = false;           // it holds the idle upstream connections of a crowd
    bool stopping = false;
    time_point stop_at{};
};

// ---- connection.cpp: a connection's I/O and its bookkeeping ----

void mark_dirty(event_loop &loop, connection &c);
void move_link(connection &c, link_event e);
bool broken(const connection &c);
std::size_t pending(const connection &c); // output not yet written
// Brings the budget's count up to date with what the connection holds.
void recharge(event_loop &loop, connection &c);
std::size_t held_by_all(const event_loop &loop);
// Kept between requests with nothing on it: the one test of "idle kept",
// for the cap's room, its listener and the crowd.
bool idle_kept(const connection &c);
bool may_take_input(const connection &c);
// One read for the records the codec needs; false when the connection is
// to be read no more this turn. reads counts the turn's reads.
bool read_records(event_loop &loop, connection &c, int &reads);
// Counts a record of the ended request's stdin against what a drain reads.
void drain(connection &c, const record &r);
bool set_interest(event_loop &loop, connection &c);
void set_deadline(event_loop &loop, connection &c);
void settle_dirty(event_loop &loop);
// Room in the budget again: the connections waiting for it are read.
void resume_paused(event_loop &loop);
void close_connection(event_loop &loop, connection &c, close_reason reason);
connection &add_connection(event_loop &loop, int fd);
void on_connection_event(event_loop &loop, connection &c, std::uint32_t events);

// ---- event_loop.cpp: the request's life ----

// Reads and takes records while the connection may.
void pump_input(event_loop &loop, connection &c);
// Cuts the transfer, if one runs: an abort, a close or the stop.
void cut_transfer(event_loop &loop, connection &c);

// ---- admission.cpp: who comes in, and what goes when ----

void arm_listener(event_loop &loop, bool armed);
// Whether a request is in flight on the connection.
bool in_flight(const connection &c);
void accept_connections(event_loop &loop);
// Stop: no new connection, and none that has no request in flight.
void begin_stop(event_loop &loop);
// Deadlines, the accept retry and the stop grace that are due.
void run_timers(event_loop &loop);
// When the loop must wake next, libcurl's timer apart.
time_point next_wake(const event_loop &loop);
void give_back_memory(event_loop &loop);

} // namespace fastcgi

// One event-loop thread of the FastCGI server: its own epoll set and
// libcurl multi handle, any number of connections from the web server, each
// request's transfer driven by curl_multi_socket_action.
#pragma once

#include "limits.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct server_log;

struct loop_setup {
    int listen_fd;
    int stop_fd;                            // readable once the server is stopping
    std::size_t max_connections;            // this thread's share of the cap
    std::vector<std::string> allowed_peers; // empty: anyone
    // What all the loops' connections hold, against the memory budget.
    std::atomic<std::size_t> *held;
    server_log *log; // failures and limits reached, shared by the loops
};

// A kept connection with no request on it, handed from a loop to the one
// that takes its place.
struct idle_connection {
    int fd;
    // Requests whose late records are ignored.
    std::array<std::uint16_t, fastcgi_limits::settled_requests> settled;
};

// Serves, taking over the connections in `idle` first, until stop_fd is
// readable and the requests in flight have ended, or the stop grace is
// over: then false. True when a crowd of connections has come and gone and
// at most a few idle kept ones are left, now in `idle`: the loop wants a
// fresh thread, whose start gives back what the allocator still keeps for
// this one.
bool run_event_loop(const loop_setup &setup, std::vector<idle_connection> &idle) noexcept;

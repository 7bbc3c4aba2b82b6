// One event-loop thread of the FastCGI server: its own epoll set and
// libcurl multi handle, any number of connections from the web server, each
// request's transfer driven by curl_multi_socket_action.
#pragma once

#include <atomic>
#include <cstddef>
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

// Serves until stop_fd is readable and the requests in flight have ended,
// or the stop grace is over.
void run_event_loop(const loop_setup &setup) noexcept;

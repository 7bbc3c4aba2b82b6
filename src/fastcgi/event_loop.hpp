// One event-loop thread of the FastCGI server: its own epoll set and
// libcurl multi handle, any number of connections from the web server, each
// request's transfer driven by curl_multi_socket_action.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Idle connections to the upstream each thread keeps for the next requests.
constexpr std::size_t upstream_idle_kept = 32;

struct loop_setup {
    int listen_fd;
    int stop_fd;                            // readable once the server is stopping
    std::size_t max_connections;            // this thread's share of the cap
    std::vector<std::string> allowed_peers; // empty: anyone
};

// Serves until stop_fd is readable and the requests in flight have ended,
// or the stop grace is over.
void run_event_loop(const loop_setup &setup) noexcept;

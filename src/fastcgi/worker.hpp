// One FastCGI worker: takes requests one at a time and serves each exactly as
// the CGI program serves its one request, on a libcurl handle of its own
// that keeps its connection to the upstream from one request to the next.
#pragma once

#include <atomic>

struct worker_pool {
    int listen_fd;
    int stop_fd; // readable once the server is stopping: take no new request
    // An epoll set of the listening socket (for one worker at a time), the
    // stop descriptor and the kept connections between their requests, so
    // that any free worker serves whichever has something.
    int watch_fd;
    std::atomic<bool> stopping{false};      // set before stop_fd is written
    std::atomic<bool> cut_transfers{false}; // the time to finish is over
};

void run_worker(worker_pool &pool) noexcept;

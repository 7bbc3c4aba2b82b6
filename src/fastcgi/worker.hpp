// One FastCGI worker: takes requests one at a time and serves each exactly as
// the CGI program serves its one request, on a libcurl handle of its own
// that keeps its connection to the upstream from one request to the next.
#pragma once

#include <atomic>
#include <mutex>

struct worker_pool {
    int listen_fd;
    int stop_fd;            // readable once the server is stopping: take no new request
    std::mutex accept_lock; // one worker at a time waits for a new connection
    std::atomic<bool> cut_transfers{false}; // the time to finish is over
};

void run_worker(worker_pool &pool) noexcept;

#include "worker.hpp"

#include "request/driver.hpp"
#include "upstream/curl_holders.hpp"

#include <fcgiapp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/epoll.h>

namespace {

constexpr std::size_t drain_budget = 64 * 1024; // unread body left to skip on a kept connection
constexpr int accept_retry_ms = 50;             // after an accept error other than "taken"

// The FastCGI stdout stream as the relay's sink: each piece reaches the web
// server at once, as a CGI program's output does.
bool write_fastcgi(void *target, std::string_view first, std::string_view second) {
    auto *out = static_cast<FCGX_Stream *>(target);
    for (std::string_view piece : {first, second})
        if (!piece.empty() && FCGX_PutStr(piece.data(), static_cast<int>(piece.size()), out) < 0)
            return false;
    return FCGX_FFlush(out) == 0;
}

// What the stdin stream holds already read from the connection.
std::size_t buffered(const FCGX_Stream *in) {
    return in->stop > in->rdNext ? static_cast<std::size_t>(in->stop - in->rdNext) : 0;
}

// The FastCGI stdin stream as the body source. FCGX_GetStr waits until it
// has all it was asked for, so it is asked for one byte (which reads a
// record when none is buffered) and then for what has arrived: a slow
// upload flows as it comes.
ssize_t read_fastcgi(void *from, char *buffer, std::size_t n) {
    auto *in = static_cast<FCGX_Stream *>(from);
    if (n == 0) return 0;
    int got = FCGX_GetStr(buffer, 1, in);
    if (got == 1) {
        const std::size_t more = std::min(n - 1, buffered(in));
        if (more > 0) got += FCGX_GetStr(buffer + 1, static_cast<int>(more), in);
    }
    if (got < 0 || FCGX_GetError(in) != 0) return -1;
    return got;
}

// libcurl calls its progress function several times for each piece it
// receives and at least once a second; a look at the connection on every
// call would cost some eight system calls for a small request.
constexpr std::chrono::milliseconds look_interval{100};

struct transfer_watch {
    int connection; // to the web server
    const std::atomic<bool> *cut;
    std::chrono::steady_clock::time_point next_look{};
};

// libcurl's progress function: ends the transfer when the web server has
// closed the request's connection (its client left) or the server is past
// its time to finish.
int watch_transfer(void *clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto &watch = *static_cast<transfer_watch *>(clientp);
    if (watch.cut->load(std::memory_order_relaxed)) return 1;
    const auto now = std::chrono::steady_clock::now();
    if (now < watch.next_look) return 0;
    watch.next_look = now + look_interval;
    pollfd p{watch.connection, POLLRDHUP, 0};
    return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) ? 1 : 0;
}

// Arms fd in the pool's watch for one event: the next free worker takes it.
void watch_once(const worker_pool &pool, int fd) {
    epoll_event event{EPOLLIN | EPOLLRDHUP | EPOLLONESHOT, {}};
    event.data.fd = fd;
    if (epoll_ctl(pool.watch_fd, EPOLL_CTL_MOD, fd, &event) != 0 && errno == ENOENT)
        epoll_ctl(pool.watch_fd, EPOLL_CTL_ADD, fd, &event);
}

// Waits for the next request on a new connection or on one the web server
// keeps open between its requests, whichever comes first; false once the
// server is stopping. A worker never waits on one kept connection alone:
// idle kept connections could then hold every worker while new ones go
// unanswered.
bool next_request(worker_pool &pool, FCGX_Request &request) {
    for (;;) {
        epoll_event ready;
        const int n = epoll_wait(pool.watch_fd, &ready, 1, -1);
        if (n < 0 && errno != EINTR) return false;
        if (n <= 0) continue;
        // A kept connection may come up first although the stop is due.
        if (ready.data.fd == pool.stop_fd || pool.stopping.load()) return false;
        int accepted;
        if (ready.data.fd == pool.listen_fd) {
            // The listening socket is non-blocking: when another process
            // took the connection first, this gives -EAGAIN.
            request.ipcFd = -1;
            accepted = FCGX_Accept_r(&request);
            watch_once(pool, pool.listen_fd);
        } else {
            // libfcgi reads the next request on a connection its request
            // holds as kept (the fields are plain ones of FCGX_Request).
            request.ipcFd = ready.data.fd;
            request.keepConnection = 1;
            accepted = FCGX_Accept_r(&request);
        }
        if (accepted >= 0) return true;
        if (accepted != -EAGAIN && accepted != -EINTR) poll(nullptr, 0, accept_retry_ms);
    }
}

// Serves one request; false when its connection must not be kept for the
// next one.
bool serve_one(worker_pool &pool, FCGX_Request &request, easy_handle &reused) {
    CURL *handle = reused.get();
    // Every FastCGI client parses the standard document response.
    relay_context relay{{}, {write_fastcgi, request.out}};
    relay.state.form = response_form::document;

    transfer_watch watch{request.ipcFd, &pool.cut_transfers};
    curl_easy_reset(handle);                        // the connection to the upstream stays
    curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L); // threads: no alarm signals
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, watch_transfer);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, static_cast<void *>(&watch));
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);

    char **envp = request.envp;
    const cgi_request cgi{FCGX_GetParam("QUERY_STRING", envp),
                          FCGX_GetParam("REQUEST_METHOD", envp),
                          FCGX_GetParam("CONTENT_LENGTH", envp), envp};
    body_source body{read_fastcgi, request.in, 0};
    const int status = serve_request(cgi, relay, body, handle);
    FCGX_SetExitStatus(status, request.out);
    // After a 417 to its Expect, libcurl never sends Expect again on that
    // handle, and curl_easy_reset keeps it so: the next request would not
    // go out as the CGI program sends it. Such a handle is replaced.
    if (relay.state.replaceable_seen) reused.reset(curl_easy_init());

    // A connection kept for the next request must not hold this one's
    // unread body (a GET leaves at least the empty end of stdin). Skip a
    // little; beyond that, the connection is closed instead.
    char scrap[4096];
    std::size_t skipped = 0;
    while (!request.in->isClosed && skipped < drain_budget) {
        const int got = FCGX_GetStr(scrap, sizeof scrap, request.in);
        if (got <= 0) break;
        skipped += static_cast<std::size_t>(got);
    }
    return request.in->isClosed && FCGX_GetError(request.in) == 0;
}

} // namespace

void run_worker(worker_pool &pool) noexcept {
    easy_handle handle(curl_easy_init());
    FCGX_Request request;
    if (FCGX_InitRequest(&request, pool.listen_fd, 0) != 0) return;
    while (handle && next_request(pool, request)) {
        const bool reusable = serve_one(pool, request, handle);
        // All input read and the connection not kept: it is closed at once,
        // instead of libfcgi's shutdown and wait for the web server to close
        // its end first.
        if (reusable && !request.keepConnection) FCGX_Detach(&request);
        FCGX_Finish_r(&request); // ends the request; keeps the connection if asked to
        if (!reusable) FCGX_Free(&request, 1);
        if (request.ipcFd >= 0) {
            // Kept: whichever worker is free takes its next request.
            watch_once(pool, request.ipcFd);
            request.ipcFd = -1;
        }
    }
    FCGX_Free(&request, 1); // closes a connection kept open
}

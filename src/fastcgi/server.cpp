#include "server.hpp"

#include "worker.hpp"

#include <curl/curl.h>
#include <fcgiapp.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int listen_backlog = 1024;
// After SIGTERM, requests in flight get this long to finish; transfers still
// running then (a stream that never ends) are cut.
constexpr std::chrono::seconds finish_time{10};

// Closes a descriptor on every path out.
struct descriptor {
    int fd = -1;
    descriptor() = default;
    explicit descriptor(int f) : fd(f) {}
    descriptor(const descriptor &) = delete;
    descriptor &operator=(const descriptor &) = delete;
    ~descriptor() {
        if (fd >= 0) close(fd);
    }
};

// The listening socket for "unix:/path" or "HOST:PORT", as libfcgi makes it.
int open_listener(std::string_view address, std::string &unix_path) {
    constexpr std::string_view unix_prefix = "unix:";
    std::string where(address);
    if (address.substr(0, unix_prefix.size()) == unix_prefix) {
        where.erase(0, unix_prefix.size());
        unix_path = where;
    }
    const int fd = FCGX_OpenSocket(where.c_str(), listen_backlog);
    // The web server usually runs as a user of its own. Anyone on the
    // machine may reach the upstream on 127.0.0.1:8011 directly, so the
    // socket gives nothing more away; a directory of restricted access
    // around it narrows who may connect.
    if (fd >= 0 && !unix_path.empty()) chmod(unix_path.c_str(), 0666);
    return fd;
}

} // namespace

bool is_listening_socket(int fd) {
    int listening = 0;
    socklen_t length = sizeof listening;
    return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening;
}

int serve_fastcgi(std::string_view address, int workers) {
    if (FCGX_Init() != 0) {
        std::fputs("cgi_forward: cannot initialise libfcgi\n", stderr);
        return 1;
    }
    std::string unix_path;
    const int listen_fd = address.empty() ? STDIN_FILENO : open_listener(address, unix_path);
    if (listen_fd < 0) {
        std::perror("cgi_forward: listen");
        return 1;
    }
    // Workers wait with poll and then accept; non-blocking, an accept that
    // another process won gives EAGAIN instead of waiting on.
    fcntl(listen_fd, F_SETFL, fcntl(listen_fd, F_GETFL) | O_NONBLOCK);
    const descriptor stop(eventfd(0, EFD_CLOEXEC));
    if (stop.fd < 0) {
        std::perror("cgi_forward: eventfd");
        return 1;
    }

    // Only this thread takes the stop signals; the workers inherit the mask.
    // SIGUSR1 is libfcgi's own "stop taking requests": blocked, its handler
    // never runs, and it stops the server like the others.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    for (int stop_signal : {SIGTERM, SIGINT, SIGUSR1})
        sigaddset(&stop_signals, stop_signal);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    const descriptor watch(epoll_create1(EPOLL_CLOEXEC));
    epoll_event on_listener{EPOLLIN | EPOLLONESHOT, {}};
    on_listener.data.fd = listen_fd;
    epoll_event on_stop{EPOLLIN, {}};
    on_stop.data.fd = stop.fd;
    if (watch.fd < 0 || epoll_ctl(watch.fd, EPOLL_CTL_ADD, listen_fd, &on_listener) != 0 ||
        epoll_ctl(watch.fd, EPOLL_CTL_ADD, stop.fd, &on_stop) != 0) {
        std::perror("cgi_forward: epoll");
        return 1;
    }

    curl_global_init(CURL_GLOBAL_ALL);
    worker_pool pool;
    pool.listen_fd = listen_fd;
    pool.stop_fd = stop.fd;
    pool.watch_fd = watch.fd;
    std::mutex done_lock;
    std::condition_variable done_changed;
    int done = 0;
    std::vector<std::thread> threads;
    try {
        for (int i = 0; i < workers; ++i)
            threads.emplace_back([&] {
                run_worker(pool);
                const std::lock_guard<std::mutex> lock(done_lock);
                ++done;
                done_changed.notify_all();
            });
    } catch (const std::system_error &) {
        std::fputs("cgi_forward: cannot start the workers\n", stderr);
        pool.cut_transfers = true;
    }

    if (!pool.cut_transfers) {
        int received = 0;
        sigwait(&stop_signals, &received);
    }
    // Take no new request; let those in flight finish, within the bound.
    const std::uint64_t one = 1;
    pool.stopping = true;
    if (write(stop.fd, &one, sizeof one) < 0) pool.cut_transfers = true;
    {
        std::unique_lock<std::mutex> lock(done_lock);
        const auto all_done = [&] { return done == static_cast<int>(threads.size()); };
        if (!done_changed.wait_for(lock, finish_time, all_done)) pool.cut_transfers = true;
    }
    for (std::thread &t : threads)
        t.join();
    curl_global_cleanup();
    if (!unix_path.empty()) unlink(unix_path.c_str());
    if (listen_fd != STDIN_FILENO) close(listen_fd);
    return threads.size() == static_cast<std::size_t>(workers) ? 0 : 1;
}

#include "server.hpp"

#include "event_loop.hpp"
#include "limits.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sched.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Descriptors kept aside from the connections: standard streams, the
// listener, epoll sets, curl's own.
constexpr rlim_t reserved_descriptors = 64;

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

// The connection cap that the open-files limit allows, raised as far as
// it may be: each connection takes two descriptors, its own and the
// upstream's, and each thread keeps some idle upstream connections.
std::size_t connection_cap(int threads) {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0) return 1;
    if (files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
        getrlimit(RLIMIT_NOFILE, &files);
    }
    const rlim_t reserved = reserved_descriptors + threads * (upstream_idle_kept + 1);
    if (files.rlim_cur <= reserved + 2) return 1;
    return std::min<std::size_t>(fastcgi_limits::max_connections, (files.rlim_cur - reserved) / 2);
}

} // namespace

int available_cpus() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(std::min(online, 1024L)) : 1;
}

int serve_fastcgi(std::string_view address, int threads) {
    std::string unix_path;
    const int listen_fd = address.empty() ? STDIN_FILENO : open_listener(address, unix_path);
    if (listen_fd < 0) {
        std::perror("cgi_forward: listen");
        return 1;
    }
    // Threads wait on the socket with epoll and then accept; non-blocking,
    // an accept that another thread or process won gives EAGAIN.
    fcntl(listen_fd, F_SETFL, fcntl(listen_fd, F_GETFL) | O_NONBLOCK);
    const descriptor stop(eventfd(0, EFD_CLOEXEC));
    if (stop.fd < 0) {
        std::perror("cgi_forward: eventfd");
        return 1;
    }

    // Only this thread takes the stop signals; the loops inherit the mask.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    for (int stop_signal : {SIGTERM, SIGINT, SIGUSR1})
        sigaddset(&stop_signals, stop_signal);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    curl_global_init(CURL_GLOBAL_ALL);
    const std::size_t share = std::max<std::size_t>(1, connection_cap(threads) / threads);
    const loop_setup setup{listen_fd, stop.fd, share,
                           allowed_peers(std::getenv("FCGI_WEB_SERVER_ADDRS"))};
    std::vector<std::thread> loops;
    bool started = true;
    try {
        for (int i = 0; i < threads; ++i)
            loops.emplace_back([&setup] { run_event_loop(setup); });
    } catch (const std::system_error &) {
        std::fputs("cgi_forward: cannot start the event-loop threads\n", stderr);
        started = false;
    }
    if (started) {
        int received = 0;
        sigwait(&stop_signals, &received);
    }
    // Each loop stops taking connections, lets its requests finish within
    // the grace, then closes everything.
    const std::uint64_t one = 1;
    if (write(stop.fd, &one, sizeof one) < 0) std::perror("cgi_forward: eventfd");
    for (std::thread &t : loops)
        t.join();
    curl_global_cleanup();
    if (!unix_path.empty()) unlink(unix_path.c_str());
    if (listen_fd != STDIN_FILENO) close(listen_fd);
    return started ? 0 : 1;
}

#include "server.hpp"

#include "event_loop.hpp"
#include "limits.hpp"
#include "log.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

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
    const rlim_t reserved =
        fastcgi_limits::reserved_descriptors + threads * (fastcgi_limits::upstream_idle_kept + 1);
    if (files.rlim_cur <= reserved + 2) return 1;
    return std::min<std::size_t>(fastcgi_limits::max_connections, (files.rlim_cur - reserved) / 2);
}

// The event-loop threads, one per slot.
struct loop_threads {
    const loop_setup *setup = nullptr;
    std::vector<std::thread> slots; // sized before the first thread starts
};

// Batch scheduling for this thread and the loops it starts: a loop woken by
// the web server or the upstream then waits for the waker to yield the CPU
// instead of preempting it, which spares both sides a context switch a
// request where they share the CPUs. A policy chosen for the server (chrt,
// systemd's CPUSchedulingPolicy=) is kept.
void prefer_batch_scheduling() {
    if (sched_getscheduler(0) != SCHED_OTHER) return;
    const sched_param none{};
    sched_setscheduler(0, SCHED_BATCH, &none); // if refused, the default stays
}

// Only the server thread takes the stop signals; the loops inherit the mask.
sigset_t block_stop_signals() {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    for (int stop_signal : {SIGTERM, SIGINT, SIGUSR1})
        sigaddset(&stop_signals, stop_signal);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    return stop_signals;
}

bool start_loops(loop_threads &loops) {
    try {
        for (std::size_t i = 0; i < loops.slots.size(); ++i)
            loops.slots[i] = std::thread(run_event_loop, std::cref(*loops.setup));
        return true;
    } catch (const std::system_error &) {
        std::fputs("cgi_forward: cannot start the event-loop threads\n", stderr);
        return false;
    }
}

// Each loop stops taking connections, lets its requests finish within the
// grace, then closes everything.
void stop_loops(loop_threads &loops, int stop_fd) {
    const std::uint64_t one = 1;
    if (write(stop_fd, &one, sizeof one) < 0) std::perror("cgi_forward: eventfd");
    for (std::thread &loop : loops.slots)
        if (loop.joinable()) loop.join();
}

// The open-files limit in force, as connection_cap left it.
unsigned long long open_files() {
    rlimit files{};
    return getrlimit(RLIMIT_NOFILE, &files) == 0 ? files.rlim_cur : 0;
}

void log_start(server_log &log, std::string_view address, int threads, std::size_t connections) {
    if (log.quiet) return;
    using namespace fastcgi_limits;
    const auto seconds = [](std::chrono::seconds limit) {
        return std::to_string(limit.count()) + " s";
    };
    const std::string where =
        address.empty() ? "the listening socket on standard input" : std::string(address);
    write_line(log, "started on " + where + ", " + std::to_string(threads) +
                        (threads == 1 ? " worker" : " workers") + "; limits: params " +
                        seconds(params_read) + ", idle kept " + seconds(kept_idle) +
                        ", write stall " + seconds(write_stall) + ", body stall " +
                        seconds(body_stall) + ", stop grace " + seconds(stop_grace) + ", " +
                        std::to_string(connections) + " connections (open files " +
                        std::to_string(open_files()) + "), memory budget " +
                        std::to_string(memory_budget >> 20) + " MiB");
}

void log_stop(server_log &log) {
    write_due(log, true); // what was counted since the last lines
    const std::size_t cut = log.cut_off.load();
    write_line(log, "stopped; " + std::to_string(cut) + (cut == 1 ? " request" : " requests") +
                        " in progress cut off at the end of the " +
                        std::to_string(fastcgi_limits::stop_grace.count()) + " s grace");
}

// Waits for a stop signal; meanwhile writes the log lines as they fall
// due: a loop wakes this thread through log.wake_fd when one is due at
// once, and the counted ones are due when their interval is over.
void wait_for_stop(const sigset_t &stop_signals, server_log &log) {
    const descriptor signals(log.quiet ? -1 : signalfd(-1, &stop_signals, SFD_CLOEXEC));
    pollfd watched[2] = {{signals.fd, POLLIN, 0}, {log.wake_fd, POLLIN, 0}};
    while (signals.fd >= 0 && log.wake_fd >= 0) {
        const auto due = write_due(log);
        int wait = -1;
        if (due != log_clock::time_point::max()) {
            const auto left = std::max(due - log_clock::now(), log_clock::duration::zero());
            // Rounded up: waking before the time would only wait again.
            wait = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(left).count() + 1);
        }
        if (poll(watched, 2, wait) < 0 && errno != EINTR) break;
        if (watched[0].revents & POLLIN) return; // the signal
        std::uint64_t wakes = 0;                 // reset, so that the next poll waits again
        if ((watched[1].revents & POLLIN) && read(log.wake_fd, &wakes, sizeof wakes) < 0)
            continue; // an interrupted read: the eventfd is still readable
    }
    // Quiet, or no descriptors to be had: only the stop is waited for, and
    // what was counted is written then.
    int received = 0;
    sigwait(&stop_signals, &received);
}

} // namespace

int available_cpus() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<int>(std::min(online, 1024L)) : 1;
}

int serve_fastcgi(std::string_view address, int threads, bool quiet) {
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

    const sigset_t stop_signals = block_stop_signals();
    curl_global_init(CURL_GLOBAL_ALL);
    prefer_batch_scheduling();
    const std::size_t share = std::max<std::size_t>(1, connection_cap(threads) / threads);
    std::atomic<std::size_t> held{0};
    server_log log;
    log.quiet = quiet;
    const descriptor wake(quiet ? -1 : eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    log.wake_fd = wake.fd;
    const loop_setup setup{listen_fd, stop.fd,
                           share,     allowed_peers(std::getenv("FCGI_WEB_SERVER_ADDRS")),
                           &held,     &log};
    loop_threads loops;
    loops.setup = &setup;
    loops.slots.resize(static_cast<std::size_t>(threads));
    const bool started = start_loops(loops);
    if (started) {
        log_start(log, address, threads, share * static_cast<std::size_t>(threads));
        wait_for_stop(stop_signals, log);
    }
    stop_loops(loops, stop.fd);
    curl_global_cleanup();
    if (!unix_path.empty()) unlink(unix_path.c_str());
    if (listen_fd != STDIN_FILENO) close(listen_fd);
    if (!started) return 1;
    log_stop(log);
    return 0;
}

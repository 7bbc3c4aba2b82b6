#include "limits.hpp"
#include "listener.hpp"
#include "log.hpp"
#include "loop.hpp"

#include <algorithm>
#include <cerrno>
#include <malloc.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fastcgi {

namespace {

// Room for one more connection: the oldest idle kept one goes.
bool make_room(event_loop &loop) {
    if (loop.connections.size() < loop.setup->max_connections) return true;
    log_event(*loop.setup->log, log_kind::connection_cap);
    for (const std::unique_ptr<connection> &c : loop.connections)
        if (idle_kept(*c)) {
            close_connection(loop, *c, close_reason::room_at_cap);
            return true;
        }
    return false;
}

bool no_transfer_runs(const event_loop &loop) {
    return std::none_of(loop.connections.begin(), loop.connections.end(),
                        [](const std::unique_ptr<connection> &c) {
                            return static_cast<bool>(c->request.x.handle);
                        });
}

} // namespace

void arm_listener(event_loop &loop, bool armed) {
    if (loop.listener_armed == armed) return;
    // Only one of the threads waiting on the socket is woken for a
    // connection.
    epoll_event e{EPOLLIN | EPOLLEXCLUSIVE, {}};
    e.data.u64 = tag_listener;
    epoll_ctl(loop.io.epoll_fd, armed ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, loop.setup->listen_fd, &e);
    loop.listener_armed = armed;
}

void accept_connections(event_loop &loop) {
    for (int i = 0; i < fastcgi_limits::accepts_per_turn; ++i) {
        if (!make_room(loop)) {
            arm_listener(loop, false); // until one of this thread's connections closes
            return;
        }
        const int fd =
            accept4(loop.setup->listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                arm_listener(loop, false);
                loop.accept_retry_set = true;
                loop.accept_retry_at = loop.io.now + fastcgi_limits::accept_retry;
            }
            return;
        }
        if (!peer_allowed(fd, loop.setup->allowed_peers)) {
            close(fd);
            continue;
        }
        connection &c = add_connection(loop, fd);
        // A web server writes the request as soon as it has connected: it is
        // usually there already, and read now saves a turn of the loop.
        pump_input(loop, c);
        mark_dirty(loop, c);
    }
}

bool in_flight(const connection &c) {
    return c.request.x.handle || c.codec.phase == request_phase::body ||
           c.codec.phase == request_phase::input_done || pending(c) > 0;
}

void begin_stop(event_loop &loop) {
    loop.stopping = true;
    loop.stop_at = loop.io.now + fastcgi_limits::stop_grace;
    arm_listener(loop, false);
    epoll_ctl(loop.io.epoll_fd, EPOLL_CTL_DEL, loop.setup->stop_fd, nullptr);
    std::vector<connection *> all;
    for (const std::unique_ptr<connection> &c : loop.connections)
        all.push_back(c.get());
    for (connection *c : all) {
        if (!in_flight(*c))
            close_connection(loop, *c, close_reason::stopping);
        else
            c->codec.keep_connection = false; // closed once its request has ended
    }
}

time_point next_wake(const event_loop &loop) {
    time_point next = time_point::max();
    if (!loop.deadlines.empty()) next = loop.deadlines.begin()->first;
    if (loop.accept_retry_set) next = std::min(next, loop.accept_retry_at);
    if (loop.stopping) next = std::min(next, loop.stop_at);
    if (loop.paused_connections > 0)
        next = std::min(next, loop.io.now + fastcgi_limits::budget_recheck);
    return next;
}

void run_timers(event_loop &loop) {
    while (!loop.deadlines.empty() && loop.deadlines.begin()->first <= loop.io.now) {
        // An unwatched connection's deadline is when it joins the epoll set.
        connection &c = *loop.deadlines.begin()->second;
        if (c.watched)
            close_connection(loop, c, c.deadline_reason);
        else if (!set_interest(loop, c))
            close_connection(loop, c, close_reason::unwatchable);
        else
            set_deadline(loop, c);
    }
    run_curl_timer(loop.io);
    if (loop.accept_retry_set && loop.accept_retry_at <= loop.io.now && !loop.stopping) {
        loop.accept_retry_set = false;
        arm_listener(loop, true);
    }
}

// After many connections have gone (a crowd of streams ended), the memory
// they used goes back to the system instead of staying in the allocator:
// each time three quarters of them have gone, and once more when the crowd
// is over, only a few connections being left. The idle upstream connections
// a crowd left each hold libcurl's buffers: once no transfer runs, they go
// with the multi handle, and a fresh one takes its place.
void give_back_memory(event_loop &loop) {
    const std::size_t now = loop.connections.size();
    loop.peak_connections = std::max(loop.peak_connections, now);
    if (loop.peak_connections >= fastcgi_limits::crowd) loop.crowd_seen = true;
    // What is left is a few kept connections with no request on them (those
    // a web server keeps open to the gateway).
    const bool few_left =
        (loop.crowd_seen || loop.multi_stale) && now <= fastcgi_limits::crowd / 4 &&
        std::all_of(loop.connections.begin(), loop.connections.end(),
                    [](const std::unique_ptr<connection> &c) { return idle_kept(*c); });
    bool trim = loop.peak_connections >= fastcgi_limits::crowd && now <= loop.peak_connections / 4;
    if (loop.crowd_seen && few_left) { // the crowd is over
        loop.crowd_seen = false;
        loop.multi_stale = true;
        trim = true;
    }
    if (loop.multi_stale && few_left && no_transfer_runs(loop) && renew_multi(loop.io)) {
        loop.multi_stale = false;
        trim = true;
    }
    if (!trim) return;
    loop.spare_handles.clear(); // each holds its buffers
    malloc_trim(0);
    loop.peak_connections = now;
}

} // namespace fastcgi

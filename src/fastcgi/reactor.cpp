#include "reactor.hpp"

#include "limits.hpp"

#include <algorithm>
#include <cerrno>
#include <new>
#include <sys/epoll.h>
#include <unistd.h>

namespace fastcgi {

namespace {

curl_socket_entry *find_curl_socket(reactor &r, curl_socket_t s) noexcept {
    if (s < 0 || static_cast<std::size_t>(s) >= r.curl_sockets.size()) return nullptr;
    return &r.curl_sockets[static_cast<std::size_t>(s)];
}

// Null when there is no room to keep track of it (such a socket is left in
// the set only while libcurl watches it).
curl_socket_entry *track_curl_socket(reactor &r, curl_socket_t s) noexcept {
    if (s >= 0 && static_cast<std::size_t>(s) >= r.curl_sockets.size()) {
        try {
            r.curl_sockets.resize(static_cast<std::size_t>(s) + 1);
        } catch (const std::bad_alloc &) {
            return nullptr;
        }
    }
    return find_curl_socket(r, s);
}

// A socket libcurl no longer watches stays in the epoll set: it is a kept
// upstream connection, which the next request takes again, usually waiting
// for the same events (two epoll_ctl a request saved). It leaves the set
// when libcurl closes it, or when something happens on it while it waits.
int on_curl_socket(CURL *, curl_socket_t s, int what, void *userp, void *) noexcept {
    auto &r = *static_cast<reactor *>(userp);
    curl_socket_entry *entry = track_curl_socket(r, s);
    if (what == CURL_POLL_REMOVE) {
        if (entry)
            entry->parked = entry->registered;
        else
            epoll_ctl(r.epoll_fd, EPOLL_CTL_DEL, s, nullptr);
        return 0;
    }
    epoll_event e{0, {}};
    if (what & CURL_POLL_IN) e.events |= EPOLLIN;
    if (what & CURL_POLL_OUT) e.events |= EPOLLOUT;
    if (entry) {
        entry->parked = false;
        if (entry->registered && entry->events == e.events) return 0;
    }
    e.data.u64 = (static_cast<std::uint64_t>(s) << 2) | tag_curl;
    const bool known = entry && entry->registered;
    if (epoll_ctl(r.epoll_fd, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, s, &e) != 0)
        epoll_ctl(r.epoll_fd, known ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, s, &e);
    if (entry) *entry = {true, e.events, false};
    return 0;
}

// An event on a socket: false when libcurl does not watch it (a parked
// one, taken out of the set).
bool curl_watches(reactor &r, curl_socket_t s) noexcept {
    curl_socket_entry *entry = find_curl_socket(r, s);
    if (!entry || !entry->parked) return true;
    epoll_ctl(r.epoll_fd, EPOLL_CTL_DEL, s, nullptr);
    *entry = {};
    return false;
}

int on_curl_timer(CURLM *, long timeout_ms, void *userp) {
    auto &r = *static_cast<reactor *>(userp);
    r.curl_timer_set = timeout_ms >= 0;
    // Zero (a transfer just added): due at once, run before the next wait.
    r.curl_timer =
        timeout_ms == 0 ? r.now : clock_type::now() + std::chrono::milliseconds(timeout_ms);
    return 0;
}

// A multi handle that this epoll set and timer drive.
CURLM *new_multi(reactor &r) {
    CURLM *multi = curl_multi_init();
    if (!multi) return nullptr;
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, on_curl_socket);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, static_cast<void *>(&r));
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, on_curl_timer);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, static_cast<void *>(&r));
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS,
                      static_cast<long>(fastcgi_limits::upstream_idle_kept));
    return multi;
}

void take_done_transfers(reactor &r) {
    int left = 0;
    while (CURLMsg *m = curl_multi_info_read(r.multi, &left))
        if (m->msg == CURLMSG_DONE) r.on_done(r.done_user, m->easy_handle, m->data.result);
}

void curl_action(reactor &r, curl_socket_t s, int flags) {
    int running = 0;
    curl_multi_socket_action(r.multi, s, flags, &running);
    take_done_transfers(r);
}

} // namespace

// libcurl closes a socket: the epoll set forgets it with the close.
int on_curl_close(void *userp, curl_socket_t s) noexcept {
    if (curl_socket_entry *entry = find_curl_socket(*static_cast<reactor *>(userp), s)) *entry = {};
    return close(s);
}

bool open_reactor(reactor &r) {
    r.now = clock_type::now();
    r.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    r.multi = new_multi(r);
    if (r.epoll_fd >= 0 && r.multi) return true;
    close_reactor(r);
    return false;
}

void close_reactor(reactor &r) {
    if (r.multi) curl_multi_cleanup(r.multi);
    if (r.epoll_fd >= 0) close(r.epoll_fd);
    r.multi = nullptr;
    r.epoll_fd = -1;
}

bool renew_multi(reactor &r) {
    CURLM *fresh = new_multi(r);
    if (!fresh) return false;
    curl_multi_cleanup(r.multi);
    r.multi = fresh;
    r.curl_timer_set = false;
    return true;
}

void on_curl_event(reactor &r, std::uint64_t data, std::uint32_t events) {
    const auto s = static_cast<curl_socket_t>(data >> 2);
    if (!curl_watches(r, s)) return;
    int flags = 0;
    if (events & EPOLLIN) flags |= CURL_CSELECT_IN;
    if (events & EPOLLOUT) flags |= CURL_CSELECT_OUT;
    if (events & (EPOLLERR | EPOLLHUP)) flags |= CURL_CSELECT_ERR;
    curl_action(r, s, flags);
}

bool run_curl_timer(reactor &r) {
    if (!r.curl_timer_set || r.curl_timer > r.now) return false;
    r.curl_timer_set = false;
    curl_action(r, CURL_SOCKET_TIMEOUT, 0);
    return true;
}

int wait_time(const reactor &r, time_point next) {
    if (r.curl_timer_set) next = std::min(next, r.curl_timer);
    if (next == time_point::max()) return -1;
    const auto now = clock_type::now();
    if (next <= now) return 0;
    // Rounded up: waking before the time would only wait again.
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1);
}

} // namespace fastcgi

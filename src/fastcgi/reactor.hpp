// The machinery under an event-loop thread, apart from what it serves: its
// epoll set, libcurl's multi handle driven by that set (libcurl's socket
// and timer callbacks) and the clock of the turn.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace fastcgi {

using clock_type = std::chrono::steady_clock;
using time_point = clock_type::time_point;

// What an epoll event is about, in the low bits of its data; anything else
// is a pointer of the loop's own (aligned, low bits clear).
constexpr std::uint64_t tag_curl = 1;
constexpr std::uint64_t tag_listener = 2;
constexpr std::uint64_t tag_stop = 3;

// A socket of libcurl's as the epoll set has it.
struct curl_socket_entry {
    bool registered = false;
    std::uint32_t events = 0;
    bool parked = false; // libcurl no longer watches it: a kept upstream connection
};

struct reactor {
    int epoll_fd = -1;
    CURLM *multi = nullptr;
    std::vector<curl_socket_entry> curl_sockets; // by descriptor
    bool curl_timer_set = false;
    time_point curl_timer{};
    time_point now{}; // when the last wait ended: limits of seconds need no finer clock
    // Told of each transfer libcurl has ended.
    void (*on_done)(void *user, CURL *handle, CURLcode result) = nullptr;
    void *done_user = nullptr;
};

// The epoll set and a multi handle; false (and nothing open) when either
// cannot be had.
bool open_reactor(reactor &r);
void close_reactor(reactor &r);

// A fresh multi handle in place of the one that holds a crowd's idle
// upstream connections; false (the old one stays) when none can be had.
// No transfer may run.
bool renew_multi(reactor &r);

// libcurl's close-socket function for the easy handles; userp is the reactor.
int on_curl_close(void *userp, curl_socket_t s) noexcept;

// An epoll event tagged tag_curl: libcurl's socket is acted on.
void on_curl_event(reactor &r, std::uint64_t data, std::uint32_t events);

// libcurl's timer, if it is due: true when it ran.
bool run_curl_timer(reactor &r);

// Milliseconds until next or libcurl's timer, whichever is first; -1 for
// no end.
int wait_time(const reactor &r, time_point next);

} // namespace fastcgi

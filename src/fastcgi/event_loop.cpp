#include "event_loop.hpp"

#include "connection_codec.hpp"
#include "connection_policy.hpp"
#include "limits.hpp"
#include "listener.hpp"
#include "log.hpp"
#include "request/translate.hpp"
#include "upstream/curl_holders.hpp"
#include "upstream/exchange.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <malloc.h>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;
using time_point = clock_type::time_point;

// What an epoll event is about, in the low bits of its data; a connection
// is a pointer (aligned, low bits clear).
constexpr std::uint64_t tag_curl = 1;
constexpr std::uint64_t tag_listener = 2;
constexpr std::uint64_t tag_stop = 3;

struct connection;
struct event_loop;
using deadline_map = std::multimap<time_point, connection *>;
using connection_list = std::list<std::unique_ptr<connection>>;

// A socket of libcurl's as the loop's epoll set has it.
struct curl_socket_entry {
    bool registered = false;
    std::uint32_t events = 0;
    bool parked = false; // libcurl no longer watches it: a kept upstream connection
};

struct connection {
    event_loop *loop = nullptr;
    int fd = -1;
    fastcgi::connection_state codec;
    std::string out; // records for the web server; from out_sent on not yet written
    std::size_t out_sent = 0;
    time_point last_progress{}; // of writing, while output waits
    time_point last_input{};    // the last read that brought bytes
    time_point phase_start{};   // accepted, or became idle kept, or its request began
    fastcgi::link_state link = fastcgi::link_state::open; // moved only by move_link
    bool holding = false; // the next request waits for the current one
    std::uint16_t drain_id = 0;
    std::size_t drain_left = 0;
    bool in_dirty = false;
    bool watched = false;       // in the loop's epoll set
    bool budget_paused = false; // not read until the memory budget has room
    std::size_t charged = 0;    // what it holds, as counted in the budget
    std::uint32_t interest = 0; // registered epoll events
    deadline_map::iterator deadline;
    bool has_deadline = false;
    fastcgi::close_reason deadline_reason{}; // of a close at the deadline
    connection_list::iterator place;         // in the loop's list, oldest first

    // The request being served; reset whole when it ends.
    struct request_fields {
        exchange x;                 // its handle is set while its transfer runs
        body_source stdin_source{}; // reads body_ahead
        std::size_t plan_bytes = 0; // what the plan's header lines hold
        std::string body_ahead;     // stdin read, not yet taken
        bool body_ended = false;
    } request;
};

struct event_loop {
    const loop_setup *setup;
    int epoll_fd = -1;
    CURLM *multi = nullptr;
    connection_list connections;                     // oldest first
    std::vector<std::unique_ptr<connection>> closed; // freed once a turn is over
    std::vector<connection *> dirty;
    deadline_map deadlines;
    std::vector<easy_handle> spare_handles;
    std::vector<curl_socket_entry> curl_sockets; // by descriptor
    easy_handle decoder;                         // for the translation's percent-decoding
    bool curl_timer_set = false;
    time_point curl_timer{};
    bool listener_armed = false;
    bool accept_retry_set = false;
    time_point accept_retry_at{};
    std::size_t paused_connections = 0; // connections waiting for room in the budget
    std::size_t peak_connections = 0;   // since memory was last given back
    bool crowd_seen = false;            // and many were open since the loop was last empty
    bool multi_stale = false;           // it holds the idle upstream connections of a crowd
    bool stopping = false;
    time_point stop_at{};
    time_point now{}; // when the last wait ended: limits of seconds need no finer clock
};

void mark_dirty(event_loop &loop, connection &c) {
    if (c.in_dirty) return;
    c.in_dirty = true;
    loop.dirty.push_back(&c);
}

void move_link(connection &c, fastcgi::link_event e) {
    c.link = fastcgi::next_link(c.link, e);
}

bool broken(const connection &c) {
    return c.link == fastcgi::link_state::broken;
}

std::size_t pending(const connection &c) {
    return c.out.size() - c.out_sent;
}

// What a connection holds of what the memory budget counts: its params
// (and the header lines made from them), body read ahead and output.
std::size_t holding(const connection &c) {
    if (c.fd < 0) return 0;
    const fastcgi::connection_state &codec = c.codec;
    return codec.input.capacity() + codec.params.capacity() + codec.environment.capacity() +
           codec.replies.capacity() + c.out.capacity() + c.request.body_ahead.capacity() +
           c.request.plan_bytes;
}

// Brings the budget's count up to date with what the connection holds.
void recharge(event_loop &loop, connection &c) {
    const std::size_t now = holding(c);
    if (now > c.charged)
        loop.setup->held->fetch_add(now - c.charged, std::memory_order_relaxed);
    else if (now < c.charged)
        loop.setup->held->fetch_sub(c.charged - now, std::memory_order_relaxed);
    c.charged = now;
}

std::size_t held_by_all(const event_loop &loop) {
    return loop.setup->held->load(std::memory_order_relaxed);
}

// How much may be read from the connection now, up to wanted.
std::size_t read_allowance(const event_loop &loop, const connection &c, std::size_t wanted) {
    return fastcgi::read_allowance(c.codec.phase, c.charged, held_by_all(loop), wanted);
}

// ---- the listening socket ----

void arm_listener(event_loop &loop, bool armed) {
    if (loop.listener_armed == armed) return;
    // Only one of the threads waiting on the socket is woken for a
    // connection.
    epoll_event e{EPOLLIN | EPOLLEXCLUSIVE, {}};
    e.data.u64 = tag_listener;
    epoll_ctl(loop.epoll_fd, armed ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, loop.setup->listen_fd, &e);
    loop.listener_armed = armed;
}

// ---- libcurl's side ----

curl_socket_entry *find_curl_socket(event_loop &loop, curl_socket_t s) noexcept {
    if (s < 0 || static_cast<std::size_t>(s) >= loop.curl_sockets.size()) return nullptr;
    return &loop.curl_sockets[static_cast<std::size_t>(s)];
}

// Null when there is no room to keep track of it (such a socket is left in
// the set only while libcurl watches it).
curl_socket_entry *track_curl_socket(event_loop &loop, curl_socket_t s) noexcept {
    if (s >= 0 && static_cast<std::size_t>(s) >= loop.curl_sockets.size()) {
        try {
            loop.curl_sockets.resize(static_cast<std::size_t>(s) + 1);
        } catch (const std::bad_alloc &) {
            return nullptr;
        }
    }
    return find_curl_socket(loop, s);
}

// A socket libcurl no longer watches stays in the epoll set: it is a kept
// upstream connection, which the next request takes again, usually waiting
// for the same events (two epoll_ctl a request saved). It leaves the set
// when libcurl closes it, or when something happens on it while it waits.
int on_curl_socket(CURL *, curl_socket_t s, int what, void *userp, void *) noexcept {
    auto &loop = *static_cast<event_loop *>(userp);
    curl_socket_entry *entry = track_curl_socket(loop, s);
    if (what == CURL_POLL_REMOVE) {
        if (entry)
            entry->parked = entry->registered;
        else
            epoll_ctl(loop.epoll_fd, EPOLL_CTL_DEL, s, nullptr);
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
    if (epoll_ctl(loop.epoll_fd, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, s, &e) != 0)
        epoll_ctl(loop.epoll_fd, known ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, s, &e);
    if (entry) *entry = {true, e.events, false};
    return 0;
}

// libcurl closes a socket: the epoll set forgets it with the close.
int on_curl_close(void *userp, curl_socket_t s) noexcept {
    if (curl_socket_entry *entry = find_curl_socket(*static_cast<event_loop *>(userp), s))
        *entry = {};
    return close(s);
}

// An event on a socket: false when libcurl does not watch it (a parked
// one, taken out of the set).
bool curl_watches(event_loop &loop, curl_socket_t s) noexcept {
    curl_socket_entry *entry = find_curl_socket(loop, s);
    if (!entry || !entry->parked) return true;
    epoll_ctl(loop.epoll_fd, EPOLL_CTL_DEL, s, nullptr);
    *entry = {};
    return false;
}

int on_curl_timer(CURLM *, long timeout_ms, void *userp) {
    auto &loop = *static_cast<event_loop *>(userp);
    loop.curl_timer_set = timeout_ms >= 0;
    // Zero (a transfer just added): due at once, run before the next wait.
    loop.curl_timer =
        timeout_ms == 0 ? loop.now : clock_type::now() + std::chrono::milliseconds(timeout_ms);
    return 0;
}

// The relay's sink: the response as stdout records of the current request.
bool write_records(void *target, std::string_view first, std::string_view second) {
    auto &c = *static_cast<connection *>(target);
    if (broken(c)) return false;
    if (pending(c) == 0) c.last_progress = c.loop->now;
    fastcgi::append_stream(c.out, fastcgi::record_type::stdout_stream, c.codec.request_id, first);
    fastcgi::append_stream(c.out, fastcgi::record_type::stdout_stream, c.codec.request_id, second);
    mark_dirty(*c.loop, c);
    return true;
}

// The relay's sink's room: full while the web server has not taken enough
// of what waits.
sink_room records_room(const void *target) {
    const auto &c = *static_cast<const connection *>(target);
    if (broken(c)) return sink_room::gone;
    return pending(c) >= fastcgi_limits::output_buffer ? sink_room::full : sink_room::open;
}

// The body source: the request's stdin records as they arrive.
ssize_t read_stdin_records(void *from, char *buffer, std::size_t n) {
    auto &c = *static_cast<connection *>(from);
    std::string &ahead = c.request.body_ahead;
    if (ahead.empty()) {
        if (broken(c)) return -1;
        return c.request.body_ended ? 0 : body_pending;
    }
    const std::size_t taken = std::min(n, ahead.size());
    std::memcpy(buffer, ahead.data(), taken);
    ahead.erase(0, taken);
    mark_dirty(*c.loop, c); // room for more body: read on
    return static_cast<ssize_t>(taken);
}

// ---- connections ----

void close_connection(event_loop &loop, connection &c, fastcgi::close_reason reason);
void pump_input(event_loop &loop, connection &c);

easy_handle take_handle(event_loop &loop) {
    if (loop.spare_handles.empty()) return easy_handle(curl_easy_init());
    easy_handle h = std::move(loop.spare_handles.back());
    loop.spare_handles.pop_back();
    curl_easy_reset(h.get()); // its connection to the upstream stays in the multi handle
    return h;
}

void give_back_handle(event_loop &loop, easy_handle h, bool reusable) {
    if (reusable && loop.spare_handles.size() < fastcgi_limits::kept_handles)
        loop.spare_handles.push_back(std::move(h));
}

// Drops what the request held once its END_REQUEST is on its way.
void end_request(connection &c, int exit_status) {
    const bool drains =
        !c.codec.keep_connection && c.codec.phase != fastcgi::request_phase::input_done;
    if (drains) {
        c.drain_id = c.codec.request_id;
        c.drain_left = fastcgi_limits::drain_budget;
    }
    fastcgi::end_current_request(c.codec, fastcgi::application_status(exit_status));
    c.out.append(c.codec.replies);
    c.codec.replies.clear();
    c.request = {}; // its transfer has ended already
    move_link(c, c.codec.keep_connection ? fastcgi::link_event::ended_kept
                 : drains                ? fastcgi::link_event::ended_draining
                                         : fastcgi::link_event::ended_closing);
    c.holding = false;
    c.phase_start = c.loop->now;
}

// What the plan holds while its transfer runs: its header lines, in
// libcurl's list, are about as large as the params they came from.
std::size_t plan_size(const request_plan &plan) {
    const auto *request = std::get_if<upstream_request>(&plan.action);
    if (!request) return 0;
    std::size_t size = request->url.capacity();
    for (const curl_slist *line = request->headers.get(); line; line = line->next)
        size += sizeof(curl_slist) + std::strlen(line->data) + 1;
    return size;
}

// The exchange's end, once the stdin has been taken in: what is still to go
// out, then the END_REQUEST. A document answer waits for the end of the
// stdin, as a CGI program takes in the body before it answers (Apache cuts
// the response of one that does not).
void finish_request(connection &c) {
    if (finish_exchange(c.request.x)) end_request(c, c.request.x.status);
}

void start_request(event_loop &loop, connection &c) {
    std::vector<char *> envp;
    std::string &entries = c.codec.environment;
    envp.reserve(static_cast<std::size_t>(std::count(entries.begin(), entries.end(), '\0')) + 1);
    for (std::size_t at = 0; at < entries.size(); at = entries.find('\0', at) + 1)
        envp.push_back(entries.data() + at);
    envp.push_back(nullptr);
    connection::request_fields &r = c.request;
    r.stdin_source = {read_stdin_records, &c, 0, true};
    const exchange_io io{{write_records, &c, records_room}, &r.stdin_source};
    const bool transfer = open_exchange(
        r.x, plan_request(read_cgi_vars(envp.data()), way_in::fastcgi, loop.decoder.get()), io);
    // The plan holds what the transfer needs: the environment goes.
    fastcgi::release_spent(c.codec);
    r.plan_bytes = plan_size(r.x.plan);
    if (!transfer) return finish_request(c);
    r.x.handle = take_handle(loop);
    if (!r.x.handle) {
        end_transfer(r.x, CURLE_FAILED_INIT); // the 502 answer
        return finish_request(c);
    }
    prepare_transfer(r.x);
    CURL *h = r.x.handle.get();
    curl_easy_setopt(h, CURLOPT_PRIVATE, static_cast<void *>(&c));
    curl_easy_setopt(h, CURLOPT_CLOSESOCKETFUNCTION, on_curl_close);
    curl_easy_setopt(h, CURLOPT_CLOSESOCKETDATA, static_cast<void *>(&loop));
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    if (curl_multi_add_handle(loop.multi, h) != CURLM_OK) {
        r.x.handle.reset();
        end_transfer(r.x, CURLE_FAILED_INIT);
        finish_request(c);
    }
}

// The transfer has ended (completed, failed or cut).
void finish_transfer(event_loop &loop, connection &c, CURLcode result) {
    if (const auto failure = upstream_failure(result)) log_event(*loop.setup->log, *failure);
    exchange &x = c.request.x;
    curl_multi_remove_handle(loop.multi, x.handle.get());
    // After a 417 to its Expect, libcurl never sends Expect again on that
    // handle, and curl_easy_reset keeps it so: such a handle is not reused.
    give_back_handle(loop, std::move(x.handle), !x.relay.state.replaceable_seen);
    x.handle.reset();
    mark_dirty(loop, c);
    // A cut answer gets no FCGI_END_REQUEST: the connection closes once what
    // came is written, so that the web server ends the client's response as
    // cut too (no last chunk, or short of its length) instead of complete.
    if (end_transfer(x, result) == transfer_end::cut)
        return move_link(c, fastcgi::link_event::answer_cut);
    finish_request(c);
}

// Cuts the transfer, if one runs: an abort, a close or the stop.
void cut_transfer(event_loop &loop, connection &c) {
    if (!c.request.x.handle) return;
    curl_multi_remove_handle(loop.multi, c.request.x.handle.get());
    c.request.x.handle.reset(); // its upstream connection, cut mid-way, is not kept
}

// Kept between requests with nothing on it: the one test of "idle kept",
// for the cap's room, its listener and the crowd.
bool idle_kept(const connection &c) {
    return c.link == fastcgi::link_state::kept_idle && !c.request.x.handle && pending(c) == 0 &&
           c.codec.input.size() == c.codec.parsed && c.codec.phase == fastcgi::request_phase::idle;
}

// The connection as its policy sees it.
fastcgi::connection_view view_of(const connection &c, bool budget_room = true) {
    return {c.link,
            c.codec.phase,
            c.holding,
            c.watched,
            static_cast<bool>(c.request.x.handle),
            c.codec.input.size() > c.codec.parsed,
            budget_room,
            pending(c),
            c.request.body_ahead.size()};
}

bool may_take_input(const connection &c) {
    return fastcgi::may_take_input(view_of(c));
}

// A record read while draining: the end of the stdin sought, or more of it.
void drain(connection &c, const fastcgi::record &r) {
    if (r.type != fastcgi::record_type::stdin_stream || r.request_id != c.drain_id) return;
    if (r.content.empty() || r.content.size() >= c.drain_left)
        move_link(c, fastcgi::link_event::drained);
    else
        c.drain_left -= r.content.size();
}

// One read for the records the codec needs; false when the connection is
// to be read no more this turn. reads counts the turn's reads.
bool read_records(event_loop &loop, connection &c, int &reads) {
    if (reads++ == fastcgi_limits::reads_per_turn) return false; // epoll tells when there is more
    const std::size_t room = read_allowance(loop, c, fastcgi_limits::read_size);
    if (room == 0) return false; // until the budget has room
    char buffer[fastcgi_limits::read_size];
    const ssize_t n = read(c.fd, buffer, room);
    if (n > 0) {
        c.last_input = loop.now;
        fastcgi::take_input(c.codec, {buffer, static_cast<std::size_t>(n)});
        recharge(loop, c);
        // A short read took all there was: what comes later, epoll reports,
        // so no read is spent on EAGAIN.
        if (static_cast<std::size_t>(n) < room) reads = fastcgi_limits::reads_per_turn;
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        fastcgi::release_spent(c.codec); // it waits: what was taken goes
        return false;
    }
    move_link(c, fastcgi::link_event::gone); // closed by the web server, or failed
    return false;
}

// Reads and takes records while the connection may.
void pump_input(event_loop &loop, connection &c) {
    int reads = 0;
    while (may_take_input(c)) {
        const fastcgi::connection_event e = fastcgi::next_event(c.codec);
        if (!c.codec.replies.empty()) {
            if (pending(c) == 0) c.last_progress = loop.now;
            c.out.append(c.codec.replies);
            c.codec.replies.clear();
        }
        switch (e.kind) {
        case fastcgi::event_kind::need_more:
            if (!read_records(loop, c, reads)) return;
            continue;
        case fastcgi::event_kind::taken:
            if (c.link == fastcgi::link_state::draining) drain(c, e.from);
            continue;
        case fastcgi::event_kind::start:
            if (fastcgi::is_closing(c.link)) { // a request on a connection not kept
                move_link(c, fastcgi::link_event::drained);
                return;
            }
            start_request(loop, c);
            continue;
        case fastcgi::event_kind::body:
            // Only an upload takes the body; otherwise it is dropped.
            if (uploading(c.request.x)) c.request.body_ahead.append(e.data);
            break;
        case fastcgi::event_kind::body_end:
            c.request.body_ended = true;
            break;
        case fastcgi::event_kind::abort:
            cut_transfer(loop, c);
            end_request(c, 0);
            continue;
        case fastcgi::event_kind::hold:
            c.holding = true;
            return;
        case fastcgi::event_kind::close:
            move_link(c,
                      fastcgi::link_event::gone); // the protocol broken: what waits is not written
            return;
        }
        // Body arrived, or its end: a paused upload takes it, or the end
        // that waited for it goes out.
        if (c.request.x.stage == exchange_stage::taking_in)
            finish_request(c);
        else
            resume_upload(c.request.x);
    }
}

void write_output(event_loop &loop, connection &c) {
    while (pending(c) > 0 && !broken(c)) {
        const ssize_t n =
            send(c.fd, c.out.data() + c.out_sent, pending(c), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.out_sent += static_cast<std::size_t>(n);
            c.last_progress = loop.now;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            break;
        } else {
            move_link(c, fastcgi::link_event::gone);
        }
    }
    if (pending(c) == 0) {
        // A long stream keeps little between its events.
        if (c.out.capacity() > 2 * fastcgi_limits::read_size) std::string().swap(c.out);
        c.out.clear();
        c.out_sent = 0;
    } else if (c.out_sent >= pending(c)) {
        c.out.erase(0, c.out_sent);
        c.out_sent = 0;
    }
}

void set_deadline(event_loop &loop, connection &c) {
    if (c.link == fastcgi::link_state::kept_idle &&
        (c.codec.phase != fastcgi::request_phase::idle || c.codec.input.size() > c.codec.parsed)) {
        move_link(c, fastcgi::link_event::next_began);
        c.phase_start = loop.now;
    }
    const fastcgi::deadline_rule rule = fastcgi::deadline_of(view_of(c));
    const bool has = rule.from != fastcgi::deadline_from::none;
    const time_point from = rule.from == fastcgi::deadline_from::last_progress ? c.last_progress
                            : rule.from == fastcgi::deadline_from::last_input  ? c.last_input
                                                                               : c.phase_start;
    const time_point at = from + rule.after;
    c.deadline_reason = rule.reason;
    if (c.has_deadline && has && c.deadline->first == at) return;
    if (c.has_deadline) loop.deadlines.erase(c.deadline);
    c.has_deadline = has;
    if (has) c.deadline = loop.deadlines.emplace(at, &c);
}

// Returns false when the connection cannot be watched.
bool set_interest(event_loop &loop, connection &c) {
    const fastcgi::connection_view v = view_of(c, read_allowance(loop, c, 1) > 0);
    if (!c.watched && fastcgi::awaits_upstream(v) &&
        loop.now < c.phase_start + fastcgi_limits::watch_delay)
        return true;
    const std::uint32_t want = fastcgi::epoll_interest(v);
    if (c.watched && want == c.interest) return true;
    epoll_event e{want, {}};
    e.data.ptr = &c;
    if (epoll_ctl(loop.epoll_fd, c.watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c.fd, &e) != 0)
        return c.watched;
    c.watched = true;
    c.interest = want;
    return true;
}

// Brings a connection up to date after anything happened to it.
void settle(event_loop &loop, connection &c) {
    for (int pass = 0; pass < 2; ++pass) {
        if (c.fd < 0) return;
        write_output(loop, c);
        if (broken(c) ||
            (c.link == fastcgi::link_state::closing && pending(c) == 0 && !c.request.x.handle))
            return close_connection(
                loop, c, broken(c) ? fastcgi::close_reason::gone : fastcgi::close_reason::done);
        resume_download(c.request.x);
        // Records already read: a request held until this one ended, or
        // body that waited for room.
        if (pass == 0 && may_take_input(c) && c.codec.input.size() > c.codec.parsed)
            pump_input(loop, c);
    }
    // Idle and kept: it can make room for a new connection at the cap.
    if (idle_kept(c) && !loop.listener_armed && !loop.stopping && !loop.accept_retry_set)
        arm_listener(loop, true);
    recharge(loop, c);
    if (!set_interest(loop, c))
        return close_connection(loop, c, fastcgi::close_reason::unwatchable);
    set_deadline(loop, c);
    const bool paused = may_take_input(c) && read_allowance(loop, c, 1) == 0;
    if (paused != c.budget_paused) {
        c.budget_paused = paused;
        paused ? ++loop.paused_connections : --loop.paused_connections;
        if (paused) log_event(*loop.setup->log, log_kind::memory_budget);
    }
}

// Room in the budget again: the connections waiting for it are read.
void resume_paused(event_loop &loop) {
    if (loop.paused_connections == 0 || held_by_all(loop) >= fastcgi_limits::memory_budget) return;
    for (const std::unique_ptr<connection> &c : loop.connections)
        if (c->budget_paused) mark_dirty(loop, *c);
}

void settle_dirty(event_loop &loop) {
    for (std::size_t i = 0; i < loop.dirty.size(); ++i) {
        connection &c = *loop.dirty[i];
        c.in_dirty = false;
        settle(loop, c);
    }
    loop.dirty.clear();
}

void close_connection(event_loop &loop, connection &c, fastcgi::close_reason reason) {
    if (c.fd < 0) return;
    if (const auto kind = fastcgi::logged_as(reason)) log_event(*loop.setup->log, *kind);
    cut_transfer(loop, c);
    close(c.fd); // which also takes it out of the epoll set: it is not shared
    c.fd = -1;
    recharge(loop, c);
    if (c.budget_paused) --loop.paused_connections;
    c.budget_paused = false;
    if (c.has_deadline) loop.deadlines.erase(c.deadline);
    c.has_deadline = false;
    // Freed once the turn is over: events of this turn may still name it.
    loop.closed.push_back(std::move(*c.place));
    loop.connections.erase(c.place);
    if (!loop.stopping) arm_listener(loop, true);
}

// Room for one more connection: the oldest idle kept one goes.
bool make_room(event_loop &loop) {
    if (loop.connections.size() < loop.setup->max_connections) return true;
    log_event(*loop.setup->log, log_kind::connection_cap);
    for (const std::unique_ptr<connection> &c : loop.connections)
        if (idle_kept(*c)) {
            close_connection(loop, *c, fastcgi::close_reason::room_at_cap);
            return true;
        }
    return false;
}

// A connection of this loop from now on; it joins the epoll set when it
// is settled.
connection &add_connection(event_loop &loop, int fd) {
    auto owned = std::make_unique<connection>();
    connection &c = *owned;
    c.loop = &loop;
    c.fd = fd;
    c.phase_start = loop.now;
    c.place = loop.connections.insert(loop.connections.end(), std::move(owned));
    return c;
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
                loop.accept_retry_at = loop.now + fastcgi_limits::accept_retry;
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

void on_connection_event(event_loop &loop, connection &c, std::uint32_t events) {
    if (c.fd < 0) return;
    if (events & EPOLLIN) pump_input(loop, c);
    if (c.fd < 0) return;
    // Hung up with nothing left to read: the web server is gone.
    if ((events & (EPOLLERR | EPOLLHUP)) || ((events & EPOLLRDHUP) && !(events & EPOLLIN)))
        move_link(c, fastcgi::link_event::gone);
    mark_dirty(loop, c);
}

void take_done_transfers(event_loop &loop) {
    int left = 0;
    while (CURLMsg *m = curl_multi_info_read(loop.multi, &left)) {
        if (m->msg != CURLMSG_DONE) continue;
        void *owner = nullptr;
        curl_easy_getinfo(m->easy_handle, CURLINFO_PRIVATE, &owner);
        finish_transfer(loop, *static_cast<connection *>(owner), m->data.result);
    }
}

void curl_action(event_loop &loop, curl_socket_t s, int flags) {
    int running = 0;
    curl_multi_socket_action(loop.multi, s, flags, &running);
    take_done_transfers(loop);
}

bool in_flight(const connection &c) {
    return c.request.x.handle || c.codec.phase == fastcgi::request_phase::body ||
           c.codec.phase == fastcgi::request_phase::input_done || pending(c) > 0;
}

// Stop: no new connection, and none that has no request in flight.
void begin_stop(event_loop &loop) {
    loop.stopping = true;
    loop.stop_at = loop.now + fastcgi_limits::stop_grace;
    arm_listener(loop, false);
    epoll_ctl(loop.epoll_fd, EPOLL_CTL_DEL, loop.setup->stop_fd, nullptr);
    std::vector<connection *> all;
    for (const std::unique_ptr<connection> &c : loop.connections)
        all.push_back(c.get());
    for (connection *c : all) {
        if (!in_flight(*c))
            close_connection(loop, *c, fastcgi::close_reason::stopping);
        else
            c->codec.keep_connection = false; // closed once its request has ended
    }
}

int wait_time(const event_loop &loop) {
    time_point next = time_point::max();
    if (!loop.deadlines.empty()) next = loop.deadlines.begin()->first;
    if (loop.curl_timer_set) next = std::min(next, loop.curl_timer);
    if (loop.accept_retry_set) next = std::min(next, loop.accept_retry_at);
    if (loop.stopping) next = std::min(next, loop.stop_at);
    if (loop.paused_connections > 0)
        next = std::min(next, loop.now + fastcgi_limits::budget_recheck);
    if (next == time_point::max()) return -1;
    const auto now = clock_type::now();
    if (next <= now) return 0;
    // Rounded up: waking before the time would only wait again.
    return static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count() + 1);
}

void run_timers(event_loop &loop) {
    while (!loop.deadlines.empty() && loop.deadlines.begin()->first <= loop.now) {
        // An unwatched connection's deadline is when it joins the epoll set.
        connection &c = *loop.deadlines.begin()->second;
        if (c.watched)
            close_connection(loop, c, c.deadline_reason);
        else if (!set_interest(loop, c))
            close_connection(loop, c, fastcgi::close_reason::unwatchable);
        else
            set_deadline(loop, c);
    }
    if (loop.curl_timer_set && loop.curl_timer <= loop.now) {
        loop.curl_timer_set = false;
        curl_action(loop, CURL_SOCKET_TIMEOUT, 0);
    }
    if (loop.accept_retry_set && loop.accept_retry_at <= loop.now && !loop.stopping) {
        loop.accept_retry_set = false;
        arm_listener(loop, true);
    }
}

// A multi handle that this loop's epoll set and timer drive.
CURLM *new_multi(event_loop &loop) {
    CURLM *multi = curl_multi_init();
    if (!multi) return nullptr;
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, on_curl_socket);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, static_cast<void *>(&loop));
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, on_curl_timer);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, static_cast<void *>(&loop));
    curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS,
                      static_cast<long>(fastcgi_limits::upstream_idle_kept));
    return multi;
}

// The idle upstream connections a crowd left each hold libcurl's buffers:
// once no transfer runs, they go with the multi handle, and a fresh one
// takes its place (if none can be had, the old one stays).
bool renew_multi(event_loop &loop) {
    if (std::any_of(loop.connections.begin(), loop.connections.end(),
                    [](const std::unique_ptr<connection> &c) {
                        return static_cast<bool>(c->request.x.handle);
                    }))
        return false;
    CURLM *fresh = new_multi(loop);
    if (!fresh) return false;
    curl_multi_cleanup(loop.multi);
    loop.multi = fresh;
    loop.curl_timer_set = false;
    return true;
}

// After many connections have gone (a crowd of streams ended), the memory
// they used goes back to the system instead of staying in the allocator:
// each time three quarters of them have gone, and once more when the crowd
// is over, only a few connections being left.
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
    if (loop.multi_stale && few_left && renew_multi(loop)) {
        loop.multi_stale = false;
        trim = true;
    }
    if (!trim) return;
    loop.spare_handles.clear(); // each holds its buffers
    malloc_trim(0);
    loop.peak_connections = now;
}

void serve(event_loop &loop) {
    constexpr int batch = 64;
    epoll_event events[batch];
    for (;;) {
        if (loop.stopping && (loop.connections.empty() || loop.now >= loop.stop_at)) {
            // The grace is over: what is still in progress is cut off.
            loop.setup->log->cut_off += static_cast<std::size_t>(
                std::count_if(loop.connections.begin(), loop.connections.end(),
                              [](const std::unique_ptr<connection> &c) { return in_flight(*c); }));
            return;
        }
        const int n = epoll_wait(loop.epoll_fd, events, batch, wait_time(loop));
        if (n < 0 && errno != EINTR) return;
        loop.now = clock_type::now();
        for (int i = 0; i < n; ++i) {
            const std::uint64_t data = events[i].data.u64;
            const std::uint32_t what = events[i].events;
            if ((data & 3) == tag_curl) {
                const auto s = static_cast<curl_socket_t>(data >> 2);
                if (!curl_watches(loop, s)) continue;
                int flags = 0;
                if (what & EPOLLIN) flags |= CURL_CSELECT_IN;
                if (what & EPOLLOUT) flags |= CURL_CSELECT_OUT;
                if (what & (EPOLLERR | EPOLLHUP)) flags |= CURL_CSELECT_ERR;
                curl_action(loop, s, flags);
            } else if (data == tag_listener) {
                if (!loop.stopping) accept_connections(loop);
            } else if (data == tag_stop) {
                if (!loop.stopping) begin_stop(loop);
            } else {
                on_connection_event(loop, *static_cast<connection *>(events[i].data.ptr), what);
            }
        }
        run_timers(loop);
        resume_paused(loop);
        settle_dirty(loop);
        // Transfers added while settling start now rather than after an
        // epoll_wait that returns at once.
        for (int round = 0; round < 4 && loop.curl_timer_set && loop.curl_timer <= loop.now;
             ++round) {
            loop.curl_timer_set = false;
            curl_action(loop, CURL_SOCKET_TIMEOUT, 0);
            settle_dirty(loop);
        }
        loop.closed.clear();
        give_back_memory(loop);
    }
}

} // namespace

void run_event_loop(const loop_setup &setup) noexcept {
    event_loop loop;
    loop.setup = &setup;
    loop.now = clock_type::now();
    loop.epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    loop.multi = new_multi(loop);
    loop.decoder.reset(curl_easy_init()); // without one, each request makes its own
    if (loop.epoll_fd < 0 || !loop.multi) {
        if (loop.epoll_fd >= 0) close(loop.epoll_fd);
        if (loop.multi) curl_multi_cleanup(loop.multi);
        return;
    }
    epoll_event on_stop{EPOLLIN, {}};
    on_stop.data.u64 = tag_stop;
    epoll_ctl(loop.epoll_fd, EPOLL_CTL_ADD, setup.stop_fd, &on_stop);
    arm_listener(loop, true);
    try {
        serve(loop);
    } catch (...) {
        // Out of memory: what is open is closed below.
    }
    while (!loop.connections.empty())
        close_connection(loop, *loop.connections.front(), fastcgi::close_reason::loop_end);
    loop.closed.clear();
    loop.spare_handles.clear();
    loop.decoder.reset();
    curl_multi_cleanup(loop.multi);
    close(loop.epoll_fd);
}

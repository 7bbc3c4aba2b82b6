#include "event_loop.hpp"

#include "limits.hpp"
#include "log.hpp"
#include "loop.hpp"
#include "request/translate.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/epoll.h>
#include <unistd.h>
#include <variant>
#include <vector>

namespace fastcgi {

namespace {

// The relay's sink: the response as stdout records of the current request.
bool write_records(void *target, std::string_view first, std::string_view second) {
    auto &c = *static_cast<connection *>(target);
    if (broken(c)) return false;
    if (pending(c) == 0) c.last_progress = c.loop->io.now;
    append_stream(c.out, record_type::stdout_stream, c.codec.request_id, first);
    append_stream(c.out, record_type::stdout_stream, c.codec.request_id, second);
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

easy_handle take_handle(event_loop &loop) {
    if (loop.spare_handles.empty()) return easy_handle(curl_easy_init());
    easy_handle h = std::move(loop.spare_handles.back());
    loop.spare_handles.pop_back();
    curl_easy_reset(h.get()); // its connection to the upstream stays in the multi handle
    return h;
}

void give_back_handle(event_loop &loop, easy_handle h, bool reusable) {
    if (reusable && loop.spare_handles.size() < fastcgi_limits::spare_handles)
        loop.spare_handles.push_back(std::move(h));
}

// Drops what the request held once its END_REQUEST is on its way.
void end_request(connection &c, int exit_status) {
    const bool drains = !c.codec.keep_connection && c.codec.phase != request_phase::input_done;
    if (drains) {
        c.drain_id = c.codec.request_id;
        c.drain_left = fastcgi_limits::drain_budget;
    }
    end_current_request(c.codec, application_status(exit_status));
    c.out.append(c.codec.replies);
    c.codec.replies.clear();
    c.request = {}; // its transfer has ended already
    move_link(c, c.codec.keep_connection ? link_event::ended_kept
                 : drains                ? link_event::ended_draining
                                         : link_event::ended_closing);
    c.holding = false;
    c.phase_start = c.loop->io.now;
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
    release_spent(c.codec);
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
    curl_easy_setopt(h, CURLOPT_CLOSESOCKETDATA, static_cast<void *>(&loop.io));
    if (curl_multi_add_handle(loop.io.multi, h) != CURLM_OK) {
        r.x.handle.reset();
        end_transfer(r.x, CURLE_FAILED_INIT);
        finish_request(c);
    }
}

// The transfer has ended (completed, failed or cut).
void finish_transfer(event_loop &loop, connection &c, CURLcode result) {
    if (const auto failure = upstream_failure(result)) log_event(*loop.setup->log, *failure);
    exchange &x = c.request.x;
    curl_multi_remove_handle(loop.io.multi, x.handle.get());
    // After a 417 to its Expect, libcurl never sends Expect again on that
    // handle, and curl_easy_reset keeps it so: such a handle is not reused.
    give_back_handle(loop, std::move(x.handle), !x.relay.state.replaceable_seen);
    mark_dirty(loop, c);
    // A cut answer gets no FCGI_END_REQUEST: the connection closes once what
    // came is written, so that the web server ends the client's response as
    // cut too (no last chunk, or short of its length) instead of complete.
    if (end_transfer(x, result) == transfer_end::cut) return move_link(c, link_event::answer_cut);
    finish_request(c);
}

void on_transfer_done(void *user, CURL *handle, CURLcode result) {
    void *owner = nullptr;
    curl_easy_getinfo(handle, CURLINFO_PRIVATE, &owner);
    finish_transfer(*static_cast<event_loop *>(user), *static_cast<connection *>(owner), result);
}

void dispatch(event_loop &loop, const epoll_event &e) {
    const std::uint64_t data = e.data.u64;
    if ((data & 3) == tag_curl) {
        on_curl_event(loop.io, data, e.events);
    } else if (data == tag_listener) {
        if (!loop.stopping) accept_connections(loop);
    } else if (data == tag_stop) {
        if (!loop.stopping) begin_stop(loop);
    } else {
        on_connection_event(loop, *static_cast<connection *>(e.data.ptr), e.events);
    }
}

// Before the wait: every connection something happened to is brought up
// to date, and transfers added meanwhile start now rather than after an
// epoll_wait that returns at once.
void before_sleep(event_loop &loop) {
    resume_paused(loop);
    settle_dirty(loop);
    for (int round = 0; round < 4 && run_curl_timer(loop.io); ++round)
        settle_dirty(loop);
    loop.closed.clear();
    give_back_memory(loop);
}

void serve(event_loop &loop) {
    constexpr int batch = 64;
    epoll_event events[batch];
    for (;;) {
        if (loop.stopping && (loop.connections.empty() || loop.io.now >= loop.stop_at)) {
            // The grace is over: what is still in progress is cut off.
            loop.setup->log->cut_off += static_cast<std::size_t>(
                std::count_if(loop.connections.begin(), loop.connections.end(),
                              [](const std::unique_ptr<connection> &c) { return in_flight(*c); }));
            return;
        }
        const int n =
            epoll_wait(loop.io.epoll_fd, events, batch, wait_time(loop.io, next_wake(loop)));
        if (n < 0 && errno != EINTR) return;
        loop.io.now = clock_type::now();
        for (int i = 0; i < n; ++i)
            dispatch(loop, events[i]);
        run_timers(loop);
        before_sleep(loop);
    }
}

} // namespace

// Cuts the transfer, if one runs: an abort, a close or the stop.
void cut_transfer(event_loop &loop, connection &c) {
    if (!c.request.x.handle) return;
    curl_multi_remove_handle(loop.io.multi, c.request.x.handle.get());
    c.request.x.handle.reset(); // its upstream connection, cut mid-way, is not kept
}

// Reads and takes records while the connection may.
void pump_input(event_loop &loop, connection &c) {
    int reads = 0;
    while (may_take_input(c)) {
        const connection_event e = next_event(c.codec);
        if (!c.codec.replies.empty()) {
            if (pending(c) == 0) c.last_progress = loop.io.now;
            c.out.append(c.codec.replies);
            c.codec.replies.clear();
        }
        switch (e.kind) {
        case event_kind::need_more:
            if (!read_records(loop, c, reads)) return;
            continue;
        case event_kind::taken:
            if (c.link == link_state::draining) drain(c, e.from);
            continue;
        case event_kind::start:
            if (is_closing(c.link)) { // a request on a connection not kept
                move_link(c, link_event::drained);
                return;
            }
            start_request(loop, c);
            continue;
        case event_kind::body:
            // Only an upload takes the body; otherwise it is dropped.
            if (uploading(c.request.x)) c.request.body_ahead.append(e.data);
            break;
        case event_kind::body_end:
            c.request.body_ended = true;
            break;
        case event_kind::abort:
            cut_transfer(loop, c);
            end_request(c, 0);
            continue;
        case event_kind::hold:
            c.holding = true;
            return;
        case event_kind::close:
            move_link(c,
                      link_event::gone); // the protocol broken: what waits is not written
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

} // namespace fastcgi

void run_event_loop(const loop_setup &setup) noexcept {
    using namespace fastcgi;
    event_loop loop;
    loop.setup = &setup;
    loop.io.on_done = on_transfer_done;
    loop.io.done_user = &loop;
    if (!open_reactor(loop.io)) return;
    loop.decoder.reset(curl_easy_init()); // without one, each request makes its own
    epoll_event on_stop{EPOLLIN, {}};
    on_stop.data.u64 = tag_stop;
    epoll_ctl(loop.io.epoll_fd, EPOLL_CTL_ADD, setup.stop_fd, &on_stop);
    arm_listener(loop, true);
    try {
        serve(loop);
    } catch (...) {
        // Out of memory: what is open is closed below.
    }
    while (!loop.connections.empty())
        close_connection(loop, *loop.connections.front(), close_reason::loop_end);
    loop.closed.clear();
    loop.spare_handles.clear();
    loop.decoder.reset();
    close_reactor(loop.io);
}

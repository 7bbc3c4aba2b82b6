#include "loop.hpp"

#include "limits.hpp"
#include "log.hpp"

#include <cerrno>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fastcgi {

namespace {

// What a connection holds of what the memory budget counts: its params
// (and the header lines made from them), body read ahead and output.
std::size_t holding(const connection &c) {
    if (c.fd < 0) return 0;
    const connection_state &codec = c.codec;
    return codec.input.capacity() + codec.params.capacity() + codec.environment.capacity() +
           codec.replies.capacity() + c.out.capacity() + c.request.body_ahead.capacity() +
           c.request.plan_bytes;
}

// How much may be read from the connection now, up to wanted.
std::size_t read_allowance(const event_loop &loop, const connection &c, std::size_t wanted) {
    return read_allowance(c.codec.phase, c.charged, held_by_all(loop), wanted);
}

// The connection as its policy sees it.
connection_view view_of(const connection &c, bool budget_room = true) {
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

void write_output(event_loop &loop, connection &c) {
    while (pending(c) > 0 && !broken(c)) {
        const ssize_t n =
            send(c.fd, c.out.data() + c.out_sent, pending(c), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            c.out_sent += static_cast<std::size_t>(n);
            c.last_progress = loop.io.now;
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            break;
        } else {
            move_link(c, link_event::gone);
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

// Brings a connection up to date after anything happened to it.
void settle(event_loop &loop, connection &c) {
    for (int pass = 0; pass < 2; ++pass) {
        if (c.fd < 0) return;
        write_output(loop, c);
        if (broken(c) || (c.link == link_state::closing && pending(c) == 0 && !c.request.x.handle))
            return close_connection(loop, c, broken(c) ? close_reason::gone : close_reason::done);
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
    if (!set_interest(loop, c)) return close_connection(loop, c, close_reason::unwatchable);
    set_deadline(loop, c);
    const bool paused = may_take_input(c) && read_allowance(loop, c, 1) == 0;
    if (paused != c.budget_paused) {
        c.budget_paused = paused;
        paused ? ++loop.paused_connections : --loop.paused_connections;
        if (paused) log_event(*loop.setup->log, log_kind::memory_budget);
    }
}

} // namespace

void mark_dirty(event_loop &loop, connection &c) {
    if (c.in_dirty) return;
    c.in_dirty = true;
    loop.dirty.push_back(&c);
}

void move_link(connection &c, link_event e) {
    c.link = next_link(c.link, e);
}

bool broken(const connection &c) {
    return c.link == link_state::broken;
}

std::size_t pending(const connection &c) {
    return c.out.size() - c.out_sent;
}

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

bool idle_kept(const connection &c) {
    return c.link == link_state::kept_idle && !c.request.x.handle && pending(c) == 0 &&
           c.codec.input.size() == c.codec.parsed && c.codec.phase == request_phase::idle;
}

bool may_take_input(const connection &c) {
    return may_take_input(view_of(c));
}

bool read_records(event_loop &loop, connection &c, int &reads) {
    if (reads++ == fastcgi_limits::reads_per_turn) return false; // epoll tells when there is more
    const std::size_t room = read_allowance(loop, c, fastcgi_limits::read_size);
    if (room == 0) return false; // until the budget has room
    char buffer[fastcgi_limits::read_size];
    const ssize_t n = read(c.fd, buffer, room);
    if (n > 0) {
        c.last_input = loop.io.now;
        take_input(c.codec, {buffer, static_cast<std::size_t>(n)});
        recharge(loop, c);
        // A short read took all there was: what comes later, epoll reports,
        // so no read is spent on EAGAIN.
        if (static_cast<std::size_t>(n) < room) reads = fastcgi_limits::reads_per_turn;
        return true;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        release_spent(c.codec); // it waits: what was taken goes
        return false;
    }
    move_link(c, link_event::gone); // closed by the web server, or failed
    return false;
}

void drain(connection &c, const record &r) {
    if (r.type != record_type::stdin_stream || r.request_id != c.drain_id) return;
    if (r.content.empty() || r.content.size() >= c.drain_left)
        move_link(c, link_event::drained);
    else
        c.drain_left -= r.content.size();
}

void set_deadline(event_loop &loop, connection &c) {
    if (c.link == link_state::kept_idle &&
        (c.codec.phase != request_phase::idle || c.codec.input.size() > c.codec.parsed)) {
        move_link(c, link_event::next_began);
        c.phase_start = loop.io.now;
    }
    const deadline_rule rule = deadline_of(view_of(c));
    const bool has = rule.from != deadline_from::none;
    const time_point from = rule.from == deadline_from::last_progress ? c.last_progress
                            : rule.from == deadline_from::last_input  ? c.last_input
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
    const connection_view v = view_of(c, read_allowance(loop, c, 1) > 0);
    if (!c.watched && awaits_upstream(v) &&
        loop.io.now < c.phase_start + fastcgi_limits::watch_delay)
        return true;
    const std::uint32_t want = epoll_interest(v);
    if (c.watched && want == c.interest) return true;
    epoll_event e{want, {}};
    e.data.ptr = &c;
    if (epoll_ctl(loop.io.epoll_fd, c.watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c.fd, &e) != 0)
        return c.watched;
    c.watched = true;
    c.interest = want;
    return true;
}

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

void close_connection(event_loop &loop, connection &c, close_reason reason) {
    if (c.fd < 0) return;
    if (const auto kind = logged_as(reason)) log_event(*loop.setup->log, *kind);
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

// A connection of this loop from now on; it joins the epoll set when it
// is settled.
connection &add_connection(event_loop &loop, int fd) {
    auto owned = std::make_unique<connection>();
    connection &c = *owned;
    c.loop = &loop;
    c.fd = fd;
    c.phase_start = loop.io.now;
    c.place = loop.connections.insert(loop.connections.end(), std::move(owned));
    return c;
}

void on_connection_event(event_loop &loop, connection &c, std::uint32_t events) {
    if (c.fd < 0) return;
    if (events & EPOLLIN) pump_input(loop, c);
    if (c.fd < 0) return;
    // Hung up with nothing left to read: the web server is gone.
    if ((events & (EPOLLERR | EPOLLHUP)) || ((events & EPOLLRDHUP) && !(events & EPOLLIN)))
        move_link(c, link_event::gone);
    mark_dirty(loop, c);
}

} // namespace fastcgi

#include "connection_policy.hpp"

#include <sys/epoll.h>

#include <utility>

namespace fastcgi {

link_state next_link(link_state state, link_event event) noexcept {
    if (state == link_state::broken || event == link_event::gone) return link_state::broken;
    if (state == link_state::closing) return state; // only the close is ahead
    switch (event) {
    case link_event::ended_kept:
        return link_state::kept_idle;
    case link_event::ended_draining:
        return link_state::draining;
    case link_event::ended_closing:
    case link_event::answer_cut:
        return link_state::closing;
    case link_event::next_began:
        return state == link_state::kept_idle ? link_state::open : state;
    case link_event::drained:
        return state == link_state::draining ? link_state::closing : state;
    case link_event::gone:
        break;
    }
    return state;
}

std::optional<log_kind> logged_as(close_reason reason) noexcept {
    // The cap is logged when it is reached, closing one or not.
    constexpr std::pair<close_reason, log_kind> logged[] = {
        {close_reason::params_time, log_kind::params_time},
        {close_reason::body_stall, log_kind::body_stall},
        {close_reason::write_stall, log_kind::write_stall},
    };
    for (const auto &[closed, kind] : logged)
        if (closed == reason) return kind;
    return {};
}

bool may_take_input(const connection_view &c) noexcept {
    return !c.holding && takes_records(c.link) && c.body_ahead < fastcgi_limits::body_ahead &&
           c.output_waiting < fastcgi_limits::output_buffer;
}

bool awaits_upstream(const connection_view &c) noexcept {
    return c.transfer && c.phase == request_phase::input_done && c.output_waiting == 0 &&
           !c.unread_records;
}

std::uint32_t epoll_interest(const connection_view &c) noexcept {
    std::uint32_t want = EPOLLRDHUP;
    if (may_take_input(c) && c.budget_room) want |= EPOLLIN;
    if (c.output_waiting > 0) want |= EPOLLOUT;
    return want;
}

deadline_rule deadline_of(const connection_view &c) noexcept {
    using namespace fastcgi_limits;
    if (c.output_waiting > 0)
        return {deadline_from::last_progress, write_stall, close_reason::write_stall};
    if (c.phase == request_phase::body && c.body_ahead == 0) // the body is awaited
        return {deadline_from::last_input, body_stall, close_reason::body_stall};
    if (!c.watched) return {deadline_from::phase_start, watch_delay, close_reason::unwatchable};
    if (c.transfer || c.phase == request_phase::body || c.phase == request_phase::input_done)
        return {}; // the upstream's answer is awaited, or the body is ahead
    // No request yet, or its params are coming: the params limit.
    if (c.link == link_state::kept_idle)
        return {deadline_from::phase_start, kept_idle, close_reason::kept_idle};
    return {deadline_from::phase_start, params_read, close_reason::params_time};
}

} // namespace fastcgi

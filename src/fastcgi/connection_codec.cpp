#include "connection_codec.hpp"

#include "limits.hpp"

#include <algorithm>

namespace fastcgi {

namespace {

constexpr std::string_view max_conns_name = "FCGI_MAX_CONNS";
constexpr std::string_view max_reqs_name = "FCGI_MAX_REQS";
constexpr std::string_view mpxs_conns_name = "FCGI_MPXS_CONNS";

void remember_ended(connection_state &st, std::uint16_t id) {
    std::copy_backward(std::begin(st.ended_early), std::end(st.ended_early) - 1,
                       std::end(st.ended_early));
    st.ended_early[0] = id;
}

connection_event taken(const record &r) {
    return {event_kind::taken, {}, r};
}

// FCGI_GET_VALUES_RESULT for the names asked about that the server knows.
// false when the query is malformed or names a variable twice.
bool answer_get_values(connection_state &st, std::string_view query) {
    std::string result;
    bool seen[3] = {false, false, false};
    const std::string connections = std::to_string(fastcgi_limits::max_connections);
    while (!query.empty()) {
        const pair_result pair = split_pair(query);
        if (pair.status != pair_status::complete) return false;
        query.remove_prefix(pair.used);
        const std::string_view name = pair.pair.name;
        const std::string_view names[3] = {max_conns_name, max_reqs_name, mpxs_conns_name};
        const auto known = std::find(std::begin(names), std::end(names), name) - names;
        if (known == 3) continue;
        if (seen[known]) return false;
        seen[known] = true;
        // One request per connection: as many requests as connections.
        append_pair(result, name, known == 2 ? std::string_view("0") : connections);
    }
    append_record(st.replies, record_type::get_values_result, 0, result);
    return true;
}

// Whether a pair can be an environment entry: not a name with "=" or a
// zero byte, nor a value with a zero byte (such pairs are left out).
bool fits_environment(const name_value &pair) {
    return !pair.name.empty() && pair.name.find('=') == pair.name.npos &&
           pair.name.find('\0') == pair.name.npos && pair.value.find('\0') == pair.value.npos;
}

// Room for `more` bytes, growing by a quarter at least rather than by
// doubling (as appending would): what grows here is held while the params
// come, and counts in the memory budget.
void make_room(std::string &text, std::size_t more) {
    const std::size_t need = text.size() + more;
    if (need <= text.capacity()) return;
    std::string grown;
    grown.reserve(std::max(need, text.size() + text.size() / 4));
    grown.append(text);
    text.swap(grown);
}

// Takes the complete pairs at the front of rest into the environment,
// leaving rest at the first unfinished one. False when the params break a
// limit: one pair too many, or a pair announced beyond what the size limit
// leaves (the rest of it is not waited for).
bool take_pairs(connection_state &st, std::string_view &rest) {
    for (;;) {
        const pair_result pair = split_pair(rest);
        if (pair.status == pair_status::end) return true;
        if (pair.status == pair_status::truncated) {
            // Both lengths in: the whole pair must fit the limit.
            const pair_result lengths = split_pair_lengths(rest);
            return lengths.status != pair_status::complete ||
                   lengths.used <= fastcgi_limits::max_params_bytes - st.params_taken;
        }
        if (++st.params_count > fastcgi_limits::max_params_count) return false;
        if (fits_environment(pair.pair))
            st.environment.append(pair.pair.name)
                .append(1, '=')
                .append(pair.pair.value)
                .push_back('\0');
        st.params_taken += pair.used;
        rest.remove_prefix(pair.used);
    }
}

// Bytes an unfinished pair still lacks: up to its announced end once both
// lengths are in, else one more byte of the lengths.
std::size_t still_lacking(std::string_view unfinished) {
    const pair_result lengths = split_pair_lengths(unfinished);
    return lengths.status == pair_status::complete ? lengths.used - unfinished.size() : 1;
}

// Takes one params record's content. Its complete pairs go into the
// environment at once, so that the params are never held twice; an
// unfinished one waits in `params`, and takes from the next records only
// its own bytes.
bool take_params(connection_state &st, std::string_view content) {
    if (content.size() > fastcgi_limits::max_params_bytes - st.params_taken - st.params.size())
        return false;
    // An entry is never longer than its pair: "=" and the zero byte take
    // the place of the two lengths.
    make_room(st.environment, st.params.size() + content.size());
    while (!st.params.empty() && !content.empty()) {
        const std::size_t n = std::min(content.size(), still_lacking(st.params));
        make_room(st.params, n);
        st.params.append(content.substr(0, n));
        content.remove_prefix(n);
        std::string_view unfinished = st.params;
        if (!take_pairs(st, unfinished)) return false;
        st.params.erase(0, st.params.size() - unfinished.size());
    }
    if (st.params.empty()) {
        if (!take_pairs(st, content)) return false;
        if (st.params.capacity() > fastcgi_limits::params_reserve) std::string().swap(st.params);
        st.params.assign(content);
    }
    return true;
}

connection_event begin(connection_state &st, const record &r) {
    begin_body body;
    if (!parse_begin_body(r.content, body)) return {event_kind::close, {}, {}};
    if (body.role != responder_role) {
        append_end_request(st.replies, r.request_id, 0, unknown_role);
        remember_ended(st, r.request_id);
        return taken(r);
    }
    st.phase = request_phase::params;
    st.request_id = r.request_id;
    st.keep_connection = (body.flags & keep_connection_flag) != 0;
    st.params.clear();
    st.environment.clear();
    st.params_taken = st.params_count = 0;
    return taken(r);
}

connection_event management(connection_state &st, const record &r) {
    if (r.type != record_type::get_values) {
        append_unknown_type(st.replies, r.type);
        return taken(r);
    }
    if (!answer_get_values(st, r.content)) return {event_kind::close, {}, {}};
    return taken(r);
}

// A record of the current request.
connection_event current(connection_state &st, const record &r) {
    const connection_event close{event_kind::close, {}, {}};
    switch (r.type) {
    case record_type::abort_request:
        return {event_kind::abort, {}, r};
    case record_type::params:
        if (st.phase != request_phase::params) return close;
        if (!r.content.empty()) return take_params(st, r.content) ? taken(r) : close;
        if (!st.params.empty()) return close; // a pair cut short
        st.params.shrink_to_fit();
        st.params_taken = st.params_count = 0;
        st.phase = request_phase::body;
        return {event_kind::start, {}, r};
    case record_type::stdin_stream:
        if (st.phase != request_phase::body) return close;
        if (!r.content.empty()) return {event_kind::body, r.content, r};
        st.phase = request_phase::input_done;
        return {event_kind::body_end, {}, r};
    case record_type::data_stream: // a filter's second stream: not for a responder
        return taken(r);
    default:
        return close; // a second FCGI_BEGIN_REQUEST for it
    }
}

} // namespace

void take_input(connection_state &st, std::string_view bytes) {
    // What was taken goes, once it is the larger part.
    if (st.parsed > 0 && st.parsed >= st.input.size() - st.parsed) {
        st.input.erase(0, st.parsed);
        st.parsed = 0;
    }
    st.input.append(bytes);
}

connection_event next_event(connection_state &st) {
    const std::string_view rest = std::string_view(st.input).substr(st.parsed);
    const split_result split = split_record(rest);
    if (split.status == split_status::bad_version) return {event_kind::close, {}, {}};
    if (split.status == split_status::need_more) return {};
    const record &r = split.found;

    const bool known_type = r.type == record_type::begin_request ||
                            r.type == record_type::abort_request || r.type == record_type::params ||
                            r.type == record_type::stdin_stream ||
                            r.type == record_type::data_stream;
    const bool active = st.phase != request_phase::idle;
    // A request following one whose input is complete waits its turn
    // (pipelining); one that interleaves with it is refused (multiplexing).
    if (r.request_id != 0 && r.type == record_type::begin_request &&
        st.phase == request_phase::input_done)
        return {event_kind::hold, {}, {}};
    st.parsed += split.used;
    if (r.request_id == 0) return management(st, r);
    if (!known_type) {
        append_unknown_type(st.replies, r.type);
        return taken(r);
    }
    if (active && r.request_id == st.request_id) return current(st, r);
    if (r.type != record_type::begin_request) {
        // The rest of a request that was refused or ended is ignored, as
        // is an abort that crossed the end; params or stdin of a request
        // never begun break the protocol.
        if (r.type == record_type::abort_request || r.type == record_type::data_stream ||
            std::find(std::begin(st.ended_early), std::end(st.ended_early), r.request_id) !=
                std::end(st.ended_early))
            return taken(r);
        return {event_kind::close, {}, {}};
    }
    if (active) {
        append_end_request(st.replies, r.request_id, 0, cant_mpx_conn);
        remember_ended(st, r.request_id);
        return taken(r);
    }
    return begin(st, r);
}

std::size_t read_allowance(request_phase phase, std::size_t held_here, std::size_t held_by_all,
                           std::size_t wanted) {
    if (phase == request_phase::body || phase == request_phase::input_done) return wanted;
    std::size_t room = 0;
    if (held_by_all < fastcgi_limits::memory_budget)
        room = fastcgi_limits::memory_budget - held_by_all;
    if (held_here < fastcgi_limits::params_reserve)
        room = std::max(room, fastcgi_limits::params_reserve - held_here);
    return std::min(room, wanted);
}

void release_spent(connection_state &st) {
    if (st.parsed == st.input.size()) {
        st.parsed = 0;
        st.input.clear();
    }
    if (st.input.capacity() > fastcgi_limits::params_reserve && st.input.empty())
        st.input.shrink_to_fit();
    if (st.phase != request_phase::params) {
        st.environment.clear();
        if (st.environment.capacity() > fastcgi_limits::params_reserve)
            st.environment.shrink_to_fit();
    }
}

void end_current_request(connection_state &st, std::uint32_t app_status) {
    append_end_request(st.replies, st.request_id, app_status, request_complete);
    if (st.phase != request_phase::input_done) remember_ended(st, st.request_id);
    st.phase = request_phase::idle;
    st.params.clear();
    st.params.shrink_to_fit(); // an unfinished pair of an aborted request's params
    release_spent(st);
}

} // namespace fastcgi

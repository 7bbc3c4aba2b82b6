// One connection from the web server as the FastCGI protocol sees it: the
// bytes read so far, the request they belong to, and the answers owed for
// records that need no upstream (management records, refused requests).
// Pure: the server reads and writes; this decides what each record means.
#pragma once

#include "limits.hpp"
#include "record_codec.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace fastcgi {

enum class request_phase {
    idle,       // no request on the connection
    params,     // FCGI_BEGIN_REQUEST came; params until their empty record
    body,       // params complete; stdin until its empty record
    input_done, // all of the request came; its response is being made
};

struct connection_state {
    std::string input; // bytes read, from `parsed` on not yet taken
    std::size_t parsed = 0;
    request_phase phase = request_phase::idle;
    std::uint16_t request_id = 0; // the current request, when not idle
    bool keep_connection = false; // the web server keeps the connection after it
    // Its params, as they come: each pair that is complete goes into the
    // environment ("NAME=value" entries, each ended by a zero byte), whole
    // once the params are; only the bytes of a pair still unfinished wait.
    std::string params;           // the unfinished pair's bytes so far
    std::size_t params_taken = 0; // bytes of the pairs taken, against their limit
    std::size_t params_count = 0; // pairs taken
    std::string environment;
    // Requests refused or ended before all their records came: the rest of
    // theirs is ignored. The most recent few.
    std::uint16_t ended_early[fastcgi_limits::ended_early_remembered] = {};
    std::string replies; // records to send, in order, ahead of anything later
};

enum class event_kind {
    need_more, // read more bytes
    taken,     // a record was taken; nothing for the server to do (see replies)
    start,     // the params are complete: serve the request (environment)
    body,      // stdin data of the current request (data)
    body_end,  // the current request's stdin has ended
    abort,     // the web server aborted the current request: end it
    hold,      // the next request is waiting until the current one has ended
    close,     // the bytes break the protocol or a limit: close the connection
};

struct connection_event {
    event_kind kind = event_kind::need_more;
    std::string_view data; // valid until the next call on the state
    record from;           // the record taken, for every kind but need_more, hold and close
};

// Adds bytes read from the connection.
void take_input(connection_state &state, std::string_view bytes);

// Takes the next record of the input, if it is complete.
connection_event next_event(connection_state &state);

// The current request has ended: its FCGI_END_REQUEST is appended to the
// replies. Afterwards the connection is idle; the caller closes it when
// keep_connection was not set.
void end_current_request(connection_state &state, std::uint32_t app_status);

// The bytes a connection may read now: `wanted`, or fewer near the memory
// budget. Once its params are complete a request is served on (its body
// and output have limits of their own); until then a connection reads only
// while all of them together (held_by_all) hold less than the budget, or
// while it holds (held_here) less than its reserve.
std::size_t read_allowance(request_phase phase, std::size_t held_here, std::size_t held_by_all,
                           std::size_t wanted);

// What the connection holds beyond what it needs while it waits: input
// already taken, and the environment once the request has been made from
// it. Small buffers stay for the next request.
void release_spent(connection_state &state);

// An exit status as FastCGI's application status: the status a process
// exiting with it reports (-1 gives 255).
constexpr std::uint32_t application_status(int exit_status) {
    return static_cast<std::uint32_t>(exit_status) & 0xff;
}

} // namespace fastcgi

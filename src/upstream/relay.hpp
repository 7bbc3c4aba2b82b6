// Relays the upstream response to the web server as the CGI response.
#pragma once

#include "response_form.hpp"

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

// Where the response stands, as seen through the chunks libcurl delivers.
// Header lines are gathered per section; a section goes out at its blank
// line, or, when libcurl may still replace it, with the first body bytes or
// at the end of the transfer. Every move between phases is made in relay.cpp
// by enter(), which lists them.
enum class relay_phase {
    awaiting,  // no section open: before the first one, or after an interim one
    gathering, // a section's header lines are being gathered
    held,      // a complete 417 section waits: libcurl may retry and replace it
    body,      // the final section is out: body bytes pass, header lines are trailers
};

// What the section being gathered is, from its status code.
enum class section_kind {
    interim,     // 1xx: more sections follow
    replaceable, // 417: libcurl may answer it with a retry and a new section
    final,
};

// How the answer goes back to the web server.
struct response_rules {
    response_form form = response_form::passthrough;
    bool rename_location = false; // a 200's Location goes as renamed_location_field
    bool mounted = false;         // a mount request: URLs lead back through the mount
    std::string mount_prefix;     // SCRIPT_NAME: where the upstream is mounted
    std::string mount_origin;     // the client's "scheme://host"
};

struct relay_state {
    response_rules rules; // as the plan set them
    relay_phase phase = relay_phase::awaiting;
    section_kind kind = section_kind::final;
    bool written = false;          // a status line, or the body, went out
    bool replaceable_seen = false; // a 417 section came in this response
    std::string section;           // header text not yet written
};

// "Status:", up to four bytes of the status code, and a blank.
using status_buffer = std::array<char, 7 + 4 + 1>;

// The Status block for an upstream status line of version HTTP/1.0, or empty.
std::string_view status_block(std::string_view chunk, status_buffer &buffer);

// What goes out for one chunk: header text first (a view into the state),
// then the chunk itself (empty when it does not go out as it is).
struct relay_output {
    std::string_view head;
    std::string_view chunk;
};

// Takes one chunk as libcurl delivers it. Once the output is written, the
// caller calls relay_written. May throw std::bad_alloc.
relay_output plan_chunk(relay_state &state, std::string_view chunk, bool is_header);

// What is still to go out when the transfer has ended: a held section, the
// lines of a cut section (passthrough), or the 502 answer when no response
// came (document).
std::string_view plan_finish(relay_state &state);

// The output of plan_chunk or plan_finish has been written.
void relay_written(relay_state &state);

// Whether something of the upstream's answer went out, or goes out at the
// end of the transfer: then a transfer that breaks off leaves the client a
// cut answer. Before that, the gateway's own answer (502) or none stands in.
bool answer_began(const relay_state &state);

// Whether a sink takes more of the body now.
enum class sink_room { open, full, gone };

// Where the response goes: a function that writes both pieces whole, in
// order, and says whether it could.
struct relay_sink {
    bool (*write)(void *target, std::string_view first, std::string_view second);
    void *target;
    // Null for a sink that always takes more (its write waits instead).
    sink_room (*room)(const void *target) = nullptr;
};

struct relay_context {
    relay_state state;
    relay_sink sink;
};

// libcurl's header data and write data: the one relay seen from either side.
struct relay_stream {
    relay_context *context;
    bool is_header;
};

// libcurl's header and write function; the user pointer is a relay_stream.
// Returns 0, which ends the transfer, when the output cannot be written.
std::size_t relay_chunk(char *data, std::size_t size, std::size_t count, void *user) noexcept;

// Writes what is still to go out once the transfer has ended.
void relay_finish(relay_context &context) noexcept;

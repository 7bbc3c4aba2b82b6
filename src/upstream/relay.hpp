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
// at the end of the transfer.
struct relay_state {
    response_form form = response_form::passthrough;
    std::string section;              // header text not yet written
    bool in_section = false;          // a status line began a section that has not ended
    bool interim_section = false;     // the current section is a 1xx one
    bool replaceable_section = false; // libcurl may answer the current section with a retry
    bool replaceable_seen = false;    // such a section came in this response
    bool section_held = false;        // a complete final section not yet known to be final
    bool status_written = false;      // a status line, or the body, went out
    bool final_headers_ended = false; // header lines from here on are trailers
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

// Where the response goes: a function that writes both pieces whole, in
// order, and says whether it could.
struct relay_sink {
    bool (*write)(void *target, std::string_view first, std::string_view second);
    void *target;
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

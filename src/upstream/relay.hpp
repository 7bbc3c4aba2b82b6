// Relays the upstream response to standard output as the CGI response.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

// Where the response stands, as seen through the chunks libcurl delivers.
struct relay_state {
    bool first_chunk_seen = false;
    bool interim_section = false;     // the current header section is a 1xx one
    bool final_headers_ended = false; // header lines from here on are trailers
};

// "Status:", up to four bytes of the status code, and a blank.
using status_buffer = std::array<char, 7 + 4 + 1>;

// What goes out for one chunk: the Status block (often empty) and whether the
// chunk itself is written.
struct relay_plan {
    std::string_view block;
    bool keep_chunk;
};

// The Status block for an upstream status line of version HTTP/1.0, or empty.
std::string_view status_block(std::string_view chunk, status_buffer &buffer);

relay_plan plan_chunk(relay_state &state, std::string_view chunk, bool is_header,
                      status_buffer &buffer);

// Marks the header stream: libcurl hands it to relay_chunk as the user pointer
// of header lines, and null with body data.
extern int header_stream_marker;

// libcurl's header and write function.
std::size_t relay_chunk(char *data, std::size_t size, std::size_t count, void *user);

// FastCGI 1.0 records and name-value pairs, as bytes: splitting input into
// records and writing records out. Pure: no I/O, no state beyond the
// arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fastcgi {

constexpr std::uint8_t protocol_version = 1;
constexpr std::size_t header_size = 8;
constexpr std::size_t max_content = 65535;

// Scoped: begin_request and end_request also name functions of the loop.
// Any byte may arrive as a type; values outside these stay representable.
enum class record_type : std::uint8_t {
    begin_request = 1,
    abort_request = 2,
    end_request = 3,
    params = 4,
    stdin_stream = 5,
    stdout_stream = 6,
    stderr_stream = 7,
    data_stream = 8,
    get_values = 9,
    get_values_result = 10,
    unknown_type = 11,
};

constexpr std::uint16_t responder_role = 1;
constexpr std::uint8_t keep_connection_flag = 1;

enum protocol_status : std::uint8_t {
    request_complete = 0,
    cant_mpx_conn = 1,
    overloaded = 2,
    unknown_role = 3,
};

struct record {
    record_type type{};
    std::uint16_t request_id = 0;
    std::string_view content; // a view into the bytes split
};

enum class split_status {
    need_more,   // the bytes end inside a record
    complete,    // one record split off
    bad_version, // not a FastCGI 1 record: nothing more can be read
};

struct split_result {
    split_status status = split_status::need_more;
    record found;
    std::size_t used = 0; // bytes of the record with its padding
};

// Splits the record at the front of bytes.
split_result split_record(std::string_view bytes);

// Appends one record (no padding). content is at most max_content bytes.
void append_record(std::string &out, record_type type, std::uint16_t request_id,
                   std::string_view content);

// Appends a stream's data as records of at most max_content bytes each;
// nothing for empty data (an empty record ends a stream).
void append_stream(std::string &out, record_type type, std::uint16_t request_id,
                   std::string_view data);

// The empty stdout record and FCGI_END_REQUEST.
void append_end_request(std::string &out, std::uint16_t request_id, std::uint32_t app_status,
                        protocol_status status);

// FCGI_UNKNOWN_TYPE naming the type received.
void append_unknown_type(std::string &out, record_type type);

struct begin_body {
    std::uint16_t role = 0;
    std::uint8_t flags = 0;
};

// The body of FCGI_BEGIN_REQUEST; false when the content is not 8 bytes.
bool parse_begin_body(std::string_view content, begin_body &body);

struct name_value {
    std::string_view name;
    std::string_view value;
};

enum class pair_status {
    complete,  // one pair split off
    end,       // no bytes left
    truncated, // the lengths announce more than there is
};

struct pair_result {
    pair_status status = pair_status::end;
    name_value pair;
    std::size_t used = 0;
};

// Splits the name-value pair at the front of bytes (lengths of one byte, or
// four with the high bit set).
pair_result split_pair(std::string_view bytes);

// The two lengths at the front of bytes, without the name and value: when
// complete, used is the size the whole pair announces (which may be more
// than bytes holds).
pair_result split_pair_lengths(std::string_view bytes);

// Appends a name-value pair with the shortest lengths.
void append_pair(std::string &out, std::string_view name, std::string_view value);

} // namespace fastcgi

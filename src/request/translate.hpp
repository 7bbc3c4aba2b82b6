// Pure request translation: the path value from the query text, header lines
// from environment entries, and the body size from CONTENT_LENGTH.
#pragma once

#include "limits.hpp"
#include "upstream/curl_holders.hpp"
#include "upstream/origin.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The value of the first "path=" in the query, its first following "&" turned
// into "?", read up to white space and cut at path_capacity characters.
// No "path=" at all gives nullopt; "path=" with nothing after it gives "".
std::optional<std::string> extract_path(std::string_view query);

enum class header_verdict { skip, append, refuse };
struct header_result {
    header_verdict verdict;
    std::string line;
};

// The header line one environment entry ("NAME=value") turns into, if any.
header_result header_line(std::string_view entry);

// Whether a name behind "HTTP_" may be forwarded: token characters other
// than "-". Every web server writes a field name's "-" as "_", so a "-" (or
// a byte outside the token set) comes from a hostile FastCGI client, and
// "CONTENT-LENGTH" would reach the upstream as framing of its own.
bool is_forwardable_name(std::string_view cgi_name);

// Whether url has the upstream's authority and no other: the base (the
// path= form) or "http://" and the base (a mount request), then nothing,
// "/" or "?". Anything else there would give libcurl another port, or the
// base as user information in front of another host.
bool has_upstream_authority(std::string_view url);

// CONTENT_LENGTH read the way atoi reads it; nullopt when the number does not
// fit a signed 32-bit integer.
std::optional<std::int32_t> parse_content_length(std::string_view text);

enum class request_action { refuse, get, post, ignore, mount };

// How a mount request reaches the upstream and how its answer comes back.
struct mount_plan {
    std::string method;         // the client's, forwarded as it is
    bool has_body = false;      // whether a body goes with it
    std::int64_t body_size = 0; // its size; -1 when read to the end of the input
    bool chunk_framed = false;  // the input holds the body in its chunk framing
    std::string prefix;         // SCRIPT_NAME: where the upstream is mounted
    std::string origin;         // the client's "scheme://host", for redirects
};

// What one request turns into: the upstream URL, the header lines in
// environment order as the list libcurl sends, and the transfer to make (or
// the 400 answer).
struct request_plan {
    request_action action = request_action::refuse;
    std::string url;
    header_list headers;
    std::int32_t content_length = 0;
    bool is_mount = false; // a mount request: `mount` applies, `action` is
                           // mount, refuse, or ignore for a method not forwarded
    mount_plan mount;
};

// The translation of a mount request: no QUERY_STRING (query null) or one
// without "path=", and PATH_INFO set and not empty; refused otherwise.
request_plan plan_mount(const char *query, const char *method, const char *content_length,
                        char **envp);

// The whole translation of a CGI request. The three texts are the values of
// QUERY_STRING, REQUEST_METHOD and CONTENT_LENGTH, null when not set; envp is
// the environment in its own order. A POST with an empty CONTENT_LENGTH and
// a chunked HTTP_TRANSFER_ENCODING gets content_length -1 (read to the end),
// and HTTP_RANGE is not forwarded beside HTTP_IF_RANGE. decoder is a handle
// the path's decoding may use (a server's own), or null. A plan whose URL
// would leave the upstream is refused, whichever form built it.
request_plan plan_request(const char *query, const char *method, const char *content_length,
                          char **envp, CURL *decoder = nullptr);

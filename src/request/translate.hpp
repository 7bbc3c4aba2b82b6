// Pure request translation: the path value from the query text, header lines
// from environment entries, the body size from CONTENT_LENGTH, and the plan
// made of them.
#pragma once

#include "cgi_vars.hpp"
#include "limits.hpp"
#include "upstream/curl_holders.hpp"
#include "upstream/origin.hpp"
#include "upstream/plan.hpp"

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

// The way a request came in, as far as its plan depends on it.
enum class way_in {
    cgi,     // the answer's form is the web server's (SERVER_SOFTWARE); a body
             // may come in its chunk framing, read through a decoder
    fastcgi, // every client reads the document form; no decoder
};

// The body announced for a POST, as a refused or unforwarded one takes it
// in: CONTENT_LENGTH read as atoi reads it, 0 for other methods.
std::int64_t announced_size(const cgi_vars &vars);

// The whole translation of a request, from its variables: the upstream
// request or the gateway's own answer, and the response rules. A POST with
// an empty CONTENT_LENGTH and a chunked HTTP_TRANSFER_ENCODING is read to
// the end, and HTTP_RANGE is not forwarded beside HTTP_IF_RANGE. decoder is
// a handle the path's decoding may use (a server's own), or null. A plan
// whose URL would leave the upstream is refused, whichever form built it;
// so is a plan that fails to allocate.
request_plan plan_request(const cgi_vars &vars, way_in way, CURL *decoder = nullptr) noexcept;

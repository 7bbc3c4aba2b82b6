// What is to be done with one request, as the translation (src/request/)
// decides it and the exchange carries it out: the gateway's own answer or a
// request to the upstream, and the rules the answer is relayed by.
#pragma once

#include "curl_holders.hpp"
#include "relay.hpp"

#include <cstdint>
#include <string>
#include <variant>

// The answers the gateway gives by itself.
enum class own_answer_kind {
    bad_request,       // the request lacks what the gateway needs
    not_forwarded,     // a path= request's method is neither GET nor POST
    mount_not_allowed, // a mount request's method is not forwarded (CONNECT, TRACE)
};

struct own_answer {
    own_answer_kind kind = own_answer_kind::bad_request;
    // The body announced for a POST, taken in before the answer; 0 for other
    // methods, whose body may not be there to read.
    std::int64_t announced = 0;
};

enum class body_extent {
    none,   // no body goes
    sized,  // size bytes go, announced
    to_end, // the input is read to its end, sent chunked
};

struct upstream_body {
    body_extent extent = body_extent::none;
    std::int64_t size = 0;     // of a sized body
    bool chunk_framed = false; // the input holds it in its chunk framing
};

// How libcurl is asked.
enum class request_style {
    path_form, // GET, or libcurl's own POST of the body, under the gateway's User-Agent
    proxy,     // the client's method, a body as an upload, as a reverse proxy asks
};

struct upstream_request {
    request_style style = request_style::path_form;
    std::string method; // path_form: GET or POST; proxy: the client's
    std::string url;    // always on the upstream's authority
    header_list headers;
    upstream_body body;
};

struct request_plan {
    std::variant<own_answer, upstream_request> action;
    response_rules response;
};

// The two forms of the CGI response, the one each web server reads
// correctly, and the answers the gateway gives by itself in each.
#pragma once

#include <string_view>

enum class response_form {
    // The upstream's response as libcurl delivers it, with a "Status:" block
    // in front of an HTTP/1.0 status line (lighttpd, and servers not known).
    passthrough,
    // An RFC 3875 document response: "Status: NNN reason", the header lines
    // of the final response, the blank line and the body.
    document,
};

// The form a web server reads correctly, from its SERVER_SOFTWARE (null when
// not set).
response_form form_for_server(const char *server_software);

// The request lacks what the gateway needs.
std::string_view bad_request_answer(response_form form);
// The method is neither GET nor POST; empty means no output at all.
std::string_view not_forwarded_answer(response_form form);
// No response came from the upstream (document form only).
constexpr std::string_view bad_gateway_answer = "Status: 502 Bad Gateway\r\n\r\n";

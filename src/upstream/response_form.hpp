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
// A mount request whose method is not forwarded (CONNECT, TRACE).
constexpr std::string_view mount_not_allowed_answer =
    "Status: 405 Method Not Allowed\r\nAllow: GET, HEAD, POST, PUT, PATCH, DELETE, "
    "OPTIONS\r\n\r\n";
// No response came from the upstream (document form only).
constexpr std::string_view bad_gateway_answer = "Status: 502 Bad Gateway\r\n\r\n";

// Apache's mod_cgi and mod_cgid take a Location field beside status 200 as a
// redirect of their own: a path becomes an internal redirect (the client
// gets another resource) and a URL a 302 page (the body is lost), however
// the Status line or the field is spelled; every other server, and Apache's
// mod_proxy_fcgi, relays it. Run as a CGI program under Apache, the gateway
// sends a 200's Location under this name instead, and deploy/apache-cgi.conf
// turns it back into Location with mod_headers: the client gets the 200, its
// body and its Location, as through mod_proxy.
constexpr std::string_view renamed_location_field = "X-Cgi-Forward-Location";

// Whether the CGI program renames a 200's Location under this server (from
// its SERVER_SOFTWARE, null when not set).
bool renames_location(const char *server_software);

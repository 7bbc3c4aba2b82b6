#include "response_form.hpp"

#include "text/field_text.hpp"

#include <array>

namespace {

// Servers that take the passthrough form for a malformed header section
// (Apache, busybox httpd, mini_httpd) or misread it (nginx through fcgiwrap
// drops an HTTP/1.1 status line and ends the header section at a relayed
// "100 Continue"; CivetWeb answers 200 for an HTTP/1.1 404). They all read
// an RFC 3875 document response. Python's http.server sends its own status
// line and then the output as it is: a document response at least keeps
// the header section well-formed there.
constexpr std::array<std::string_view, 6> document_servers = {
    "Apache", "nginx", "busybox", "mini_httpd", "CivetWeb", "SimpleHTTP"};

} // namespace

response_form form_for_server(const char *server_software) {
    if (!server_software) return response_form::passthrough;
    for (std::string_view name : document_servers)
        if (same_name(server_product(server_software), name)) return response_form::document;
    return response_form::passthrough;
}

bool renames_location(const char *server_software) {
    return server_software && same_name(server_product(server_software), "Apache");
}

std::string_view bad_request_answer(response_form form) {
    // Both end the header section, so every web server answers 400. The
    // passthrough form's has no blank after the colon on purpose: the bytes
    // it has always written.
    return form == response_form::document ? "Status: 400 Bad Request\r\n\r\n"
                                           : "Status:400 Bad Request\r\n\r\n";
}

std::string_view not_forwarded_answer(response_form form) {
    // An empty output is what lighttpd expects; the others turn it into an
    // error of their own, so they are told what the gateway serves.
    return form == response_form::document
               ? "Status: 405 Method Not Allowed\r\nAllow: GET, POST\r\n\r\n"
               : "";
}

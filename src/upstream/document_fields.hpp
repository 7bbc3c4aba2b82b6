// The header lines of a document response's final section, as they go to
// the web server.
#pragma once

#include "rewrite.hpp"

#include <string>

struct field_rules {
    bool rename_location;    // a 200's Location goes as renamed_location_field
    const mount_view *mount; // a mount request's answer: URLs rewritten; or null
};

// Takes a whole section ("Status: ..." line, field lines, blank line) and
// leaves in it what the web server may see. Left out are the upstream's
// hop-by-hop fields and those its Connection field names (RFC 9110, 7.6.1):
// they describe its connection to the gateway, not the web server's to the
// client. Relayed, they make lighttpd and Apache close the client's
// connection and pass on the upstream's keep-alive time-out; nginx and
// Caddy drop them. Left out too is a field named Status, which every web
// server would take as the CGI Status and so answer with a status the
// upstream did not send.
void keep_document_fields(std::string &section, const field_rules &rules);

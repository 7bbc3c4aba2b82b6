// The CGI variables the translation reads by name, taken in one walk of the
// environment: the first entry of each name, as getenv finds it.
#pragma once

#include <optional>
#include <string_view>

struct cgi_vars {
    using var = std::optional<std::string_view>; // nullopt when not set
    var query, method, content_length, server_software;
    var path_info, script_name, request_uri, content_type, remote_addr;
    var transfer_encoding, http_content_length, connection, forwarded_for, host;
    var https, request_scheme;
    // The last HTTP_TRANSFER_ENCODING, which the path= form has always read.
    var last_transfer_encoding;
    bool if_range = false; // HTTP_IF_RANGE is set
    char **envp = nullptr; // every entry, in its order: the header lines come from them
};

// Reads the variables from envp ("NAME=value" entries; one without "=" is
// not a variable), which must outlive the views.
cgi_vars read_cgi_vars(char **envp);

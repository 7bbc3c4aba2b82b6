#include "cgi_vars.hpp"

#include <cstdint>
#include <cstring>

namespace {

using member = cgi_vars::var cgi_vars::*;

struct named_var {
    std::string_view name;
    member field;
};

using v = cgi_vars;
// In order of length, for the look-up by length below.
constexpr named_var named[] = {
    {"HTTPS", &v::https},
    {"PATH_INFO", &v::path_info},
    {"HTTP_HOST", &v::host},
    {"SCRIPT_NAME", &v::script_name},
    {"REQUEST_URI", &v::request_uri},
    {"REMOTE_ADDR", &v::remote_addr},
    {"QUERY_STRING", &v::query},
    {"CONTENT_TYPE", &v::content_type},
    {"REQUEST_METHOD", &v::method},
    {"CONTENT_LENGTH", &v::content_length},
    {"REQUEST_SCHEME", &v::request_scheme},
    {"SERVER_SOFTWARE", &v::server_software},
    {"HTTP_CONNECTION", &v::connection},
    {"HTTP_CONTENT_LENGTH", &v::http_content_length},
    {"HTTP_X_FORWARDED_FOR", &v::forwarded_for},
    {"HTTP_TRANSFER_ENCODING", &v::transfer_encoding},
};
constexpr std::size_t named_count = sizeof named / sizeof named[0];
constexpr std::size_t longest = 22;

// Where the names of each length begin in the table: most of a web
// server's variables have a length no name has, and are passed over
// without a comparison.
struct by_length {
    std::uint8_t start[longest + 2] = {};
};
constexpr by_length index_by_length() {
    by_length index;
    for (std::size_t length = 0; length <= longest + 1; ++length) {
        std::size_t i = 0;
        while (i < named_count && named[i].name.size() < length)
            ++i;
        index.start[length] = static_cast<std::uint8_t>(i);
    }
    return index;
}
constexpr by_length lookup = index_by_length();

constexpr bool in_length_order() {
    for (std::size_t i = 1; i < named_count; ++i)
        if (named[i].name.size() < named[i - 1].name.size()) return false;
    return named[named_count - 1].name.size() == longest;
}
static_assert(in_length_order());

} // namespace

cgi_vars read_cgi_vars(char **envp) {
    cgi_vars vars;
    vars.envp = envp;
    for (char **entry = envp; entry && *entry; ++entry) {
        // Up to the "=" only: a value (a long query) is measured when it is
        // one of those read.
        const char *eq = std::strchr(*entry, '=');
        if (!eq) continue;
        const auto length = static_cast<std::size_t>(eq - *entry);
        if (length > longest) continue;
        const std::string_view name(*entry, length);
        const auto value = [eq] { return std::string_view(eq + 1); };
        if (name == "HTTP_TRANSFER_ENCODING") vars.last_transfer_encoding = value();
        if (name == "HTTP_IF_RANGE") vars.if_range = true;
        for (std::size_t i = lookup.start[length]; i < lookup.start[length + 1]; ++i)
            if (name == named[i].name && !(vars.*named[i].field)) vars.*named[i].field = value();
    }
    return vars;
}

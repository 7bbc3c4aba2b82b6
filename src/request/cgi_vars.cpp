#include "cgi_vars.hpp"

namespace {

using member = cgi_vars::var cgi_vars::*;

struct named_var {
    std::string_view name;
    member field;
};

using v = cgi_vars;
constexpr named_var named[] = {
    {"QUERY_STRING", &v::query},
    {"REQUEST_METHOD", &v::method},
    {"CONTENT_LENGTH", &v::content_length},
    {"SERVER_SOFTWARE", &v::server_software},
    {"PATH_INFO", &v::path_info},
    {"SCRIPT_NAME", &v::script_name},
    {"REQUEST_URI", &v::request_uri},
    {"CONTENT_TYPE", &v::content_type},
    {"REMOTE_ADDR", &v::remote_addr},
    {"HTTP_TRANSFER_ENCODING", &v::transfer_encoding},
    {"HTTP_CONTENT_LENGTH", &v::http_content_length},
    {"HTTP_CONNECTION", &v::connection},
    {"HTTP_X_FORWARDED_FOR", &v::forwarded_for},
    {"HTTP_HOST", &v::host},
    {"HTTPS", &v::https},
    {"REQUEST_SCHEME", &v::request_scheme},
};

} // namespace

cgi_vars read_cgi_vars(char **envp) {
    cgi_vars vars;
    vars.envp = envp;
    for (char **entry = envp; entry && *entry; ++entry) {
        const std::string_view text(*entry);
        const auto eq = text.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view name = text.substr(0, eq), value = text.substr(eq + 1);
        if (name == "HTTP_TRANSFER_ENCODING") vars.last_transfer_encoding = value;
        if (name == "HTTP_IF_RANGE") vars.if_range = true;
        for (const named_var &n : named)
            if (name == n.name && !(vars.*n.field)) vars.*n.field = value;
    }
    return vars;
}

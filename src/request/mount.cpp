#include "mount.hpp"

#include "destination.hpp"
#include "translate.hpp"
#include "upstream/field_text.hpp"

#include <array>
#include <optional>

namespace {

constexpr std::string_view upstream_origin = "http://127.0.0.1:8011";
constexpr std::string_view hex_digits = "0123456789ABCDEF";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Whether every "%" in the text begins a "%XX": busybox httpd hands over
// REQUEST_URI already decoded, where a "%" may stand for itself.
bool is_percent_encoded(std::string_view text) {
    for (std::size_t at = text.find('%'); at != std::string_view::npos; at = text.find('%', at + 1))
        if (at + 2 >= text.size() || hex_value(text[at + 1]) < 0 || hex_value(text[at + 2]) < 0)
            return false;
    return true;
}

std::string percent_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
            hex_value(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// Writes the bytes that cannot stand in a request-target as %XX: blanks,
// control bytes, bytes outside ASCII, "#", and those in `also`.
std::string encode_unsafe(std::string_view text, std::string_view also) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (b <= 0x20 || b >= 0x7f || c == '#' || also.find(c) != std::string_view::npos) {
            out.push_back('%');
            out.push_back(hex_digits[b >> 4]);
            out.push_back(hex_digits[b & 15]);
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// The CGI variables a mount request reads, taken in one walk of the
// environment: the first entry of each name.
struct mount_env {
    std::optional<std::string_view> path_info, script_name, request_uri, transfer_encoding,
        http_content_length, server_software, connection, content_type, remote_addr, forwarded_for,
        host, https, request_scheme;
};

mount_env read_mount_env(char **envp) {
    using member = std::optional<std::string_view> mount_env::*;
    static constexpr std::pair<std::string_view, member> names[] = {
        {"PATH_INFO", &mount_env::path_info},
        {"SCRIPT_NAME", &mount_env::script_name},
        {"REQUEST_URI", &mount_env::request_uri},
        {"HTTP_TRANSFER_ENCODING", &mount_env::transfer_encoding},
        {"HTTP_CONTENT_LENGTH", &mount_env::http_content_length},
        {"SERVER_SOFTWARE", &mount_env::server_software},
        {"HTTP_CONNECTION", &mount_env::connection},
        {"CONTENT_TYPE", &mount_env::content_type},
        {"REMOTE_ADDR", &mount_env::remote_addr},
        {"HTTP_X_FORWARDED_FOR", &mount_env::forwarded_for},
        {"HTTP_HOST", &mount_env::host},
        {"HTTPS", &mount_env::https},
        {"REQUEST_SCHEME", &mount_env::request_scheme},
    };
    mount_env env;
    for (char **entry = envp; entry && *entry; ++entry) {
        const std::string_view text(*entry);
        const auto eq = text.find('=');
        if (eq == std::string_view::npos) continue;
        for (const auto &[name, field] : names)
            if (text.substr(0, eq) == name && !(env.*field)) env.*field = text.substr(eq + 1);
    }
    return env;
}

// The client's fields that are not passed on as they are: those about its
// connection to the web server (RFC 9110, 7.6.1), those the transfer sets
// itself (Host is the upstream's, as proxies send it by default; the body's
// framing), Proxy (a client must not be able to set a proxy, "httpoxy"),
// and the forwarding fields, which the gateway writes itself. Matched
// without regard to case, as the upstream reads the names they become.
constexpr std::array<std::string_view, 14> withheld = {"HOST",
                                                       "CONNECTION",
                                                       "KEEP_ALIVE",
                                                       "TE",
                                                       "UPGRADE",
                                                       "PROXY_CONNECTION",
                                                       "PROXY",
                                                       "TRANSFER_ENCODING",
                                                       "CONTENT_LENGTH",
                                                       "EXPECT",
                                                       "X_FORWARDED_FOR",
                                                       "X_FORWARDED_HOST",
                                                       "X_FORWARDED_PROTO",
                                                       "X_FORWARDED_PREFIX"};

bool is_withheld(std::string_view cgi_name) {
    for (std::string_view name : withheld)
        if (same_name(cgi_name, name)) return true;
    return false;
}

// A strict CONTENT_LENGTH: digits only, with blanks around them.
std::optional<std::int64_t> parse_size(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

// The methods whose request has a body, empty or not.
bool carries_body(std::string_view method) {
    return method == "POST" || method == "PUT" || method == "PATCH";
}

// Appends one line to the list; false when out of memory.
bool append_line(header_list &list, curl_slist *&tail, const std::string &line) {
    curl_slist *node = curl_slist_append(nullptr, line.c_str());
    if (!node) return false;
    if (tail)
        tail->next = node;
    else
        list.reset(node);
    tail = node;
    return true;
}

} // namespace

std::string mount_target(const mount_vars &vars) {
    std::string target;
    bool from_request_uri = false;
    if (vars.request_uri) {
        std::string_view raw = *vars.request_uri;
        raw = raw.substr(0, raw.find('?'));
        if (begins_with(raw, vars.script_name)) {
            raw.remove_prefix(vars.script_name.size());
            // "%2Fx" decodes to "/x" but would continue the authority.
            if (begins_with(raw, "/") && is_percent_encoded(raw) &&
                percent_decode(raw) == vars.path_info) {
                target = encode_unsafe(raw, {});
                from_request_uri = true;
            }
        }
    }
    if (!from_request_uri) target = encode_unsafe(vars.path_info, "?%");
    if (!vars.query.empty()) target.append(1, '?').append(encode_unsafe(vars.query, {}));
    return target;
}

std::string http_field_name(std::string_view cgi_name) {
    std::string name;
    name.reserve(cgi_name.size());
    bool word_start = true;
    for (const char c : cgi_name) {
        if (c == '_') {
            name.push_back('-');
            word_start = true;
            continue;
        }
        if (!is_token_char(c)) return {};
        name.push_back(word_start && c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A')
                       : word_start                       ? c
                                                          : ascii_lower(c));
        word_start = false;
    }
    return name;
}

bool is_method_token(std::string_view method) {
    if (method.empty()) return false;
    for (const char c : method)
        if (!is_token_char(c)) return false;
    return true;
}

request_plan plan_mount(const char *query, const char *method, const char *content_length,
                        char **envp) {
    request_plan plan;
    const mount_env env = read_mount_env(envp);
    const std::optional<std::string_view> path_info = env.path_info;
    if (!path_info || path_info->empty()) return plan;
    plan.is_mount = true;
    if (!method || !is_method_token(method)) return plan;
    const std::string_view script_name = env.script_name.value_or("");
    if (has_line_break(script_name)) return plan;

    // The body: CONTENT_LENGTH; busybox httpd gives only HTTP_CONTENT_LENGTH
    // for methods other than POST; a chunked upload is read to the end.
    mount_plan &mount = plan.mount;
    const std::optional<std::string_view> transfer_encoding = env.transfer_encoding;
    const bool chunked = transfer_encoding && lists_name(*transfer_encoding, "chunked");
    std::optional<std::string_view> length;
    if (content_length) length = content_length;
    if (!length || length->empty()) {
        if (const auto other = env.http_content_length; other && !other->empty()) length = other;
    }
    // busybox httpd hands a chunked body over with its chunk framing (and at
    // most the length the client also gave, which the framing overrides):
    // the way in reads it through a decoder. Forwarded as it is, the
    // upstream would get the framing as data.
    const bool busybox = same_name(server_product(env.server_software.value_or("")), "busybox");
    if (busybox && chunked) {
        mount.has_body = true;
        mount.body_size = -1;
        mount.chunk_framed = true;
    } else if ((chunked && (!length || length->empty())) || (length && *length == "-1")) {
        // Caddy gives a body without a length as CONTENT_LENGTH=-1, as the
        // path= form reads it too; busybox httpd never does.
        if (busybox) return plan;
        mount.has_body = true;
        mount.body_size = -1;
    } else if (length && !length->empty()) {
        const std::optional<std::int64_t> size = parse_size(*length);
        if (!size) return plan;
        // lighttpd and Caddy give every request a CONTENT_LENGTH, 0 when it
        // has no body: an empty body goes only with the methods that carry one.
        mount.has_body = *size > 0 || carries_body(method);
        mount.body_size = *size;
    }

    // The client's scheme and host: the forwarding fields, the answer's
    // redirects and WebDAV's Destination and If name URLs on them.
    const std::optional<std::string_view> host = env.host;
    const std::string_view https = env.https.value_or("");
    const bool secure = same_name(https, "on") || https == "1" ||
                        same_name(env.request_scheme.value_or(""), "https");
    const std::string_view scheme = secure ? "https" : "http";
    if (host && !host->empty()) mount.origin.append(scheme).append("://").append(*host);
    const mount_view place{script_name, mount.origin};

    const std::string_view connection = env.connection.value_or("");
    const bool has_content_type = env.content_type.has_value();
    bool has_accept = false;
    curl_slist *tail = nullptr;
    for (char **entry = envp; entry && *entry; ++entry) {
        const std::string_view text(*entry);
        const auto eq = text.find('=');
        if (eq == std::string_view::npos || has_line_break(text)) continue;
        const std::string_view value = text.substr(eq + 1);
        std::string line;
        if (begins_with(text, "HTTP_")) {
            const std::string_view cgi_name = text.substr(5, eq - 5);
            if (!is_forwardable_name(cgi_name) || is_withheld(cgi_name) ||
                (same_name(cgi_name, "CONTENT_TYPE") && has_content_type))
                continue;
            const std::string name = http_field_name(cgi_name);
            if (name.empty() || lists_name(connection, name)) continue;
            has_accept = has_accept || same_name(cgi_name, "ACCEPT");
            append_field_value(line.append(name).append(": "), name, value, place);
        } else if (text.substr(0, eq) == "CONTENT_TYPE") {
            if (value.empty()) continue;
            line.append("Content-Type: ").append(value);
        } else {
            continue;
        }
        if (!append_line(plan.headers, tail, line)) return plan;
    }

    // The forwarding fields, as the web servers' own proxies set them.
    const std::string_view remote_addr = env.remote_addr.value_or("");
    const std::string_view forwarded_for = env.forwarded_for.value_or("");
    std::string fields[4];
    if (!remote_addr.empty() || !forwarded_for.empty()) {
        fields[0].append("X-Forwarded-For: ").append(forwarded_for);
        if (!remote_addr.empty() && !forwarded_for.empty()) fields[0].append(", ");
        fields[0].append(remote_addr);
    }
    if (host) fields[1].append("X-Forwarded-Host: ").append(*host);
    fields[2].append("X-Forwarded-Proto: ").append(scheme);
    if (!script_name.empty()) fields[3].append("X-Forwarded-Prefix: ").append(script_name);
    for (const std::string &field : fields)
        if (!field.empty() && !has_line_break(field) && !append_line(plan.headers, tail, field))
            return plan;
    // libcurl would add "Accept: */*" of its own, and "Expect: 100-continue"
    // to an upload, which costs a second against an upstream that does not
    // answer it; a proxy adds neither.
    if (!has_accept && !append_line(plan.headers, tail, "Accept:")) return plan;
    if (!append_line(plan.headers, tail, "Expect:")) return plan;

    mount.prefix = script_name;
    mount.method = method;

    const mount_vars vars{*path_info, script_name, env.request_uri, query ? query : ""};
    plan.url.append(upstream_origin).append(mount_target(vars));

    // CONNECT would ask the upstream for a tunnel, and TRACE would echo the
    // client's fields, credentials among them, back to whatever runs in the
    // page: neither is forwarded.
    const std::string_view verb(method);
    plan.action =
        verb == "CONNECT" || verb == "TRACE" ? request_action::ignore : request_action::mount;
    return plan;
}

// Fuzzes request translation: a query, a method, a CONTENT_LENGTH,
// environment entries and the way in (CGI or FastCGI) in. The plan is
// checked against references made here without the code under test: the C
// library's own reading of the path value (sscanf) and of CONTENT_LENGTH
// (atoi, strtoll for the range), and the header, Range, chunked-upload and
// encoding rules written out again; for a query without "path=", the mount
// rules written out again. Whatever the rules say, two oracles hold for
// every plan that forwards a request: libcurl's own URL parser finds the
// upstream's authority in its URL, and no environment name holding "-" or a
// byte outside the token set has been forwarded, nor the client's framing
// fields.
#include "request/translate.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <strings.h>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

bool refused(const request_plan &plan) {
    const auto *answer = std::get_if<own_answer>(&plan.action);
    return answer && answer->kind == own_answer_kind::bad_request;
}

// The request that goes, or null.
const upstream_request *request_of(const request_plan &plan) {
    return std::get_if<upstream_request>(&plan.action);
}

std::string url_of(const request_plan &plan) {
    return request_of(plan) ? request_of(plan)->url : "";
}

std::vector<std::string> lines_of(const request_plan &plan) {
    std::vector<std::string> lines;
    for (const curl_slist *item = request_of(plan) ? request_of(plan)->headers.get() : nullptr;
         item; item = item->next)
        lines.emplace_back(item->data);
    return lines;
}

bool starts(const std::string &text, const char *prefix) {
    return std::strncmp(text.c_str(), prefix, std::strlen(prefix)) == 0;
}

// The value after the first "path=", its first following "&" turned into
// "?", as sscanf reads it; false when there is no "path=".
bool reference_path(const std::string &query, std::string &value) {
    const char *at = std::strstr(query.c_str(), "path=");
    if (!at) return false;
    std::string text(at);
    if (char *amp = std::strchr(text.data(), '&')) *amp = '?';
    char buffer[512] = {};
    std::sscanf(text.c_str(), "path=%511s", buffer);
    value = buffer;
    return true;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Percent-decoded once (a decoded zero byte ends the text), then every byte
// outside letters, digits and "/_.-~?&=" written as %xx in lower case.
std::string reference_encoding(const std::string &value) {
    std::string decoded;
    for (std::size_t i = 0; i < value.size(); ++i) {
        int byte = static_cast<unsigned char>(value[i]);
        if (value[i] == '%' && i + 2 < value.size() && hex_value(value[i + 1]) >= 0 &&
            hex_value(value[i + 2]) >= 0) {
            byte = hex_value(value[i + 1]) * 16 + hex_value(value[i + 2]);
            i += 2;
        }
        if (byte == 0) break;
        decoded.push_back(static_cast<char>(byte));
    }
    std::string out;
    for (unsigned char c : decoded) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            (c != 0 && std::strchr("/_.-~?&=", c))) {
            out.push_back(static_cast<char>(c));
        } else {
            char piece[4];
            std::snprintf(piece, sizeof piece, "%%%02x", c);
            out += piece;
        }
    }
    return out;
}

bool is_token_char(unsigned char c) {
    return std::isalnum(c) || (c != 0 && std::strchr("!#$%&'*+-.^_`|~", c));
}

// Whether the name behind "HTTP_" is one a web server can make: token
// characters, "-" excepted (servers write it as "_").
bool server_made(const std::string &cgi_name) {
    for (unsigned char c : cgi_name)
        if (c == '-' || !is_token_char(c)) return false;
    return true;
}

// The header line for one entry: empty to skip it, "!" to refuse the request.
std::string reference_line(const std::string &entry) {
    const auto eq = entry.find('=');
    if (entry.find_first_of("\r\n") != std::string::npos || eq == std::string::npos) return "";
    const std::string name = entry.substr(0, eq), value = entry.substr(eq + 1);
    if (starts(entry, "HTTP_")) {
        if (name == "HTTP_CONNECTION" || name == "HTTP_UPGRADE" || name == "HTTP_TE") return "";
        if (!server_made(name.substr(5))) return "";
        return name.substr(5) + ":" + value;
    }
    if (starts(entry, "CONTENT_TYPE")) return "Content-Type" + name.substr(12) + ":" + value;
    if (starts(entry, "REMOTE_ADDR")) return value.size() > 47 ? "!" : "X-Forwarded-For:" + value;
    return "";
}

// Whether a Transfer-Encoding value names the chunked coding, as strtok and
// strcasecmp see its comma-separated items, blanks around them left out.
bool reference_chunked(std::string value) {
    for (char *item = std::strtok(value.data(), ","); item; item = std::strtok(nullptr, ",")) {
        while (*item == ' ' || *item == '\t')
            ++item;
        std::size_t n = std::strlen(item);
        while (n > 0 && (item[n - 1] == ' ' || item[n - 1] == '\t'))
            item[--n] = '\0';
        if (strcasecmp(item, "chunked") == 0) return true;
    }
    return false;
}

// CONTENT_LENGTH as atoi reads it, when the number fits a signed 32-bit int.
bool reference_length(const char *text, std::int32_t &length) {
    errno = 0;
    const long long wide = std::strtoll(text, nullptr, 10);
    if (errno == ERANGE || wide < INT32_MIN || wide > INT32_MAX) return false;
    length = std::atoi(text);
    return true;
}

// ---- mount requests: no "path=" in the query ----

// The value of the first entry NAME=..., or null.
const char *reference_var(const std::vector<std::string> &entries, const char *name) {
    const std::size_t n = std::strlen(name);
    for (const std::string &entry : entries)
        if (entry.size() > n && entry.compare(0, n, name) == 0 && entry[n] == '=')
            return entry.c_str() + n + 1;
    return nullptr;
}

// Whether a comma-separated list holds name, blanks around items ignored.
bool reference_lists(const char *list, const std::string &name) {
    std::string copy = list ? list : "";
    std::size_t start = 0;
    while (start <= copy.size()) {
        std::size_t end = copy.find(',', start);
        if (end == std::string::npos) end = copy.size();
        std::size_t a = start, b = end;
        while (a < b && (copy[a] == ' ' || copy[a] == '\t'))
            ++a;
        while (b > a && (copy[b - 1] == ' ' || copy[b - 1] == '\t'))
            --b;
        if (b - a == name.size() && strncasecmp(copy.c_str() + a, name.c_str(), b - a) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

// "%XX" in upper case for blanks, control bytes, bytes outside ASCII, "#"
// and the characters in also.
std::string reference_escape(const std::string &text, const char *also) {
    std::string out;
    for (unsigned char c : text) {
        if (c <= ' ' || c >= 0x7f || c == '#' || (c != 0 && std::strchr(also, c))) {
            char piece[4];
            std::snprintf(piece, sizeof piece, "%%%02X", c);
            out += piece;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

std::string reference_unescape(const std::string &text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned int byte = 0;
        if (text[i] == '%' && i + 2 < text.size() &&
            std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2])) &&
            std::sscanf(text.c_str() + i + 1, "%2x", &byte) == 1) {
            out.push_back(static_cast<char>(byte));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// A mount request's body, by the rules written out again.
struct mount_body {
    bool refuse = false;
    bool has = false;
    long long size = 0; // -1: read to the end
    bool framed = false;
};

mount_body reference_mount_body(const char *method, const char *length,
                                const std::vector<std::string> &entries, bool fastcgi) {
    const char *codings = reference_var(entries, "HTTP_TRANSFER_ENCODING");
    const bool chunked = codings && reference_lists(codings, "chunked");
    const char *size_text = length;
    if (!size_text || !*size_text) {
        const char *other = reference_var(entries, "HTTP_CONTENT_LENGTH");
        if (other && *other) size_text = other;
    }
    // busybox httpd hands a chunked body over in its framing, to be decoded.
    const char *software = reference_var(entries, "SERVER_SOFTWARE");
    const bool busybox = software && !strncasecmp(software, "busybox", 7) &&
                         (software[7] == '\0' || std::strchr("/ \t", software[7]));
    mount_body body;
    if (busybox && chunked) {
        // Only the CGI program has a decoder for the framing.
        body.refuse = fastcgi;
        body.has = true;
        body.size = -1;
    } else if ((chunked && (!size_text || !*size_text)) ||
               (size_text && !std::strcmp(size_text, "-1"))) {
        body.refuse = busybox;
        body.has = true;
        body.size = -1;
    } else if (size_text && *size_text) {
        char digits[32];
        int used = 0;
        const std::size_t n = std::strlen(size_text);
        std::size_t a = 0, b = n;
        while (a < b && (size_text[a] == ' ' || size_text[a] == '\t'))
            ++a;
        while (b > a && (size_text[b - 1] == ' ' || size_text[b - 1] == '\t'))
            --b;
        const bool all_digits =
            b > a && b - a <= 18 && std::strspn(size_text + a, "0123456789") >= b - a;
        if (all_digits) {
            std::snprintf(digits, sizeof digits, "%.*s", static_cast<int>(b - a), size_text + a);
            std::sscanf(digits, "%lld%n", &body.size, &used);
            body.has = body.size > 0 || !std::strcmp(method ? method : "", "POST") ||
                       !std::strcmp(method ? method : "", "PUT") ||
                       !std::strcmp(method ? method : "", "PATCH");
        } else {
            body.refuse = true;
        }
    }
    body.framed = busybox && chunked;
    return body;
}

// A mount request's target on the upstream.
std::string reference_target(const char *query, const char *path_info, const std::string &prefix,
                             const char *request_uri) {
    std::string target;
    bool raw = false;
    if (request_uri) {
        std::string path(request_uri);
        path = path.substr(0, path.find('?'));
        const std::string rest = path.compare(0, prefix.size(), prefix) == 0
                                     ? path.substr(prefix.size())
                                     : std::string();
        bool encoded = true; // every "%" begins a "%XX"
        for (std::size_t at = rest.find('%'); at != std::string::npos; at = rest.find('%', at + 1))
            encoded = encoded && at + 2 < rest.size() &&
                      std::isxdigit(static_cast<unsigned char>(rest[at + 1])) &&
                      std::isxdigit(static_cast<unsigned char>(rest[at + 2]));
        if (path.compare(0, prefix.size(), prefix) == 0 && rest[0] == '/' && encoded &&
            reference_unescape(rest) == path_info) {
            target = reference_escape(rest, "");
            raw = true;
        }
    }
    if (!raw) target = reference_escape(path_info, "?%");
    if (*query) target += "?" + reference_escape(query, "");
    return target;
}

// A mount request's header lines: the client's fields under their HTTP
// names, then the forwarding fields.
std::vector<std::string> reference_mount_lines(const std::vector<std::string> &entries,
                                               const std::string &prefix) {
    static const char *const withheld[] = {"HOST",
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
    const char *connection = reference_var(entries, "HTTP_CONNECTION");
    const bool content_type = reference_var(entries, "CONTENT_TYPE") != nullptr;
    std::vector<std::string> expected;
    bool accept = false;
    for (const std::string &entry : entries) {
        const auto eq = entry.find('=');
        if (eq == std::string::npos || entry.find_first_of("\r\n") != std::string::npos) continue;
        const std::string name = entry.substr(0, eq), value = entry.substr(eq + 1);
        if (starts(entry, "HTTP_")) {
            const std::string cgi = name.substr(5);
            bool skip =
                (!strcasecmp(cgi.c_str(), "CONTENT_TYPE") && content_type) || !server_made(cgi);
            for (const char *w : withheld)
                skip = skip || !strcasecmp(cgi.c_str(), w);
            std::string http;
            bool word = true;
            for (unsigned char c : cgi) {
                if (!is_token_char(c)) {
                    http.clear();
                    break;
                }
                http.push_back(
                    c == '_' ? '-' : static_cast<char>(word ? std::toupper(c) : std::tolower(c)));
                word = c == '_';
            }
            if (skip || http.empty() || reference_lists(connection, http)) continue;
            accept = accept || !strcasecmp(cgi.c_str(), "ACCEPT");
            expected.push_back(http + ": " + value);
        } else if (name == "CONTENT_TYPE" && !value.empty()) {
            expected.push_back("Content-Type: " + value);
        }
    }
    const char *remote = reference_var(entries, "REMOTE_ADDR");
    const char *forwarded = reference_var(entries, "HTTP_X_FORWARDED_FOR");
    const char *host = reference_var(entries, "HTTP_HOST");
    const char *https = reference_var(entries, "HTTPS");
    const char *scheme = reference_var(entries, "REQUEST_SCHEME");
    const bool secure = (https && (!strcasecmp(https, "on") || !std::strcmp(https, "1"))) ||
                        (scheme && !strcasecmp(scheme, "https"));
    std::vector<std::string> fields;
    const std::string r = remote ? remote : "", f = forwarded ? forwarded : "";
    if (!r.empty() || !f.empty())
        fields.push_back("X-Forwarded-For: " + f + (!r.empty() && !f.empty() ? ", " : "") + r);
    if (host) fields.push_back(std::string("X-Forwarded-Host: ") + host);
    fields.push_back(std::string("X-Forwarded-Proto: ") + (secure ? "https" : "http"));
    if (!prefix.empty()) fields.push_back("X-Forwarded-Prefix: " + prefix);
    for (const std::string &field : fields)
        if (field.find_first_of("\r\n") == std::string::npos) expected.push_back(field);
    if (!accept) expected.push_back("Accept:");
    expected.push_back("Expect:");
    return expected;
}

// Checks the plan of a request without "path=" against the mount rules
// written out again.
void check_mount(const char *query, const char *method, const char *length,
                 const std::vector<std::string> &entries, bool fastcgi, const request_plan &plan) {
    if (!query) query = ""; // mini_httpd sets none for a URL without a query
    const char *path_info = reference_var(entries, "PATH_INFO");
    if (!path_info || !*path_info) {
        check(refused(plan) && !plan.response.mounted);
        return;
    }
    check(plan.response.mounted && plan.response.form == response_form::document);
    bool refuse = !method || !*method;
    for (const char *c = method; !refuse && *c; ++c)
        refuse = !is_token_char(static_cast<unsigned char>(*c));
    const char *script_name = reference_var(entries, "SCRIPT_NAME");
    const std::string prefix = script_name ? script_name : "";
    refuse = refuse || prefix.find_first_of("\r\n") != std::string::npos;
    const mount_body body = reference_mount_body(method, length, entries, fastcgi);
    const std::string target =
        reference_target(query, path_info, prefix, reference_var(entries, "REQUEST_URI"));
    // A target that does not begin with "/" would leave the upstream.
    refuse = refuse || body.refuse || target[0] != '/';

    check(refuse == refused(plan));
    if (refuse) return;
    check(plan.response.mount_prefix == prefix);
    const bool not_forwarded = !std::strcmp(method, "CONNECT") || !std::strcmp(method, "TRACE");
    const upstream_request *request = request_of(plan);
    check(not_forwarded == !request);
    if (not_forwarded) {
        check(std::get<own_answer>(plan.action).kind == own_answer_kind::mount_not_allowed);
        return;
    }
    // HEAD goes without its body.
    const bool has_body = body.has && std::strcmp(method, "HEAD") != 0;
    check(request->style == request_style::proxy);
    check((request->body.extent != body_extent::none) == has_body);
    if (has_body)
        check(request->body.extent == body_extent::to_end ? body.size == -1
                                                          : request->body.size == body.size);
    check(!has_body || request->body.chunk_framed == body.framed);
    check(request->method == method);
    check(request->url == "http://127.0.0.1:8011" + target);

    std::vector<std::string> expected = reference_mount_lines(entries, prefix);
    std::vector<std::string> lines = lines_of(plan);
    // Destination and If name URLs that are mapped onto the upstream: their
    // values have rules and tests of their own.
    for (auto *list : {&lines, &expected})
        for (std::string &line : *list)
            for (const char *mapped : {"Destination: ", "If: "})
                if (starts(line, mapped)) line.resize(std::strlen(mapped));
    check(lines == expected);
}

// ---- the oracles every plan meets ----

std::optional<std::string> url_part(CURLU *url, CURLUPart part) {
    char *text = nullptr;
    if (curl_url_get(url, part, &text, 0) != CURLUE_OK) return std::nullopt;
    std::string value = text;
    curl_free(text);
    return value;
}

// libcurl parses the URL as the transfer does (a URL without a scheme is
// guessed to be http): the upstream, with no user, password or options.
void check_authority(const request_plan &plan) {
    if (!request_of(plan)) return;
    CURLU *url = curl_url();
    check(url != nullptr);
    check(curl_url_set(url, CURLUPART_URL, request_of(plan)->url.c_str(),
                       CURLU_GUESS_SCHEME | CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK);
    check(url_part(url, CURLUPART_SCHEME) == "http");
    check(url_part(url, CURLUPART_HOST) == "127.0.0.1");
    check(url_part(url, CURLUPART_PORT) == "8011");
    check(!url_part(url, CURLUPART_USER));
    check(!url_part(url, CURLUPART_PASSWORD));
    check(!url_part(url, CURLUPART_OPTIONS));
    curl_url_cleanup(url);
}

// No line comes from an entry whose name behind "HTTP_" holds "-" or a byte
// outside the token set, and no line names the client's framing. A field
// name that another entry, or the gateway itself, may also give a line
// under is left to the reference comparison, and so is a name holding ":".
void check_names(const std::vector<std::string> &entries, const request_plan &plan, bool mount) {
    if (!request_of(plan)) return;
    // A line's field name as the upstream compares it.
    auto field = [mount](std::string name) {
        name = name.substr(0, name.find(':'));
        for (char &c : name)
            c = mount ? (c == '_' ? '-' : static_cast<char>(std::tolower(c))) : c;
        return name;
    };
    std::vector<std::string> lines, allowed;
    for (const std::string &line : lines_of(plan))
        lines.push_back(field(line));
    for (const std::string &entry : entries) {
        const auto eq = entry.find('=');
        if (starts(entry, "HTTP_") && eq != std::string::npos &&
            server_made(entry.substr(5, eq - 5)))
            allowed.push_back(field(entry.substr(5, eq - 5)));
        if (starts(entry, "CONTENT_TYPE") && eq != std::string::npos)
            allowed.push_back(field("Content-Type" + entry.substr(12, eq - 12)));
    }
    for (const char *own : {"X-Forwarded-For", "X-Forwarded-Host", "X-Forwarded-Proto",
                            "X-Forwarded-Prefix", "Accept", "Expect"})
        allowed.push_back(field(own));
    for (const std::string &entry : entries) {
        const auto eq = entry.find('=');
        if (!starts(entry, "HTTP_") || eq == std::string::npos) continue;
        const std::string name = entry.substr(5, eq - 5);
        if (server_made(name) || name.find(':') != std::string::npos) continue;
        const std::string withheld = field(name);
        if (std::find(allowed.begin(), allowed.end(), withheld) != allowed.end()) continue;
        check(std::find(lines.begin(), lines.end(), withheld) == lines.end());
    }
    for (const std::string &line : lines)
        for (const char *framing : {"content-length", "transfer-encoding"})
            check(strcasecmp(line.c_str(), framing) != 0);
}

// Checks the plan of a request with "path=" against the references.
void check_path_form(const char *query, const char *method, const char *length,
                     const std::vector<std::string> &entries, const request_plan &plan) {
    const std::vector<std::string> lines = lines_of(plan);
    // What the request must turn into, worked out from the references.
    std::string value, url;
    std::vector<std::string> expected_lines;
    bool refuse = !reference_path(query, value) || !method;
    bool if_range = false, chunked = false;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if_range = if_range || starts(entries[i], "HTTP_IF_RANGE=");
        if (starts(entries[i], "HTTP_TRANSFER_ENCODING="))
            chunked = reference_chunked(entries[i].substr(std::strlen("HTTP_TRANSFER_ENCODING=")));
    }
    for (std::size_t i = 0; !refuse && i < entries.size(); ++i) {
        // Range goes only without If-Range.
        if (if_range && starts(entries[i], "HTTP_RANGE=")) continue;
        const std::string line = reference_line(entries[i]);
        refuse = line == "!";
        if (!line.empty() && !refuse) expected_lines.push_back(line);
    }
    if (!refuse) {
        url = reference_encoding(value);
        // Behind the port, anything but "/" or "?" would leave the authority.
        refuse = url.size() > 513 || (!url.empty() && url[0] != '/' && url[0] != '?');
    }
    std::int32_t body_size = 0;
    const bool is_get = !refuse && std::strncmp(method, "GET", 3) == 0;
    const bool is_post = !refuse && !is_get && std::strncmp(method, "POST", 4) == 0;
    if (is_post) refuse = !length || !reference_length(length, body_size);
    // An empty length beside a chunked upload: the body is read to its end.
    if (is_post && !refuse && *length == '\0' && chunked) body_size = -1;

    check(refuse == refused(plan));
    if (refuse) return;
    const upstream_request *request = request_of(plan);
    check((request != nullptr) == (is_get || is_post));
    if (!request) {
        check(std::get<own_answer>(plan.action).kind == own_answer_kind::not_forwarded);
        return;
    }
    check(request->style == request_style::path_form);
    check(request->method == (is_get ? "GET" : "POST"));
    check(request->url == "127.0.0.1:8011" + url);
    check(lines == expected_lines);
    if (!is_post) {
        check(request->body.extent == body_extent::none);
        return;
    }
    // A length below zero is not known: the body is read to its end.
    check(body_size < 0
              ? request->body.extent == body_extent::to_end
              : request->body.extent == body_extent::sized && request->body.size == body_size);
}

} // namespace

// Input: a flag byte (which of query, method and length are set, and
// whether the request came through FastCGI), then fields separated by zero
// bytes: query, method, length, entries...
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned flags = data[0];
    std::vector<std::string> fields(1);
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == 0)
            fields.emplace_back();
        else
            fields.back().push_back(static_cast<char>(data[i]));
    }
    fields.resize(std::max<std::size_t>(fields.size(), 3));
    const char *query = flags & 1 ? fields[0].c_str() : nullptr;
    const char *method = flags & 2 ? fields[1].c_str() : nullptr;
    const char *length = flags & 4 ? fields[2].c_str() : nullptr;
    std::vector<char *> envp;
    for (std::size_t i = 3; i < fields.size(); ++i)
        envp.push_back(fields[i].data());
    envp.push_back(nullptr);

    const bool fastcgi = flags & 8;
    cgi_vars vars = read_cgi_vars(envp.data());
    auto given = [](const char *text) { return text ? cgi_vars::var(text) : std::nullopt; };
    vars.query = given(query);
    vars.method = given(method);
    vars.content_length = given(length);
    const request_plan plan = plan_request(vars, fastcgi ? way_in::fastcgi : way_in::cgi);
    const std::vector<std::string> entries(fields.begin() + 3, fields.end());
    const bool mount = !query || !std::strstr(query, "path=");
    check_authority(plan);
    check_names(entries, plan, mount);
    // A FastCGI client reads the document form alone, and a Location as it is.
    if (fastcgi)
        check(plan.response.form == response_form::document && !plan.response.rename_location);
    if (mount) {
        check_mount(query, method, length, entries, fastcgi, plan);
        return 0;
    }
    check(!plan.response.mounted);
    check_path_form(query, method, length, entries, plan);
    return 0;
}

// Fuzzes request translation: a query, a method, a CONTENT_LENGTH and
// environment entries in. The plan is checked against references made
// here without the code under test: the C library's own reading of the path
// value (sscanf) and of CONTENT_LENGTH (atoi, strtoll for the range), and
// the header, Range, chunked-upload and encoding rules written out again.
#include "request/translate.hpp"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
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

// The header line for one entry: empty to skip it, "!" to refuse the request.
std::string reference_line(const std::string &entry) {
    const auto eq = entry.find('=');
    if (entry.find_first_of("\r\n") != std::string::npos || eq == std::string::npos) return "";
    const std::string name = entry.substr(0, eq), value = entry.substr(eq + 1);
    if (starts(entry, "HTTP_")) {
        if (name == "HTTP_CONNECTION" || name == "HTTP_UPGRADE" || name == "HTTP_TE") return "";
        return name.substr(5) + ":" + value;
    }
    if (starts(entry, "CONTENT_TYPE")) return "Content-Type" + name.substr(12) + ":" + value;
    if (starts(entry, "REMOTE_ADDR")) return value.size() > 47 ? "!" : "X-Forwarded-For:" + value;
    return "";
}

// Whether a Transfer-Encoding value names the chunked coding, as strtok and
// strcasecmp see its comma-separated items.
bool reference_chunked(std::string value) {
    for (char *item = std::strtok(value.data(), ","); item; item = std::strtok(nullptr, ",")) {
        while (*item && std::isspace(static_cast<unsigned char>(*item)))
            ++item;
        std::size_t n = std::strlen(item);
        while (n > 0 && std::isspace(static_cast<unsigned char>(item[n - 1])))
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

} // namespace

// Input: a flag byte (which of query, method and length are set), then
// fields separated by zero bytes: query, method, length, entries...
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

    const request_plan plan = plan_request(query, method, length, envp.data());

    std::vector<std::string> lines;
    for (const curl_slist *item = plan.headers.get(); item; item = item->next)
        lines.emplace_back(item->data);

    // What the request must turn into, worked out from the references.
    std::string value, url;
    std::vector<std::string> expected_lines;
    bool refuse = !query || !reference_path(query, value) || !method;
    bool if_range = false, chunked = false;
    for (std::size_t i = 3; i < fields.size(); ++i) {
        if_range = if_range || starts(fields[i], "HTTP_IF_RANGE=");
        if (starts(fields[i], "HTTP_TRANSFER_ENCODING="))
            chunked = reference_chunked(fields[i].substr(std::strlen("HTTP_TRANSFER_ENCODING=")));
    }
    for (std::size_t i = 3; !refuse && i < fields.size(); ++i) {
        // Range goes only without If-Range.
        if (if_range && starts(fields[i], "HTTP_RANGE=")) continue;
        const std::string line = reference_line(fields[i]);
        refuse = line == "!";
        if (!line.empty() && !refuse) expected_lines.push_back(line);
    }
    if (!refuse) {
        url = reference_encoding(value);
        refuse = url.size() > 513;
    }
    std::int32_t body_size = 0;
    const bool is_get = !refuse && std::strncmp(method, "GET", 3) == 0;
    const bool is_post = !refuse && !is_get && std::strncmp(method, "POST", 4) == 0;
    if (is_post) refuse = !length || !reference_length(length, body_size);
    // An empty length beside a chunked upload: the body is read to its end.
    if (is_post && !refuse && *length == '\0' && chunked) body_size = -1;

    check(refuse == (plan.action == request_action::refuse));
    if (refuse) return 0;
    check(plan.action == (is_get    ? request_action::get
                          : is_post ? request_action::post
                                    : request_action::ignore));
    check(plan.url == "127.0.0.1:8011" + url);
    check(lines == expected_lines);
    if (is_post) check(plan.content_length == body_size);
    return 0;
}

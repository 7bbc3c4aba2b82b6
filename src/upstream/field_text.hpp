// Text rules of HTTP field names and values: names compare without regard to
// ASCII case, and lists of names or codings are separated by commas.
#pragma once

#include <string_view>

constexpr char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Whether text begins with prefix, byte for byte (CGI variable names).
constexpr bool begins_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Whether a and b are the same without regard to ASCII case.
bool same_name(std::string_view a, std::string_view b);

// Whether text begins with prefix without regard to ASCII case.
bool begins_with_name(std::string_view text, std::string_view prefix);

// Whether a comma-separated list ("gzip, chunked") holds name, items taken
// without the blanks around them.
bool lists_name(std::string_view list, std::string_view name);

// Whether text holds a CR or LF: sent on, it would begin another line.
bool has_line_break(std::string_view text);

// The product token of a SERVER_SOFTWARE value: "busybox httpd/1.35.0"
// gives "busybox", "Apache/2.4.71 (Debian)" "Apache".
std::string_view server_product(std::string_view server_software);

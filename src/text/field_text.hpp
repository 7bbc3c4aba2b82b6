// Text rules of HTTP fields and CGI variables, shared by the request's
// translation and the answer's relay: blanks, field names compared without
// regard to ASCII case, comma lists, and the fields that end at the hop.
#pragma once

#include <string_view>

constexpr char ascii_lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr char ascii_upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// A blank inside a field line: space or tab.
constexpr bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// White space as the C locale's isspace sees it.
constexpr bool is_space(char c) {
    return is_blank(c) || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The text without the blanks in front of it, behind it, or both.
std::string_view skip_blanks(std::string_view text);
std::string_view drop_trailing_blanks(std::string_view text);
std::string_view trim_blanks(std::string_view text);

// The line that ends a header section.
constexpr bool is_blank_line(std::string_view line) {
    return line == "\r\n" || line == "\n";
}

// Whether c is one of HTTP's token characters (RFC 9110, 5.6.2).
constexpr bool is_token_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

// Whether text is an HTTP token: one or more token characters.
bool is_token(std::string_view text);

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

// A field line's name, without blanks before the colon; empty for a
// continuation line.
std::string_view field_name(std::string_view line);

// Whether the field, by its HTTP name in any case, describes one connection
// and so ends at the hop (RFC 9110, 7.6.1): Connection, Keep-Alive,
// Proxy-Connection, TE, Upgrade.
bool is_hop_by_hop(std::string_view http_name);

// Whether a CGI name behind "HTTP_", spelt exactly as web servers spell it
// (upper case, "_" for "-"), is one of the hop-by-hop fields a request with
// "path=" drops: Connection, TE and Upgrade.
bool is_dropped_by_path_form(std::string_view cgi_name);

// The product token of a SERVER_SOFTWARE value: "busybox httpd/1.35.0"
// gives "busybox", "Apache/2.4.71 (Debian)" "Apache".
std::string_view server_product(std::string_view server_software);

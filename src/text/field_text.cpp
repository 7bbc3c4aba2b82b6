#include "field_text.hpp"

#include <array>

namespace {

struct hop_field {
    std::string_view name;
    // A request with "path=" has always forwarded Keep-Alive and
    // Proxy-Connection under their CGI names; only the other three end here.
    bool path_form_drops;
};

constexpr std::array<hop_field, 5> hop_by_hop_fields = {{{"Connection", true},
                                                         {"Keep-Alive", false},
                                                         {"Proxy-Connection", false},
                                                         {"TE", true},
                                                         {"Upgrade", true}}};

// Whether cgi_name is http_name as a web server writes it: upper case, "-"
// as "_". A name in another spelling is not one any web server makes.
bool is_cgi_spelling(std::string_view cgi_name, std::string_view http_name) {
    if (cgi_name.size() != http_name.size()) return false;
    for (std::size_t i = 0; i < http_name.size(); ++i)
        if (cgi_name[i] != (http_name[i] == '-' ? '_' : ascii_upper(http_name[i]))) return false;
    return true;
}

} // namespace

std::string_view skip_blanks(std::string_view text) {
    while (!text.empty() && is_blank(text.front()))
        text.remove_prefix(1);
    return text;
}

std::string_view drop_trailing_blanks(std::string_view text) {
    while (!text.empty() && is_blank(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string_view trim_blanks(std::string_view text) {
    return drop_trailing_blanks(skip_blanks(text));
}

bool is_token(std::string_view text) {
    if (text.empty()) return false;
    for (const char c : text)
        if (!is_token_char(c)) return false;
    return true;
}

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && begins_with_name(a, b);
}

bool begins_with_name(std::string_view text, std::string_view prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (ascii_lower(text[i]) != ascii_lower(prefix[i])) return false;
    return true;
}

bool lists_name(std::string_view list, std::string_view name) {
    while (!list.empty()) {
        const auto comma = list.find(',');
        if (same_name(trim_blanks(list.substr(0, comma)), name)) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

bool has_line_break(std::string_view text) {
    // Two scans of memchr: find_first_of would call it once per byte.
    return text.find('\n') != std::string_view::npos || text.find('\r') != std::string_view::npos;
}

std::string_view field_name(std::string_view line) {
    if (line.empty() || is_blank(line[0])) return {};
    return drop_trailing_blanks(line.substr(0, line.find(':')));
}

bool is_hop_by_hop(std::string_view http_name) {
    for (const hop_field &hop : hop_by_hop_fields)
        if (same_name(http_name, hop.name)) return true;
    return false;
}

bool is_dropped_by_path_form(std::string_view cgi_name) {
    for (const hop_field &hop : hop_by_hop_fields)
        if (hop.path_form_drops && is_cgi_spelling(cgi_name, hop.name)) return true;
    return false;
}

std::string_view server_product(std::string_view server_software) {
    return server_software.substr(0, server_software.find_first_of("/ \t"));
}

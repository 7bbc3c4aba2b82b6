#include "field_text.hpp"

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
        std::string_view item = list.substr(0, comma);
        while (!item.empty() && (item.front() == ' ' || item.front() == '\t'))
            item.remove_prefix(1);
        while (!item.empty() && (item.back() == ' ' || item.back() == '\t'))
            item.remove_suffix(1);
        if (same_name(item, name)) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

bool has_line_break(std::string_view text) {
    // Two scans of memchr: find_first_of would call it once per byte.
    return text.find('\n') != std::string_view::npos || text.find('\r') != std::string_view::npos;
}

std::string_view server_product(std::string_view server_software) {
    return server_software.substr(0, server_software.find_first_of("/ \t"));
}

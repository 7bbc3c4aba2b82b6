#include "percent.hpp"

int percent_byte(std::string_view text, std::size_t at) {
    if (at + 2 >= text.size() || text[at] != '%') return -1;
    const int high = hex_value(text[at + 1]);
    const int low = hex_value(text[at + 2]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}

bool is_percent_encoded(std::string_view text) {
    for (std::size_t at = text.find('%'); at != std::string_view::npos; at = text.find('%', at + 1))
        if (percent_byte(text, at) < 0) return false;
    return true;
}

std::string percent_decode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const int byte = percent_byte(text, i);
        if (byte >= 0) {
            out.push_back(static_cast<char>(byte));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

#include "path_encoding.hpp"

#include "text/percent.hpp"

#include <array>

namespace {

// Letters, digits, and the characters that give a URL its structure. "+" is
// left out on purpose: it reaches the upstream as %2b, lower-case digits as
// every other byte written.
constexpr std::array<bool, 256> make_safe_set() {
    std::array<bool, 256> safe{};
    for (int c = 'a'; c <= 'z'; ++c)
        safe[c] = true;
    for (int c = 'A'; c <= 'Z'; ++c)
        safe[c] = true;
    for (int c = '0'; c <= '9'; ++c)
        safe[c] = true;
    for (unsigned char c : std::string_view("/_.-~?&="))
        safe[c] = true;
    return safe;
}
constexpr std::array<bool, 256> safe_set = make_safe_set();

} // namespace

curl_text decode_path(const char *text, CURL *handle) {
    int length = 0;
    if (handle) return curl_text(curl_easy_unescape(handle, text, 0, &length));
    const easy_handle own(curl_easy_init());
    if (!own) return nullptr;
    return curl_text(curl_easy_unescape(own.get(), text, 0, &length));
}

std::string encode_path(std::string_view text) {
    std::string out(3 * text.size(), '\0'); // worst case, allocated once
    std::size_t pos = 0;
    for (unsigned char b : text) {
        if (safe_set[b]) {
            out[pos++] = static_cast<char>(b);
        } else {
            out[pos++] = '%';
            out[pos++] = lower_hex_digits[b >> 4];
            out[pos++] = lower_hex_digits[b & 0x0f];
        }
    }
    out.resize(pos);
    return out;
}

// Percent-encoding's text rules (RFC 3986, 2.1): hex digits and "%XX".
#pragma once

#include <string>
#include <string_view>

// Both cases are written: a path with "path=" gets lower-case digits (as it
// always has), a mount request's target upper-case ones, as RFC 3986 asks.
constexpr std::string_view lower_hex_digits = "0123456789abcdef";
constexpr std::string_view upper_hex_digits = "0123456789ABCDEF";

// The value of a hex digit in either case, or -1.
constexpr int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The byte the "%XX" at `at` stands for, or -1 when there is none there.
int percent_byte(std::string_view text, std::size_t at);

// Whether every "%" in the text begins a "%XX".
bool is_percent_encoded(std::string_view text);

// The text with each "%XX" decoded; any other "%" stays as it is.
std::string percent_decode(std::string_view text);

// Re-encoding of the path value taken from the query string: decoded once,
// then encoded again with one fixed rule, so the upstream always sees one form.
#pragma once

#include <curl/curl.h>

#include <memory>
#include <string>
#include <string_view>

struct curl_text_free {
    void operator()(char *text) const { curl_free(text); }
};
using curl_text = std::unique_ptr<char, curl_text_free>;

// Percent-decodes the whole zero-terminated text with libcurl; null on failure.
// A decoded zero byte ends the text.
curl_text decode_path(const char *text);

// Encodes every byte outside the safe set as "%" and two lowercase hex digits.
std::string encode_path(std::string_view text);

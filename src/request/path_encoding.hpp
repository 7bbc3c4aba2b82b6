// Re-encoding of the path value taken from the query string: decoded once,
// then encoded again with one fixed rule, so the upstream always sees one form.
#pragma once

#include "upstream/curl_holders.hpp"

#include <string>
#include <string_view>

// Percent-decodes the whole zero-terminated text with libcurl; null on failure.
// A decoded zero byte ends the text. handle is one the caller keeps, or null
// for a short-lived one (a process that serves one request).
curl_text decode_path(const char *text, CURL *handle = nullptr);

// Encodes every byte outside the safe set as "%" and two lowercase hex digits.
std::string encode_path(std::string_view text);

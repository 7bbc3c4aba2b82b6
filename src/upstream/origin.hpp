// Where the upstream is: fixed, on the same machine. Every URL handed to
// libcurl has this authority and no other.
#pragma once

#include <string_view>

// The scheme and authority, as a mount request's URL and the upstream's own
// redirects spell them.
constexpr std::string_view upstream_origin = "http://127.0.0.1:8011";

// The authority alone, as a request with "path=" spells its URL (libcurl
// takes http:// for granted).
constexpr std::string_view upstream_base = upstream_origin.substr(7);

// What a mount request's answer says of URLs, rewritten so that they lead
// back through the mount: the upstream knows nothing of the prefix it is
// served under, nor of the client's scheme and host.
#pragma once

#include <string>
#include <string_view>

struct mount_view {
    std::string_view prefix; // SCRIPT_NAME, "/app"
    std::string_view origin; // the client's "scheme://host", or empty when not known
};

// A Location or Content-Location value: one that names the upstream's origin
// (http://127.0.0.1:8011/x) becomes origin + prefix + /x; a root-relative one
// (/x) becomes prefix + /x. A path already under the prefix (/app or /app/...)
// keeps it: an upstream that honours X-Forwarded-Prefix is not prefixed
// twice. Anything else is left as it is.
std::string rewrite_location(std::string_view value, const mount_view &mount);

// A Set-Cookie value whose Path attribute is a root-relative path, with that
// path under the prefix by the same rule (Path=/ becomes Path=/app/).
std::string rewrite_cookie(std::string_view value, const mount_view &mount);

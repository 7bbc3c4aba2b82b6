// WebDAV names the target of COPY and MOVE (Destination) and the resources an
// If field's conditions apply to by URL, as the client sees them: with the
// mount's prefix, on the client's scheme and host. The upstream knows them
// without either, so these fields are mapped on the way in, as rewrite.hpp
// maps Location on the way out.
#pragma once

#include "upstream/rewrite.hpp"

#include <string>
#include <string_view>

// A Destination value: an absolute URL on the mount's origin whose path is
// the prefix or lies under it (http://h/app/x), or a path under the prefix
// (/app/x), becomes http://127.0.0.1:8011 and the rest (/x). The prefix may
// come percent-encoded. Any other value is returned as it is.
std::string map_destination(std::string_view value, const mount_view &mount);

// An If field with each Resource-Tag (the <...> before a parenthesised
// list) mapped as a Destination; state tokens and entity tags inside the
// lists stay. A value that is not a well-formed list is returned as it is.
std::string map_if_tags(std::string_view value, const mount_view &mount);

// Appends a field's value to line: Destination and If (by name, in any
// case) mapped as above, every other field as it is.
void append_field_value(std::string &line, std::string_view name, std::string_view value,
                        const mount_view &mount);

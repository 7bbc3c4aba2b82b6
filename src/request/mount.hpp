// Mount requests: the upstream served under a URL prefix, asked the way a
// reverse proxy asks it. The gateway mapped to /app turns /app/api/items?p=2
// (SCRIPT_NAME /app, PATH_INFO /api/items, QUERY_STRING p=2) into a request
// for http://127.0.0.1:8011/api/items?p=2 with the client's method, its
// header fields under their HTTP names, and the forwarding fields.
#pragma once

#include "translate.hpp"

#include <optional>
#include <string>
#include <string_view>

// What the environment says of a mount request's target; empty views for
// variables that are not set.
struct mount_vars {
    std::string_view path_info;
    std::string_view script_name;
    std::optional<std::string_view> request_uri;
    std::string_view query;
};

// The request-target on the upstream: the path, "?" and the query when there
// is one. The path is the raw part of REQUEST_URI behind SCRIPT_NAME when it
// begins with "/" and reads back as PATH_INFO (so an encoded "/" or "?"
// stays encoded, as the client sent it); otherwise PATH_INFO with "?", "#",
// "%", blanks, control bytes and bytes outside ASCII written as %XX (which
// keeps a PATH_INFO without its leading "/" as it is: refused later).
std::string mount_target(const mount_vars &vars);

// The HTTP name of a CGI variable's name behind "HTTP_": each word
// capitalised, "_" turned into "-" ("X_API_KEY" gives "X-Api-Key"). Empty
// when the result is not an HTTP token.
std::string http_field_name(std::string_view cgi_name);

// The translation of a mount request: no QUERY_STRING or one without
// "path=", and PATH_INFO set and not empty; refused otherwise. A body in its
// chunk framing is refused where the way in has no decoder for it.
request_plan plan_mount(const cgi_vars &vars, way_in way);

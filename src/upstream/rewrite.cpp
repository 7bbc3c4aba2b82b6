#include "rewrite.hpp"

#include "origin.hpp"
#include "text/field_text.hpp"

namespace {

// The path under the prefix, unless it is there already.
std::string under_prefix(std::string_view path, std::string_view prefix) {
    if (prefix.empty() || prefix == "/") return std::string(path);
    if (path.substr(0, prefix.size()) == prefix) {
        const std::string_view rest = path.substr(prefix.size());
        if (rest.empty() || rest[0] == '/' || rest[0] == '?' || rest[0] == '#')
            return std::string(path);
    }
    if (prefix.back() == '/') prefix.remove_suffix(1);
    return std::string(prefix).append(path);
}

} // namespace

std::string rewrite_location(std::string_view value, const mount_view &mount) {
    if (begins_with_name(value, upstream_origin)) {
        std::string_view rest = value.substr(upstream_origin.size());
        if (rest.empty() || rest[0] == '/' || rest[0] == '?' || rest[0] == '#') {
            std::string path =
                rest.empty() || rest[0] != '/' ? "/" + std::string(rest) : std::string(rest);
            return std::string(mount.origin).append(under_prefix(path, mount.prefix));
        }
        return std::string(value);
    }
    // A root-relative reference; "//host/..." names another host.
    if (value.size() >= 1 && value[0] == '/' && (value.size() == 1 || value[1] != '/'))
        return under_prefix(value, mount.prefix);
    return std::string(value);
}

std::string rewrite_cookie(std::string_view value, const mount_view &mount) {
    std::string out;
    out.reserve(value.size() + mount.prefix.size());
    bool first = true;
    while (true) {
        const auto semicolon = value.find(';');
        const std::string_view part = value.substr(0, semicolon);
        const std::string_view name = trim_blanks(part.substr(0, part.find('=')));
        const auto eq = part.find('=');
        // The first part is the cookie's own name and value, never an attribute.
        if (!first && eq != std::string_view::npos && name.size() == 4 &&
            begins_with_name(name, "path")) {
            const std::string_view path = skip_blanks(part.substr(eq + 1));
            out.append(part.substr(0, part.size() - path.size()));
            const std::string_view bare = drop_trailing_blanks(path);
            if (!bare.empty() && bare[0] == '/')
                out.append(under_prefix(bare, mount.prefix));
            else
                out.append(bare);
            out.append(path.substr(bare.size()));
        } else {
            out.append(part);
        }
        first = false;
        if (semicolon == std::string_view::npos) break;
        out.append(1, ';');
        value.remove_prefix(semicolon + 1);
    }
    return out;
}

#include "destination.hpp"

#include "text/field_text.hpp"
#include "text/percent.hpp"
#include "upstream/origin.hpp"

namespace {

constexpr auto none = std::string_view::npos;

// How many bytes at the start of path spell prefix, a "%XX" counting as the
// byte it stands for (SCRIPT_NAME is decoded, the client's URL may not be);
// none when they do not. An encoded "/" is data, never a separator.
std::size_t spelled_length(std::string_view path, std::string_view prefix) {
    std::size_t at = 0;
    for (const char expected : prefix) {
        if (at >= path.size()) return none;
        if (const int decoded = percent_byte(path, at); decoded >= 0) {
            if (expected == '/' || static_cast<char>(decoded) != expected) return none;
            at += 3;
        } else {
            if (path[at] != expected) return none;
            ++at;
        }
    }
    return at;
}

constexpr bool ends_path(std::string_view rest) {
    return rest.empty() || rest[0] == '/' || rest[0] == '?' || rest[0] == '#';
}

} // namespace

std::string map_destination(std::string_view value, const mount_view &mount) {
    std::string_view path;
    if (!mount.origin.empty() && begins_with_name(value, mount.origin) &&
        ends_path(value.substr(mount.origin.size()))) {
        path = value.substr(mount.origin.size());
    } else if (!value.empty() && value[0] == '/' && (value.size() == 1 || value[1] != '/')) {
        // A path; "//host/..." names another host.
        path = value;
    } else {
        return std::string(value);
    }
    std::string_view prefix = mount.prefix;
    if (!prefix.empty() && prefix.back() == '/') prefix.remove_suffix(1);
    const std::size_t length = spelled_length(path, prefix);
    if (length == none || !ends_path(path.substr(length))) return std::string(value);
    const std::string_view rest = path.substr(length);
    std::string mapped(upstream_origin);
    if (rest.empty() || rest[0] != '/') mapped.push_back('/');
    return mapped.append(rest);
}

std::string map_if_tags(std::string_view value, const mount_view &mount) {
    std::string out;
    out.reserve(value.size());
    bool in_list = false;
    for (std::size_t at = 0; at < value.size();) {
        const char c = value[at];
        if (c == '<' || (c == '"' && in_list)) {
            // A tag or state token, or an entity tag's quoted text, which may
            // hold "<", "(" or ")".
            const auto close = value.find(c == '<' ? '>' : '"', at + 1);
            if (close == none) return std::string(value);
            const std::string_view inside = value.substr(at + 1, close - at - 1);
            out.push_back(c);
            if (c == '<' && !in_list)
                out.append(map_destination(inside, mount));
            else
                out.append(inside);
            out.push_back(value[close]);
            at = close + 1;
            continue;
        }
        if (c == '(' || c == ')') {
            if (in_list == (c == '(')) return std::string(value);
            in_list = c == '(';
        }
        out.push_back(c);
        ++at;
    }
    return in_list ? std::string(value) : out;
}

void append_field_value(std::string &line, std::string_view name, std::string_view value,
                        const mount_view &mount) {
    if (same_name(name, "Destination"))
        line.append(map_destination(value, mount));
    else if (same_name(name, "If"))
        line.append(map_if_tags(value, mount));
    else
        line.append(value);
}

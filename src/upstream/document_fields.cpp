#include "document_fields.hpp"

#include "response_form.hpp"
#include "text/field_text.hpp"

#include <algorithm>

namespace {

// The field line with its value rewritten for a mount request, or empty when
// it stays as it is.
std::string rewritten(std::string_view line, std::string_view name, const mount_view *mount) {
    if (!mount) return {};
    const bool location = same_name(name, "location") || same_name(name, "content-location");
    if (!location && !same_name(name, "set-cookie")) return {};
    const std::size_t start = line.size() - skip_blanks(line.substr(line.find(':') + 1)).size();
    std::size_t end = line.size();
    while (end > start &&
           (is_blank(line[end - 1]) || line[end - 1] == '\r' || line[end - 1] == '\n'))
        --end;
    const std::string_view value = line.substr(start, end - start);
    std::string out(line.substr(0, start));
    out.append(location ? rewrite_location(value, *mount) : rewrite_cookie(value, *mount));
    return out.append(line.substr(end));
}

} // namespace

void keep_document_fields(std::string &section, const field_rules &rules) {
    const bool rename_location =
        rules.rename_location && section.compare(0, 12, "Status: 200 ") == 0;
    std::string_view text = section;
    const std::size_t first_end = text.find('\n') + 1; // the Status line, always kept
    std::string connection;
    for (std::size_t at = first_end; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
        const std::string_view line = text.substr(at, end - at);
        if (same_name(field_name(line), "connection")) {
            std::string_view value = line.substr(line.find(':') + 1);
            value = value.substr(0, value.find_first_of("\r\n"));
            connection.append(value).append(1, ',');
        }
        at = end;
    }
    std::string kept(text.substr(0, first_end));
    bool dropping = false;
    for (std::size_t at = first_end; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
        const std::string_view line = text.substr(at, end - at);
        at = end;
        const std::string_view name = field_name(line);
        if (!name.empty() || is_blank_line(line))
            dropping = !is_blank_line(line) && (is_hop_by_hop(name) || same_name(name, "status") ||
                                                lists_name(connection, name));
        if (dropping) continue;
        std::string changed = rewritten(line, name, rules.mount);
        const std::string_view out = changed.empty() ? line : std::string_view(changed);
        if (rename_location && same_name(name, "location"))
            kept.append(renamed_location_field).append(out.substr(out.find(':')));
        else
            kept.append(out);
    }
    section = std::move(kept);
}

#include "translate.hpp"

#include "mount.hpp"
#include "path_encoding.hpp"
#include "text/field_text.hpp"

#include <limits>
#include <new>

namespace {

// "NAME=value" becomes "NAME:value"; no "=" means the entry is skipped. The
// CGI name stays as it is on purpose (ACCEPT_LANGUAGE:en), with no blank
// after the colon: what the upstream has always been sent.
header_result colon_line(std::string_view prefix, std::string_view rest) {
    const auto eq = rest.find('=');
    if (eq == std::string_view::npos) return {header_verdict::skip, {}};
    std::string line;
    line.reserve(prefix.size() + rest.size());
    line.append(prefix).append(rest.substr(0, eq)).append(1, ':').append(rest.substr(eq + 1));
    return {header_verdict::append, std::move(line)};
}

} // namespace

std::optional<std::string> extract_path(std::string_view query) {
    constexpr std::string_view key = "path=";
    // A plain text search on purpose: "xpath=/a" gives "/a" too.
    const auto at = query.find(key);
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view rest = query.substr(at + key.size());

    std::size_t start = 0;
    while (start < rest.size() && is_space(rest[start]))
        ++start;
    std::size_t end = start;
    // Cut at path_capacity characters on purpose, not refused: the rest is lost.
    while (end < rest.size() && end - start < path_capacity && !is_space(rest[end]))
        ++end;

    std::string value(rest.substr(start, end - start));
    // The first "&" after "path=" turns the parameters behind the path into
    // the upstream query; later ones stay. Blanks hold no "&", so when the
    // first one is not inside the value, the value has none to turn.
    if (const auto amp = rest.find('&'); amp < end) value[amp - start] = '?';
    return value;
}

header_result header_line(std::string_view entry) {
    // libcurl sends header lines verbatim: a CR or LF would inject lines.
    if (has_line_break(entry)) return {header_verdict::skip, {}};

    constexpr std::string_view http_prefix = "HTTP_";
    constexpr std::string_view content_type = "CONTENT_TYPE";
    constexpr std::string_view remote_addr = "REMOTE_ADDR";

    if (begins_with(entry, http_prefix)) {
        // The client's hop-by-hop fields end at the web server (RFC 9110,
        // 7.6.1). Forwarded, a Connection field could make the upstream drop
        // X-Forwarded-For, and an Upgrade field offer a protocol switch the
        // gateway cannot carry.
        const std::string_view name = entry.substr(0, entry.find('=')).substr(http_prefix.size());
        if (is_dropped_by_path_form(name) || !is_forwardable_name(name))
            return {header_verdict::skip, {}};
        return colon_line({}, entry.substr(http_prefix.size()));
    }
    // Prefix tests on purpose, as they always were: CONTENT_TYPE_X=1 gives
    // "Content-Type_X:1", and REMOTE_ADDRESS=a an X-Forwarded-For of a.
    if (begins_with(entry, content_type))
        return colon_line("Content-Type", entry.substr(content_type.size()));
    if (begins_with(entry, remote_addr)) {
        const auto eq = entry.find('=');
        if (eq == std::string_view::npos) return {header_verdict::skip, {}};
        const auto address = entry.substr(eq + 1);
        if (address.size() > forwarded_for_capacity) return {header_verdict::refuse, {}};
        return {header_verdict::append, "X-Forwarded-For:" + std::string(address)};
    }
    return {header_verdict::skip, {}};
}

bool is_forwardable_name(std::string_view cgi_name) {
    return cgi_name.find('-') == std::string_view::npos && (cgi_name.empty() || is_token(cgi_name));
}

bool has_upstream_authority(std::string_view url) {
    constexpr std::string_view scheme = "http://";
    if (begins_with(url, scheme)) url.remove_prefix(scheme.size());
    if (!begins_with(url, upstream_base)) return false;
    url.remove_prefix(upstream_base.size());
    return url.empty() || url.front() == '/' || url.front() == '?';
}

std::optional<std::int32_t> parse_content_length(std::string_view text) {
    // As atoi reads it, on purpose: white space, a sign, then digits up to
    // the first other byte ("12abc" is 12; "" and "abc" are 0).
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i]))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';

    constexpr std::int64_t limit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    std::int64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > limit) return std::nullopt;
    }
    if (negative) value = -value;
    if (value > std::numeric_limits<std::int32_t>::max()) return std::nullopt;
    return static_cast<std::int32_t>(value);
}

std::int64_t announced_size(const cgi_vars &vars) {
    // Only a POST's body is sure to be there to read: mini_httpd hands other
    // methods the client's connection, whose body it has already read itself.
    if (!vars.method || vars.method->substr(0, 4) != "POST" || !vars.content_length) return 0;
    return parse_content_length(*vars.content_length).value_or(0);
}

namespace {

// The translation of a request with "path=".
request_plan plan_path(const std::string &path, const cgi_vars &vars, CURL *decoder) {
    upstream_request request;
    curl_slist *tail = nullptr;
    for (char **entry = vars.envp; entry && *entry; ++entry) {
        // The upstream cannot see the If-Range condition (it arrives under a
        // name it does not know), so a Range sent on would get the bytes of
        // whatever version it has now, spliced onto the client's old copy.
        // Without Range it sends the whole representation, which is always a
        // correct answer to a range request.
        if (vars.if_range && begins_with(*entry, "HTTP_RANGE=")) continue;
        const header_result result = header_line(*entry);
        if (result.verdict == header_verdict::refuse) return {};
        if (result.verdict == header_verdict::skip) continue;
        if (!append_header(request.headers, tail, result.line.c_str())) return {};
    }

    const curl_text decoded = decode_path(path.c_str(), decoder);
    if (!decoded) return {};
    const std::string encoded = encode_path(decoded.get());
    if (encoded.size() > encoded_path_capacity) return {};
    request.url.reserve(upstream_base.size() + encoded.size());
    request.url.append(upstream_base).append(encoded);
    // "path=x" would give libcurl port 8011x.
    if (!has_upstream_authority(request.url) || !vars.method) return {};

    // Prefix tests on purpose, as they always were: GETX is taken as GET,
    // POSTX as POST.
    const std::string_view method = *vars.method;
    if (begins_with(method, "GET")) {
        request.method = "GET";
    } else if (begins_with(method, "POST")) {
        if (!vars.content_length) return {};
        const std::optional<std::int32_t> length = parse_content_length(*vars.content_length);
        if (!length) return {};
        // A chunked upload has no length in advance: nginx, streaming it,
        // hands over an empty CONTENT_LENGTH. Read as 0 it would reach the
        // upstream as an empty POST; its body is read to the end instead. A
        // negative length is not known either.
        const bool chunked =
            vars.last_transfer_encoding && lists_name(*vars.last_transfer_encoding, "chunked");
        const bool to_end = *length < 0 || (vars.content_length->empty() && chunked);
        request.method = "POST";
        request.body = {to_end ? body_extent::to_end : body_extent::sized, *length, false};
    } else {
        return {own_answer{own_answer_kind::not_forwarded}, {}};
    }
    return {std::move(request), {}};
}

} // namespace

request_plan plan_request(const cgi_vars &vars, way_in way, CURL *decoder) noexcept {
    request_plan plan;
    try {
        // mini_httpd sets no QUERY_STRING when the URL has no query: without
        // one, a request is a mount request or refused.
        const std::optional<std::string> path =
            vars.query ? extract_path(*vars.query) : std::nullopt;
        plan = path ? plan_path(*path, vars, decoder) : plan_mount(vars, way);
    } catch (const std::bad_alloc &) {
        plan = request_plan{}; // refused, like any other failed allocation
    }
    response_rules &rules = plan.response;
    const char *software = vars.server_software ? vars.server_software->data() : nullptr;
    // Every FastCGI client parses the standard document response; a mount
    // request's answer takes it under every server (it has no earlier output
    // to keep).
    rules.form = way == way_in::fastcgi || rules.mounted ? response_form::document
                                                         : form_for_server(software);
    rules.rename_location = way == way_in::cgi && renames_location(software);
    if (auto *answer = std::get_if<own_answer>(&plan.action))
        answer->announced = announced_size(vars);
    return plan;
}

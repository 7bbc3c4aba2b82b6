// Fuzzes request translation: a query, a method, a CONTENT_LENGTH and
// environment entries in; the plan must stay within its limits and refuse
// exactly the requests that must be refused.
#include "request/path_encoding.hpp"
#include "request/translate.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

bool is_safe(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           std::string_view("/_.-~?&=").find(static_cast<char>(c)) != std::string_view::npos;
}

bool is_lower_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

void check(bool condition) {
    if (!condition) std::abort();
}

} // namespace

// Input: a flag byte (which of query, method and length are set), then
// fields separated by zero bytes: query, method, length, entries...
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned flags = data[0];
    std::vector<std::string> fields(1);
    for (std::size_t i = 1; i < size; ++i) {
        if (data[i] == 0)
            fields.emplace_back();
        else
            fields.back().push_back(static_cast<char>(data[i]));
    }
    fields.resize(std::max<std::size_t>(fields.size(), 3));
    const char *query = flags & 1 ? fields[0].c_str() : nullptr;
    const char *method = flags & 2 ? fields[1].c_str() : nullptr;
    const char *length = flags & 4 ? fields[2].c_str() : nullptr;
    std::vector<char *> envp;
    for (std::size_t i = 3; i < fields.size(); ++i)
        envp.push_back(fields[i].data());
    envp.push_back(nullptr);

    const request_plan plan = plan_request(query, method, length, envp.data());

    // Every line is a header line that cannot inject another one.
    for (const curl_slist *item = plan.headers.get(); item; item = item->next) {
        const std::string_view line(item->data);
        check(line.find_first_of("\r\n") == std::string_view::npos);
        check(line.find(':') != std::string_view::npos);
    }

    // The refusal, worked out again from the parts.
    bool refuse = !query;
    std::optional<std::string> path;
    if (!refuse) path = extract_path(query);
    refuse = refuse || !path;
    for (std::size_t i = 3; !refuse && i < fields.size(); ++i)
        refuse = header_line(fields[i]).verdict == header_verdict::refuse;
    if (!refuse) {
        const curl_text decoded = decode_path(path->c_str());
        refuse = !decoded || encode_path(decoded.get()).size() > encoded_path_capacity;
    }
    refuse = refuse || !method;
    if (!refuse && std::string_view(method).substr(0, 3) != "GET" &&
        std::string_view(method).substr(0, 4) == "POST")
        refuse = !length || !parse_content_length(length);
    check(refuse == (plan.action == request_action::refuse));
    if (refuse) return 0;

    // The URL: the fixed base, then at most 513 characters, every byte
    // outside the safe set written as "%" and two lowercase hex digits.
    check(path->size() <= path_capacity);
    check(plan.url.compare(0, upstream_base.size(), upstream_base) == 0);
    const std::string_view rest = std::string_view(plan.url).substr(upstream_base.size());
    check(rest.size() <= encoded_path_capacity);
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%') {
            check(i + 2 < rest.size() && is_lower_hex(rest[i + 1]) && is_lower_hex(rest[i + 2]));
            i += 2;
        } else {
            check(is_safe(static_cast<unsigned char>(rest[i])));
        }
    }
    return 0;
}

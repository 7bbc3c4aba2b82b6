#include "record_codec.hpp"

#include <algorithm>

namespace fastcgi {

namespace {

std::uint8_t byte_at(std::string_view bytes, std::size_t i) {
    return static_cast<std::uint8_t>(bytes[i]);
}

void append_length(std::string &out, std::size_t length) {
    if (length < 0x80) {
        out.push_back(static_cast<char>(length));
        return;
    }
    out.push_back(static_cast<char>(0x80 | ((length >> 24) & 0x7f)));
    out.push_back(static_cast<char>((length >> 16) & 0xff));
    out.push_back(static_cast<char>((length >> 8) & 0xff));
    out.push_back(static_cast<char>(length & 0xff));
}

// A length at the front of bytes: its value and how many bytes it took, or
// 0 bytes when it is cut off.
std::pair<std::size_t, std::size_t> split_length(std::string_view bytes) {
    if (bytes.empty()) return {0, 0};
    const std::uint8_t first = byte_at(bytes, 0);
    if (first < 0x80) return {first, 1};
    if (bytes.size() < 4) return {0, 0};
    const std::size_t value = (static_cast<std::size_t>(first & 0x7f) << 24) |
                              (static_cast<std::size_t>(byte_at(bytes, 1)) << 16) |
                              (static_cast<std::size_t>(byte_at(bytes, 2)) << 8) |
                              byte_at(bytes, 3);
    return {value, 4};
}

} // namespace

split_result split_record(std::string_view bytes) {
    split_result result;
    if (bytes.empty()) return result;
    // The version is the first byte: a wrong one is known at once.
    if (byte_at(bytes, 0) != protocol_version) {
        result.status = split_status::bad_version;
        return result;
    }
    if (bytes.size() < header_size) return result;
    const std::size_t length = (std::size_t{byte_at(bytes, 4)} << 8) | byte_at(bytes, 5);
    const std::size_t padding = byte_at(bytes, 6);
    if (bytes.size() < header_size + length + padding) return result;
    result.status = split_status::complete;
    result.found.type = static_cast<record_type>(byte_at(bytes, 1));
    result.found.request_id =
        static_cast<std::uint16_t>((std::uint16_t{byte_at(bytes, 2)} << 8) | byte_at(bytes, 3));
    result.found.content = bytes.substr(header_size, length);
    result.used = header_size + length + padding;
    return result;
}

void append_record(std::string &out, record_type type, std::uint16_t request_id,
                   std::string_view content) {
    const char header[header_size] = {static_cast<char>(protocol_version),
                                      static_cast<char>(type),
                                      static_cast<char>(request_id >> 8),
                                      static_cast<char>(request_id & 0xff),
                                      static_cast<char>(content.size() >> 8),
                                      static_cast<char>(content.size() & 0xff),
                                      0,
                                      0};
    out.append(header, header_size);
    out.append(content);
}

void append_stream(std::string &out, record_type type, std::uint16_t request_id,
                   std::string_view data) {
    while (!data.empty()) {
        const std::size_t n = std::min(data.size(), max_content);
        append_record(out, type, request_id, data.substr(0, n));
        data.remove_prefix(n);
    }
}

void append_end_request(std::string &out, std::uint16_t request_id, std::uint32_t app_status,
                        protocol_status status) {
    append_record(out, record_type::stdout_stream, request_id, {});
    const char body[8] = {static_cast<char>(app_status >> 24),
                          static_cast<char>((app_status >> 16) & 0xff),
                          static_cast<char>((app_status >> 8) & 0xff),
                          static_cast<char>(app_status & 0xff),
                          static_cast<char>(status),
                          0,
                          0,
                          0};
    append_record(out, record_type::end_request, request_id, {body, sizeof body});
}

void append_unknown_type(std::string &out, record_type type) {
    const char body[8] = {static_cast<char>(type), 0, 0, 0, 0, 0, 0, 0};
    append_record(out, record_type::unknown_type, 0, {body, sizeof body});
}

bool parse_begin_body(std::string_view content, begin_body &body) {
    if (content.size() != 8) return false;
    body.role =
        static_cast<std::uint16_t>((std::uint16_t{byte_at(content, 0)} << 8) | byte_at(content, 1));
    body.flags = byte_at(content, 2);
    return true;
}

namespace {

// The two lengths at the front of bytes and how many bytes they take; 0
// used when either is not all there.
struct pair_lengths {
    std::size_t name = 0, value = 0, used = 0;
};

pair_lengths split_lengths(std::string_view bytes) {
    const auto [name_length, name_used] = split_length(bytes);
    if (name_used == 0) return {};
    const auto [value_length, value_used] = split_length(bytes.substr(name_used));
    if (value_used == 0) return {};
    return {name_length, value_length, name_used + value_used};
}

// The answer for bytes that end before the pair's lengths do (end when there
// are none, else truncated), with lengths read where they are all there.
pair_result start_pair(std::string_view bytes, pair_lengths &lengths) {
    pair_result result;
    if (bytes.empty()) return result;
    result.status = pair_status::truncated;
    lengths = split_lengths(bytes);
    return result;
}

} // namespace

pair_result split_pair_lengths(std::string_view bytes) {
    pair_lengths lengths;
    pair_result result = start_pair(bytes, lengths);
    if (lengths.used == 0) return result;
    result.status = pair_status::complete;
    // At most 2^32: no overflow in a 64-bit size.
    result.used = lengths.used + lengths.name + lengths.value;
    return result;
}

pair_result split_pair(std::string_view bytes) {
    pair_lengths lengths;
    pair_result result = start_pair(bytes, lengths);
    if (lengths.used == 0) return result;
    const std::size_t at = lengths.used;
    // Compared by parts, so that lengths near 2^31 cannot wrap around.
    const std::size_t left = bytes.size() - at;
    if (lengths.name > left || lengths.value > left - lengths.name) return result;
    result.status = pair_status::complete;
    result.pair.name = bytes.substr(at, lengths.name);
    result.pair.value = bytes.substr(at + lengths.name, lengths.value);
    result.used = at + lengths.name + lengths.value;
    return result;
}

void append_pair(std::string &out, std::string_view name, std::string_view value) {
    append_length(out, name.size());
    append_length(out, value.size());
    out.append(name);
    out.append(value);
}

} // namespace fastcgi

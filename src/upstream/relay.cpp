#include "relay.hpp"

#include <cerrno>
#include <cstring>
#include <sys/uio.h>

namespace {

constexpr std::string_view status_prefix = "Status:";
constexpr std::string_view version_1_0 = "HTTP/1.0";
constexpr std::size_t code_offset = version_1_0.size() + 1; // past the version and one blank

relay_state state; // one response per process

bool is_blank_line(std::string_view line) {
    return line == "\r\n" || line == "\n";
}

// The same test libcurl makes before it removes the chunk framing.
bool is_transfer_encoding(std::string_view line) {
    constexpr std::string_view name = "transfer-encoding:";
    if (line.size() < name.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        char c = line[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != name[i]) return false;
    }
    return true;
}

bool keep_header_line(relay_state &st, std::string_view line) {
    if (st.final_headers_ended) return false; // a trailer: the body is already out
    if (line.substr(0, 5) == "HTTP/") {
        const auto blank = line.find(' ');
        st.interim_section =
            blank != std::string_view::npos && blank + 1 < line.size() && line[blank + 1] == '1';
        return true;
    }
    if (is_blank_line(line)) {
        if (!st.interim_section) st.final_headers_ended = true;
        return true;
    }
    // The body reaches the web server already de-chunked.
    return !is_transfer_encoding(line);
}

// Writes both pieces whole, retrying short writes.
bool write_out(std::string_view first, std::string_view second) {
    iovec iov[2] = {{const_cast<char *>(first.data()), first.size()},
                    {const_cast<char *>(second.data()), second.size()}};
    iovec *next = iov;
    int left = 2;
    while (left > 0) {
        if (next->iov_len == 0) {
            ++next;
            --left;
            continue;
        }
        const ssize_t written = writev(1, next, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        auto done = static_cast<std::size_t>(written);
        while (left > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --left;
        }
        if (left > 0) {
            next->iov_base = static_cast<char *>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
    return true;
}

} // namespace

int header_stream_marker;

std::string_view status_block(std::string_view chunk, status_buffer &buffer) {
    const auto at = chunk.find(version_1_0);
    if (at == std::string_view::npos) return {};
    std::memcpy(buffer.data(), status_prefix.data(), status_prefix.size());
    std::size_t length = status_prefix.size();
    const std::size_t code_end = status_prefix.size() + 4;
    for (std::size_t i = at + code_offset; i < chunk.size() && length < code_end; ++i) {
        const char c = chunk[i];
        if (c == '\0' || c == '\r' || c == '\n') break;
        buffer[length++] = c;
    }
    // A bare "Status:" would be a malformed header line; leave the line alone.
    if (length == status_prefix.size()) return {};
    // The status line follows directly, so the code must end in a blank: a
    // reply without a reason phrase ("HTTP/1.0 200") would otherwise give
    // "Status:200HTTP/1.0 200", which web servers reject.
    if (buffer[length - 1] != ' ' && buffer[length - 1] != '\t') buffer[length++] = ' ';
    return {buffer.data(), length};
}

relay_plan plan_chunk(relay_state &st, std::string_view chunk, bool is_header,
                      status_buffer &buffer) {
    const bool first = !st.first_chunk_seen;
    st.first_chunk_seen = true;
    if (is_header) {
        if (!keep_header_line(st, chunk)) return {{}, false};
    } else {
        st.final_headers_ended = true;
    }
    return {first ? status_block(chunk, buffer) : std::string_view{}, true};
}

std::size_t relay_chunk(char *data, std::size_t size, std::size_t count, void *user) {
    const std::size_t n = size * count;
    status_buffer buffer;
    const relay_plan plan = plan_chunk(state, {data, n}, user == &header_stream_marker, buffer);
    if (!plan.keep_chunk) return n;
    // Straight to the descriptor, so a streamed response is never held back.
    // When the web server has gone away, end the transfer instead of reading
    // a response nobody will see.
    return write_out(plan.block, {data, n}) ? n : 0;
}

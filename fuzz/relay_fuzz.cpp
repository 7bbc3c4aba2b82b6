// Fuzzes the relay: any sequence of header and body chunks in. Body bytes must
// come out unchanged and in order, at most one Status block may appear and
// only in front of the first chunk, and no zero byte may come from the relay.
#include "upstream/relay.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

} // namespace

// Input: records of a flag byte (bit 0: header line), a length byte, and
// that many bytes of chunk.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    relay_state state;
    std::string body_in, body_out;
    bool first = true, trailers = false;
    std::size_t i = 0;
    while (i + 2 <= size) {
        const bool is_header = data[i] & 1;
        const std::size_t n = std::min<std::size_t>(data[i + 1], size - i - 2);
        const std::string_view chunk(reinterpret_cast<const char *>(data + i + 2), n);
        i += 2 + n;

        status_buffer buffer;
        const relay_plan plan = plan_chunk(state, chunk, is_header, buffer);
        if (!plan.block.empty()) {
            check(first);
            check(plan.block.substr(0, 7) == "Status:" && plan.block.size() <= 12);
            check(plan.block.find('\0') == std::string_view::npos);
            check(plan.block.find_first_of("\r\n") == std::string_view::npos);
        }
        if (!is_header) {
            check(plan.keep_chunk);
            body_in.append(chunk);
            body_out.append(chunk);
            trailers = true;
        } else if (trailers) {
            check(!plan.keep_chunk); // a header line after the body is a trailer
        }
        first = false;
    }
    check(body_in == body_out);
    return 0;
}

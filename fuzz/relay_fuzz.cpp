// Fuzzes the relay: any sequence of header and body chunks in, in either
// form. Body bytes must come out unchanged and in order with no header text
// after them; no Transfer-Encoding line and no zero byte may come from the
// relay; a document response begins with its Status line and never lets an
// upstream status line, hop-by-hop field or Status field through. A
// transfer that fails is a cut exactly when something of the upstream's
// answer went out before its end or goes out at it (not the 502 answer).
#include "upstream/exchange.hpp"
#include "upstream/relay.hpp"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

bool has_line_starting(std::string_view text, std::string_view start, bool ignore_case) {
    for (std::size_t at = 0; at < text.size();) {
        std::string_view line = text.substr(at, start.size());
        bool same = line.size() == start.size();
        for (std::size_t i = 0; same && i < line.size(); ++i) {
            char c = line[i];
            if (ignore_case && c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
            same = c == start[i];
        }
        if (same) return true;
        const auto end = text.find('\n', at);
        if (end == std::string_view::npos) break;
        at = end + 1;
    }
    return false;
}

// A status line as libcurl accepts it: "HTTP/d.d NNN" with no leading zero.
// Returns its code, or 0.
int accepted_status(std::string_view line) {
    const bool shape = line.size() >= 12 && line.substr(0, 5) == "HTTP/" && line[6] == '.' &&
                       line[8] == ' ' && line[5] >= '0' && line[5] <= '9' && line[7] >= '0' &&
                       line[7] <= '9' && line[9] >= '1' && line[9] <= '9';
    if (!shape) return 0;
    int code = 0;
    for (std::size_t i = 9; i < 12; ++i) {
        if (line[i] < '0' || line[i] > '9') return 0;
        code = code * 10 + (line[i] - '0');
    }
    return code;
}

} // namespace

// Input: a form byte, then records of a flag byte (bit 0: header line), a
// length byte, and that many bytes of chunk.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    relay_state state;
    state.rules.form = data[0] & 1 ? response_form::document : response_form::passthrough;
    std::string body_in, body_out, heads;
    std::size_t zeros_in = 0;
    bool body_seen = false;
    int section_code = 0;           // of the section being delivered, as libcurl reads it
    bool final_before_body = false; // the last whole section before any body was not 1xx
    std::size_t i = 1;
    while (i + 2 <= size) {
        const bool is_header = data[i] & 1;
        const std::size_t n = std::min<std::size_t>(data[i + 1], size - i - 2);
        const std::string_view chunk(reinterpret_cast<const char *>(data + i + 2), n);
        i += 2 + n;
        // libcurl hands over header lines one at a time, each ending in LF.
        if (is_header && (chunk.empty() || chunk.find('\n') != chunk.size() - 1)) continue;
        if (is_header && !body_seen) {
            if (chunk.substr(0, 5) == "HTTP/") {
                section_code = accepted_status(chunk);
                final_before_body = false;
            }
            if (chunk == "\r\n" || chunk == "\n") final_before_body = section_code >= 200;
        }

        const relay_output out = plan_chunk(state, chunk, is_header);
        if (body_seen) check(out.head.empty()); // trailers never go out
        heads.append(out.head);
        if (is_header) {
            zeros_in += static_cast<std::size_t>(std::count(chunk.begin(), chunk.end(), '\0'));
            check(out.chunk.empty());
        } else {
            check(out.chunk.data() == chunk.data() && out.chunk.size() == chunk.size());
            body_in.append(chunk);
            body_out.append(out.chunk);
            body_seen = true;
        }
        relay_written(state);
    }
    const transfer_end failed = end_of_transfer(CURLE_PARTIAL_FILE, state);
    check(end_of_transfer(CURLE_OK, state) == transfer_end::complete);
    const bool written_before = body_seen || !heads.empty();
    const std::string_view rest = plan_finish(state);
    if (body_seen) check(rest.empty());
    const bool no_answer = state.rules.form == response_form::document
                               ? rest.empty() || rest == "Status: 502 Bad Gateway\r\n\r\n"
                               : rest.empty();
    check((failed == transfer_end::cut) == (written_before || !no_answer));
    heads.append(rest);

    check(body_in == body_out);
    check(!has_line_starting(heads, "transfer-encoding:", true));
    check(static_cast<std::size_t>(std::count(heads.begin(), heads.end(), '\0')) <= zeros_in);
    if (state.rules.form == response_form::document) {
        check(!has_line_starting(heads, "HTTP/", false));
        check(!has_line_starting(heads, "connection:", true));
        check(!has_line_starting(heads, "keep-alive:", true));
        // The Status line is the gateway's own; an upstream field of that
        // name would override it.
        check(!has_line_starting(std::string_view(heads).substr(heads.find('\n') + 1),
                                 "status:", true));
        // One header section, which begins with its Status line: the
        // upstream's, or the 502 answer when no response came.
        if (final_before_body || !body_seen) check(heads.substr(0, 8) == "Status: ");
    }
    return 0;
}

#include "relay.hpp"

#include "document_fields.hpp"
#include "text/field_text.hpp"

#include <cstring>

namespace {

constexpr std::string_view status_prefix = "Status:";
constexpr std::string_view version_1_0 = "HTTP/1.0";
constexpr std::size_t code_offset = version_1_0.size() + 1; // past the version and one blank

// libcurl answers a 417 to its own "Expect: 100-continue" by sending the
// request again without it when the connection stays open, and then
// delivers a second response. Such a section is held back until it is known
// to be the final one: body bytes follow, or the transfer ends.
constexpr std::string_view replaceable_code = "417";

bool is_status_line(std::string_view line) {
    return line.substr(0, 5) == "HTTP/";
}

// The three digits of "HTTP/x.y NNN reason", or empty.
std::string_view status_code(std::string_view line) {
    const auto blank = line.find(' ');
    if (blank == std::string_view::npos) return {};
    const std::string_view code = line.substr(blank + 1, 3);
    if (code.size() != 3) return {};
    for (char c : code)
        if (c < '0' || c > '9') return {};
    return code;
}

// "Status: NNN reason" for the upstream's status line. libcurl refuses a
// status line without a three-digit code, so the fallback is for safety.
void append_status_line(std::string &out, std::string_view line) {
    const std::string_view code = status_code(line);
    if (code.empty()) {
        out.append(bad_gateway_answer.substr(0, bad_gateway_answer.size() - 2));
        return;
    }
    const std::size_t after_code = static_cast<std::size_t>(code.data() - line.data()) + 3;
    std::string_view reason = line.substr(after_code);
    reason = reason.substr(0, reason.find_first_of("\r\n"));
    if (!reason.empty() && (reason[0] == ' ' || reason[0] == '\t')) reason.remove_prefix(1);
    out.append("Status: ").append(code).append(1, ' ').append(reason).append("\r\n");
}

// What a chunk is to the phases of the relay.
enum class relay_event { status_line, field_line, blank_line, body_bytes, end };

relay_phase after_section(section_kind kind) {
    return kind == section_kind::interim       ? relay_phase::awaiting
           : kind == section_kind::replaceable ? relay_phase::held
                                               : relay_phase::body;
}

// Every move between phases. A document response is made of sections that
// begin with a status line, so lines outside one are dropped there; the
// passthrough form relays them as a section of their own.
relay_phase next_phase(const relay_state &st, relay_event event) {
    const bool passthrough = st.rules.form == response_form::passthrough;
    switch (st.phase) {
    case relay_phase::awaiting:
        switch (event) {
        case relay_event::status_line:
            return relay_phase::gathering;
        case relay_event::field_line:
            return passthrough ? relay_phase::gathering : relay_phase::awaiting;
        case relay_event::blank_line:
            return passthrough ? after_section(st.kind) : relay_phase::awaiting;
        case relay_event::body_bytes:
            return relay_phase::body;
        case relay_event::end:
            return relay_phase::awaiting;
        }
        break;
    case relay_phase::gathering:
        switch (event) {
        case relay_event::status_line: // begins the section anew
        case relay_event::field_line:
        case relay_event::end: // a cut section
            return relay_phase::gathering;
        case relay_event::blank_line:
            return after_section(st.kind);
        case relay_event::body_bytes:
            return relay_phase::body;
        }
        break;
    case relay_phase::held:
        switch (event) {
        case relay_event::status_line: // libcurl retried: the new section replaces it
            return relay_phase::gathering;
        case relay_event::field_line:
        case relay_event::blank_line:
            return relay_phase::held;
        case relay_event::body_bytes: // the held section was the final one
        case relay_event::end:
            return relay_phase::body;
        }
        break;
    case relay_phase::body:
        // After the final section come only body bytes and trailers, which
        // are left out: the body before them has already gone out.
        break;
    }
    return relay_phase::body;
}

section_kind kind_of(std::string_view status_line) {
    const std::string_view code = status_code(status_line);
    if (!code.empty() && code[0] == '1') return section_kind::interim;
    if (code == replaceable_code) return section_kind::replaceable;
    return section_kind::final;
}

void begin_section(relay_state &st, std::string_view line) {
    st.section.clear();
    st.kind = kind_of(line);
    st.replaceable_seen = st.replaceable_seen || st.kind == section_kind::replaceable;
    if (st.rules.form == response_form::document) {
        // A CGI response has one header section: interim ones are left out.
        if (st.kind != section_kind::interim) append_status_line(st.section, line);
        return;
    }
    // The Status block goes in front of the first status line written.
    if (!st.written) {
        status_buffer buffer;
        st.section.append(status_block(line, buffer));
    }
    st.section.append(line);
}

void append_field(relay_state &st, std::string_view line) {
    // The body reaches the web server already de-chunked. A prefix test,
    // as libcurl makes before it removes the chunk framing.
    if (begins_with_name(line, "transfer-encoding:")) return;
    if (st.rules.form == response_form::document && st.kind == section_kind::interim) return;
    st.section.append(line);
}

// The section ended at its blank line and is now in `next`.
relay_output end_section(relay_state &st, std::string_view blank, relay_phase next) {
    const bool interim = next == relay_phase::awaiting;
    if (interim && st.rules.form == response_form::document) return {};
    st.section.append(blank);
    if (st.rules.form == response_form::document) {
        const mount_view mount{st.rules.mount_prefix, st.rules.mount_origin};
        keep_document_fields(st.section,
                             {st.rules.rename_location, st.rules.mounted ? &mount : nullptr});
    }
    if (next == relay_phase::held) return {};
    st.written = true;
    return {st.section, {}};
}

relay_output plan_header_line(relay_state &st, std::string_view line) {
    const relay_event event = is_status_line(line)  ? relay_event::status_line
                              : is_blank_line(line) ? relay_event::blank_line
                                                    : relay_event::field_line;
    const relay_phase was = st.phase;
    st.phase = next_phase(st, event);
    if (st.phase == relay_phase::body && was == relay_phase::body) return {};
    switch (event) {
    case relay_event::status_line:
        begin_section(st, line);
        return {};
    case relay_event::field_line:
        if (st.phase == relay_phase::gathering) append_field(st, line);
        return {};
    case relay_event::blank_line:
        if (was == relay_phase::held ||
            (was == relay_phase::awaiting && st.rules.form == response_form::document))
            return {};
        return end_section(st, line, st.phase);
    case relay_event::body_bytes:
    case relay_event::end:
        break;
    }
    return {};
}

} // namespace

std::string_view status_block(std::string_view chunk, status_buffer &buffer) {
    // Only an HTTP/1.0 status line gets a block, on purpose: an HTTP/1.1 one
    // goes out alone, as it always has. The bytes after the version are
    // copied as they stand, digits or not.
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

relay_output plan_chunk(relay_state &st, std::string_view chunk, bool is_header) {
    if (is_header) return plan_header_line(st, chunk);
    // Body data: whatever header text waits goes out in front of it, and
    // from here on the section is the final one.
    st.phase = next_phase(st, relay_event::body_bytes);
    st.written = true;
    return {st.section, chunk};
}

std::string_view plan_finish(relay_state &st) {
    const relay_phase was = st.phase;
    st.phase = next_phase(st, relay_event::end);
    if (was == relay_phase::held) { // the held section was the final one
        st.written = true;
        return st.section;
    }
    if (st.rules.form == response_form::passthrough)
        return st.section; // the lines of a cut section
    // A document response needs a complete header section: when none went
    // out, the upstream gave no usable answer.
    if (st.written) return {};
    st.written = true;
    st.section.assign(bad_gateway_answer);
    return st.section;
}

void relay_written(relay_state &st) {
    // Header text still being gathered, or held, stays; what went out is done.
    if (st.phase != relay_phase::gathering && st.phase != relay_phase::held) st.section.clear();
}

bool answer_began(const relay_state &st) {
    // A passthrough form's cut section still goes out, as far as it came; a
    // document form's is replaced by the 502 answer.
    return st.written || st.phase == relay_phase::held ||
           (st.rules.form == response_form::passthrough && !st.section.empty());
}

std::size_t relay_chunk(char *data, std::size_t size, std::size_t count, void *user) noexcept {
    const std::size_t n = size * count;
    const auto &stream = *static_cast<relay_stream *>(user);
    relay_context &context = *stream.context;
    try {
        const relay_output out = plan_chunk(context.state, {data, n}, stream.is_header);
        if (out.head.empty() && out.chunk.empty()) return n;
        // Straight to the web server, so a streamed response is never held
        // back. When it has gone away, end the transfer instead of reading a
        // response nobody will see.
        const bool written = context.sink.write(context.sink.target, out.head, out.chunk);
        relay_written(context.state);
        return written ? n : 0;
    } catch (...) {
        return 0; // out of memory: no exception may cross libcurl
    }
}

void relay_finish(relay_context &context) noexcept {
    const std::string_view rest = plan_finish(context.state);
    if (!rest.empty()) context.sink.write(context.sink.target, rest, {});
    relay_written(context.state);
}

#include "chunked_input.hpp"

#include "text/field_text.hpp"
#include "text/percent.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

namespace {

// A byte that may stand in an extension or a trailer line: visible text,
// blanks and bytes outside ASCII; no control byte, so no bare CR or LF.
bool is_line_text(char c) {
    const auto b = static_cast<unsigned char>(c);
    return c == '\t' || (b >= 0x20 && b != 0x7f);
}

// The state after one byte of a size line, trailer or line end.
chunk_state step(chunk_decoder &d, char c) {
    using s = chunk_state;
    switch (d.state) {
    case s::size: {
        const int digit = hex_value(c);
        if (digit >= 0) {
            if (d.left > std::numeric_limits<std::uint64_t>::max() >> 4) return s::malformed;
            d.left = d.left * 16 + static_cast<unsigned>(digit);
            return s::size;
        }
        if (d.line == 1) return s::malformed; // no digit at all
        if (c == '\r') return s::size_lf;
        if (c == ';') return s::extension;
        return is_blank(c) ? s::size_blank : s::malformed;
    }
    case s::size_blank: // blanks go only before an extension
        if (c == ';') return s::extension;
        return is_blank(c) ? s::size_blank : s::malformed;
    case s::extension:
        if (c == '\r') return s::size_lf;
        return is_line_text(c) ? s::extension : s::malformed;
    case s::size_lf:
        if (c != '\n') return s::malformed;
        d.line = 0;
        return d.left == 0 ? s::trailer_start : s::data;
    case s::data_cr:
        return c == '\r' ? s::data_lf : s::malformed;
    case s::data_lf:
        if (c != '\n') return s::malformed;
        d.line = 0;
        d.left = 0;
        return s::size;
    case s::trailer_start:
        if (c == '\r') return s::final_lf;
        // A line that begins with a blank would continue the one before
        // (obsolete line folding); a name begins with neither ":" nor one.
        if (is_blank(c) || c == ':' || !is_line_text(c)) return s::malformed;
        d.colon = false;
        return s::trailer;
    case s::trailer:
        if (c == '\r') return d.colon ? s::trailer_lf : s::malformed;
        d.colon = d.colon || c == ':';
        return is_line_text(c) ? s::trailer : s::malformed;
    case s::trailer_lf:
        return c == '\n' ? s::trailer_start : s::malformed;
    case s::final_lf:
        return c == '\n' ? s::complete : s::malformed;
    case s::data:
    case s::complete:
    case s::malformed:
        break;
    }
    return s::malformed;
}

// The bound on the line a state is in: a size line's, the trailer
// section's; 0 outside them.
std::size_t line_capacity(chunk_state state) {
    switch (state) {
    case chunk_state::size:
    case chunk_state::size_blank:
    case chunk_state::extension:
    case chunk_state::size_lf:
        return chunk_line_capacity;
    case chunk_state::trailer_start:
    case chunk_state::trailer:
    case chunk_state::trailer_lf:
    case chunk_state::final_lf:
        return trailer_capacity;
    default:
        return 0;
    }
}

} // namespace

unframed unframe_chunks(chunk_decoder &d, const char *in, std::size_t size, char *out) noexcept {
    std::size_t at = 0;
    std::size_t data = 0;
    while (at < size && d.state != chunk_state::complete && d.state != chunk_state::malformed) {
        if (d.state == chunk_state::data) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(d.left, size - at));
            std::memmove(out + data, in + at, n);
            at += n;
            data += n;
            d.left -= n;
            if (d.left == 0) d.state = chunk_state::data_cr;
            continue;
        }
        const std::size_t capacity = line_capacity(d.state);
        if (capacity > 0 && ++d.line > capacity) {
            d.state = chunk_state::malformed;
            break;
        }
        d.state = step(d, in[at]);
        ++at;
    }
    return {at, data};
}

ssize_t read_chunked(void *input, char *buffer, std::size_t n) {
    auto &source = *static_cast<chunked_input *>(input);
    chunk_decoder &decoder = source.decoder;
    while (decoder.state != chunk_state::complete) {
        if (decoder.state == chunk_state::malformed || n == 0) return -1;
        const ssize_t got = source.framed->read(source.framed->from, buffer, n);
        // Input that ends inside the framing is a body cut short.
        if (got <= 0) {
            decoder.state = chunk_state::malformed;
            return -1;
        }
        const unframed taken =
            unframe_chunks(decoder, buffer, static_cast<std::size_t>(got), buffer);
        if (decoder.state == chunk_state::malformed) return -1;
        // What follows the body is not part of it, and is left unread.
        if (taken.data > 0) return static_cast<ssize_t>(taken.data);
    }
    return 0;
}

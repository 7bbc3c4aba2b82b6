// A request body that comes in its chunk framing (RFC 9112, 7.1), as
// busybox httpd hands a chunked upload to a CGI program. The decoder takes
// the framing in pieces of any size and gives back the data alone; a body
// source reads through it. Strict: anything it does not expect ends the
// body as malformed, and only the last chunk and the empty line after the
// trailers make it complete.
#pragma once

#include "limits.hpp"
#include "upstream/body_reader.hpp"

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

enum class chunk_state {
    size,          // the size's hex digits
    size_blank,    // blanks after the size, before ";"
    extension,     // a chunk extension, ignored
    size_lf,       // the LF of the size line
    data,          // the chunk's data
    data_cr,       // the CR after the data
    data_lf,       // its LF
    trailer_start, // the start of a trailer line, or the final empty line
    trailer,       // a trailer field line, skipped
    trailer_lf,    // its LF
    final_lf,      // the LF of the final empty line
    complete,      // the whole body has come
    malformed,     // nothing more is accepted
};

struct chunk_decoder {
    chunk_state state = chunk_state::size;
    std::uint64_t left = 0; // the size being read, then the data bytes still to come
    std::size_t line = 0;   // bytes of this size line; of the trailer section
    bool colon = false;     // whether this trailer line has had its ":"
};

struct unframed {
    std::size_t used; // input bytes taken; none after the end or a fault
    std::size_t data; // data bytes written to out
};

// Takes the next size bytes of framing and writes the data among them to
// out, which may be in itself: data only ever moves toward the front.
// Stops at the end of the body or at the first fault.
unframed unframe_chunks(chunk_decoder &decoder, const char *in, std::size_t size,
                        char *out) noexcept;

// A body source that reads the framing from another and gives its data.
struct chunked_input {
    body_source *framed;
    chunk_decoder decoder{};
};

// A body_source read function; the source is a chunked_input. Gives 0 only
// once the last chunk and the trailers have come; -1 on malformed framing,
// on input that ends before that, and on a read error, so the upload is
// aborted and never reaches the upstream as a complete body.
ssize_t read_chunked(void *input, char *buffer, std::size_t n);

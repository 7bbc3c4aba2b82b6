// Fuzzes the decoder of a chunk-framed request body. The input is both a
// recipe and raw framing. The recipe: chunks of data framed here by a plain
// encoder (sizes in either case of hex, leading zeros, extensions,
// trailers), fed in pieces of the sizes the input picks; the data must come
// back whole, and only at the last byte. Cut anywhere before its end, the
// framing never completes; a line end of the framing replaced by another
// byte makes it malformed. The raw input, decoded whole and in pieces, gives
// the same outcome and data both ways, never more data than it had bytes,
// and through the body source never a clean end unless it completed.
#include "cgi/chunked_input.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// Reads the input front to back; zeros once it runs out.
struct reader {
    const std::uint8_t *data;
    std::size_t size;
    std::size_t at = 0;
    std::uint8_t byte() { return at < size ? data[at++] : 0; }
};

struct framing {
    std::string bytes;
    std::string data;
    std::vector<std::size_t> line_ends; // where the framing's CRs and LFs are
};

void line_end(framing &f) {
    f.line_ends.push_back(f.bytes.size());
    f.line_ends.push_back(f.bytes.size() + 1);
    f.bytes += "\r\n";
}

framing encode(reader &in) {
    framing f;
    const int chunks = in.byte() % 8;
    for (int i = 0; i <= chunks; ++i) {
        const std::uint8_t shape = in.byte();
        // The last round is the last chunk.
        const std::size_t size = i == chunks ? 0 : 1 + in.byte() * (shape & 0x80 ? 67 : 1);
        char hex[40];
        std::snprintf(hex, sizeof hex, shape & 1 ? "%0*zX" : "%0*zx", 1 + (shape >> 1 & 3), size);
        f.bytes += hex;
        if (shape & 8) f.bytes += shape & 16 ? " ;name=\"a; b\"" : ";x";
        line_end(f);
        if (size == 0) break;
        std::string piece;
        for (std::size_t k = 0; k < size; ++k)
            piece += static_cast<char>(in.byte() ^ k);
        f.bytes += piece;
        f.data += piece;
        line_end(f);
    }
    for (int t = in.byte() % 3; t > 0; --t) {
        f.bytes += "X-Trailer-" + std::to_string(t) + ": v";
        line_end(f);
    }
    line_end(f);
    return f;
}

struct result {
    chunk_state state;
    std::string data;
};

// Decodes bytes in place, in pieces whose sizes come from the input; all at
// once without it.
result decode(const std::string &bytes, reader *sizes) {
    chunk_decoder d;
    result r;
    for (std::size_t at = 0; at < bytes.size();) {
        const std::size_t left = bytes.size() - at;
        const std::size_t n = sizes ? std::min<std::size_t>(left, 1 + sizes->byte() % 64) : left;
        std::string piece = bytes.substr(at, n);
        const unframed step = unframe_chunks(d, piece.data(), piece.size(), piece.data());
        check(step.data <= step.used && step.used <= n);
        r.data.append(piece, 0, step.data);
        at += n;
    }
    r.state = d.state;
    return r;
}

struct source_text {
    const std::string *text;
    std::size_t at;
};

ssize_t read_text(void *from, char *buffer, std::size_t n) {
    auto &s = *static_cast<source_text *>(from);
    const std::size_t count = std::min({n, std::size_t{7}, s.text->size() - s.at});
    s.text->copy(buffer, count, s.at);
    s.at += count;
    return static_cast<ssize_t>(count);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    reader in{data, size};
    const framing f = encode(in);
    const result whole = decode(f.bytes, &in);
    check(whole.state == chunk_state::complete && whole.data == f.data);
    if (!f.bytes.empty()) {
        const std::size_t cut = (in.byte() << 8 | in.byte()) % f.bytes.size();
        check(decode(f.bytes.substr(0, cut), &in).state != chunk_state::complete);
        const std::size_t end = f.line_ends[in.byte() % f.line_ends.size()];
        std::string corrupt = f.bytes;
        const char other = static_cast<char>(in.byte());
        if (other != corrupt[end]) {
            corrupt[end] = other;
            check(decode(corrupt, &in).state == chunk_state::malformed);
        }
    }

    // The raw input as framing.
    const std::string raw(reinterpret_cast<const char *>(data), size);
    const result at_once = decode(raw, nullptr);
    reader pieces{data, size};
    const result piecewise = decode(raw, &pieces);
    check(at_once.state == piecewise.state && at_once.data == piecewise.data);
    check(at_once.data.size() <= raw.size());
    source_text text{&raw, 0};
    body_source framed{read_text, &text, -1};
    chunked_input input{&framed};
    body_source body{read_chunked, &input, -1};
    char buffer[256];
    std::size_t got;
    std::string read;
    while ((got = read_body(buffer, 1, sizeof buffer, &body)) != 0 && got != CURL_READFUNC_ABORT)
        read.append(buffer, got);
    // Ended or aborted, what went on is the decoded data or the front of it.
    check((got == 0) == (at_once.state == chunk_state::complete));
    check(at_once.data.compare(0, read.size(), read) == 0);
    if (got == 0) check(read == at_once.data);
    return 0;
}

#include "cgi/chunked_input.hpp"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace std::string_literals;

namespace {

enum class outcome { complete, cut, malformed };

struct framing_case {
    const char *name;
    std::string framed;
    outcome expected;
    std::string data = {}; // the body, for a complete one
};

struct decoded {
    outcome result;
    std::string data;
    std::size_t used = 0;
};

outcome outcome_of(const chunk_decoder &d) {
    if (d.state == chunk_state::complete) return outcome::complete;
    return d.state == chunk_state::malformed ? outcome::malformed : outcome::cut;
}

// Decodes the pieces in place, one after the other, as the body source does.
decoded decode_pieces(const std::vector<std::string> &pieces) {
    chunk_decoder d;
    decoded out;
    for (std::string piece : pieces) {
        const unframed step = unframe_chunks(d, piece.data(), piece.size(), piece.data());
        EXPECT_LE(step.data, step.used);
        out.data.append(piece, 0, step.data);
        out.used += step.used;
    }
    out.result = outcome_of(d);
    return out;
}

const std::string long_extension = "1;" + std::string(chunk_line_capacity - 4, 'e') + "\r\n";
const std::string long_trailer = "X:" + std::string(trailer_capacity - 6, 't') + "\r\n";

const framing_case framings[] = {
    {"empty body", "0\r\n\r\n", outcome::complete, ""},
    {"one chunk", "5\r\nhello\r\n0\r\n\r\n", outcome::complete, "hello"},
    {"several chunks", "3\r\nabc\r\n1\r\nd\r\n2\r\nef\r\n0\r\n\r\n", outcome::complete, "abcdef"},
    {"hex in both cases", "a\r\n0123456789\r\nB\r\nabcdefghijk\r\n0\r\n\r\n", outcome::complete,
     "0123456789abcdefghijk"},
    {"leading zeros", "0005\r\nhello\r\n000\r\n\r\n", outcome::complete, "hello"},
    {"extensions ignored", "5;a=1;b\r\nhello\r\n0;last=\"x; y\"\r\n\r\n", outcome::complete,
     "hello"},
    {"blanks before an extension", "5 \t; a = b\r\nhello\r\n0\r\n\r\n", outcome::complete, "hello"},
    {"trailers skipped", "5\r\nhello\r\n0\r\nX-Sum: 1\r\nY:\r\n\r\n", outcome::complete, "hello"},
    {"data that looks like framing", "7\r\n0\r\n\r\nab\r\n0\r\n\r\n", outcome::complete,
     "0\r\n\r\nab"},
    {"binary data", "4\r\n\0\xff\r\n\r\n0\r\n\r\n"s, outcome::complete, "\0\xff\r\n"s},
    {"size line at its bound", long_extension + "x\r\n0\r\n\r\n", outcome::complete, "x"},
    {"trailers at their bound", "0\r\n" + long_trailer + "\r\n", outcome::complete, ""},
    // Cut short: more input could still complete them.
    {"nothing", "", outcome::cut},
    {"size line without its end", "5", outcome::cut},
    {"data cut", "5\r\nhel", outcome::cut},
    {"no last chunk", "5\r\nhello\r\n", outcome::cut},
    {"last chunk without the empty line", "5\r\nhello\r\n0\r\n", outcome::cut},
    {"inside a trailer", "0\r\nX: 1", outcome::cut},
    {"the largest size", "ffffffffffffffff\r\nx", outcome::cut},
    // Malformed: nothing more is accepted.
    {"no size", "\r\nhello\r\n0\r\n\r\n", outcome::malformed},
    {"extension without a size", ";a\r\n", outcome::malformed},
    {"blank before the size", " 5\r\nhello\r\n", outcome::malformed},
    {"blank after the size", "5 \r\nhello\r\n0\r\n\r\n", outcome::malformed},
    {"sign", "+5\r\nhello\r\n", outcome::malformed},
    {"0x prefix", "0x5\r\nhello\r\n", outcome::malformed},
    {"not hex", "g\r\n", outcome::malformed},
    {"size over 64 bits", "10000000000000000\r\n", outcome::malformed},
    {"bare LF after the size", "5\nhello\r\n0\r\n\r\n", outcome::malformed},
    {"bare CR after the size", "5\rhello\r\n", outcome::malformed},
    {"data longer than its size", "3\r\nhello\r\n0\r\n\r\n", outcome::malformed},
    {"no CRLF after the data", "5\r\nhello0\r\n\r\n", outcome::malformed},
    {"bare LF after the data", "5\r\nhello\n0\r\n\r\n", outcome::malformed},
    {"control byte in an extension", "5;a\x01\r\nhello\r\n", outcome::malformed},
    {"zero byte in an extension", "5;a\0b\r\nhello\r\n"s, outcome::malformed},
    {"LF in an extension", "5;a\nb\r\nhello\r\n", outcome::malformed},
    {"size line over its bound", "1;" + std::string(chunk_line_capacity - 3, 'e') + "\r\nx",
     outcome::malformed},
    {"endless zeros", std::string(chunk_line_capacity + 1, '0'), outcome::malformed},
    {"trailer without a colon", "0\r\nnocolon\r\n\r\n", outcome::malformed},
    {"trailer name empty", "0\r\n: 1\r\n\r\n", outcome::malformed},
    {"folded trailer", "0\r\nA: 1\r\n continued\r\n\r\n", outcome::malformed},
    {"bare LF in the trailers", "0\r\nA: 1\nB: 2\r\n\r\n", outcome::malformed},
    {"control byte in a trailer", "0\r\nA: \x7f\r\n\r\n", outcome::malformed},
    {"trailers over their bound", "0\r\n" + long_trailer + "Y: 1\r\n\r\n", outcome::malformed},
    {"endless trailers", "0\r\n" + std::string(trailer_capacity + 1, 'x'), outcome::malformed},
    {"bad end", "0\r\n\r\r", outcome::malformed},
};

TEST(UnframeChunks, DecodesStrictlyInPiecesOfAnySize) {
    for (const auto &c : framings) {
        const std::string &in = c.framed;
        const decoded whole = decode_pieces({in});
        EXPECT_EQ(whole.result, c.expected) << c.name;
        if (c.expected == outcome::complete) {
            EXPECT_EQ(whole.data, c.data) << c.name;
            EXPECT_EQ(whole.used, in.size()) << c.name;
        }
        // Cut anywhere, the same bytes give the same result and the same data.
        std::vector<std::string> bytes;
        for (const char b : in)
            bytes.emplace_back(1, b);
        const decoded one_by_one = decode_pieces(bytes);
        EXPECT_EQ(one_by_one.result, c.expected) << c.name;
        EXPECT_EQ(one_by_one.data, whole.data) << c.name;
        for (std::size_t at = 1; at < in.size() && in.size() < 200; ++at) {
            const decoded two = decode_pieces({in.substr(0, at), in.substr(at)});
            EXPECT_EQ(two.result, c.expected) << c.name << " cut at " << at;
            EXPECT_EQ(two.data, whole.data) << c.name << " cut at " << at;
            // No framing is complete before its last byte.
            if (c.expected == outcome::complete) {
                EXPECT_NE(decode_pieces({in.substr(0, at)}).result, outcome::complete)
                    << c.name << " complete after " << at;
            }
        }
    }
}

TEST(UnframeChunks, TakesNothingAfterTheEndOrAFault) {
    const std::pair<std::string, std::size_t> cases[] = {
        {"0\r\n\r\nPOST / HTTP/1.1\r\n", 5},
        {"2\r\nab\r\n0\r\nX: y\r\n\r\n5\r\nhello\r\n", 18},
        {"2\r\nabX\r\n0\r\n\r\n", 6},
        {"zz", 1},
    };
    for (const auto &[in, used] : cases) {
        std::string buffer = in;
        chunk_decoder d;
        EXPECT_EQ(unframe_chunks(d, buffer.data(), buffer.size(), buffer.data()).used, used) << in;
        // Once over, further input is neither taken nor decoded.
        const chunk_state end = d.state;
        EXPECT_EQ(unframe_chunks(d, "1\r\nx\r\n", 6, buffer.data()).used, 0u) << in;
        EXPECT_EQ(d.state, end) << in;
    }
}

// A framed input handed over in pieces of a fixed size, then its end (or a
// read error).
struct piecewise {
    std::string text;
    std::size_t piece;
    bool fails_at_end = false;
    std::size_t at = 0;
};

ssize_t read_pieces(void *from, char *buffer, std::size_t n) {
    auto &in = *static_cast<piecewise *>(from);
    if (in.at == in.text.size()) return in.fails_at_end ? -1 : 0;
    const std::size_t count = std::min({n, in.piece, in.text.size() - in.at});
    std::copy_n(in.text.data() + in.at, count, buffer);
    in.at += count;
    return static_cast<ssize_t>(count);
}

TEST(ReadChunked, OnlyACompleteFramingEndsTheUpload) {
    const std::string big(100000, 'b');
    const std::string big_framed = "186a0\r\n" + big + "\r\n0\r\n\r\n";
    struct read_case {
        const char *name;
        std::string framed;
        std::size_t piece;
        bool fails_at_end;
        bool whole;       // libcurl's read function ends with 0, not an abort
        std::string data; // what reaches libcurl either way
    };
    const read_case cases[] = {
        {"complete", "5\r\nhello\r\n0\r\n\r\n", 64, false, true, "hello"},
        {"byte by byte", "5\r\nhello\r\n2\r\n, \r\n0\r\nX: 1\r\n\r\n", 1, false, true, "hello, "},
        {"large, in pipe-sized pieces", big_framed, 4096, false, true, big},
        {"nothing after the end is read on", "0\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 1, false, true,
         ""},
        {"input ends before the last chunk", "5\r\nhello\r\n", 64, false, false, "hello"},
        {"input ends inside the data", "5\r\nhel", 64, false, false, "hel"},
        {"input ends inside the trailers", "5\r\nhello\r\n0\r\nX: 1\r\n", 3, false, false, "hello"},
        {"no input at all", "", 64, false, false, ""},
        {"a read error after the body", "5\r\nhello\r\n", 64, true, false, "hello"},
        {"malformed after some data", "5\r\nhello\r\n5\r\nworld0\r\n\r\n", 9, false, false,
         "helloworld"},
        {"malformed at once", "x\r\n", 64, false, false, ""},
    };
    for (const auto &c : cases) {
        piecewise in{c.framed, c.piece, c.fails_at_end};
        body_source framed{read_pieces, &in, -1};
        chunked_input input{&framed};
        body_source unframed{read_chunked, &input, -1};
        std::string data;
        char buffer[65536];
        std::size_t got = 0;
        int calls = 0;
        while ((got = read_body(buffer, 1, sizeof buffer, &unframed)) != 0 &&
               got != CURL_READFUNC_ABORT && ++calls < 100000)
            data.append(buffer, got);
        EXPECT_EQ(got == 0, c.whole) << c.name;
        EXPECT_EQ(data, c.data) << c.name;
        // Nothing but the same end afterwards: a failed body never ends well.
        EXPECT_EQ(read_body(buffer, 1, sizeof buffer, &unframed), got) << c.name;
    }
}

} // namespace

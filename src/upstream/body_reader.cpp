#include "body_reader.hpp"

#include "limits.hpp"

#include <curl/curl.h>

#include <algorithm>

std::size_t read_body(char *buffer, std::size_t size, std::size_t count, void *stream) noexcept {
    auto &source = *static_cast<body_source *>(stream);
    std::size_t want = size * count;
    // A CGI program must not read past CONTENT_LENGTH: whatever follows is
    // not part of this request and must not reach the upstream.
    if (source.remaining >= 0 && static_cast<std::uint64_t>(source.remaining) < want)
        want = static_cast<std::size_t>(source.remaining);
    if (want == 0) return 0;
    const ssize_t got = source.read(source.from, buffer, want);
    if (got == body_pending) return CURL_READFUNC_PAUSE;
    if (got < 0) return CURL_READFUNC_ABORT;
    // Input that ends before CONTENT_LENGTH would leave the upstream waiting
    // for the rest while we wait for its answer: end the transfer instead.
    if (got == 0 && source.remaining > 0) return CURL_READFUNC_ABORT;
    if (source.remaining >= 0) source.remaining -= got;
    return static_cast<std::size_t>(got);
}

bool take_in_rest(body_source &source) noexcept {
    char scrap[skip_chunk];
    while (source.marks_end || source.remaining > 0) {
        std::size_t want = sizeof scrap;
        if (!source.marks_end)
            want = static_cast<std::size_t>(std::min<std::int64_t>(source.remaining, want));
        const ssize_t got = source.read(source.from, scrap, want);
        if (got == body_pending) return false;
        if (got <= 0) return true;
        if (source.remaining > 0) source.remaining -= std::min<std::int64_t>(got, source.remaining);
    }
    return true;
}

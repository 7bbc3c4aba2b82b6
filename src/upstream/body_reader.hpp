// Streams the POST body to libcurl.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

struct body_source {
    // Reads up to n bytes: the count, 0 at the end of the input, -1 on error.
    ssize_t (*read)(void *from, char *buffer, std::size_t n);
    void *from;
    std::int64_t remaining; // bytes still to send; negative when the size is not known
};

// libcurl's read function; the user pointer is a body_source. Never reads
// past the announced size, and aborts the upload when the input ends early.
std::size_t read_body(char *buffer, std::size_t size, std::size_t count, void *stream) noexcept;

// Reads and discards what is left of the announced body: nothing when its
// size is not known. Stops early at the end of the input or an error.
void skip_body(body_source &source) noexcept;

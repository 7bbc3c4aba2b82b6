// Streams the POST body from standard input to libcurl.
#pragma once

#include <cstddef>
#include <cstdint>

struct body_source {
    int fd;
    std::int64_t remaining; // bytes still to send; negative when the size is not known
};

// libcurl's read function: fills the buffer from the source, 0 at the end.
std::size_t read_body(char *buffer, std::size_t size, std::size_t count, void *stream);

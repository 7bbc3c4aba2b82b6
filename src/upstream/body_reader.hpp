// Streams the request body to libcurl, and takes in what it leaves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// What a body source's read gives when nothing has come yet and the input
// has not ended: the transfer waits for more.
constexpr ssize_t body_pending = -2;

struct body_source {
    // Reads up to n bytes: the count, 0 at the end of the input, -1 on error,
    // or body_pending.
    ssize_t (*read)(void *from, char *buffer, std::size_t n);
    void *from;
    std::int64_t remaining; // bytes still to send; negative when the size is not known
    // The input marks the body's end itself (a FastCGI stdin stream): what
    // is left is taken in to there, whatever size was announced.
    bool marks_end = false;
};

// libcurl's read function; the user pointer is a body_source. Never reads
// past the announced size, aborts the upload when the input ends early, and
// pauses it while nothing has come yet.
std::size_t read_body(char *buffer, std::size_t size, std::size_t count, void *stream) noexcept;

// Reads and discards what is left of the body: the rest of the announced
// size (nothing when it is not known), or, for an input that marks its own
// end, all up to that end. Stops early at an error. False while nothing has
// come yet: call again when more has.
bool take_in_rest(body_source &source) noexcept;

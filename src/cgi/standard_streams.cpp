#include "standard_streams.hpp"

#include <cerrno>
#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// After EAGAIN: waits until the descriptor is ready again. An error or hang
// up also ends the wait; the next call then reports it.
bool wait_ready(int fd, short events) {
    pollfd p{fd, events, 0};
    int ready;
    do {
        ready = poll(&p, 1, -1);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

} // namespace

bool write_stdout(void *, std::string_view first, std::string_view second) {
    iovec iov[2] = {{const_cast<char *>(first.data()), first.size()},
                    {const_cast<char *>(second.data()), second.size()}};
    iovec *next = iov;
    int left = 2;
    while (left > 0) {
        if (next->iov_len == 0) {
            ++next;
            --left;
            continue;
        }
        const ssize_t written = writev(STDOUT_FILENO, next, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_ready(STDOUT_FILENO, POLLOUT))
                continue;
            return false;
        }
        auto done = static_cast<std::size_t>(written);
        while (left > 0 && done >= next->iov_len) {
            done -= next->iov_len;
            ++next;
            --left;
        }
        if (left > 0) {
            next->iov_base = static_cast<char *>(next->iov_base) + done;
            next->iov_len -= done;
        }
    }
    return true;
}

ssize_t read_stdin(void *, char *buffer, std::size_t n) {
    for (;;) {
        const ssize_t got = read(STDIN_FILENO, buffer, n);
        if (got >= 0) return got;
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_ready(STDIN_FILENO, POLLIN)) continue;
        return -1;
    }
}

#include "listener.hpp"

#include "limits.hpp"
#include "text/field_text.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Replaces a socket file left at path; false when path names another kind
// of file, which is left alone.
bool clear_path(const std::string &path) {
    struct stat old;
    if (lstat(path.c_str(), &old) != 0) return true;
    if (!S_ISSOCK(old.st_mode)) {
        errno = EADDRINUSE;
        return false;
    }
    unlink(path.c_str());
    return true;
}

// The socket is bound and listening under a name of its own first, then
// renamed into place: once the path exists, a connection to it succeeds.
int listen_unix(const std::string &path) {
    const std::string temporary = path + ".new";
    sockaddr_un where{};
    where.sun_family = AF_UNIX;
    if (temporary.size() >= sizeof where.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(where.sun_path, temporary.c_str(), temporary.size() + 1);
    struct stat old;
    if (lstat(path.c_str(), &old) == 0 && !S_ISSOCK(old.st_mode)) {
        errno = EADDRINUSE;
        return -1;
    }
    if (!clear_path(temporary)) return -1;
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    // Made with no access for others from the start, then given its mode:
    // no moment when another user could connect.
    const mode_t previous = umask(0777 & ~socket_mode);
    const int bound = bind(fd, reinterpret_cast<const sockaddr *>(&where), sizeof where);
    umask(previous);
    if (bound != 0 || chmod(temporary.c_str(), socket_mode) != 0 ||
        listen(fd, fastcgi_limits::listen_backlog) != 0 ||
        rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        if (bound == 0) unlink(temporary.c_str());
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

// A numeric address (or localhost, or empty for every address): no name
// service, which a static build could not load.
int listen_tcp(std::string host, int port) {
    if (host == "localhost") host = "127.0.0.1";
    sockaddr_storage where{};
    socklen_t length = 0;
    auto &v4 = reinterpret_cast<sockaddr_in &>(where);
    auto &v6 = reinterpret_cast<sockaddr_in6 &>(where);
    if (host.empty()) {
        v4.sin_family = AF_INET;
        v4.sin_addr.s_addr = htonl(INADDR_ANY);
        v4.sin_port = htons(static_cast<std::uint16_t>(port));
        length = sizeof v4;
    } else if (inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<std::uint16_t>(port));
        length = sizeof v4;
    } else if (inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<std::uint16_t>(port));
        length = sizeof v6;
    } else {
        errno = EADDRNOTAVAIL;
        return -1;
    }
    const int fd = socket(where.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<const sockaddr *>(&where), length) != 0 ||
        listen(fd, fastcgi_limits::listen_backlog) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

} // namespace

bool is_listening_socket(int fd) {
    int listening = 0;
    socklen_t length = sizeof listening;
    return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening;
}

std::optional<listen_address> parse_listen_address(std::string_view address) {
    constexpr std::string_view unix_prefix = "unix:";
    listen_address where;
    if (begins_with(address, unix_prefix)) {
        address.remove_prefix(unix_prefix.size());
        if (!begins_with(address, "/")) return std::nullopt;
        where.unix_path = address;
        return where;
    }
    const auto colon = address.rfind(':');
    if (colon == std::string_view::npos || colon == 0) return std::nullopt;
    const std::string_view port = address.substr(colon + 1);
    if (port.empty() || port.size() > 6) return std::nullopt;
    for (const char c : port) {
        if (c < '0' || c > '9') return std::nullopt;
        where.port = where.port * 10 + (c - '0');
    }
    if (where.port == 0 || where.port > 65535) return std::nullopt;
    where.host = address.substr(0, colon);
    // "[::1]:9000" names an IPv6 address.
    if (where.host.size() >= 2 && where.host.front() == '[' && where.host.back() == ']')
        where.host = where.host.substr(1, where.host.size() - 2);
    return where;
}

int open_listener(std::string_view address, std::string &unix_path) {
    const std::optional<listen_address> where = parse_listen_address(address);
    if (!where) {
        errno = EINVAL;
        return -1;
    }
    if (!where->unix_path.empty()) {
        unix_path = where->unix_path;
        return listen_unix(unix_path);
    }
    return listen_tcp(where->host, where->port);
}

std::vector<std::string> allowed_peers(const char *list) {
    std::vector<std::string> allowed;
    std::string_view rest = list ? list : "";
    while (!rest.empty()) {
        const auto comma = rest.find(',');
        const std::string_view item = trim_blanks(rest.substr(0, comma));
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        if (!item.empty()) allowed.emplace_back(item);
    }
    return allowed;
}

bool peer_allowed(int fd, const std::vector<std::string> &allowed) {
    if (allowed.empty()) return true;
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0) return false;
    char text[INET6_ADDRSTRLEN] = "";
    if (peer.ss_family == AF_UNIX) return true;
    if (peer.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in &>(peer).sin_addr, text,
                  sizeof text);
    } else if (peer.ss_family == AF_INET6) {
        const in6_addr &a = reinterpret_cast<const sockaddr_in6 &>(peer).sin6_addr;
        // An IPv4 client of a dual-stack socket is named by its IPv4 address.
        if (IN6_IS_ADDR_V4MAPPED(&a))
            inet_ntop(AF_INET, a.s6_addr + 12, text, sizeof text);
        else
            inet_ntop(AF_INET6, &a, text, sizeof text);
    }
    return std::find(allowed.begin(), allowed.end(), std::string(text)) != allowed.end();
}

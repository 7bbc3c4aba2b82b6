// The listening socket of the FastCGI server.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// True when fd is a listening socket, as a FastCGI spawner (lighttpd's
// bin-path, spawn-fcgi, systemd socket activation) hands one over on
// standard input. One system call.
bool is_listening_socket(int fd);

// A listening address as the command line names it.
struct listen_address {
    std::string unix_path; // "unix:/path": the path; empty for TCP
    std::string host;      // "HOST:PORT": HOST, without brackets around it
    int port = 0;
};

// "unix:" and an absolute path, or "HOST:PORT" with HOST not empty and PORT
// a number from 1 to 65535 of at most six digits; nullopt for anything
// else. Whether HOST is a numeric address is known only when binding.
std::optional<listen_address> parse_listen_address(std::string_view address);

// The socket for "unix:/path" (mode socket_mode, the group the process
// runs as; unix_path is set to the path) or "HOST:PORT" (HOST a numeric
// IPv4 or IPv6 address, in brackets or not, or localhost; empty for every
// IPv4 address); -1 with errno set on failure.
int open_listener(std::string_view address, std::string &unix_path);

// Not writable by every user: the web server connects as the same user or
// as a member of the group. A directory of the web server's group with the
// set-group-ID bit gives the socket that group.
constexpr unsigned socket_mode = 0660;

// The addresses of FCGI_WEB_SERVER_ADDRS (comma-separated, blanks allowed
// around them): who may connect over TCP. Empty (unset) means anyone.
std::vector<std::string> allowed_peers(const char *list);

// Whether the peer of an accepted connection is one of allowed (always
// for a unix socket, or when allowed is empty).
bool peer_allowed(int fd, const std::vector<std::string> &allowed);

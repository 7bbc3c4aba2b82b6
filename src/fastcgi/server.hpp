// The persistent way in: the gateway as a FastCGI responder (libfcgi).
#pragma once

#include <string_view>

// True when fd is a listening socket, as a FastCGI spawner (lighttpd's
// bin-path, spawn-fcgi, systemd socket activation) hands one over on
// standard input. One system call.
bool is_listening_socket(int fd);

// Serves FastCGI requests with `workers` threads until SIGTERM or SIGINT,
// then lets the requests in flight finish (within a bound) and returns the
// exit status. address is "unix:/path" or "HOST:PORT"; empty means the
// listening socket on standard input.
int serve_fastcgi(std::string_view address, int workers);

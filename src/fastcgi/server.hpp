// The persistent way in: the gateway as a FastCGI responder.
#pragma once

#include "listener.hpp"

#include <string_view>

// The number of CPUs this process may run on: the default number of
// event-loop threads.
int available_cpus();

// Serves FastCGI requests with `threads` event-loop threads until SIGTERM
// or SIGINT, then lets the requests in flight finish (within a bound) and
// returns the exit status. address is "unix:/path" or "HOST:PORT"; empty
// means the listening socket on standard input. Logs its start, stop,
// upstream failures and limits on standard error unless quiet.
int serve_fastcgi(std::string_view address, int threads, bool quiet);

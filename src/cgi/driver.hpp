// The CGI way in: the one request of this process, from its environment and
// standard input to its standard output.
#pragma once

// Serves the request the environment envp describes. Returns the exit
// status: 0, 255 after the gateway's 400 answer, or 1 when the upstream's
// answer broke off after it had begun (what went out stays).
int serve_cgi_request(char **envp) noexcept;

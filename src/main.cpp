// cgi_forward: forwards a request to the HTTP service on 127.0.0.1:8011 and
// relays its response. Run by a web server under CGI/1.1, it serves that one
// request; started as a FastCGI responder, it serves requests until stopped.
#include "cgi/driver.hpp"
#include "command_line.hpp"
#include "fastcgi/server.hpp"
#include "version.hpp"

#include <curl/curl.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {

constexpr const char *usage =
    "Usage:\n"
    "  cgi_forward                      run by a web server as a CGI program\n"
    "  cgi_forward --fastcgi ADDRESS [--workers N] [--quiet]\n"
    "                                   serve FastCGI on unix:/PATH or HOST:PORT\n"
    "  cgi_forward [--workers N] [--quiet]\n"
    "                                   serve FastCGI on the listening socket\n"
    "                                   given as standard input\n"
    "  cgi_forward --help | --version\n"
    "\n"
    "Forwards each request to the HTTP service on 127.0.0.1:8011. --workers sets\n"
    "the number of event-loop threads (default: one per CPU); each serves any\n"
    "number of requests at once. The FastCGI server logs its start and stop, and\n"
    "upstream failures and limits reached (at most a line a kind every 10 s), on\n"
    "standard error; --quiet turns that off. See cgi_forward(8).\n";

int threads(const command_line &line) {
    return line.workers_given ? line.workers : available_cpus();
}

// Runs what the command line asks for; -1 when it asks for the CGI program.
int run_command_line(int argc, char **argv) {
    const command_line line = parse_command_line(argc, argv);
    switch (line.mode) {
    case run_mode::help:
        std::fputs(usage, stdout);
        return 0;
    case run_mode::version:
        std::printf("cgi_forward %.*s\nlibcurl %s\n", static_cast<int>(program_version.size()),
                    program_version.data(), curl_version_info(CURLVERSION_NOW)->version);
        return 0;
    case run_mode::usage_error:
        std::fprintf(stderr, "cgi_forward: %.*s: %.*s\n%s", static_cast<int>(line.error.size()),
                     line.error.data(), static_cast<int>(line.argument.size()),
                     line.argument.data(), usage);
        return 2;
    case run_mode::fastcgi:
        return serve_fastcgi(line.address, threads(line), line.quiet);
    case run_mode::cgi:
        break;
    }
    if (is_listening_socket(STDIN_FILENO)) return serve_fastcgi({}, threads(line), line.quiet);
    if (line.workers_given) {
        std::fprintf(stderr, "cgi_forward: --workers needs --fastcgi or a listening socket\n%s",
                     usage);
        return 2;
    }
    if (line.quiet) {
        std::fprintf(stderr, "cgi_forward: --quiet needs --fastcgi or a listening socket\n%s",
                     usage);
        return 2;
    }
    return -1;
}

} // namespace

int main(int argc, char **argv, char **envp) {
    // When the web server stops reading, a write fails and the relay ends the
    // transfer. libcurl ignores SIGPIPE itself only when built with TLS, so
    // without this the lean build would die of the signal instead.
    std::signal(SIGPIPE, SIG_IGN);

    // Under CGI the arguments come from the client (a query without "=" is
    // passed as words, RFC 3875 4.4), so they are never read there.
    if (!std::getenv("GATEWAY_INTERFACE")) {
        const int status = run_command_line(argc, argv);
        if (status >= 0) return status;
    }

    return serve_cgi_request(envp);
}

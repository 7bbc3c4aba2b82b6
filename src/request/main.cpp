// cgi_forward: runs once per request under CGI/1.1, forwards the request to the
// HTTP service on 127.0.0.1:8011 and relays its response as the CGI response.
#include "request/translate.hpp"
#include "upstream/exchange.hpp"

#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace {

// The header section ends with the empty line, so every web server answers 400.
constexpr std::string_view bad_request = "Status:400 Bad Request\r\n\r\n";
constexpr int refused = -1; // exit status 255

int send_bad_request() {
    std::size_t done = 0;
    while (done < bad_request.size()) {
        const ssize_t n =
            write(STDOUT_FILENO, bad_request.data() + done, bad_request.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return refused;
}

} // namespace

int main(int, char **, char **envp) {
    // When the web server stops reading, a write fails and the relay ends the
    // transfer. libcurl ignores SIGPIPE itself only when built with TLS, so
    // without this the lean build would die of the signal instead.
    std::signal(SIGPIPE, SIG_IGN);
    const request_plan plan =
        plan_request(std::getenv("QUERY_STRING"), std::getenv("REQUEST_METHOD"),
                     std::getenv("CONTENT_LENGTH"), envp);
    if (plan.action == request_action::refuse) return send_bad_request();
    if (plan.action == request_action::get)
        forward_get(plan.url.c_str(), plan.headers.get());
    else if (plan.action == request_action::post)
        forward_post(plan.url.c_str(), plan.content_length, plan.headers.get());
    return 0;
}

#include "driver.hpp"

#include "chunked_input.hpp"
#include "request/translate.hpp"
#include "standard_streams.hpp"
#include "upstream/exchange.hpp"

#include <curl/curl.h>

namespace {

// The transfer on a handle of its own, with libcurl's global state set up
// and torn down around it, as a process that serves one request does.
void perform(exchange &x) {
    curl_global_init(CURL_GLOBAL_ALL);
    x.handle.reset(curl_easy_init());
    if (x.handle) {
        prepare_transfer(x);
        end_transfer(x, curl_easy_perform(x.handle.get()));
    } else {
        end_transfer(x, CURLE_FAILED_INIT);
    }
    x.handle.reset();
    curl_global_cleanup();
}

} // namespace

int serve_cgi_request(char **envp) noexcept {
    body_source body{read_stdin, nullptr, 0};
    // busybox httpd hands a chunked upload over in its chunk framing.
    chunked_input framed{&body};
    body_source unframed{read_chunked, &framed, -1};
    exchange x;
    const exchange_io io{{write_stdout, nullptr}, &body, &unframed};
    if (open_exchange(x, plan_request(read_cgi_vars(envp), way_in::cgi), io)) perform(x);
    // Standard input always has more, or its end: this never waits.
    finish_exchange(x);
    return x.status;
}

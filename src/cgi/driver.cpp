#include "driver.hpp"

#include "chunked_input.hpp"
#include "request/translate.hpp"
#include "standard_streams.hpp"
#include "upstream/exchange.hpp"

#include <curl/curl.h>

namespace {

// The transfer on the request's handle, made before the request was read.
void perform(exchange &x) {
    if (x.handle) {
        prepare_transfer(x);
        end_transfer(x, curl_easy_perform(x.handle.get()));
    } else {
        end_transfer(x, CURLE_FAILED_INIT);
    }
}

} // namespace

int serve_cgi_request(char **envp) noexcept {
    body_source body{read_stdin, nullptr, 0};
    // busybox httpd hands a chunked upload over in its chunk framing.
    chunked_input framed{&body};
    body_source unframed{read_chunked, &framed, -1};
    exchange x;
    const exchange_io io{{write_stdout, nullptr}, &body, &unframed};
    // libcurl's global state is set up and torn down around the request, as
    // a process that serves one does. One handle serves it: it decodes the
    // path, then carries the transfer (a second one cost 9,000 of the
    // program's 142,000 instructions).
    curl_global_init(CURL_GLOBAL_ALL);
    x.handle.reset(curl_easy_init());
    if (open_exchange(x, plan_request(read_cgi_vars(envp), way_in::cgi, x.handle.get()), io))
        perform(x);
    x.handle.reset();
    curl_global_cleanup();
    // Standard input always has more, or its end: this never waits.
    finish_exchange(x);
    return x.status;
}

#include "exchange.hpp"

#include "body_reader.hpp"
#include "curl_holders.hpp"
#include "relay.hpp"

#include <unistd.h>

namespace {

constexpr const char *user_agent = "libcurl-agent/1.0";

// Sets up and performs the transfer; body is null for a GET. The outcome is
// not examined: what the relay wrote is the whole answer.
void perform(const char *url, curl_slist *headers, body_source *body) {
    curl_global_init(CURL_GLOBAL_ALL);
    {
        const easy_handle handle(curl_easy_init());
        if (handle) {
            CURL *h = handle.get();
            curl_easy_setopt(h, CURLOPT_URL, url);
            curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
            if (body) {
                curl_easy_setopt(h, CURLOPT_POST, 1L);
                curl_easy_setopt(h, CURLOPT_READFUNCTION, read_body);
                curl_easy_setopt(h, CURLOPT_READDATA, body);
            }
            curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, relay_chunk);
            curl_easy_setopt(h, CURLOPT_HEADERDATA, &header_stream_marker);
            curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, relay_chunk);
            curl_easy_setopt(h, CURLOPT_WRITEDATA, nullptr);
            curl_easy_setopt(h, CURLOPT_USERAGENT, user_agent);
            if (body)
                curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(body->remaining));
            curl_easy_perform(h);
        }
    }
    curl_global_cleanup();
}

} // namespace

void forward_get(const char *url, curl_slist *headers) {
    perform(url, headers, nullptr);
}

void forward_post(const char *url, std::int32_t content_length, curl_slist *headers) {
    body_source body{STDIN_FILENO, content_length};
    perform(url, headers, &body);
}

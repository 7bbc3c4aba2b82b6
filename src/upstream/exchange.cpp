#include "exchange.hpp"

#include "curl_holders.hpp"

namespace {

constexpr const char *user_agent = "libcurl-agent/1.0";

void perform_once(const char *url, curl_slist *headers, transfer_io &io) {
    curl_global_init(CURL_GLOBAL_ALL);
    {
        const easy_handle handle(curl_easy_init());
        if (handle) perform_transfer(handle.get(), url, headers, io);
    }
    curl_global_cleanup();
}

} // namespace

void perform_transfer(CURL *h, const char *url, curl_slist *headers, transfer_io &io) {
    prepare_transfer(h, url, headers, io);
    curl_easy_perform(h);
}

void prepare_transfer(CURL *h, const char *url, curl_slist *headers, transfer_io &io) {
    curl_easy_setopt(h, CURLOPT_URL, url);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    if (io.upload) {
        curl_easy_setopt(h, CURLOPT_POST, 1L);
        curl_easy_setopt(h, CURLOPT_READFUNCTION, read_body);
        curl_easy_setopt(h, CURLOPT_READDATA, static_cast<void *>(io.upload));
    }
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, relay_chunk);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, static_cast<void *>(&io.header));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, relay_chunk);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, static_cast<void *>(&io.body));
    curl_easy_setopt(h, CURLOPT_USERAGENT, user_agent);
    if (io.upload)
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(io.upload->remaining));
}

void forward_get(const char *url, curl_slist *headers, transfer_io &io) {
    perform_once(url, headers, io);
}

void forward_post(const char *url, std::int32_t content_length, curl_slist *headers,
                  transfer_io &io) {
    io.upload->remaining = content_length;
    perform_once(url, headers, io);
}

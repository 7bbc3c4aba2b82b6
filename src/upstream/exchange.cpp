#include "exchange.hpp"

#include "curl_holders.hpp"

#include <string_view>

namespace {

constexpr const char *user_agent = "libcurl-agent/1.0";

transfer_end perform_once(const char *url, curl_slist *headers, transfer_io &io,
                          const mount_method *mount = nullptr) {
    transfer_end end = transfer_end::complete;
    curl_global_init(CURL_GLOBAL_ALL);
    {
        const easy_handle handle(curl_easy_init());
        if (handle) end = perform_transfer(handle.get(), url, headers, io, mount);
    }
    curl_global_cleanup();
    return end;
}

// A mount request goes as a proxy sends it: the client's method, a body as
// an upload (no Content-Type of libcurl's own), HEAD without reading a body,
// and no User-Agent but the client's.
void set_mount_method(CURL *h, const mount_method &mount, const transfer_io &io) {
    const std::string_view name(mount.name);
    if (name == "HEAD") {
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else if (name != "GET" || io.upload) {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, mount.name);
    }
    if (io.upload) curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
}

} // namespace

transfer_end end_of_transfer(CURLcode result, const relay_state &relay) {
    return result != CURLE_OK && answer_began(relay) ? transfer_end::cut : transfer_end::complete;
}

transfer_end perform_transfer(CURL *h, const char *url, curl_slist *headers, transfer_io &io,
                              const mount_method *mount) {
    prepare_transfer(h, url, headers, io, mount);
    return end_of_transfer(curl_easy_perform(h), io.body.context->state);
}

void prepare_transfer(CURL *h, const char *url, curl_slist *headers, transfer_io &io,
                      const mount_method *mount) {
    curl_easy_setopt(h, CURLOPT_URL, url);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers);
    if (mount)
        set_mount_method(h, *mount, io);
    else if (io.upload)
        curl_easy_setopt(h, CURLOPT_POST, 1L);
    if (io.upload) {
        curl_easy_setopt(h, CURLOPT_READFUNCTION, read_body);
        curl_easy_setopt(h, CURLOPT_READDATA, static_cast<void *>(io.upload));
    }
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, relay_chunk);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, static_cast<void *>(&io.header));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, relay_chunk);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, static_cast<void *>(&io.body));
    if (!mount) curl_easy_setopt(h, CURLOPT_USERAGENT, user_agent);
    if (io.upload && mount)
        curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE,
                         static_cast<curl_off_t>(io.upload->remaining));
    else if (io.upload)
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(io.upload->remaining));
}

transfer_end forward_get(const char *url, curl_slist *headers, transfer_io &io) {
    return perform_once(url, headers, io);
}

transfer_end forward_post(const char *url, std::int32_t content_length, curl_slist *headers,
                          transfer_io &io) {
    io.upload->remaining = content_length;
    return perform_once(url, headers, io);
}

transfer_end forward_mount(const char *url, const mount_method &method, curl_slist *headers,
                           transfer_io &io) {
    return perform_once(url, headers, io, &method);
}

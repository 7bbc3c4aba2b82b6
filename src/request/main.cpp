// cgi_forward: runs once per request under CGI/1.1, forwards the request to the
// HTTP service on 127.0.0.1:8011 and relays its response as the CGI response.
#include "request/path_encoding.hpp"
#include "request/translate.hpp"

#include "upstream/exchange.hpp"

#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

// The header section ends with the empty line, so every web server answers 400.
constexpr std::string_view bad_request = "Status:400 Bad Request\r\n\r\n";
constexpr int refused = -1; // exit status 255

struct slist_free {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
using header_list = std::unique_ptr<curl_slist, slist_free>;

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

bool begins_with(const char *text, std::string_view prefix) {
    return std::string_view(text).substr(0, prefix.size()) == prefix;
}

// Header lines from the environment, in its order; false when the request
// must be refused.
bool build_headers(char **envp, header_list &headers) {
    for (char **entry = envp; entry && *entry; ++entry) {
        header_result result = header_line(*entry);
        if (result.verdict == header_verdict::refuse) return false;
        if (result.verdict == header_verdict::skip) continue;
        curl_slist *grown = curl_slist_append(headers.get(), result.line.c_str());
        if (!grown) return false;
        headers.release();
        headers.reset(grown);
    }
    return true;
}

} // namespace

int main(int, char **, char **envp) {
    const char *query = std::getenv("QUERY_STRING");
    if (!query) return send_bad_request();
    const std::optional<std::string> path = extract_path(query);
    if (!path) return send_bad_request();

    header_list headers;
    if (!build_headers(envp, headers)) return send_bad_request();

    std::string url(upstream_base);
    {
        const curl_text decoded = decode_path(path->c_str());
        if (!decoded) return send_bad_request();
        const std::string encoded = encode_path(decoded.get());
        if (encoded.size() > encoded_path_capacity) return send_bad_request();
        url += encoded;
    }

    const char *method = std::getenv("REQUEST_METHOD");
    if (!method) return send_bad_request();
    if (begins_with(method, "GET")) {
        forward_get(url.c_str(), headers.get());
    } else if (begins_with(method, "POST")) {
        const char *length_text = std::getenv("CONTENT_LENGTH");
        if (!length_text) return send_bad_request();
        const std::optional<std::int32_t> length = parse_content_length(length_text);
        if (!length) return send_bad_request();
        forward_post(url.c_str(), *length, headers.get());
    }
    return 0;
}

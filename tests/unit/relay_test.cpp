#include "upstream/exchange.hpp"
#include "upstream/relay.hpp"
#include "upstream/rewrite.hpp"

#include <gtest/gtest.h>

using namespace std::string_literals;

#include <string>
#include <vector>

namespace {

TEST(StatusBlock, CopiesUpToFourCodeBytesAfterHttp10) {
    const std::pair<std::string, std::string> cases[] = {
        {"HTTP/1.0 200 OK\r\n", "Status:200 "},
        {"HTTP/1.0 404 Not Found\r\n", "Status:404 "},
        {"HTTP/1.0 200\r\n", "Status:200 "},
        {"HTTP/1.0 20", "Status:20 "},
        {"HTTP/1.0 2\n", "Status:2 "},
        {"HTTP/1.0 20\0x"s, "Status:20 "},
        {"HTTP/1.0 200\tOK", "Status:200\t"},
        {"HTTP/1.0 2000x", "Status:2000 "},
        {"xxHTTP/1.0 503 Busy", "Status:503 "},
        {"HTTP/1.0", ""},
        {"HTTP/1.0 ", ""},
        {"HTTP/1.1 200 OK\r\n", ""},
        {"HTTP/1.", ""},
        {"", ""},
    };
    for (const auto &[chunk, expected] : cases) {
        status_buffer buffer;
        EXPECT_EQ(status_block(chunk, buffer), expected) << chunk;
    }
}

struct chunk {
    std::string data;
    bool is_header;
};

// Replays a delivery sequence into state; returns what would reach the web
// server before the end of the transfer.
std::string replay(relay_state &state, const std::vector<chunk> &chunks) {
    std::string out;
    for (const auto &c : chunks) {
        const relay_output o = plan_chunk(state, c.data, c.is_header);
        out.append(o.head).append(o.chunk);
        relay_written(state);
    }
    return out;
}

// Replays a delivery sequence and the end of the transfer; returns what
// would reach the web server.
std::string relay_all(response_form form, const std::vector<chunk> &chunks,
                      bool rename_location = false, bool mounted = false) {
    relay_state state;
    state.rules = {form, rename_location, mounted, "/app", "http://example.org"};
    std::string out = replay(state, chunks);
    out.append(plan_finish(state));
    return out;
}

struct relay_case {
    const char *name;
    response_form form;
    std::vector<chunk> chunks;
    std::string expected;
    bool rename_location = false; // as under Apache's mod_cgi
    bool mounted = false;         // a mount request's answer, the mount at /app
};

constexpr response_form passthrough = response_form::passthrough;
constexpr response_form document = response_form::document;

// libcurl's delivery when the upstream answers 417 to "Expect: 100-continue"
// on a connection it keeps: it sends the request again and delivers the
// second response behind the first header section.
const std::vector<chunk> retried_after_417 = {{"HTTP/1.1 417 Expectation Failed\r\n", true},
                                              {"X-First: 1\r\n", true},
                                              {"Content-Length: 4\r\n", true},
                                              {"\r\n", true},
                                              {"HTTP/1.1 200 OK\r\n", true},
                                              {"Content-Length: 5\r\n", true},
                                              {"\r\n", true},
                                              {"hello", false}};

TEST(PlanChunk, RelaysResponsesAsTheClientMustSeeThem) {
    const relay_case cases[] = {
        {"http/1.0 gets one status block",
         passthrough,
         {{"HTTP/1.0 200 OK\r\n", true}, {"A: 1\r\n", true}, {"\r\n", true}, {"body", false}},
         "Status:200 HTTP/1.0 200 OK\r\nA: 1\r\n\r\nbody"},
        {"http/1.1 is relayed unchanged",
         passthrough,
         {{"HTTP/1.1 404 Nope\r\n", true}, {"\r\n", true}, {"HTTP/1.0 in body", false}},
         "HTTP/1.1 404 Nope\r\n\r\nHTTP/1.0 in body"},
        {"chunked: transfer-encoding and trailers dropped",
         passthrough,
         {{"HTTP/1.1 200 OK\r\n", true},
          {"Transfer-Encoding: chunked\r\n", true},
          {"X: y\r\n", true},
          {"\r\n", true},
          {"hello", false},
          {" world", false},
          {"Trailer-Field: 1\r\n", true},
          {"\r\n", true}},
         "HTTP/1.1 200 OK\r\nX: y\r\n\r\nhello world"},
        {"transfer-encoding matched without regard to case",
         passthrough,
         {{"HTTP/1.1 200 OK\r\n", true},
          {"tRANSFER-eNCODING:chunked\r\n", true},
          {"Transfer-Encodings: x\r\n", true},
          {"\r\n", true}},
         "HTTP/1.1 200 OK\r\nTransfer-Encodings: x\r\n\r\n"},
        {"interim section relayed and uses up the status block",
         passthrough,
         {{"HTTP/1.1 100 Continue\r\n", true},
          {"\r\n", true},
          {"HTTP/1.0 201 Created\r\n", true},
          {"\r\n", true},
          {"ok", false}},
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 201 Created\r\n\r\nok"},
        {"trailers after an empty body are dropped too",
         passthrough,
         {{"HTTP/1.1 204 No Content\r\n", true}, {"\r\n", true}, {"T: 1\r\n", true}},
         "HTTP/1.1 204 No Content\r\n\r\n"},
        {"bare LF line endings",
         passthrough,
         {{"HTTP/1.0 302 Found\n", true}, {"Location: /x\n", true}, {"\n", true}, {"z", false}},
         "Status:302 HTTP/1.0 302 Found\nLocation: /x\n\nz"},
        {"body before any header goes out as it is; later header lines are trailers",
         passthrough,
         {{"HTTP/1.0 body", false}, {"H: 1\r\n", true}},
         "HTTP/1.0 body"},
        {"cut mid-header keeps the complete lines",
         passthrough,
         {{"HTTP/1.1 200 OK\r\n", true}, {"A: 1\r\n", true}},
         "HTTP/1.1 200 OK\r\nA: 1\r\n"},
        {"nothing came: nothing goes out", passthrough, {}, ""},
        {"a 417 that libcurl answers with a retry is never relayed", passthrough, retried_after_417,
         "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"},
        {"the retried response gets the status block",
         passthrough,
         {{"HTTP/1.0 417 Expectation Failed\r\n", true},
          {"\r\n", true},
          {"HTTP/1.0 200 OK\r\n", true},
          {"\r\n", true},
          {"ok", false}},
         "Status:200 HTTP/1.0 200 OK\r\n\r\nok"},
        {"a 417 followed by its body is the answer",
         passthrough,
         {{"HTTP/1.1 417 Expectation Failed\r\n", true},
          {"Connection: close\r\n", true},
          {"\r\n", true},
          {"nope", false}},
         "HTTP/1.1 417 Expectation Failed\r\nConnection: close\r\n\r\nnope"},
        {"a 417 without a body is the answer when the transfer ends",
         document,
         {{"HTTP/1.1 417 Expectation Failed\r\n", true}, {"\r\n", true}},
         "Status: 417 Expectation Failed\r\n\r\n"},
        {"document: status line becomes the Status header",
         document,
         {{"HTTP/1.1 404 Not Found\r\n", true},
          {"Content-Type: text/plain\r\n", true},
          {"\r\n", true},
          {"HTTP/1.1 in body", false}},
         "Status: 404 Not Found\r\nContent-Type: text/plain\r\n\r\nHTTP/1.1 in body"},
        {"document: http/1.0 gets no status block",
         document,
         {{"HTTP/1.0 200 OK\r\n", true}, {"\r\n", true}, {"x", false}},
         "Status: 200 OK\r\n\r\nx"},
        {"document: no reason phrase",
         document,
         {{"HTTP/1.0 200\r\n", true}, {"\r\n", true}},
         "Status: 200 \r\n\r\n"},
        {"document: interim sections are left out",
         document,
         {{"HTTP/1.1 100 Continue\r\n", true},
          {"X-Interim: 1\r\n", true},
          {"\r\n", true},
          {"HTTP/1.1 201 Created\r\n", true},
          {"Transfer-Encoding: chunked\r\n", true},
          {"\r\n", true},
          {"ok", false},
          {"X-Trailer: 1\r\n", true}},
         "Status: 201 Created\r\n\r\nok"},
        {"document: a retried 417 is never relayed", document, retried_after_417,
         "Status: 200 OK\r\nContent-Length: 5\r\n\r\nhello"},
        {"document: nothing came gives 502", document, {}, "Status: 502 Bad Gateway\r\n\r\n"},
        {"document: cut mid-header gives 502",
         document,
         {{"HTTP/1.1 200 OK\r\n", true}, {"A: 1\r\n", true}},
         "Status: 502 Bad Gateway\r\n\r\n"},
        {"document: only an interim section gives 502",
         document,
         {{"HTTP/1.1 100 Continue\r\n", true}, {"\r\n", true}},
         "Status: 502 Bad Gateway\r\n\r\n"},
        {"document: the upstream's hop-by-hop fields are left out",
         document,
         {{"HTTP/1.1 200 OK\r\n", true},
          {"Connection: close\r\n", true},
          {"keep-alive: timeout=5\r\n", true},
          {"Proxy-Connection: close\r\n", true},
          {"TE: trailers\r\n", true},
          {"Upgrade: h2c\r\n", true},
          {"Connections: 2\r\n", true},
          {"Keep-Alive-Hint: 1\r\n", true},
          {"\r\n", true}},
         "Status: 200 OK\r\nConnections: 2\r\nKeep-Alive-Hint: 1\r\n\r\n"},
        {"document: fields the Connection field names are left out, wherever it stands",
         document,
         {{"HTTP/1.1 200 OK\r\n", true},
          {"X-Secret: 1\r\n", true},
          {"X-Folded: a\r\n", true},
          {" b\r\n", true},
          {"X-Kept: 2\r\n", true},
          {"Connection: x-secret ,\tX-FOLDED\r\n", true},
          {"connection: Close\r\n", true},
          {"Close: 3\r\n", true},
          {"X-Secret-Not: 4\r\n", true},
          {"\r\n", true},
          {"body", false}},
         "Status: 200 OK\r\nX-Kept: 2\r\nX-Secret-Not: 4\r\n\r\nbody"},
        {"document: an upstream field named Status is left out",
         document,
         {{"HTTP/1.1 200 OK\r\n", true},
          {"Status: 404 Not Found\r\n", true},
          {"STATUS : 500\r\n", true},
          {"Status-Detail: x\r\n", true},
          {"\r\n", true}},
         "Status: 200 OK\r\nStatus-Detail: x\r\n\r\n"},
        {"passthrough keeps a Status field and what Connection names",
         passthrough,
         {{"HTTP/1.1 200 OK\r\n", true},
          {"Status: 404 Not Found\r\n", true},
          {"Connection: X-Secret\r\n", true},
          {"X-Secret: 1\r\n", true},
          {"\r\n", true}},
         "HTTP/1.1 200 OK\r\nStatus: 404 Not Found\r\nConnection: X-Secret\r\nX-Secret: 1\r\n\r\n"},
        {"document under apache's cgi: a 200's Location goes renamed",
         document,
         {{"HTTP/1.1 200 OK\r\n", true},
          {"location:  /elsewhere\r\n", true},
          {"Content-Location: /c\r\n", true},
          {"\r\n", true},
          {"body", false}},
         "Status: 200 OK\r\nX-Cgi-Forward-Location:  /elsewhere\r\nContent-Location: "
         "/c\r\n\r\nbody",
         true},
        {"document under apache's cgi: other statuses keep their Location",
         document,
         {{"HTTP/1.1 201 Created\r\n", true}, {"Location: /new\r\n", true}, {"\r\n", true}},
         "Status: 201 Created\r\nLocation: /new\r\n\r\n",
         true},
        {"document elsewhere: a 200's Location stays",
         document,
         {{"HTTP/1.1 200 OK\r\n", true}, {"Location: /x\r\n", true}, {"\r\n", true}},
         "Status: 200 OK\r\nLocation: /x\r\n\r\n"},
        {"mounted: redirect, content location and cookie path rewritten, line ends kept",
         document,
         {{"HTTP/1.1 302 Found\r\n", true},
          {"Location:\thttp://127.0.0.1:8011/login \r\n", true},
          {"content-location: /c\n", true},
          {"Set-Cookie: s=1; Path=/\r\n", true},
          {"X-Location: /x\r\n", true},
          {"\r\n", true}},
         "Status: 302 Found\r\nLocation:\thttp://example.org/app/login \r\ncontent-location: "
         "/app/c\nSet-Cookie: s=1; Path=/app/\r\nX-Location: /x\r\n\r\n",
         false,
         true},
        {"mounted under apache's cgi: a 200's Location rewritten and renamed",
         document,
         {{"HTTP/1.1 200 OK\r\n", true}, {"Location: /x\r\n", true}, {"\r\n", true}},
         "Status: 200 OK\r\nX-Cgi-Forward-Location: /app/x\r\n\r\n",
         true,
         true},
        {"passthrough keeps them",
         passthrough,
         {{"HTTP/1.1 200 OK\r\n", true}, {"Connection: close\r\n", true}, {"\r\n", true}},
         "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n"},
        {"document: cut mid-body keeps what went out",
         document,
         {{"HTTP/1.1 200 OK\r\n", true}, {"\r\n", true}, {"part", false}},
         "Status: 200 OK\r\n\r\npart"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(relay_all(c.form, c.chunks, c.rename_location, c.mounted), c.expected) << c.name;
}

TEST(EndOfTransfer, AFailedTransferIsACutOnceTheUpstreamsAnswerBegan) {
    const std::vector<chunk> head = {
        {"HTTP/1.1 200 OK\r\n", true}, {"Content-Length: 10\r\n", true}, {"\r\n", true}};
    std::vector<chunk> head_and_body = head;
    head_and_body.push_back({"part", false});
    const std::vector<chunk> mid_header = {{"HTTP/1.1 200 OK\r\n", true}, {"A: 1\r\n", true}};
    const std::vector<chunk> interim = {{"HTTP/1.1 100 Continue\r\n", true}, {"\r\n", true}};
    const std::vector<chunk> held_417 = {{"HTTP/1.1 417 Expectation Failed\r\n", true},
                                         {"\r\n", true}};
    const transfer_end cut = transfer_end::cut;
    const transfer_end complete = transfer_end::complete;
    const struct {
        const char *name;
        response_form form;
        std::vector<chunk> chunks;
        CURLcode result;
        transfer_end expected;
    } cases[] = {
        {"whole answer", document, head_and_body, CURLE_OK, complete},
        {"whole answer, passthrough", passthrough, head_and_body, CURLE_OK, complete},
        {"short of Content-Length", document, head_and_body, CURLE_PARTIAL_FILE, cut},
        {"short of Content-Length, passthrough", passthrough, head_and_body, CURLE_PARTIAL_FILE,
         cut},
        {"bad chunk", document, head_and_body, CURLE_RECV_ERROR, cut},
        {"the web server gone", passthrough, head_and_body, CURLE_WRITE_ERROR, cut},
        {"cut right after the head", document, head, CURLE_PARTIAL_FILE, cut},
        {"body before any head", passthrough, {{"x", false}}, CURLE_RECV_ERROR, cut},
        {"nothing came", document, {}, CURLE_COULDNT_CONNECT, complete},
        {"nothing came, passthrough", passthrough, {}, CURLE_GOT_NOTHING, complete},
        {"a head cut short: the 502 answer stands in", document, mid_header, CURLE_RECV_ERROR,
         complete},
        {"a head cut short goes out as far as it came, passthrough", passthrough, mid_header,
         CURLE_RECV_ERROR, cut},
        {"an interim section only: the 502 answer stands in", document, interim, CURLE_READ_ERROR,
         complete},
        {"an interim section went out, passthrough", passthrough, interim, CURLE_READ_ERROR, cut},
        {"a held 417 goes out as the answer", document, held_417, CURLE_RECV_ERROR, cut},
        {"a held 417 that ended well", document, held_417, CURLE_OK, complete},
    };
    for (const auto &c : cases) {
        relay_state state;
        state.rules.form = c.form;
        replay(state, c.chunks);
        EXPECT_EQ(end_of_transfer(c.result, state), c.expected) << c.name;
    }
}

TEST(Rewrite, RedirectsAndCookiePathsLeadBackThroughTheMount) {
    const mount_view app{"/app", "https://example.org:8443"};
    const std::pair<std::string_view, std::string> locations[] = {
        {"http://127.0.0.1:8011/login?next=/x", "https://example.org:8443/app/login?next=/x"},
        {"HTTP://127.0.0.1:8011", "https://example.org:8443/app/"},
        {"http://127.0.0.1:8011?q", "https://example.org:8443/app/?q"},
        {"http://127.0.0.1:8011/app/x", "https://example.org:8443/app/x"},
        {"http://127.0.0.1:80110/x", "http://127.0.0.1:80110/x"},
        {"http://localhost:8011/x", "http://localhost:8011/x"},
        {"/login", "/app/login"},
        {"/", "/app/"},
        {"/app", "/app"},
        {"/app/login", "/app/login"},
        {"/app?x", "/app?x"},
        {"/apple", "/app/apple"},
        {"//other.example/x", "//other.example/x"},
        {"relative/x", "relative/x"},
        {"https://other.example/", "https://other.example/"},
        {"", ""},
    };
    for (const auto &[value, expected] : locations)
        EXPECT_EQ(rewrite_location(value, app), expected) << value;
    EXPECT_EQ(rewrite_location("http://127.0.0.1:8011/x", {"/app", ""}), "/app/x");
    EXPECT_EQ(rewrite_location("/x", {"", "http://h"}), "/x");

    const std::pair<std::string_view, std::string> cookies[] = {
        {"s=1; Path=/; HttpOnly", "s=1; Path=/app/; HttpOnly"},
        {"s=1; path = /x ;Secure", "s=1; path = /app/x ;Secure"},
        {"s=1;PATH=/app/y", "s=1;PATH=/app/y"},
        {"path=/x; Max-Age=5", "path=/x; Max-Age=5"},
        {"s=1; Path=relative", "s=1; Path=relative"},
        {"s=1; Paths=/x; Domain=a", "s=1; Paths=/x; Domain=a"},
        {"s=1", "s=1"},
    };
    for (const auto &[value, expected] : cookies)
        EXPECT_EQ(rewrite_cookie(value, app), expected) << value;
}

TEST(FormForServer, DocumentFormForServersThatMisreadThePassthroughForm) {
    for (const char *apache : {"Apache/2.4.71 (Debian)", "apache"})
        EXPECT_TRUE(renames_location(apache)) << apache;
    for (const char *other : {static_cast<const char *>(nullptr), "", "nginx/1.22.1",
                              "Apache-Coyote/1.1", "lighttpd/1.4.69", "Apachex"})
        EXPECT_FALSE(renames_location(other)) << (other ? other : "(unset)");
    const std::pair<const char *, response_form> cases[] = {
        {nullptr, passthrough},
        {"", passthrough},
        {"lighttpd/1.4.69", passthrough},
        {"lighttpd", passthrough},
        {"SomeServer/1.0", passthrough},
        {"Apache/2.4.71 (Debian)", document},
        {"Apache", document},
        {"apache/2.2", document},
        {"Apache-Coyote/1.1", passthrough},
        {"nginx/1.22.1", document},
        {"nginx", document},
        {"busybox httpd/1.35.0", document},
        {"mini_httpd/1.30 26Oct2018", document},
        {"mini_httpdx/1.0", passthrough},
        {"CivetWeb/1.15", document},
        {"SimpleHTTP/0.6 Python/3.11.2", document},
    };
    for (const auto &[software, form] : cases)
        EXPECT_EQ(form_for_server(software), form) << (software ? software : "(unset)");
}

} // namespace

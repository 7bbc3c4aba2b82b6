#include "upstream/relay.hpp"

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

// Replays a delivery sequence and returns what would reach standard output.
std::string relay_all(const std::vector<chunk> &chunks) {
    relay_state state;
    std::string out;
    for (const auto &c : chunks) {
        status_buffer buffer;
        const relay_plan plan = plan_chunk(state, c.data, c.is_header, buffer);
        out.append(plan.block);
        if (plan.keep_chunk) out.append(c.data);
    }
    return out;
}

struct relay_case {
    const char *name;
    std::vector<chunk> chunks;
    std::string expected;
};

TEST(PlanChunk, RelaysResponsesAsTheClientMustSeeThem) {
    const relay_case cases[] = {
        {"http/1.0 gets one status block",
         {{"HTTP/1.0 200 OK\r\n", true}, {"A: 1\r\n", true}, {"\r\n", true}, {"body", false}},
         "Status:200 HTTP/1.0 200 OK\r\nA: 1\r\n\r\nbody"},
        {"http/1.1 is relayed unchanged",
         {{"HTTP/1.1 404 Nope\r\n", true}, {"\r\n", true}, {"HTTP/1.0 in body", false}},
         "HTTP/1.1 404 Nope\r\n\r\nHTTP/1.0 in body"},
        {"chunked: transfer-encoding and trailers dropped",
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
         {{"HTTP/1.1 200 OK\r\n", true},
          {"tRANSFER-eNCODING:chunked\r\n", true},
          {"Transfer-Encodings: x\r\n", true},
          {"\r\n", true}},
         "HTTP/1.1 200 OK\r\nTransfer-Encodings: x\r\n\r\n"},
        {"interim section relayed and uses up the first chunk",
         {{"HTTP/1.1 100 Continue\r\n", true},
          {"\r\n", true},
          {"HTTP/1.0 201 Created\r\n", true},
          {"\r\n", true},
          {"ok", false}},
         "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 201 Created\r\n\r\nok"},
        {"trailers after an empty body are dropped too",
         {{"HTTP/1.1 204 No Content\r\n", true}, {"\r\n", true}, {"T: 1\r\n", true}},
         "HTTP/1.1 204 No Content\r\n\r\n"},
        {"bare LF line endings",
         {{"HTTP/1.0 302 Found\n", true}, {"Location: /x\n", true}, {"\n", true}, {"z", false}},
         "Status:302 HTTP/1.0 302 Found\nLocation: /x\n\nz"},
        {"header lines after body data are trailers",
         {{"HTTP/1.0 body", false}, {"H: 1\r\n", true}},
         "Status:body HTTP/1.0 body"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(relay_all(c.chunks), c.expected) << c.name;
}

} // namespace

#include "upstream/body_reader.hpp"
#include "upstream/exchange.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A body source read from a script: each string is what one read may give
// (in as many reads as it takes), "?" is one read with nothing yet, "!" a
// read error; past the script, the end of the input.
struct script {
    std::vector<std::string> steps;
    std::size_t step = 0;
    std::size_t at = 0;
    std::string taken{};
};

ssize_t read_script(void *from, char *buffer, std::size_t n) {
    auto &s = *static_cast<script *>(from);
    if (s.step == s.steps.size()) return 0;
    const std::string &piece = s.steps[s.step];
    if (piece == "?" || piece == "!") {
        ++s.step;
        return piece == "?" ? body_pending : -1;
    }
    const std::size_t count = std::min(n, piece.size() - s.at);
    std::memcpy(buffer, piece.data() + s.at, count);
    s.taken.append(piece, s.at, count);
    s.at += count;
    if (s.at == piece.size()) s.at = 0, ++s.step;
    return static_cast<ssize_t>(count);
}

constexpr std::size_t pause = CURL_READFUNC_PAUSE;
constexpr std::size_t abort_read = CURL_READFUNC_ABORT;

TEST(ReadBody, ClampsToTheSizePausesWhileNothingCameAndAbortsAnEarlyEnd) {
    struct read_case {
        const char *name;
        std::vector<std::string> steps;
        std::int64_t remaining;
        std::vector<std::size_t> results; // of reads of up to 4 bytes each
    };
    const read_case cases[] = {
        {"sized, then the end", {"abcdef"}, 6, {4, 2, 0}},
        {"never past the size", {"abcdef"}, 3, {3, 0, 0}},
        {"paused, then on", {"ab", "?", "cd"}, 4, {2, pause, 2, 0}},
        {"ends early", {"ab"}, 4, {2, abort_read}},
        {"read error", {"ab", "!"}, -1, {2, abort_read}},
        {"unknown size, to the end", {"abcde", "?", "f"}, -1, {4, 1, pause, 1, 0}},
        {"nothing announced reads nothing", {"abc"}, 0, {0}},
    };
    for (const auto &c : cases) {
        script s{c.steps};
        body_source source{read_script, &s, c.remaining};
        std::vector<std::size_t> results;
        char buffer[4];
        for (std::size_t i = 0; i < c.results.size(); ++i)
            results.push_back(read_body(buffer, 1, sizeof buffer, &source));
        EXPECT_EQ(results, c.results) << c.name;
    }
}

TEST(TakeInRest, TheAnnouncedRestOrToAnInputsOwnEnd) {
    struct take_case {
        const char *name;
        std::vector<std::string> steps;
        std::int64_t remaining;
        bool marks_end;
        std::vector<bool> calls; // what each call returns until the last is true
        std::string taken;
    };
    const std::string big(40000, 'x');
    const take_case cases[] = {
        {"the announced rest, never past it", {"abc", "def"}, 4, false, {true}, "abcd"},
        {"in pieces larger than its scrap", {big}, 40000, false, {true}, big},
        {"unknown size: nothing", {"abc"}, -1, false, {true}, ""},
        {"ends early", {"ab"}, 9, false, {true}, "ab"},
        {"stops at an error", {"ab", "!", "cd"}, 9, false, {true}, "ab"},
        {"own end: all of it, whatever was announced", {"abc", "def"}, 2, true, {true}, "abcdef"},
        {"own end: waits for it", {"ab", "?", "cd", "?"}, -1, true, {false, false, true}, "abcd"},
    };
    for (const auto &c : cases) {
        script s{c.steps};
        body_source source{read_script, &s, c.remaining, c.marks_end};
        std::vector<bool> calls;
        while (calls.size() < 10 && (calls.empty() || !calls.back()))
            calls.push_back(take_in_rest(source));
        EXPECT_EQ(calls, c.calls) << c.name;
        EXPECT_EQ(s.taken, c.taken) << c.name;
    }
}

bool append_out(void *target, std::string_view first, std::string_view second) {
    static_cast<std::string *>(target)->append(first).append(second);
    return true;
}

TEST(OwnAnswer, WrittenOnceTheBodyIsTakenInWithItsStatus) {
    struct answer_case {
        const char *name;
        own_answer_kind kind;
        response_form form;
        std::int64_t announced;
        std::vector<std::string> steps;
        std::string output;
        int status;
        std::string taken;
    };
    using k = own_answer_kind;
    const answer_case cases[] = {
        {"refused, document: the body first",
         k::bad_request,
         response_form::document,
         3,
         {"abcdef"},
         "Status: 400 Bad Request\r\n\r\n",
         refused_status,
         "abc"},
        {"refused, passthrough: the body left",
         k::bad_request,
         response_form::passthrough,
         3,
         {"abcdef"},
         "Status:400 Bad Request\r\n\r\n",
         refused_status,
         ""},
        {"not forwarded, document",
         k::not_forwarded,
         response_form::document,
         0,
         {"abc"},
         "Status: 405 Method Not Allowed\r\nAllow: GET, POST\r\n\r\n",
         0,
         ""},
        {"not forwarded, passthrough: no output at all",
         k::not_forwarded,
         response_form::passthrough,
         2,
         {"abc"},
         "",
         0,
         ""},
        {"mount method not allowed",
         k::mount_not_allowed,
         response_form::document,
         0,
         {},
         std::string(mount_not_allowed_answer),
         0,
         ""},
    };
    for (const auto &c : cases) {
        script s{c.steps};
        body_source body{read_script, &s, 0};
        std::string out;
        request_plan plan{own_answer{c.kind, c.announced}, {}};
        plan.response.form = c.form;
        exchange x;
        EXPECT_FALSE(open_exchange(x, std::move(plan), {{append_out, &out}, &body}));
        EXPECT_TRUE(finish_exchange(x)) << c.name;
        EXPECT_EQ(out, c.output) << c.name;
        EXPECT_EQ(x.status, c.status) << c.name;
        EXPECT_EQ(s.taken, c.taken) << c.name;
        // Finished once: nothing goes out again.
        EXPECT_TRUE(finish_exchange(x)) << c.name;
        EXPECT_EQ(out, c.output) << c.name;
    }
}

TEST(OwnAnswer, HeldUntilAnInputThatMarksItsEndHasEnded) {
    script s{{"ab", "?", "cd", "?"}};
    body_source body{read_script, &s, 0, true};
    std::string out;
    request_plan plan;
    plan.response.form = response_form::document;
    exchange x;
    ASSERT_FALSE(open_exchange(x, std::move(plan), {{append_out, &out}, &body}));
    EXPECT_FALSE(finish_exchange(x));
    EXPECT_FALSE(finish_exchange(x));
    EXPECT_EQ(out, "");
    EXPECT_TRUE(finish_exchange(x));
    EXPECT_EQ(out, "Status: 400 Bad Request\r\n\r\n");
    EXPECT_EQ(s.taken, "abcd");
}

TEST(OpenExchange, TheBodySourceAndItsSizeFromThePlan) {
    struct source_case {
        const char *name;
        upstream_body body;
        bool unframed;
        std::int64_t remaining;
    };
    const source_case cases[] = {
        {"none", {}, false, 0},
        {"sized", {body_extent::sized, 12, false}, false, 12},
        {"sized empty", {body_extent::sized, 0, false}, false, 0},
        {"to the end", {body_extent::to_end, 0, false}, false, -1},
        {"framed: through the decoder", {body_extent::to_end, 0, true}, true, -1},
    };
    for (const auto &c : cases) {
        body_source body{read_script, nullptr, 99};
        body_source unframed{read_script, nullptr, 99};
        upstream_request request;
        request.url = "127.0.0.1:8011/";
        request.body = c.body;
        exchange x;
        std::string out;
        EXPECT_TRUE(
            open_exchange(x, {std::move(request), {}}, {{append_out, &out}, &body, &unframed}))
            << c.name;
        EXPECT_EQ(x.body, c.unframed ? &unframed : &body) << c.name;
        EXPECT_EQ(x.body->remaining, c.remaining) << c.name;
        EXPECT_EQ(x.stage, exchange_stage::transfer) << c.name;
    }
}

TEST(EndTransfer, NoAnswerFromTheUpstreamGivesTheDocumentFormsOwnAfterTheBody) {
    struct end_case {
        const char *name;
        response_form form;
        std::string output;
        std::string taken;
    };
    const end_case cases[] = {
        {"document: 502 once the body is taken in", response_form::document,
         "Status: 502 Bad Gateway\r\n\r\n", "abcd"},
        {"passthrough: no output, the body left", response_form::passthrough, "", ""},
    };
    for (const auto &c : cases) {
        script s{{"abcdef"}};
        body_source body{read_script, &s, 0};
        upstream_request request;
        request.body = {body_extent::sized, 4, false};
        request_plan plan{std::move(request), {}};
        plan.response.form = c.form;
        exchange x;
        std::string out;
        ASSERT_TRUE(open_exchange(x, std::move(plan), {{append_out, &out}, &body}));
        EXPECT_EQ(end_transfer(x, CURLE_COULDNT_CONNECT), transfer_end::complete) << c.name;
        EXPECT_TRUE(finish_exchange(x)) << c.name;
        EXPECT_EQ(out, c.output) << c.name;
        EXPECT_EQ(s.taken, c.taken) << c.name;
        EXPECT_EQ(x.status, 0) << c.name;
    }
}

} // namespace

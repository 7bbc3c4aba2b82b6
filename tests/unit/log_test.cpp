#include "command_line.hpp"
#include "fastcgi/log.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using std::chrono::milliseconds;

const log_clock::time_point start = log_clock::now();

// Each step is an occurrence (counted: whether a line is due, 1 or 0) or
// the writer's look (take_due: the count its line carries, 0 for none) at a
// time after the start.
struct step {
    bool occurrence;
    log_kind kind;
    long at_ms;
    std::uint64_t expected;
};

TEST(RateLimit, OneLinePerKindAnIntervalWithTheCountSince) {
    constexpr auto refused = log_kind::upstream_refused;
    constexpr auto params = log_kind::params_time;
    const std::pair<const char *, std::vector<step>> cases[] = {
        {"the first occurrence is due at once", {{true, refused, 0, 1}, {false, refused, 0, 1}}},
        {"the next ones within the interval are counted, then due when it is over",
         {{true, refused, 0, 1},
          {false, refused, 0, 1},
          {true, refused, 1, 0},
          {true, refused, 5000, 0},
          {true, refused, 9999, 0},
          {false, refused, 9999, 0},
          {false, refused, 10000, 3},
          {false, refused, 10001, 0}}},
        {"an occurrence after the interval is due with those before it",
         {{true, refused, 0, 1},
          {false, refused, 0, 1},
          {true, refused, 3000, 0},
          {true, refused, 10000, 1},
          {false, refused, 10000, 2}}},
        {"the interval runs from the last line, not the first occurrence",
         {{true, refused, 0, 1},
          {false, refused, 0, 1},
          {true, refused, 12000, 1},
          {false, refused, 12000, 1},
          {true, refused, 21999, 0},
          {true, refused, 22000, 1},
          {false, refused, 22000, 2}}},
        {"occurrences the writer has not taken yet stay due",
         {{true, refused, 0, 1}, {true, refused, 1, 1}, {false, refused, 2, 2}}},
        {"nothing counted: no line when the interval is over",
         {{true, refused, 0, 1},
          {false, refused, 0, 1},
          {false, refused, 60000, 0},
          {true, refused, 60001, 1},
          {false, refused, 60001, 1}}},
        {"each kind has an interval of its own",
         {{true, refused, 0, 1},
          {false, refused, 0, 1},
          {true, params, 1, 1},
          {false, params, 1, 1},
          {true, refused, 2, 0},
          {true, params, 3, 0},
          {false, params, 10000, 0},
          {false, params, 10001, 1},
          {false, refused, 10001, 1}}},
        {"a look before anything happened", {{false, refused, 0, 0}}},
    };
    for (const auto &[name, steps] : cases) {
        rate_limit limit;
        std::vector<std::uint64_t> got, expected;
        for (const step &s : steps) {
            const auto now = start + milliseconds(s.at_ms);
            got.push_back(s.occurrence ? count_event(limit, s.kind, now)
                                       : take_due(limit, s.kind, now));
            expected.push_back(s.expected);
        }
        EXPECT_EQ(got, expected) << name;
    }
}

TEST(RateLimit, NextDueIsTheEarliestCountedKindsIntervalEnd) {
    rate_limit limit;
    EXPECT_EQ(next_due(limit), log_clock::time_point::max()) << "nothing happened";
    count_event(limit, log_kind::memory_budget, start);
    take_due(limit, log_kind::memory_budget, start);
    EXPECT_EQ(next_due(limit), log_clock::time_point::max()) << "written, nothing counted";
    count_event(limit, log_kind::connection_cap, start + milliseconds(4000));
    take_due(limit, log_kind::connection_cap, start + milliseconds(4000));
    count_event(limit, log_kind::memory_budget, start + milliseconds(5000));
    count_event(limit, log_kind::connection_cap, start + milliseconds(6000));
    EXPECT_EQ(next_due(limit), start + milliseconds(10000));
    take_due(limit, log_kind::memory_budget, start + milliseconds(10000));
    EXPECT_EQ(next_due(limit), start + milliseconds(14000));
}

TEST(UpstreamFailure, TheUpstreamsFailuresAndNotTheWebServersSide) {
    const std::pair<CURLcode, std::optional<log_kind>> cases[] = {
        {CURLE_OK, std::nullopt},
        {CURLE_COULDNT_CONNECT, log_kind::upstream_refused},
        {CURLE_OPERATION_TIMEDOUT, log_kind::upstream_timed_out},
        {CURLE_GOT_NOTHING, log_kind::upstream_broke},
        {CURLE_RECV_ERROR, log_kind::upstream_broke},
        {CURLE_SEND_ERROR, log_kind::upstream_broke},
        {CURLE_PARTIAL_FILE, log_kind::upstream_broke},
        {CURLE_WEIRD_SERVER_REPLY, log_kind::upstream_broke},
        // The relay refused a write: the web server is gone.
        {CURLE_WRITE_ERROR, std::nullopt},
        // The body ended short of its length, or the client aborted.
        {CURLE_ABORTED_BY_CALLBACK, std::nullopt},
        {CURLE_READ_ERROR, std::nullopt},
        {CURLE_OUT_OF_MEMORY, std::nullopt},
    };
    for (const auto &[result, kind] : cases)
        EXPECT_EQ(upstream_failure(result), kind) << curl_easy_strerror(result);
}

TEST(EventLine, CarriesTheCountAndSaysWhatHappened) {
    const std::pair<std::string, std::string> cases[] = {
        {event_line(log_kind::upstream_refused, 1),
         "upstream refused the connection or could not be reached: 1 time since the last such "
         "line"},
        {event_line(log_kind::upstream_timed_out, 37),
         "upstream timed out: 37 times since the last such line"},
    };
    for (const auto &[got, expected] : cases)
        EXPECT_EQ(got, expected);
}

TEST(QuietOption, TurnsTheLogOffAndTakesNoValue) {
    const std::pair<std::vector<std::string>, std::pair<run_mode, bool>> cases[] = {
        {{"--fastcgi", "unix:/run/s"}, {run_mode::fastcgi, false}},
        {{"--fastcgi", "unix:/run/s", "--quiet"}, {run_mode::fastcgi, true}},
        {{"--quiet", "--workers", "2", "--fastcgi=127.0.0.1:9000"}, {run_mode::fastcgi, true}},
        // The listening socket on standard input, or a usage error without.
        {{"--quiet"}, {run_mode::cgi, true}},
        {{"--quiet=1", "--fastcgi", "unix:/run/s"}, {run_mode::usage_error, false}},
        {{"--fastcgi", "unix:/run/s", "--quiet", "--bogus"}, {run_mode::usage_error, false}},
        {{"-q"}, {run_mode::usage_error, false}},
    };
    for (const auto &[args, expected] : cases) {
        std::vector<std::string> words = args;
        std::vector<char *> argv{const_cast<char *>("cgi_forward")};
        for (std::string &word : words)
            argv.push_back(word.data());
        const command_line line = parse_command_line(static_cast<int>(argv.size()), argv.data());
        EXPECT_EQ(std::make_pair(line.mode, line.quiet), expected) << args.back();
    }
}

} // namespace

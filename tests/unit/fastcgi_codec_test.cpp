#include "fastcgi/connection_codec.hpp"
#include "fastcgi/connection_policy.hpp"
#include "limits.hpp"

#include <gtest/gtest.h>

#include <sys/epoll.h>

#include <string>
#include <vector>

namespace {

// Records and pairs written byte by byte, as a web server would send them.
std::string rec(int type, int id, const std::string &content, int padding = 0) {
    std::string r{1,
                  static_cast<char>(type),
                  static_cast<char>(id >> 8),
                  static_cast<char>(id & 0xff),
                  static_cast<char>(content.size() >> 8),
                  static_cast<char>(content.size() & 0xff),
                  static_cast<char>(padding),
                  0};
    return r + content + std::string(static_cast<std::size_t>(padding), 'p');
}

std::string length(std::size_t n) {
    if (n < 0x80) return std::string(1, static_cast<char>(n));
    return {static_cast<char>(0x80 | (n >> 24)), static_cast<char>((n >> 16) & 0xff),
            static_cast<char>((n >> 8) & 0xff), static_cast<char>(n & 0xff)};
}

std::string pair(const std::string &name, const std::string &value) {
    return length(name.size()) + length(value.size()) + name + value;
}

std::string begin(int id, int role = 1, int flags = 1) {
    return rec(1, id, {0, static_cast<char>(role), static_cast<char>(flags), 0, 0, 0, 0, 0});
}

const std::string get_params = pair("REQUEST_METHOD", "GET") + pair("QUERY_STRING", "path=/a");

std::string whole_get(int id) {
    return begin(id) + rec(4, id, get_params) + rec(4, id, "") + rec(5, id, "");
}

std::string many_params(std::size_t n) {
    std::string p;
    for (std::size_t i = 0; i < n; ++i)
        p += pair("N" + std::to_string(i), "v");
    return p;
}

// Params as records of at most 65535 bytes each, then their end.
std::string params_stream(const std::string &pairs) {
    std::string records;
    for (std::size_t at = 0; at < pairs.size(); at += 65535)
        records += rec(4, 1, pairs.substr(at, 65535));
    return records + rec(4, 1, "");
}

// Whole pairs, one to a record, until they are over the size limit.
const std::string big_pair = pair("A", std::string(60000, 'v'));
std::string over_size_limit() {
    std::string records;
    for (std::size_t size = 0; size <= fastcgi_limits::max_params_bytes; size += big_pair.size())
        records += rec(4, 1, big_pair);
    return records;
}

// A long pair between short ones, to be cut anywhere.
const std::string cut_pairs = pair("LONG", std::string(200, 'x')) + pair("B", "2") + pair("C", "3");

// Params of one byte a record.
std::string bytewise(const std::string &pairs) {
    std::string records;
    for (const char c : pairs)
        records += rec(4, 1, std::string(1, c));
    return records;
}

std::size_t records_of(const std::string &pairs) {
    return (pairs.size() + 65534) / 65535;
}

// A reply record, read back: its type and id, and for FCGI_END_REQUEST the
// application and protocol status, for FCGI_UNKNOWN_TYPE the type named.
struct reply {
    int type;
    int id;
    unsigned detail_a = 0;
    int detail_b = 0;
    bool operator==(const reply &o) const {
        return type == o.type && id == o.id && detail_a == o.detail_a && detail_b == o.detail_b;
    }
};

std::ostream &operator<<(std::ostream &os, const reply &r) {
    return os << "{" << r.type << "," << r.id << "," << r.detail_a << "," << r.detail_b << "}";
}

std::vector<reply> read_replies(const std::string &bytes, std::string &values) {
    std::vector<reply> out;
    auto b = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    for (std::size_t at = 0; at + 8 <= bytes.size();) {
        const std::size_t n = b(at + 4) * 256u + b(at + 5);
        reply r{b(at + 1), b(at + 2) * 256 + b(at + 3)};
        const std::size_t c = at + 8;
        if (r.type == 3) {
            r.detail_a = (b(c) << 24) | (b(c + 1) << 16) | (b(c + 2) << 8) | b(c + 3);
            r.detail_b = b(c + 4);
        }
        if (r.type == 11) r.detail_a = b(c);
        if (r.type == 10) values += bytes.substr(c, n);
        if (r.type != 6) out.push_back(r); // the empty stdout before each end
        at = c + n + b(at + 6);
    }
    return out;
}

struct codec_case {
    const char *name;
    std::string input;
    // One letter per event until the input runs out: t taken, s start, b
    // body, e body end, a abort, h hold, c close. The simulated server ends
    // the request at a hold or an abort, with application status 9.
    std::string events;
    std::vector<reply> replies;
    std::string values = {};      // FCGI_GET_VALUES_RESULT's pairs
    std::string environment = {}; // at the first start, entries joined by "|"
};

std::string run(const codec_case &c, std::string &replies, std::string &environment) {
    fastcgi::connection_state state;
    fastcgi::take_input(state, c.input);
    std::string letters;
    for (;;) {
        const fastcgi::connection_event e = fastcgi::next_event(state);
        if (e.kind == fastcgi::event_kind::need_more) break;
        letters += "tsbeahc"[static_cast<int>(e.kind) - 1];
        if (e.kind == fastcgi::event_kind::start && environment.empty())
            for (const char ch : state.environment)
                environment += ch == '\0' ? '|' : ch;
        if (e.kind == fastcgi::event_kind::close) break;
        if (e.kind == fastcgi::event_kind::hold || e.kind == fastcgi::event_kind::abort)
            fastcgi::end_current_request(state, 9);
    }
    replies = state.replies;
    return letters;
}

TEST(ConnectionCodec, AnswersEveryInputInADefinedWay) {
    const codec_case cases[] = {
        {"a GET", whole_get(1), "ttse", {}, {}, "REQUEST_METHOD=GET|QUERY_STRING=path=/a|"},
        {"padding and a body",
         begin(1) + rec(4, 1, get_params, 3) + rec(4, 1, "", 7) + rec(5, 1, "abc", 5) +
             rec(5, 1, ""),
         "ttsbe",
         {}},
        {"pipelined requests wait their turn",
         whole_get(1) + whole_get(1),
         "ttsehttse",
         {{3, 1, 9, 0}}},
        {"a request after another's end, any id",
         whole_get(1) + whole_get(5),
         "ttsehttse",
         {{3, 1, 9, 0}}},
        {"a second id while the first is reading params",
         begin(1) + begin(2) + rec(4, 1, ""),
         "tts",
         {{3, 2, 0, 1}}},
        {"a second id while the first is reading stdin",
         begin(1) + rec(4, 1, "") + begin(2) + rec(5, 1, ""),
         "tste",
         {{3, 2, 0, 1}}},
        {"a second begin for the current id", begin(1) + begin(1), "tc", {}},
        {"abort during the params", begin(1) + rec(2, 1, ""), "ta", {{3, 1, 9, 0}}},
        {"abort after the input", whole_get(1) + rec(2, 1, ""), "ttsea", {{3, 1, 9, 0}}},
        {"abort for another id is ignored", whole_get(1) + rec(2, 3, ""), "ttset", {}},
        {"authorizer role refused",
         begin(1, 2) + rec(4, 1, get_params) + rec(5, 1, "x"),
         "ttt",
         {{3, 1, 0, 3}}},
        {"filter role refused, then a responder",
         begin(1, 3) + whole_get(1),
         "tttse",
         {{3, 1, 0, 3}}},
        {"an unknown role refused", begin(1, 7), "t", {{3, 1, 0, 3}}},
        {"params of a request never begun", rec(4, 1, "x"), "c", {}},
        {"stdin of a request never begun", whole_get(1) + rec(5, 2, "y"), "ttsec", {}},
        {"the rest of an aborted request is ignored",
         begin(1) + rec(2, 1, "") + rec(4, 1, "x") + rec(5, 1, "") + rec(8, 1, ""),
         "tattt",
         {{3, 1, 9, 0}}},
        {"unknown management type", rec(99, 0, ""), "t", {{11, 0, 99, 0}}},
        {"a begin as management record", begin(0), "t", {{11, 0, 1, 0}}},
        {"an application's own type sent to it",
         rec(6, 1, "x") + rec(200, 4, ""),
         "tt",
         {{11, 0, 6, 0}, {11, 0, 200, 0}}},
        {"get values",
         rec(9, 0,
             pair("FCGI_MAX_CONNS", "") + pair("FCGI_MPXS_CONNS", "") + pair("OTHER", "") +
                 pair("FCGI_MAX_REQS", "")),
         "t",
         {{10, 0, 0, 0}},
         pair("FCGI_MAX_CONNS", "4096") + pair("FCGI_MPXS_CONNS", "0") +
             pair("FCGI_MAX_REQS", "4096")},
        {"get values naming a variable twice",
         rec(9, 0,
             pair("FCGI_MPXS_CONNS", "") + pair("FCGI_MPXS_CONNS", "") +
                 pair("FCGI_MPXS_CONNS", "") + pair("FCGI_MPXS_CONNS", "")),
         "c",
         {}},
        {"get values cut short", rec(9, 0, pair("FCGI_MAX_CONNS", "").substr(0, 5)), "c", {}},
        {"get values with nothing asked", rec(9, 0, ""), "t", {{10, 0, 0, 0}}},
        {"a name announced longer than the limit",
         begin(1) + rec(4, 1, length(0x7ffffffe) + length(1) + "abc") + rec(4, 1, ""),
         "tc",
         {}},
        {"a value announced longer than the limit",
         begin(1) + rec(4, 1, length(1) + length(0x7fffffff) + "a") + rec(4, 1, ""),
         "tc",
         {}},
        {"a pair announced longer than the params",
         begin(1) + rec(4, 1, pair("A", "1") + length(1) + length(9) + "ab") + rec(4, 1, ""),
         "ttc",
         {}},
        {"a length cut in the middle", begin(1) + rec(4, 1, "\x80\x01") + rec(4, 1, ""), "ttc", {}},
        {"params at the count limit",
         begin(1) + params_stream(many_params(fastcgi_limits::max_params_count)),
         "t" + std::string(records_of(many_params(fastcgi_limits::max_params_count)), 't') + "s",
         {}},
        {"params over the count limit",
         begin(1) + params_stream(many_params(fastcgi_limits::max_params_count + 1)),
         "t" + std::string(records_of(many_params(fastcgi_limits::max_params_count + 1)) - 1, 't') +
             "c",
         {}},
        {"params over the size limit",
         begin(1) + over_size_limit(),
         "t" + std::string(fastcgi_limits::max_params_bytes / big_pair.size(), 't') + "c",
         {}},
        {"a pair announced over the size limit, before it is all there",
         begin(1) + rec(4, 1, pair("A", "1") + length(1) + length(0x3fff7)),
         "tc",
         {}},
        {"a pair announced up to the size limit waits for the rest",
         begin(1) + rec(4, 1, pair("A", "1") + length(1) + length(0x3fff6)),
         "tt",
         {}},
        {"pairs cut across records, inside their lengths too",
         begin(1) + rec(4, 1, cut_pairs.substr(0, 1)) + rec(4, 1, cut_pairs.substr(1, 3)) +
             rec(4, 1, cut_pairs.substr(4, 100)) + rec(4, 1, cut_pairs.substr(104, 103)) +
             rec(4, 1, cut_pairs.substr(207)) + rec(4, 1, ""),
         "tttttts",
         {},
         {},
         "LONG=" + std::string(200, 'x') + "|B=2|C=3|"},
        {"a pair announced over the size limit, its lengths a byte a record",
         begin(1) + rec(4, 1, pair("A", "1")) + bytewise(length(1) + length(0x3fff7)),
         "ttttttc",
         {}},
        {"a pair announced up to the size limit, its lengths a byte a record",
         begin(1) + rec(4, 1, pair("A", "1")) + bytewise(length(1) + length(0x3fff6)),
         "ttttttt",
         {}},
        {"pairs no environment can hold are left out",
         begin(1) +
             rec(4, 1,
                 pair("A=B", "1") + pair("", "2") + pair(std::string("C\0", 2), "3") +
                     pair("D", std::string("4\0", 2)) + pair("E", "=5")) +
             rec(4, 1, ""),
         "tts",
         {},
         {},
         "E==5|"},
        {"stdin before the params end", begin(1) + rec(5, 1, "x"), "tc", {}},
        {"params after the params end", begin(1) + rec(4, 1, "") + rec(4, 1, "x"), "tsc", {}},
        {"stdin after the stdin end", whole_get(1) + rec(5, 1, "x"), "ttsec", {}},
        {"a begin body of 7 bytes", rec(1, 1, "\0\x01\x01\0\0\0\0"), "c", {}},
        {"another version", std::string("\x02\x01\0\x01\0\0\0\0", 8), "c", {}},
        {"another version after a record",
         rec(99, 0, "") + std::string(1, '\0'),
         "tc",
         {{11, 0, 99, 0}}},
        {"a header cut short", std::string("\x01\x01\0\x01\0", 5), "", {}},
    };
    for (const codec_case &c : cases) {
        std::string replies, environment, values;
        EXPECT_EQ(run(c, replies, environment), c.events) << c.name;
        EXPECT_EQ(read_replies(replies, values), c.replies) << c.name;
        EXPECT_EQ(values, c.values) << c.name;
        if (!c.environment.empty()) {
            EXPECT_EQ(environment, c.environment) << c.name;
        }
    }
}

TEST(ConnectionCodec, SameEventsWhateverTheCut) {
    const std::string input = whole_get(1) + rec(9, 0, pair("FCGI_MAX_REQS", "")) + begin(1, 1, 0) +
                              rec(4, 1, get_params, 5) + rec(4, 1, "") +
                              rec(5, 1, std::string(300, 'b')) + rec(5, 1, "");
    std::vector<std::string> whole;
    for (std::size_t step : {input.size(), std::size_t{1}, std::size_t{3}, std::size_t{8},
                             std::size_t{9}, std::size_t{100}}) {
        fastcgi::connection_state state;
        std::vector<std::string> seen;
        for (std::size_t at = 0; at < input.size(); at += step) {
            fastcgi::take_input(state, std::string_view(input).substr(at, step));
            for (fastcgi::connection_event e;
                 (e = fastcgi::next_event(state)).kind != fastcgi::event_kind::need_more;) {
                seen.push_back(std::to_string(static_cast<int>(e.kind)) + std::string(e.data));
                if (e.kind == fastcgi::event_kind::hold) fastcgi::end_current_request(state, 0);
            }
        }
        seen.push_back(state.replies);
        if (whole.empty()) whole = seen;
        EXPECT_EQ(seen, whole) << "pieces of " << step;
    }
}

// A request still sending params reads only within the memory budget, or
// within its own reserve; a request being served always reads.
TEST(ConnectionCodec, ReadsNearTheMemoryBudget) {
    using fastcgi::request_phase;
    constexpr std::size_t budget = fastcgi_limits::memory_budget;
    constexpr std::size_t reserve = fastcgi_limits::params_reserve;
    constexpr std::size_t wanted = 64 * 1024;
    struct row {
        const char *name;
        request_phase phase;
        std::size_t held_here, held_by_all, allowed;
    };
    const row rows[] = {
        {"params, budget unspent", request_phase::params, 100000, 0, wanted},
        {"params, less room than wanted", request_phase::params, 100000, budget - 1000, 1000},
        {"params, room below the reserve's", request_phase::params, 0, budget - 1000, reserve},
        {"params, budget spent, nothing held", request_phase::params, 0, budget, reserve},
        {"params, budget spent, reserve nearly held", request_phase::params, reserve - 100,
         budget + 1, 100},
        {"params, budget spent, reserve held", request_phase::params, reserve, budget, 0},
        {"params, budget overspent", request_phase::params, 300000, budget * 2, 0},
        {"no request yet, budget spent", request_phase::idle, 0, budget * 2, reserve},
        {"no request yet, reserve held", request_phase::idle, reserve + 1, budget, 0},
        {"body, budget overspent", request_phase::body, 300000, budget * 2, wanted},
        {"response, budget overspent", request_phase::input_done, 300000, budget * 2, wanted},
    };
    for (const row &r : rows)
        EXPECT_EQ(fastcgi::read_allowance(r.phase, r.held_here, r.held_by_all, wanted), r.allowed)
            << r.name;
}

TEST(ConnectionCodec, ApplicationStatusIsAProcessExitStatus) {
    const std::pair<int, std::uint32_t> cases[] = {{0, 0}, {-1, 255}, {1, 1}, {256, 0}};
    for (const auto &[exit_status, expected] : cases)
        EXPECT_EQ(fastcgi::application_status(exit_status), expected) << exit_status;
}

} // namespace

// ---- the connection's moves ----

TEST(ConnectionLink, EveryMoveAsTheTableHasIt) {
    using fastcgi::link_event;
    using fastcgi::link_state;
    struct move {
        link_state from;
        link_event event;
        link_state to;
    };
    const move moves[] = {
        {link_state::open, link_event::ended_kept, link_state::kept_idle},
        {link_state::open, link_event::ended_draining, link_state::draining},
        {link_state::open, link_event::ended_closing, link_state::closing},
        {link_state::open, link_event::next_began, link_state::open},
        {link_state::open, link_event::drained, link_state::open},
        {link_state::open, link_event::answer_cut, link_state::closing},
        {link_state::open, link_event::gone, link_state::broken},
        // A request begun and ended before the next turn: kept again.
        {link_state::kept_idle, link_event::ended_kept, link_state::kept_idle},
        {link_state::kept_idle, link_event::next_began, link_state::open},
        {link_state::kept_idle, link_event::drained, link_state::kept_idle},
        {link_state::kept_idle, link_event::gone, link_state::broken},
        {link_state::draining, link_event::drained, link_state::closing},
        {link_state::draining, link_event::next_began, link_state::draining},
        {link_state::draining, link_event::answer_cut, link_state::closing},
        {link_state::draining, link_event::gone, link_state::broken},
        // Closing and broken are where a connection ends: nothing reopens it.
        {link_state::closing, link_event::ended_kept, link_state::closing},
        {link_state::closing, link_event::next_began, link_state::closing},
        {link_state::closing, link_event::drained, link_state::closing},
        {link_state::closing, link_event::gone, link_state::broken},
        {link_state::broken, link_event::ended_kept, link_state::broken},
        {link_state::broken, link_event::next_began, link_state::broken},
        {link_state::broken, link_event::answer_cut, link_state::broken},
        {link_state::broken, link_event::drained, link_state::broken},
    };
    for (const move &m : moves)
        EXPECT_EQ(fastcgi::next_link(m.from, m.event), m.to)
            << static_cast<int>(m.from) << " on " << static_cast<int>(m.event);
}

TEST(ConnectionLink, RecordsAreTakenUntilOnlyTheCloseIsAhead) {
    using fastcgi::link_state;
    struct row {
        link_state state;
        bool takes, closing;
    };
    const row rows[] = {
        {link_state::open, true, false},    {link_state::kept_idle, true, false},
        {link_state::draining, true, true}, {link_state::closing, false, true},
        {link_state::broken, false, false},
    };
    for (const row &r : rows) {
        EXPECT_EQ(fastcgi::takes_records(r.state), r.takes) << static_cast<int>(r.state);
        EXPECT_EQ(fastcgi::is_closing(r.state), r.closing) << static_cast<int>(r.state);
    }
}

// ---- the connection's deadline and what it waits for ----

TEST(ConnectionPolicy, DeadlineFollowsWhatTheConnectionWaitsFor) {
    using fastcgi::close_reason;
    using fastcgi::deadline_from;
    using fastcgi::link_state;
    using fastcgi::request_phase;
    using namespace fastcgi_limits;
    struct row {
        const char *what;
        fastcgi::connection_view c;
        deadline_from from;
        std::chrono::milliseconds after;
        fastcgi::close_reason reason;
        std::optional<log_kind> limit;
    };
    fastcgi::connection_view base;
    base.watched = true;
    auto with = [&](auto change) {
        fastcgi::connection_view c = base;
        change(c);
        return c;
    };
    const row rows[] = {
        {"fresh", base, deadline_from::phase_start, params_read, close_reason::params_time,
         log_kind::params_time},
        {"params coming", with([](auto &c) { c.phase = request_phase::params; }),
         deadline_from::phase_start, params_read, close_reason::params_time, log_kind::params_time},
        {"idle kept",
         with([](auto &c) { c.link = link_state::kept_idle; }),
         deadline_from::phase_start,
         kept_idle,
         close_reason::kept_idle,
         {}},
        {"not watched yet",
         with([](auto &c) { c.watched = false; }),
         deadline_from::phase_start,
         watch_delay,
         close_reason::unwatchable,
         {}},
        {"output waits", with([](auto &c) { c.output_waiting = 1; }), deadline_from::last_progress,
         write_stall, close_reason::write_stall, log_kind::write_stall},
        // Output waiting comes before everything else, even an unwatched one.
        {"output waits, unwatched in body", with([](auto &c) {
             c.output_waiting = 1;
             c.watched = false;
             c.phase = request_phase::body;
         }),
         deadline_from::last_progress, write_stall, close_reason::write_stall,
         log_kind::write_stall},
        {"body awaited", with([](auto &c) { c.phase = request_phase::body; }),
         deadline_from::last_input, body_stall, close_reason::body_stall, log_kind::body_stall},
        {"body awaited, transfer runs", with([](auto &c) {
             c.phase = request_phase::body;
             c.transfer = true;
         }),
         deadline_from::last_input, body_stall, close_reason::body_stall, log_kind::body_stall},
        {"body ahead of libcurl",
         with([](auto &c) {
             c.phase = request_phase::body;
             c.body_ahead = 1;
         }),
         deadline_from::none,
         {},
         {},
         {}},
        {"answer awaited",
         with([](auto &c) {
             c.phase = request_phase::input_done;
             c.transfer = true;
         }),
         deadline_from::none,
         {},
         {},
         {}},
        {"answered, input done",
         with([](auto &c) { c.phase = request_phase::input_done; }),
         deadline_from::none,
         {},
         {},
         {}},
        {"transfer with no request phase",
         with([](auto &c) { c.transfer = true; }),
         deadline_from::none,
         {},
         {},
         {}},
    };
    for (const row &r : rows) {
        const fastcgi::deadline_rule got = fastcgi::deadline_of(r.c);
        EXPECT_EQ(got.from, r.from) << r.what;
        if (r.from == deadline_from::none) continue;
        EXPECT_EQ(got.after, r.after) << r.what;
        EXPECT_EQ(got.reason, r.reason) << r.what;
        EXPECT_EQ(fastcgi::logged_as(got.reason), r.limit) << r.what;
    }
}

TEST(ConnectionPolicy, InterestFollowsWhatMayBeReadAndWritten) {
    using fastcgi::link_state;
    struct row {
        const char *what;
        fastcgi::connection_view c;
        std::uint32_t want;
    };
    constexpr std::uint32_t hup = EPOLLRDHUP;
    fastcgi::connection_view base;
    auto with = [&](auto change) {
        fastcgi::connection_view c = base;
        change(c);
        return c;
    };
    const row rows[] = {
        {"open", base, hup | EPOLLIN},
        {"idle kept", with([](auto &c) { c.link = link_state::kept_idle; }), hup | EPOLLIN},
        {"draining", with([](auto &c) { c.link = link_state::draining; }), hup | EPOLLIN},
        {"closing", with([](auto &c) { c.link = link_state::closing; }), hup},
        {"closing, output waits", with([](auto &c) {
             c.link = link_state::closing;
             c.output_waiting = 1;
         }),
         hup | EPOLLOUT},
        {"broken", with([](auto &c) { c.link = link_state::broken; }), hup},
        {"holding", with([](auto &c) { c.holding = true; }), hup},
        {"no room in the budget", with([](auto &c) { c.budget_room = false; }), hup},
        {"output waits", with([](auto &c) { c.output_waiting = 1; }), hup | EPOLLIN | EPOLLOUT},
        {"output full", with([](auto &c) { c.output_waiting = fastcgi_limits::output_buffer; }),
         hup | EPOLLOUT},
        {"output just under full",
         with([](auto &c) { c.output_waiting = fastcgi_limits::output_buffer - 1; }),
         hup | EPOLLIN | EPOLLOUT},
        {"body ahead full", with([](auto &c) { c.body_ahead = fastcgi_limits::body_ahead; }), hup},
        {"body ahead just under full",
         with([](auto &c) { c.body_ahead = fastcgi_limits::body_ahead - 1; }), hup | EPOLLIN},
    };
    for (const row &r : rows)
        EXPECT_EQ(fastcgi::epoll_interest(r.c), r.want) << r.what;
}

TEST(ConnectionPolicy, OnlyTheUpstreamIsAwaitedOnceAllInputIsTakenAndWritten) {
    using fastcgi::request_phase;
    fastcgi::connection_view waits;
    waits.transfer = true;
    waits.phase = request_phase::input_done;
    EXPECT_TRUE(fastcgi::awaits_upstream(waits));
    struct row {
        const char *what;
        void (*change)(fastcgi::connection_view &);
    };
    const row rows[] = {
        {"no transfer", [](fastcgi::connection_view &c) { c.transfer = false; }},
        {"body still coming", [](fastcgi::connection_view &c) { c.phase = request_phase::body; }},
        {"output waits", [](fastcgi::connection_view &c) { c.output_waiting = 1; }},
        {"records unread", [](fastcgi::connection_view &c) { c.unread_records = true; }},
    };
    for (const row &r : rows) {
        fastcgi::connection_view c = waits;
        r.change(c);
        EXPECT_FALSE(fastcgi::awaits_upstream(c)) << r.what;
    }
}

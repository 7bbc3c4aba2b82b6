// Fuzzes the FastCGI codec: the first byte chooses how the rest is cut into
// pieces, which reach a connection one after the other. Whatever the cut,
// the events, the environments and the replies must be those of the whole
// input at once; the records taken must be those a plain reading of the
// header layout finds; every reply must be a well-formed record, with one
// FCGI_UNKNOWN_TYPE per record of a type a responder does not take; and the
// records taken, written out again, must read back the same; and params
// cut into records otherwise must give the same environments.
#include "fastcgi/connection_codec.hpp"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

// A record as the oracle reads it, straight from the header layout.
struct plain_record {
    int type;
    int id;
    std::string content;
    bool operator==(const plain_record &o) const {
        return type == o.type && id == o.id && content == o.content;
    }
};

enum class plain_end { clean, cut, foreign };

// Every complete record of version 1 from the front of bytes, and how the
// bytes end: exactly at a record's end, inside one, or at a byte that is not
// version 1.
std::vector<plain_record> plain_records(const std::string &bytes, plain_end &end) {
    std::vector<plain_record> found;
    std::size_t at = 0;
    for (;;) {
        if (at == bytes.size()) {
            end = plain_end::clean;
            return found;
        }
        if (static_cast<unsigned char>(bytes[at]) != 1) {
            end = plain_end::foreign;
            return found;
        }
        if (bytes.size() - at < 8) break;
        const auto b = [&](std::size_t i) { return static_cast<unsigned char>(bytes[at + i]); };
        const std::size_t length = b(4) * 256u + b(5);
        const std::size_t padding = b(6);
        if (bytes.size() - at < 8 + length + padding) break;
        found.push_back({b(1), b(2) * 256 + b(3), bytes.substr(at + 8, length)});
        at += 8 + length + padding;
    }
    end = plain_end::cut;
    return found;
}

struct run_result {
    std::vector<std::string> trace; // one line per event
    std::vector<plain_record> taken;
    std::string replies;
    bool closed = false;
};

// Feeds the pieces in order and plays a server that ends a request when the
// next one waits or when it is aborted.
run_result run(const std::vector<std::string_view> &pieces) {
    run_result out;
    fastcgi::connection_state state;
    for (std::string_view piece : pieces) {
        fastcgi::take_input(state, piece);
        for (;;) {
            const fastcgi::connection_event event = fastcgi::next_event(state);
            if (event.kind == fastcgi::event_kind::need_more) break;
            std::string line(1, static_cast<char>('a' + static_cast<int>(event.kind)));
            line.append(event.data);
            if (event.kind == fastcgi::event_kind::start)
                line.append(1, '\n').append(state.environment);
            out.trace.push_back(line);
            if (event.kind == fastcgi::event_kind::close) {
                out.replies += state.replies;
                out.closed = true;
                return out;
            }
            if (event.kind == fastcgi::event_kind::hold || event.kind == fastcgi::event_kind::abort)
                fastcgi::end_current_request(state, 7);
            if (event.kind != fastcgi::event_kind::hold)
                out.taken.push_back({static_cast<int>(event.from.type), event.from.request_id,
                                     std::string(event.from.content)});
            out.replies += state.replies;
            state.replies.clear();
        }
    }
    out.replies += state.replies;
    return out;
}

// The records again, each params record's content cut into records of 1
// to 7 bytes in a pattern `cut` sets, with a header written by hand.
std::string reframed(const std::vector<plain_record> &records, unsigned cut) {
    std::string out;
    const auto put = [&out](const plain_record &r, std::string_view content) {
        const char header[8] = {1,
                                static_cast<char>(r.type),
                                static_cast<char>(r.id >> 8),
                                static_cast<char>(r.id & 0xff),
                                static_cast<char>(content.size() >> 8),
                                static_cast<char>(content.size() & 0xff),
                                0,
                                0};
        out.append(header, sizeof header).append(content);
    };
    for (const plain_record &r : records) {
        if (r.type != 4 || r.content.empty()) {
            put(r, r.content);
            continue;
        }
        const std::string_view content(r.content);
        for (std::size_t at = 0, i = 0; at < content.size(); ++i) {
            const std::size_t length = 1 + (cut + i * 5) % 7;
            put(r, content.substr(at, length));
            at += length;
        }
    }
    return out;
}

// The environments the requests started with, from a run's trace.
std::vector<std::string> environments(const run_result &result) {
    std::vector<std::string> found;
    for (const std::string &line : result.trace)
        if (line[0] == 'a' + static_cast<int>(fastcgi::event_kind::start)) found.push_back(line);
    return found;
}

bool responder_takes(const plain_record &r) {
    if (r.id == 0) return r.type == 9;
    return r.type == 1 || r.type == 2 || r.type == 4 || r.type == 5 || r.type == 8;
}

void check_replies(const std::string &replies, const std::vector<plain_record> &taken) {
    plain_end end;
    const std::vector<plain_record> records = plain_records(replies, end);
    check(end == plain_end::clean);
    std::size_t unknown = 0;
    for (const plain_record &r : records) {
        check(r.type == 3 || r.type == 6 || r.type == 10 || r.type == 11);
        if (r.type == 3 || r.type == 11) check(r.content.size() == 8);
        if (r.type == 6) check(r.content.empty()); // only the end of a stdout stream
        unknown += r.type == 11;
    }
    std::size_t expected = 0;
    for (const plain_record &r : taken)
        expected += !responder_takes(r);
    check(unknown == expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size == 0) return 0;
    const unsigned cut = data[0];
    const std::string bytes(reinterpret_cast<const char *>(data + 1), size - 1);

    const run_result whole = run({bytes});
    std::vector<std::string_view> pieces;
    const std::string_view all(bytes);
    for (std::size_t at = 0, i = 0; at < all.size(); ++i) {
        // Piece lengths from 1 to 16, in a pattern the first byte sets.
        const std::size_t length = 1 + ((cut >> (i % 5)) + i * 7) % 16;
        pieces.push_back(all.substr(at, length));
        at += length;
    }
    const run_result split = run(pieces);
    check(split.trace == whole.trace);
    check(split.replies == whole.replies);
    check(split.taken == whole.taken);
    check(split.closed == whole.closed);

    plain_end end;
    const std::vector<plain_record> records = plain_records(bytes, end);
    check(whole.taken.size() <= records.size());
    for (std::size_t i = 0; i < whole.taken.size(); ++i)
        check(whole.taken[i] == records[i]);
    // Without a close, every record is taken; a foreign byte always closes.
    if (!whole.closed) check(whole.taken.size() == records.size() && end != plain_end::foreign);
    if (end == plain_end::foreign && whole.taken.size() == records.size()) check(whole.closed);
    check_replies(whole.replies, whole.taken);

    // Params cut into records otherwise: the same environments, and a close
    // exactly when there was one.
    if (end == plain_end::clean) {
        const run_result recut = run({reframed(records, cut)});
        check(environments(recut) == environments(whole));
        check(recut.closed == whole.closed);
    }

    // The records taken, written out again, read back the same.
    std::string again;
    for (const plain_record &r : whole.taken)
        fastcgi::append_record(again, static_cast<fastcgi::record_type>(r.type),
                               static_cast<std::uint16_t>(r.id), r.content);
    const std::vector<plain_record> reread = plain_records(again, end);
    check(end == plain_end::clean && reread == whole.taken);
    const run_result replay = run({again});
    check(replay.taken == whole.taken);
    return 0;
}

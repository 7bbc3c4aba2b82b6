#include "exchange.hpp"

#include <cstdlib>
#include <string_view>
#include <utility>

namespace {

constexpr const char *user_agent = "libcurl-agent/1.0";

std::string_view answer_text(own_answer_kind kind, response_form form) {
    switch (kind) {
    case own_answer_kind::bad_request:
        return bad_request_answer(form);
    case own_answer_kind::not_forwarded:
        return not_forwarded_answer(form);
    case own_answer_kind::mount_not_allowed:
        break;
    }
    return mount_not_allowed_answer;
}

// The response body, through the relay while the sink has room; paused
// while it is full, ended when it is gone.
std::size_t take_body(char *data, std::size_t size, std::size_t count, void *user) noexcept {
    auto &x = *static_cast<exchange *>(user);
    const relay_sink &sink = x.relay.sink;
    switch (sink.room ? sink.room(sink.target) : sink_room::open) {
    case sink_room::gone:
        return 0;
    case sink_room::full:
        x.download_paused = true;
        return CURL_WRITEFUNC_PAUSE;
    case sink_room::open:
        break;
    }
    relay_stream body{&x.relay, false};
    return relay_chunk(data, size, count, &body);
}

std::size_t give_body(char *buffer, std::size_t size, std::size_t count, void *user) noexcept {
    auto &x = *static_cast<exchange *>(user);
    const std::size_t n = read_body(buffer, size, count, x.body);
    if (n == CURL_READFUNC_PAUSE) x.upload_paused = true;
    return n;
}

// A mount request goes as a proxy sends it: the client's method, a body as
// an upload (no Content-Type of libcurl's own), HEAD without reading a body,
// and no User-Agent but the client's.
void set_proxy_method(CURL *h, const std::string &method, bool upload) {
    if (method == "HEAD") {
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
    } else if (method != "GET" || upload) {
        curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    if (upload) curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
}

// Whether libcurl would find a proxy for an http URL in the environment:
// http_proxy, all_proxy or ALL_PROXY (never HTTP_PROXY, which a client can
// set through a CGI server). Read once: the process's environment does not
// change.
bool proxy_in_environment() {
    static const bool found =
        std::getenv("http_proxy") || std::getenv("all_proxy") || std::getenv("ALL_PROXY");
    return found;
}

} // namespace

transfer_end end_of_transfer(CURLcode result, const relay_state &relay) {
    return result != CURLE_OK && answer_began(relay) ? transfer_end::cut : transfer_end::complete;
}

bool open_exchange(exchange &x, request_plan plan, const exchange_io &io) noexcept {
    x.relay = relay_context{{}, io.sink};
    x.relay.state.rules = std::move(plan.response);
    x.header_stream = {&x.relay, true};
    x.plan = std::move(plan);
    x.body = io.body;
    if (const auto *answer = std::get_if<own_answer>(&x.plan.action)) {
        x.body->remaining = answer->announced;
        x.status = answer->kind == own_answer_kind::bad_request ? refused_status : 0;
        x.stage = exchange_stage::taking_in;
        return false;
    }
    const upstream_body &body = std::get<upstream_request>(x.plan.action).body;
    // Only a way in with a decoder is given a plan with a framed body.
    if (body.chunk_framed && body.extent != body_extent::none) x.body = io.unframed;
    x.body->remaining = body.extent == body_extent::sized    ? body.size
                        : body.extent == body_extent::to_end ? -1
                                                             : 0;
    x.stage = exchange_stage::transfer;
    return true;
}

void prepare_transfer(exchange &x) noexcept {
    CURL *h = x.handle.get();
    const upstream_request &request = std::get<upstream_request>(x.plan.action);
    const bool proxy = request.style == request_style::proxy;
    const bool upload = request.body.extent != body_extent::none;
    curl_easy_setopt(h, CURLOPT_URL, request.url.c_str());
    // With no proxy to find, libcurl need not look through the environment
    // for one on every request, and the one name it resolves is the
    // upstream's address, which never goes stale.
    if (!proxy_in_environment()) {
        curl_easy_setopt(h, CURLOPT_PROXY, "");
        curl_easy_setopt(h, CURLOPT_NOPROXY, "");
        curl_easy_setopt(h, CURLOPT_DNS_CACHE_TIMEOUT, -1L);
    }
    // No SIGALRM around name lookups: the upstream is an address, and a
    // thread's or a CGI process's signals are not libcurl's (six system
    // calls a request saved).
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, request.headers.get());
    if (proxy)
        set_proxy_method(h, request.method, upload);
    else if (upload)
        curl_easy_setopt(h, CURLOPT_POST, 1L);
    if (upload) {
        curl_easy_setopt(h, CURLOPT_READFUNCTION, give_body);
        curl_easy_setopt(h, CURLOPT_READDATA, static_cast<void *>(&x));
    }
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, relay_chunk);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, static_cast<void *>(&x.header_stream));
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, take_body);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, static_cast<void *>(&x));
    if (!proxy) curl_easy_setopt(h, CURLOPT_USERAGENT, user_agent);
    if (upload && proxy)
        curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(x.body->remaining));
    else if (upload)
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE, static_cast<long>(x.body->remaining));
}

transfer_end end_transfer(exchange &x, CURLcode result) noexcept {
    const transfer_end end = end_of_transfer(result, x.relay.state);
    if (end == transfer_end::cut) x.status = cut_status;
    x.stage = exchange_stage::taking_in;
    return end;
}

bool finish_exchange(exchange &x) noexcept {
    if (x.stage != exchange_stage::taking_in) return x.stage == exchange_stage::done;
    // Apache's mod_cgid cuts a response short when the program ends with the
    // request body unread, so a document response takes in what is left of
    // the body (never past its announced size) before the gateway's own
    // answer and before the end. The passthrough form leaves it, as it
    // always has.
    if (x.relay.state.rules.form == response_form::document && !take_in_rest(*x.body)) return false;
    x.stage = exchange_stage::done;
    if (const auto *answer = std::get_if<own_answer>(&x.plan.action)) {
        const std::string_view text = answer_text(answer->kind, x.relay.state.rules.form);
        if (!text.empty()) x.relay.sink.write(x.relay.sink.target, text, {});
        return true;
    }
    relay_finish(x.relay);
    return true;
}

bool uploading(const exchange &x) noexcept {
    const auto *request = std::get_if<upstream_request>(&x.plan.action);
    return x.handle && request && request->body.extent != body_extent::none;
}

void resume_upload(exchange &x) noexcept {
    if (!x.handle || !x.upload_paused) return;
    x.upload_paused = false;
    curl_easy_pause(x.handle.get(), CURLPAUSE_CONT);
}

void resume_download(exchange &x) noexcept {
    if (!x.handle || !x.download_paused) return;
    const relay_sink &sink = x.relay.sink;
    if (sink.room && sink.room(sink.target) != sink_room::open) return;
    x.download_paused = false;
    curl_easy_pause(x.handle.get(), CURLPAUSE_CONT);
}

#include "driver.hpp"

#include "translate.hpp"
#include "upstream/exchange.hpp"

#include <new>

namespace {

void answer(relay_context &relay, std::string_view text) {
    if (!text.empty()) relay.sink.write(relay.sink.target, text, {});
}

// Apache's mod_cgid cuts a response short when the program ends with the
// request body unread, so a document response takes in what is left of the
// announced body (never more) before the gateway's own answer and before
// the end. The passthrough form leaves it, as it always has.
void take_in_body(const relay_context &relay, body_source &body) {
    if (relay.state.form == response_form::document) skip_body(body);
}

// The body size announced for a POST that is refused, 0 otherwise. Only a
// POST's body is sure to be there to read: mini_httpd hands other methods
// the client's connection, whose body it has already read itself.
std::int64_t announced_size(const cgi_request &request) {
    if (!request.method || std::string_view(request.method).substr(0, 4) != "POST" ||
        !request.content_length)
        return 0;
    const std::optional<std::int32_t> size = parse_content_length(request.content_length);
    return size ? *size : 0;
}

} // namespace

int serve_request(const cgi_request &request, relay_context &relay, body_source &body,
                  CURL *handle) noexcept {
    const response_form form = relay.state.form;
    request_plan plan;
    try {
        plan = plan_request(request.query, request.method, request.content_length, request.envp);
    } catch (const std::bad_alloc &) {
        plan = request_plan{}; // refused, like any other failed allocation
    }
    if (plan.action == request_action::refuse || plan.action == request_action::ignore) {
        body.remaining = announced_size(request);
        take_in_body(relay, body);
    }
    switch (plan.action) {
    case request_action::refuse:
        answer(relay, bad_request_answer(form));
        return refused_status;
    case request_action::ignore:
        answer(relay, not_forwarded_answer(form));
        return 0;
    case request_action::get:
    case request_action::post:
        break;
    }

    transfer_io io{{&relay, true}, {&relay, false}, nullptr};
    body.remaining = 0;
    if (plan.action == request_action::post) {
        body.remaining = plan.content_length;
        io.upload = &body;
    }
    if (handle)
        perform_transfer(handle, plan.url.c_str(), plan.headers.get(), io);
    else if (io.upload)
        forward_post(plan.url.c_str(), plan.content_length, plan.headers.get(), io);
    else
        forward_get(plan.url.c_str(), plan.headers.get(), io);
    take_in_body(relay, body); // what the upstream did not take
    relay_finish(relay);
    return 0;
}

bool begin_request(const cgi_request &request, relay_context &relay, request_plan &plan,
                   int &status) noexcept {
    const response_form form = relay.state.form;
    try {
        plan = plan_request(request.query, request.method, request.content_length, request.envp);
    } catch (const std::bad_alloc &) {
        plan = request_plan{};
    }
    status = 0;
    switch (plan.action) {
    case request_action::refuse:
        answer(relay, bad_request_answer(form));
        status = refused_status;
        return false;
    case request_action::ignore:
        answer(relay, not_forwarded_answer(form));
        return false;
    case request_action::get:
    case request_action::post:
        break;
    }
    return true;
}

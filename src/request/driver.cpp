#include "driver.hpp"

#include "translate.hpp"
#include "upstream/exchange.hpp"

#include <new>

namespace {

void answer(relay_context &relay, std::string_view text) {
    if (!text.empty()) relay.sink.write(relay.sink.target, text, {});
}

} // namespace

int serve_request(const cgi_request &request, relay_context &relay, body_source body,
                  CURL *handle) noexcept {
    const response_form form = relay.state.form;
    request_plan plan;
    try {
        plan = plan_request(request.query, request.method, request.content_length, request.envp);
    } catch (const std::bad_alloc &) {
        plan = request_plan{}; // refused, like any other failed allocation
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
    relay_finish(relay);
    return 0;
}

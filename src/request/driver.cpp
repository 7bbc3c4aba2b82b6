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

// A mount request's answer takes the document form under every server (it
// has no earlier output to keep), and its URLs lead back through the mount.
void mount_relay(relay_state &state, mount_plan &mount) {
    state.form = response_form::document;
    state.mounted = true;
    state.mount_prefix = std::move(mount.prefix);
    state.mount_origin = std::move(mount.origin);
}

} // namespace

bool begin_request(const cgi_request &request, relay_context &relay, request_plan &plan,
                   int &status, body_source *body) noexcept {
    try {
        plan = plan_request(request.query, request.method, request.content_length, request.envp,
                            request.decoder);
        if (plan.is_mount) mount_relay(relay.state, plan.mount);
        if (plan.mount.chunk_framed && !request.unframed) plan.action = request_action::refuse;
    } catch (const std::bad_alloc &) {
        plan = request_plan{}; // refused, like any other failed allocation
    }
    const response_form form = relay.state.form;
    status = 0;
    if (body && (plan.action == request_action::refuse || plan.action == request_action::ignore)) {
        body->remaining = announced_size(request);
        take_in_body(relay, *body);
    }
    switch (plan.action) {
    case request_action::refuse:
        answer(relay, bad_request_answer(form));
        status = refused_status;
        return false;
    case request_action::ignore:
        answer(relay, plan.is_mount ? mount_not_allowed_answer : not_forwarded_answer(form));
        return false;
    case request_action::get:
    case request_action::post:
    case request_action::mount:
        break;
    }
    return true;
}

void plan_upload(const request_plan &plan, body_source &body, transfer_io &io) {
    body.remaining = 0;
    io.upload = nullptr;
    if (plan.action == request_action::post) {
        body.remaining = plan.content_length;
        io.upload = &body;
    } else if (plan.action == request_action::mount && plan.mount.has_body &&
               plan.mount.method != "HEAD") {
        body.remaining = plan.mount.body_size;
        io.upload = &body;
    }
}

int serve_request(const cgi_request &request, relay_context &relay, body_source &body,
                  CURL *handle) noexcept {
    request_plan plan;
    int status = 0;
    if (!begin_request(request, relay, plan, status, &body)) return status;

    transfer_io io{{&relay, true}, {&relay, false}, nullptr};
    plan_upload(plan, body, io);
    if (io.upload && plan.mount.chunk_framed) io.upload = request.unframed;
    const mount_method method{plan.mount.method.c_str()};
    const mount_method *mount = plan.action == request_action::mount ? &method : nullptr;
    transfer_end end = transfer_end::complete;
    if (handle)
        end = perform_transfer(handle, plan.url.c_str(), plan.headers.get(), io, mount);
    else if (mount)
        end = forward_mount(plan.url.c_str(), method, plan.headers.get(), io);
    else if (io.upload)
        end = forward_post(plan.url.c_str(), plan.content_length, plan.headers.get(), io);
    else
        end = forward_get(plan.url.c_str(), plan.headers.get(), io);
    take_in_body(relay, body); // what the upstream did not take
    relay_finish(relay);
    return end == transfer_end::cut ? cut_status : 0;
}

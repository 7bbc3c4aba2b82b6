// Serves one request, whichever way it came in: the translation, then the
// upstream's response or the gateway's own answer, through the relay.
#pragma once

#include "translate.hpp"
#include "upstream/body_reader.hpp"
#include "upstream/exchange.hpp"
#include "upstream/relay.hpp"

#include <curl/curl.h>

// The CGI meta-variables the gateway reads; null when not set. envp is the
// whole set in its own order.
struct cgi_request {
    const char *query;
    const char *method;
    const char *content_length;
    char **envp;
    CURL *decoder = nullptr; // a handle the translation may use, or null
    // Reads a body handed over in its chunk framing; null where this way in
    // never gets one, so such a request is refused.
    body_source *unframed = nullptr;
};

constexpr int refused_status = -1; // exit status 255
// The upstream's answer broke off after it had begun: what went out stays,
// and the status tells the failure.
constexpr int cut_status = 1;

// handle is a handle to reuse for the transfer, or null for a process that
// serves one request (a handle of its own, libcurl set up around it). body
// reads the request body; its size is set here. Returns 0, refused_status
// after the 400 answer, or cut_status.
int serve_request(const cgi_request &request, relay_context &relay, body_source &body,
                  CURL *handle) noexcept;

// The first half of serve_request, for a server that drives the transfer
// itself: the translation, and the gateway's own answer written through the
// relay when there is no transfer to make. True when plan is a transfer to
// make (status 0 then); false after the answer, with its status. With a
// body, a document answer takes in what is left of a POST's announced body
// first; without, the caller discards what is left of it.
bool begin_request(const cgi_request &request, relay_context &relay, request_plan &plan,
                   int &status, body_source *body = nullptr) noexcept;

// The body that goes with the planned transfer: io.upload is body, with its
// size set (-1: to the end of the input), or null when none goes.
void plan_upload(const request_plan &plan, body_source &body, transfer_io &io);

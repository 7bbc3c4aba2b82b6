// The one HTTP transfer of a request, relayed through the relay.
#pragma once

#include "body_reader.hpp"
#include "relay.hpp"

#include <curl/curl.h>

#include <cstdint>

// What one transfer reads from and writes to; lives until it has ended.
struct transfer_io {
    relay_stream header;
    relay_stream body;
    body_source *upload; // the POST body; null for a GET
};

// A mount request's method, sent as the client sent it, in place of the GET
// or POST of a path= request. A body, when it has one, comes through
// io.upload, announced as io.upload->remaining (-1: sent chunked).
struct mount_method {
    const char *name;
};

// How a transfer ended, as the web server must learn it.
enum class transfer_end {
    complete, // the whole answer, or none at all (the relay's own answer stands in)
    cut,      // the answer began and then broke off: what went out is all there is
};

// How the transfer that libcurl ended with result went, once the relay has
// taken all it delivered. Any failure after the answer began is a cut: a
// short Content-Length body, a chunked body without its last chunk or with
// a malformed chunk, a read error, or the web server gone.
transfer_end end_of_transfer(CURLcode result, const relay_state &relay);

// Sets the transfer's options on a fresh (or reset) handle, for a caller
// that performs it itself (a multi handle).
void prepare_transfer(CURL *handle, const char *url, curl_slist *headers, transfer_io &io,
                      const mount_method *mount = nullptr);

// Sets the transfer's options on a fresh (or reset) handle and performs it.
transfer_end perform_transfer(CURL *handle, const char *url, curl_slist *headers, transfer_io &io,
                              const mount_method *mount = nullptr);

// One transfer on a handle of its own, with libcurl's global state set up
// and torn down around it, as a process that serves one request does. A
// POST reads its body through io.upload, announced as content_length.
transfer_end forward_get(const char *url, curl_slist *headers, transfer_io &io);
transfer_end forward_post(const char *url, std::int32_t content_length, curl_slist *headers,
                          transfer_io &io);
transfer_end forward_mount(const char *url, const mount_method &method, curl_slist *headers,
                           transfer_io &io);

// One request's exchange, whichever way it came in: its plan, the relay of
// the answer, the easy handle, the body source, and the rule that a
// document answer takes in the unread body first. Set up in one place; the
// CGI program performs the handle, the FastCGI server adds it to its multi
// handle. Its address is libcurl's user pointer: it stays put while the
// transfer runs.
#pragma once

#include "body_reader.hpp"
#include "curl_holders.hpp"
#include "plan.hpp"
#include "relay.hpp"

#include <curl/curl.h>

constexpr int refused_status = -1; // exit status 255
// The upstream's answer broke off after it had begun: what went out stays,
// and the status tells the failure.
constexpr int cut_status = 1;

enum class exchange_stage {
    idle,      // not set up
    transfer,  // the transfer is to be made, or runs
    taking_in, // the rest of the body is taken in before the end goes out
    done,      // all has gone out
};

// What the way in gives an exchange: where the answer goes, and where the
// body comes from, as it comes and read through the chunk decoder (null
// where a body never comes framed).
struct exchange_io {
    relay_sink sink;
    body_source *body;
    body_source *unframed = nullptr;
};

struct exchange {
    request_plan plan;
    relay_context relay{};
    relay_stream header_stream{};
    body_source *body = nullptr; // what is uploaded, and taken in at the end
    easy_handle handle;          // set while the transfer runs
    exchange_stage stage = exchange_stage::idle;
    int status = 0; // 0, refused_status or cut_status
    bool upload_paused = false;
    bool download_paused = false;
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

// Sets the exchange up to carry out plan; true when there is a transfer to
// make, false when the gateway answers by itself (finish_exchange writes it).
bool open_exchange(exchange &x, request_plan plan, const exchange_io &io) noexcept;

// Sets every option of the transfer on x.handle, fresh or reset; the way in
// adds only its own (a multi handle's socket and private data).
void prepare_transfer(exchange &x) noexcept;

// The transfer ended with result, or could not be made (give it a failure
// code): how it ended. The handle is the caller's to take back.
transfer_end end_transfer(exchange &x, CURLcode result) noexcept;

// Takes in what is left of the body (document form), then writes what is
// still to go out: the gateway's own answer or the relay's end. False while
// the body source has nothing yet: call again once more has come.
bool finish_exchange(exchange &x) noexcept;

// Whether a transfer runs that takes the request body.
bool uploading(const exchange &x) noexcept;

// More body came, or its end: a paused upload goes on.
void resume_upload(exchange &x) noexcept;

// The sink has room again: a paused download goes on.
void resume_download(exchange &x) noexcept;

// The one HTTP transfer of a request, relayed to standard output.
#pragma once

#include <curl/curl.h>

#include <cstdint>

void forward_get(const char *url, curl_slist *headers);
void forward_post(const char *url, std::int32_t content_length, curl_slist *headers);

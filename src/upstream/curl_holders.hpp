// Owners for what libcurl hands out, so every path releases what it took.
#pragma once

#include <curl/curl.h>

#include <memory>

struct easy_cleanup {
    void operator()(CURL *handle) const { curl_easy_cleanup(handle); }
};
using easy_handle = std::unique_ptr<CURL, easy_cleanup>;

struct slist_free {
    void operator()(curl_slist *list) const { curl_slist_free_all(list); }
};
using header_list = std::unique_ptr<curl_slist, slist_free>;

struct curl_text_free {
    void operator()(char *text) const { curl_free(text); }
};
using curl_text = std::unique_ptr<char, curl_text_free>;

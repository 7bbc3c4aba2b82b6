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

// Appends one line behind tail, the list's last node (null for an empty
// list); false when out of memory. curl_slist_append walks the whole list to
// find its end, so each node is made on its own and linked behind the last
// one: linear time for any number of lines, and curl_slist_free_all still
// frees them all.
inline bool append_header(header_list &list, curl_slist *&tail, const char *line) {
    curl_slist *node = curl_slist_append(nullptr, line);
    if (!node) return false;
    if (tail)
        tail->next = node;
    else
        list.reset(node);
    tail = node;
    return true;
}

#pragma once

#include <curl/curl.h>

#include <memory>

// Owners of the libcurl handles the built-in engine holds.
namespace pagestow::engine::static_engine {

struct CurlEasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
using CurlEasy = std::unique_ptr<CURL, CurlEasyDeleter>;

struct CurlMultiDeleter {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
using CurlMulti = std::unique_ptr<CURLM, CurlMultiDeleter>;

struct CurlSlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using CurlSlist = std::unique_ptr<curl_slist, CurlSlistDeleter>;

struct CurlShareDeleter {
    void operator()(CURLSH* share) const { curl_share_cleanup(share); }
};
using CurlShare = std::unique_ptr<CURLSH, CurlShareDeleter>;

struct CurlUrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

} // namespace pagestow::engine::static_engine

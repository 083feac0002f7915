#pragma once

#include "base/Owned.h"

#include <curl/curl.h>

// Owners of the libcurl handles the built-in engine holds.
namespace pagestow::engine::static_engine {

using CurlEasy = base::Owned<CURL, curl_easy_cleanup>;
using CurlMulti = base::Owned<CURLM, curl_multi_cleanup>;
using CurlSlist = base::Owned<curl_slist, curl_slist_free_all>;
using CurlShare = base::Owned<CURLSH, curl_share_cleanup>;

} // namespace pagestow::engine::static_engine

#pragma once

// The owner of a handle of curl's URL API and the reading of one of its parts, for this module's
// parser steps only.

#include "base/Owned.h"

#include <curl/curl.h>

#include <optional>
#include <string>

namespace pagestow::url {

using UrlHandle = base::Owned<CURLU, curl_url_cleanup>;

// A part of the parsed address, nullopt when it has none or it cannot be written.
inline std::optional<std::string> GetPart(CURLU* url, CURLUPart part, unsigned int flags = 0)
{
    char* text = nullptr;
    if (curl_url_get(url, part, &text, flags) != CURLUE_OK || !text)
        return std::nullopt;
    std::string result(text);
    curl_free(text);
    return result;
}

} // namespace pagestow::url

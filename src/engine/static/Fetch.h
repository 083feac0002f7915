#pragma once

#include "engine/RequestOptions.h"

#include <chrono>
#include <cstddef>
#include <string>

namespace pagestow::engine {

// What one plain GET gave: the final status (0 when no response came, error then says why), and the
// body as it arrived after its content coding was removed, up to the limit asked for.
struct FetchedText {
    long status = 0;
    std::string body;
    // The body was longer than the limit; body holds its beginning.
    bool cut = false;
    std::string error;
};

// Fetches one small text outside any page (a site's robots.txt): http and https only, at most five
// redirects, with the user agent and headers of requests (no cookies: such a text is public) (the built-in engine's user agent
// when requests names none), bounded by timeout.
FetchedText FetchText(const std::string& address, const RequestOptions& requests, std::size_t maxBytes,
    std::chrono::milliseconds timeout);

} // namespace pagestow::engine

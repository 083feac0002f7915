#pragma once

#include "engine/cookies/CookieFile.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::engine {

// A header the user adds to every request of a page.
struct RequestHeader {
    std::string name;
    std::string value;
    bool operator==(const RequestHeader&) const = default;
};

// What the user adds to the requests of every page an engine loads (a page behind a login): the
// cookies its store starts with, headers and the user agent. Empty, every engine requests as it
// always has.
struct RequestOptions {
    // Sent where their domain, path and secure flag match, as the page's own cookies are.
    std::vector<cookies::Cookie> cookies;
    // Sent with every request of the page: the document, its frames and every subresource.
    std::vector<RequestHeader> headers;
    // Instead of the engine's own; "" keeps it.
    std::string userAgent;
    // One cookie store for every page of the run: what a page's server sets is sent with the next
    // pages and can be read back (PageEngine::CookieStore). Off, each page starts from cookies.
    bool keepCookies = false;

    bool Empty() const { return cookies.empty() && headers.empty() && userAgent.empty() && !keepCookies; }
    bool operator==(const RequestOptions&) const = default;
};

// Reads "Name: value" as a header; nullopt with error set when it has no ":", an empty or
// malformed name, or a line break (CR or LF) in it. Blanks around the value are dropped.
std::optional<RequestHeader> ParseRequestHeader(std::string_view text, std::string& error);

} // namespace pagestow::engine

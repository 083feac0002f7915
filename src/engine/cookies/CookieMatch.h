#pragma once

#include "engine/cookies/CookieFile.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::engine::cookies {

// What a request looks like to the cookie rules: its scheme, host and path.
struct RequestTarget {
    bool secure = false;
    // In lower case; an IP address is never matched by a domain cookie of a parent domain.
    std::string host;
    // The path without the query, "/" when empty.
    std::string path = "/";
};

// The target of an absolute http or https address; host empty when it is none.
RequestTarget TargetOf(std::string_view address);

// Whether host domain-matches domain (both lower case): the same, or a subdomain of it when host
// is no IP address.
bool DomainMatches(std::string_view host, std::string_view domain);

// Whether the request path path-matches the cookie path.
bool PathMatches(std::string_view requestPath, std::string_view cookiePath);

// Whether a browser sends cookie with a request to target at time now (seconds since 1970): domain,
// path, secure flag and expiry.
bool CookieMatches(const Cookie& cookie, const RequestTarget& target, std::int64_t now);

// The cookies sent with a request to address at time now, in the order a browser sends them (longer
// paths first, then the order of the list).
std::vector<Cookie> CookiesFor(
    const std::vector<Cookie>& cookies, std::string_view address, std::int64_t now);

// The cookies that have not expired at time now: session cookies, and those expiring later.
std::vector<Cookie> Unexpired(const std::vector<Cookie>& cookies, std::int64_t now);

} // namespace pagestow::engine::cookies

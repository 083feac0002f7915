#include "engine/cookies/CookieMatch.h"

#include "base/Ascii.h"
#include "url/Address.h"

#include <algorithm>

namespace pagestow::engine::cookies {
namespace {

    // A dotted IPv4 address or a bracketed IPv6 one.
    bool IsIpAddress(std::string_view host)
    {
        if (host.starts_with('['))
            return true;
        return !host.empty() && std::all_of(host.begin(), host.end(), [](char c) {
            return (c >= '0' && c <= '9') || c == '.';
        });
    }

} // namespace

RequestTarget TargetOf(std::string_view address)
{
    RequestTarget target;
    std::optional<url::Address> parsed = url::Address::Parse(address);
    if (!parsed || !parsed->IsHttp())
        return target;
    target.secure = parsed->Scheme() == "https";
    target.host = base::LowerAscii(parsed->Host());
    std::string_view path = std::string_view(parsed->Text()).substr(parsed->PathStart());
    path = path.substr(0, path.find_first_of("?#"));
    target.path = path.empty() ? "/" : std::string(path);
    return target;
}

bool DomainMatches(std::string_view host, std::string_view domain)
{
    // 1. The same text matches.
    if (host == domain)
        return true;
    // 2. Otherwise domain is a suffix of host right after a dot, and host is a name, not an address.
    return host.size() > domain.size() && host.ends_with(domain)
        && host[host.size() - domain.size() - 1] == '.' && !IsIpAddress(host);
}

bool PathMatches(std::string_view requestPath, std::string_view cookiePath)
{
    // 1. The same path matches.
    if (requestPath == cookiePath)
        return true;
    if (!requestPath.starts_with(cookiePath))
        return false;
    // 2. A prefix matches when it ends with "/", or when what follows it in the request starts with "/".
    return cookiePath.ends_with('/') || requestPath[cookiePath.size()] == '/';
}

bool CookieMatches(const Cookie& cookie, const RequestTarget& target, std::int64_t now)
{
    if (target.host.empty())
        return false;
    if (cookie.expires != 0 && cookie.expires <= now)
        return false;
    if (cookie.secure && !target.secure)
        return false;
    bool domainMatch
        = cookie.includeSubdomains ? DomainMatches(target.host, cookie.domain) : target.host == cookie.domain;
    return domainMatch && PathMatches(target.path, cookie.path);
}

std::vector<Cookie> CookiesFor(const std::vector<Cookie>& cookies, std::string_view address, std::int64_t now)
{
    RequestTarget target = TargetOf(address);
    std::vector<Cookie> sent;
    for (const Cookie& cookie : cookies) {
        if (CookieMatches(cookie, target, now))
            sent.push_back(cookie);
    }
    std::stable_sort(sent.begin(), sent.end(),
        [](const Cookie& a, const Cookie& b) { return a.path.size() > b.path.size(); });
    return sent;
}

std::vector<Cookie> Unexpired(const std::vector<Cookie>& cookies, std::int64_t now)
{
    std::vector<Cookie> kept;
    for (const Cookie& cookie : cookies) {
        if (cookie.expires == 0 || cookie.expires > now)
            kept.push_back(cookie);
    }
    return kept;
}

} // namespace pagestow::engine::cookies

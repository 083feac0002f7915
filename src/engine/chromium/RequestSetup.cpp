// What the user adds to the requests of a page (RequestOptions): the cookies go into the tab's
// browser context before the navigation, the headers and the user agent are set on every frame's
// session, and the context's cookies are read back with the snapshot.

#include "engine/chromium/EngineImpl.h"

namespace pagestow::engine::chromium {
namespace {

    using json = nlohmann::json;

    // A cookie as Network.setCookies takes it. A host-only cookie is given by an address (the browser
    // then keeps it for that host alone), a domain cookie by its domain with a leading dot.
    json CookieParam(const cookies::Cookie& cookie)
    {
        json param { { "name", cookie.name }, { "value", cookie.value }, { "path", cookie.path },
            { "secure", cookie.secure }, { "httpOnly", cookie.httpOnly } };
        bool address
            = !cookie.domain.empty() && cookie.domain.find_first_not_of("0123456789.") == std::string::npos;
        if (cookie.includeSubdomains && !address && cookie.domain.front() != '[')
            param["domain"] = "." + cookie.domain;
        else
            param["url"] = std::string(cookie.secure ? "https://" : "http://") + cookie.domain + cookie.path;
        if (cookie.expires > 0)
            param["expires"] = cookie.expires;
        return param;
    }

    cookies::Cookie CookieOf(const json& cookie)
    {
        cookies::Cookie read;
        std::string domain = cookie.value("domain", std::string());
        read.includeSubdomains = domain.starts_with('.');
        read.domain = read.includeSubdomains ? domain.substr(1) : domain;
        read.path = cookie.value("path", std::string("/"));
        read.secure = cookie.value("secure", false);
        read.httpOnly = cookie.value("httpOnly", false);
        bool session = cookie.value("session", false);
        double expires = cookie.value("expires", -1.0);
        read.expires = session || expires <= 0 ? 0 : std::int64_t(expires);
        read.name = cookie.value("name", std::string());
        read.value = cookie.value("value", std::string());
        return read;
    }

} // namespace

int ChromiumEngine::Impl::SendRequestOptions(
    const std::string& session, bool mainSession, const LoadReply& onReply)
{
    const RequestOptions& requests = engine.Requests();
    int sent = 0;
    if (mainSession && !engine.StoredCookies().empty()) {
        json list = json::array();
        for (const cookies::Cookie& cookie : engine.StoredCookies())
            list.push_back(CookieParam(cookie));
        SendFor("Network.setCookies", { { "cookies", std::move(list) } }, session, onReply);
        ++sent;
    }
    if (!requests.headers.empty()) {
        json headers = json::object();
        for (const RequestHeader& header : requests.headers)
            headers[header.name] = header.value;
        SendFor("Network.setExtraHTTPHeaders", { { "headers", std::move(headers) } }, session, onReply);
        ++sent;
    }
    if (!requests.userAgent.empty()) {
        SendFor("Network.setUserAgentOverride", { { "userAgent", requests.userAgent } }, session, onReply);
        ++sent;
    }
    return sent;
}

void ChromiumEngine::Impl::ReadCookieStore(Load& current)
{
    if (!engine.Requests().keepCookies || current.mainSession.empty())
        return;
    ++current.snapshotPending;
    SendFor(
        "Network.getAllCookies", json::object(), current.mainSession, [this](Load& read, const Reply& reply) {
            --read.snapshotPending;
            const json& list = reply.result.value("cookies", json::array());
            if (reply.error || !list.is_array())
                return;
            std::vector<cookies::Cookie> store;
            for (const json& cookie : list) {
                cookies::Cookie one = CookieOf(cookie);
                if (!one.domain.empty() && !cookies::CookieProblem(one))
                    store.push_back(std::move(one));
            }
            engine.KeepCookies(std::move(store));
        });
}

} // namespace pagestow::engine::chromium

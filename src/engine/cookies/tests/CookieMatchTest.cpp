#include "engine/cookies/CookieMatch.h"

#include <gtest/gtest.h>

namespace pagestow::engine::cookies {
namespace {

    constexpr std::int64_t kNow = 1'800'000'000;

    Cookie Make(
        std::string domain, bool subdomains, std::string path, bool secure = false, std::int64_t expires = 0)
    {
        return { std::move(domain), subdomains, std::move(path), secure, false, expires, "n", "v" };
    }

    // Which requests a cookie goes with: domain, path, secure flag and expiry.
    TEST(CookieMatch, CookieGoesWhereDomainPathSecureAndExpiryAllow)
    {
        struct Case {
            Cookie cookie;
            const char* address;
            bool sent;
        } cases[] = {
            { Make("example.com", false, "/"), "http://example.com/", true },
            { Make("example.com", false, "/"), "http://EXAMPLE.com:8080/a?b", true },
            { Make("example.com", false, "/"), "http://www.example.com/", false },
            { Make("example.com", true, "/"), "http://www.example.com/", true },
            { Make("example.com", true, "/"), "http://wwwexample.com/", false },
            { Make("example.com", true, "/"), "http://example.org/", false },
            { Make("0.0.1", true, "/"), "http://127.0.0.1/", false },
            { Make("127.0.0.1", true, "/"), "http://127.0.0.1/", true },
            { Make("127.0.0.1", false, "/"), "http://127.0.0.2/", false },
            { Make("example.com", false, "/docs"), "http://example.com/docs", true },
            { Make("example.com", false, "/docs"), "http://example.com/docs/a.html", true },
            { Make("example.com", false, "/docs"), "http://example.com/docsx", false },
            { Make("example.com", false, "/docs/"), "http://example.com/docs/a", true },
            { Make("example.com", false, "/docs/"), "http://example.com/docs", false },
            { Make("example.com", false, "/docs"), "http://example.com/?q=/docs", false },
            { Make("example.com", false, "/", true), "http://example.com/", false },
            { Make("example.com", false, "/", true), "https://example.com/", true },
            { Make("example.com", false, "/", false, kNow), "http://example.com/", false },
            { Make("example.com", false, "/", false, kNow + 1), "http://example.com/", true },
            { Make("example.com", false, "/"), "ftp://example.com/", false },
            { Make("example.com", false, "/"), "not an address", false },
        };
        for (const Case& c : cases) {
            EXPECT_EQ(CookieMatches(c.cookie, TargetOf(c.address), kNow), c.sent)
                << FormatCookieLine(c.cookie) << " -> " << c.address;
        }
    }

    TEST(CookieMatch, LongerPathsComeFirstAndExpiredCookiesGo)
    {
        std::vector<Cookie> jar { Make("example.com", false, "/"), Make("example.com", false, "/a/b"),
            Make("example.com", false, "/a"), Make("example.com", false, "/", false, kNow - 1) };
        jar[0].name = "root";
        jar[1].name = "deep";
        jar[2].name = "mid";
        std::vector<std::string> names;
        for (const Cookie& cookie : CookiesFor(jar, "http://example.com/a/b/c", kNow))
            names.push_back(cookie.name);
        EXPECT_EQ(names, (std::vector<std::string> { "deep", "mid", "root" }));
        EXPECT_EQ(Unexpired(jar, kNow).size(), 3u);
    }

} // namespace
} // namespace pagestow::engine::cookies

#include "engine/static/FetchPolicy.h"

#include "url/Address.h"

#include <gtest/gtest.h>

#include <string>

namespace pagestow::engine::static_engine {
namespace {

    TEST(ReferrerFor, SendsFullAddressSameOriginAndOriginAcross)
    {
        EXPECT_EQ(ReferrerFor("http://a.com/p/x.htm#f", "http://a.com/i.gif").value_or("-"),
            "http://a.com/p/x.htm");
        EXPECT_EQ(
            ReferrerFor("http://a.com:81/p/x.htm", "http://b.com/i.gif").value_or("-"), "http://a.com:81/");
        EXPECT_EQ(ReferrerFor("https://a.com/p.htm", "http://a.com/i.gif").value_or("-"), "-");
        EXPECT_EQ(ReferrerFor("", "http://a.com/i.gif").value_or("-"), "-");
    }

    struct ReferrerCase {
        const char* document;
        const char* target;
        const char* referrer; // "-" for none
    };

    // Runs of requests from one document, then another, then back: each keeps its own origin.
    constexpr ReferrerCase kRequests[] = {
        { "http://a.com/p/x.htm", "http://a.com/1.gif", "http://a.com/p/x.htm" },
        { "http://a.com/p/x.htm", "http://b.com/2.gif", "http://a.com/" },
        { "http://a.com/p/x.htm#f", "http://a.com/3.gif", "http://a.com/p/x.htm" },
        { "http://a.com:81/p/x.htm", "http://a.com/4.gif", "http://a.com:81/" },
        { "http://a.com:81/p/x.htm", "http://a.com:81/5.gif", "http://a.com:81/p/x.htm" },
        { "http://b.com/y.htm", "http://a.com/6.gif", "http://b.com/" },
        { "https://a.com/p/x.htm", "http://a.com/7.gif", "-" },
        { "https://a.com/p/x.htm", "https://a.com/8.gif", "https://a.com/p/x.htm" },
        { "http://a.com/p/x.htm", "http://a.com:81/9.gif", "http://a.com/" },
        { "http://a.com/p/x.htm", "http://a.com/10.gif", "http://a.com/p/x.htm" },
        { "ftp://a.com/x", "http://a.com/11.gif", "-" },
        { "http://b.com/y.htm", "http://b.com/13.gif", "http://b.com/y.htm" },
    };

    TEST(ReferrerFor, EachDocumentKeepsItsOwnOriginAcrossRequestsInAnyOrder)
    {
        for (int pass = 0; pass < 2; ++pass) {
            for (const ReferrerCase& c : kRequests)
                EXPECT_EQ(ReferrerFor(c.document, c.target).value_or("-"), c.referrer)
                    << "pass " << pass << ": " << c.document << " -> " << c.target;
            for (size_t i = std::size(kRequests); i-- > 0;) {
                const ReferrerCase& c = kRequests[i];
                EXPECT_EQ(ReferrerFor(c.document, c.target).value_or("-"), c.referrer)
                    << "backwards " << pass << ": " << c.document << " -> " << c.target;
            }
        }
    }

    TEST(IsBlockedPort, BlocksTheBadPortsOnly)
    {
        EXPECT_TRUE(url::IsBlockedPort(6000));
        EXPECT_TRUE(url::IsBlockedPort(25));
        EXPECT_FALSE(url::IsBlockedPort(8080));
        EXPECT_FALSE(url::IsBlockedPort(80));
    }

} // namespace
} // namespace pagestow::engine::static_engine

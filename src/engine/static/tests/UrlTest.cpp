#include "engine/static/Url.h"

#include "engine/EngineCache.h"

#include <gtest/gtest.h>

#include <tuple>

namespace pagestow::engine::static_engine {
namespace {

    TEST(ResolveHttpUrl, ReadsAttributeValuesAsABrowserDoes)
    {
        const std::string base = "http://Host:80/d1/d2/page.htm?z=1#top";
        const std::pair<const char*, const char*> cases[] = {
            { "a.gif", "http://host/d1/d2/a.gif" },
            { "  ../img/a.gif\n", "http://host/d1/img/a.gif" },
            { "/x.gif", "http://host/x.gif" },
            { "?q=1", "http://host/d1/d2/page.htm?q=1" },
            { "#f", "http://host/d1/d2/page.htm?z=1" },
            { "//Other.Host/p.gif", "http://other.host/p.gif" },
            { "img\\a.gif", "http://host/d1/d2/img/a.gif" },
            { "a b.gif", "http://host/d1/d2/a%20b.gif" },
            { "\xE5\x9B\xBE.gif", "http://host/d1/d2/%E5%9B%BE.gif" },
            { "a\tb\n.gif", "http://host/d1/d2/ab.gif" },
            { "HTTPS://Other:443/a/../b.css#x", "https://other/b.css" },
            { "http:rel.gif", "http://host/d1/d2/rel.gif" },
            { "../../../../z.js", "http://host/z.js" },
            { "data:image/png;base64,AAAA", nullptr },
            { "javascript:void(0)", nullptr },
            { "mailto:a@b.c", nullptr },
            { "ftp://host/a.gif", nullptr },
            { "", nullptr },
            { "   ", nullptr },
        };
        for (const auto& [value, expected] : cases) {
            auto resolved = ResolveHttpUrl(base, value);
            if (expected) {
                ASSERT_TRUE(resolved.has_value()) << value;
                EXPECT_EQ(*resolved, expected) << value;
            } else {
                EXPECT_FALSE(resolved.has_value()) << value << " -> " << resolved.value_or("");
            }
        }
    }

    // A path joined to the base as text must be what the parser's join gives; a fragment always sends a
    // reference through the parser, and the parser drops it.
    TEST(ResolveHttpUrl, PlainReferenceJoinedAsTextIsWhatTheParserGives)
    {
        const char* bases[] = { "http://h/dir/page.html", "http://h/dir/", "https://h:8443/a/b?q=1/x",
            "http://h", "http://127.0.0.1:5000/x/y.html?z=/w", "HTTP://H/%7e/a.htm", "http://h/a/..",
            "http://h/a/b/#f" };
        const char* references[] = { "a.png", "/a.png", "b/c.png", "./a.png", "../a.png", "a/../b.png",
            "a.png?x=1", "?x", "a:b", "a/b:c", "%2E%2E/a", ".", "..", "a/.", "a/..", "...", ".a", "a%41",
            "a%4a", "a b", "a|b", "/a/./b", "a?b/../c", "~x/(y)", "a//b", "/", "//h2/x", "\\a.png", "a\\b",
            "@x", "a@b:c/d", "%" };
        for (const char* base : bases)
            for (const char* reference : references) {
                auto direct = ResolveHttpUrl(base, reference);
                auto parsed = ResolveHttpUrl(base, std::string(reference) + "#f");
                EXPECT_EQ(direct, parsed) << base << " + " << reference;
            }
    }

    // Origin and port of an address in the canonical form are read from its text; with a fragment the
    // parser reads them.
    TEST(OriginOf, CanonicalAddressGivesWhatTheParserReads)
    {
        for (const char* address : { "http://h/", "https://h/a?b", "http://h:8080/x", "https://a.b.c:8443/",
                 "http://127.0.0.1:5000/p.png", "https://h:80/", "http://h:443/", "http://1.2.3.4/" }) {
            ASSERT_TRUE(EngineCache::IsCanonical(address)) << address;
            std::string parsed = std::string(address) + "#f";
            EXPECT_EQ(OriginOf(address), OriginOf(parsed)) << address;
            EXPECT_EQ(PortOf(address), PortOf(parsed)) << address;
        }
    }

    TEST(ReferrerFor, SendsFullAddressSameOriginAndOriginAcross)
    {
        EXPECT_EQ(ReferrerFor("http://a.com/p/x.htm#f", "http://a.com/i.gif").value_or("-"),
            "http://a.com/p/x.htm");
        EXPECT_EQ(
            ReferrerFor("http://a.com:81/p/x.htm", "http://b.com/i.gif").value_or("-"), "http://a.com:81/");
        EXPECT_EQ(ReferrerFor("https://a.com/p.htm", "http://a.com/i.gif").value_or("-"), "-");
        EXPECT_EQ(ReferrerFor("", "http://a.com/i.gif").value_or("-"), "-");
    }

    TEST(Ports, DefaultPortsAndBlockedPorts)
    {
        EXPECT_EQ(PortOf("http://a.com/x"), 80);
        EXPECT_EQ(PortOf("https://a.com/x"), 443);
        EXPECT_EQ(PortOf("http://a.com:8080/x"), 8080);
        EXPECT_TRUE(IsBlockedPort(6000));
        EXPECT_TRUE(IsBlockedPort(25));
        EXPECT_FALSE(IsBlockedPort(8080));
        EXPECT_FALSE(IsBlockedPort(80));
    }

    TEST(SchemeOf, IsLowerCaseAndEmptyWithoutOne)
    {
        EXPECT_EQ(SchemeOf("HTTP://x"), "http");
        EXPECT_EQ(SchemeOf("javascript:alert(1)"), "javascript");
        EXPECT_EQ(SchemeOf("a/b:c"), "");
        EXPECT_EQ(SchemeOf("1http:x"), "");
    }

    // Hosts of every shape resolve to the one address the engine requests.
    TEST(ResolveHttpUrl, InternationalHostsAndIpv6Literals)
    {
        EXPECT_EQ(ResolveHttpUrl("http://[::1]:8931/a/x.htm", "y.gif"), "http://[::1]:8931/a/y.gif");
        EXPECT_EQ(ResolveHttpUrl("http://[::1]:8931/a/x.htm", "//[2001:db8::1]/z.gif"),
            "http://[2001:db8::1]/z.gif");
        // A host name in Unicode is requested (and cached) in its punycode form.
        EXPECT_EQ(ResolveHttpUrl("http://a.com/", "http://例子.中国/图.gif"),
            "http://xn--fsqu00a.xn--fiqs8s/%E5%9B%BE.gif");
        EXPECT_EQ(ResolveHttpUrl("http://例子.中国/p/x.htm", "图.gif"),
            "http://xn--fsqu00a.xn--fiqs8s/p/%E5%9B%BE.gif");
        EXPECT_EQ(ResolveHttpUrl("http://xn--fsqu00a.xn--fiqs8s/p/x.htm", "图.gif"),
            "http://xn--fsqu00a.xn--fiqs8s/p/%E5%9B%BE.gif");
    }

    TEST(ResolveHttpUrl, EachReferenceGoesWithItsOwnBaseWhenBasesAlternate)
    {
        // Frames and srcdoc documents interleave with their parent: one base after another and back.
        const std::tuple<const char*, const char*, const char*> cases[] = {
            { "http://a.example/x/page.htm", "i.gif", "http://a.example/x/i.gif" },
            { "http://b.example/y/", "i.gif", "http://b.example/y/i.gif" },
            { "http://a.example/x/page.htm", "../j.gif", "http://a.example/j.gif" },
            { "not an address", "i.gif", nullptr },
            { "http://a.example/x/page.htm", "?p=2", "http://a.example/x/page.htm?p=2" },
            { "http://b.example/y/", "#top", "http://b.example/y/" },
            { "not an address", "http://c.example/k.gif", "http://c.example/k.gif" },
            { "http://B.example:80/y/", "k.gif", "http://b.example/y/k.gif" },
        };
        for (int round = 0; round < 2; ++round) {
            for (const auto& [base, value, expected] : cases) {
                auto resolved = ResolveHttpUrl(base, value);
                if (expected)
                    EXPECT_EQ(resolved.value_or("(none)"), expected) << base << " + " << value;
                else
                    EXPECT_FALSE(resolved.has_value()) << base << " + " << value;
            }
        }
    }

} // namespace
} // namespace pagestow::engine::static_engine

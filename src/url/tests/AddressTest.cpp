#include "url/Address.h"

#include "url/Canonical.h"

#include <gtest/gtest.h>

#include <string>

namespace pagestow::url {
namespace {

    TEST(SchemeOf, IsLowerCaseAndEmptyWithoutOne)
    {
        EXPECT_EQ(SchemeOf("HTTP://x"), "http");
        EXPECT_EQ(SchemeOf("javascript:alert(1)"), "javascript");
        EXPECT_EQ(SchemeOf("a/b:c"), "");
        EXPECT_EQ(SchemeOf("1http:x"), "");
        // A host and port without a scheme read as one, as a browser reads them.
        EXPECT_EQ(SchemeOf("www.example.com:8080/a"), "www.example.com");
        EXPECT_EQ(SchemeOf("C+x-y.z:1"), "c+x-y.z");
        EXPECT_EQ(SchemeOf(":x"), "");
        EXPECT_EQ(SchemeOf("logo.gif"), "");
    }

    // The parts of every shape of address, read from its canonical form.
    TEST(Address, ReadsThePartsOfTheCanonicalForm)
    {
        struct Case {
            const char* text;
            const char* canonical;
            const char* host;
            const char* port;
            int portNumber;
            const char* origin;
        } cases[] = {
            { "http://h/a", "http://h/a", "h", "", 80, "http://h" },
            { "https://h/a?b", "https://h/a?b", "h", "", 443, "https://h" },
            { "HTTP://User:Pw@WWW.Example.com:80/x/../a?q#f", "http://www.example.com/a?q", "www.example.com",
                "", 80, "http://www.example.com" },
            { "http://h:8080", "http://h:8080/", "h", "8080", 8080, "http://h:8080" },
            { "http://[::1]:8931/a/x.htm", "http://[::1]:8931/a/x.htm", "[::1]", "8931", 8931,
                "http://[::1]:8931" },
            { "https://[2001:db8::1]/", "https://[2001:db8::1]/", "[2001:db8::1]", "", 443,
                "https://[2001:db8::1]" },
            { "http://例子.中国/图.gif", "http://xn--fsqu00a.xn--fiqs8s/%E5%9B%BE.gif",
                "xn--fsqu00a.xn--fiqs8s", "", 80, "http://xn--fsqu00a.xn--fiqs8s" },
            { "foo://Host:99/X/../y", "foo://host:99/y", "host", "99", 99, "foo://host:99" },
            { "foo://host/y", "foo://host/y", "host", "", 0, "foo://host" },
        };
        for (const Case& c : cases) {
            auto address = Address::Parse(c.text);
            ASSERT_TRUE(address) << c.text;
            EXPECT_EQ(address->Text(), c.canonical) << c.text;
            EXPECT_EQ(address->Host(), c.host) << c.text;
            EXPECT_EQ(address->Port(), c.port) << c.text;
            EXPECT_EQ(address->PortNumber(), c.portNumber) << c.text;
            EXPECT_EQ(address->Origin(), c.origin) << c.text;
            EXPECT_EQ(address->Text().substr(address->PathStart(), 1), "/") << c.text;
        }
        for (const char* text : { "", "logo.gif", "//h/a.gif", "mailto:a@b.c", "http://h a/x" })
            EXPECT_FALSE(Address::Parse(text)) << text;
    }

    // Origin and port of an address in the canonical form are read from its text; with a fragment the
    // parser reads them.
    TEST(OriginOf, CanonicalAddressGivesWhatTheParserReads)
    {
        for (const char* address : { "http://h/", "https://h/a?b", "http://h:8080/x", "https://a.b.c:8443/",
                 "http://127.0.0.1:5000/p.png", "https://h:80/", "http://h:443/", "http://1.2.3.4/" }) {
            ASSERT_TRUE(IsCanonical(address)) << address;
            std::string parsed = std::string(address) + "#f";
            EXPECT_EQ(OriginOf(address), OriginOf(parsed)) << address;
            EXPECT_EQ(PortOf(address), PortOf(parsed)) << address;
        }
    }

    TEST(PortOf, DefaultPorts)
    {
        EXPECT_EQ(PortOf("http://a.com/x"), 80);
        EXPECT_EQ(PortOf("https://a.com/x"), 443);
        EXPECT_EQ(PortOf("http://a.com:8080/x"), 8080);
        EXPECT_EQ(PortOf("http://[::1]/x"), 80);
        EXPECT_EQ(PortOf("not an address"), 0);
    }

} // namespace
} // namespace pagestow::url

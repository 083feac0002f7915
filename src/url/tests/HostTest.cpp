#include "url/Host.h"

#include <gtest/gtest.h>

#include <string>

namespace pagestow::url {
namespace {

    TEST(AsciiHost, InternationalNamesInPunycodeOthersInLowerCase)
    {
        EXPECT_EQ(AsciiHost("WWW.Example.COM"), "www.example.com");
        EXPECT_EQ(AsciiHost("bücher.example"), "xn--bcher-kva.example");
        EXPECT_EQ(AsciiHost("BÜCHER.Example"), "xn--bcher-kva.example");
        EXPECT_EQ(AsciiHost("例子.中国"), "xn--fsqu00a.xn--fiqs8s");
        EXPECT_EQ(AsciiHost("XN--FSQU00A.xn--fiqs8s"), "xn--fsqu00a.xn--fiqs8s");
        // A name that is no valid international name is only folded in ASCII.
        EXPECT_EQ(AsciiHost("A\xFF.Example"), "a\xFF.example");
    }

    TEST(UnicodeHost, OneSpellingForEveryFormOfTheName)
    {
        for (const char* name : { "例子.中国", "xn--fsqu00a.xn--fiqs8s", "XN--FSQU00A.xn--fiqs8s" })
            EXPECT_EQ(UnicodeHost(name), "例子.中国") << name;
        EXPECT_EQ(UnicodeHost("BÜCHER.example"), "bücher.example");
        EXPECT_EQ(UnicodeHost("a\xFF.example"), "");
    }

    TEST(FindSpecialHost, FindsLiteralsAndInternationalNamesOnly)
    {
        struct Case {
            const char* address;
            const char* name; // nullptr: no special host
            std::size_t start;
            std::size_t end;
            bool literal;
        } cases[] = {
            { "http://[::1]:8931/x.htm", "[::1]", 7, 12, true },
            { "http://u:p@[2001:db8::7]/a.gif?q=[1]", "[2001:db8::7]", 11, 24, true },
            { "http://例子.中国/图.gif", "例子.中国", 7, 20, false },
            { "https://user@BÜCHER.example:81/x.png", "bücher.example", 13, 28, false },
            { "http://xn--fsqu00a.xn--fiqs8s?x", "例子.中国", 7, 29, false },
            { "http://www.example.com/a.gif", nullptr, 0, 0, false },
            { "http://[]/x", nullptr, 0, 0, false },
            { "http://[::1/x", nullptr, 0, 0, false },
            { "abcdefghij://例子.中国/", nullptr, 0, 0, false },
            { "h1://例子.中国/", nullptr, 0, 0, false },
            { "http:///x", nullptr, 0, 0, false },
            { "http://a\xFF.example/x", nullptr, 0, 0, false },
            { "例子.中国/x", nullptr, 0, 0, false },
        };
        for (const Case& c : cases) {
            auto host = FindSpecialHost(c.address);
            if (!c.name) {
                EXPECT_FALSE(host) << c.address;
                continue;
            }
            ASSERT_TRUE(host) << c.address;
            EXPECT_EQ(host->name, c.name) << c.address;
            EXPECT_EQ(host->start, c.start) << c.address;
            EXPECT_EQ(host->end, c.end) << c.address;
            EXPECT_EQ(host->literal, c.literal) << c.address;
        }
    }

} // namespace
} // namespace pagestow::url

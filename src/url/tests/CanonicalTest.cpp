#include "url/Canonical.h"

#include <gtest/gtest.h>

#include <string>

namespace pagestow::url {
namespace {

    TEST(Canonicalize, WritesTheAddressAsTheEngineFetchesIt)
    {
        struct Case {
            const char* address;
            const char* canonical;
        } cases[] = {
            { "http://www.example.com/a.gif", "http://www.example.com/a.gif" },
            { "HTTP://WWW.Example.COM/A.gif", "http://www.example.com/A.gif" },
            { "http://www.example.com:80/a.gif", "http://www.example.com/a.gif" },
            { "https://h:443/a.gif", "https://h/a.gif" },
            { "https://h:8443/a.gif", "https://h:8443/a.gif" },
            { "http://h:443/a.gif", "http://h:443/a.gif" },
            { "http://h/news/2024/../img/./a.gif", "http://h/news/img/a.gif" },
            { "http://h/../../a.gif", "http://h/a.gif" },
            { "http://h/a.gif#top", "http://h/a.gif" },
            { "http://h/a.php?id=1#x", "http://h/a.php?id=1" },
            { "http://h", "http://h/" },
            { "http://h?x=1", "http://h/?x=1" },
            { "http://h/my docs/a b.gif?q=a b", "http://h/my%20docs/a%20b.gif?q=a%20b" },
            { "http://h/\xE4\xB8\xAD.gif?n=\xE6\x96\x87", "http://h/%E4%B8%AD.gif?n=%E6%96%87" },
            { "http://h/%e4%b8%ad.gif", "http://h/%E4%B8%AD.gif" },
            { "http://h/a%2fb%zz", "http://h/a%2Fb%zz" },
            { "  http://h/a.gif \n", "http://h/a.gif" },
            { "http://h/a\t.gif", "http://h/a.gif" },
            { "http://h\\img\\a.gif", "http://h/img/a.gif" },
            { "http://h/img\\a.gif?x=\\", "http://h/img/a.gif?x=\\" },
            { "http://[::1]:80/a.gif", "http://[::1]/a.gif" },
            { "http://user:pw@h/a", "http://h/a" },
            { "http://user@H:80/a", "http://h/a" },
            { "http://:@h/a", "http://h/a" },
            { "http://b\xC3\xBC"
              "cher.example/a",
                "http://xn--bcher-kva.example/a" },
            { "http://B\xC3\x9C"
              "CHER.Example/a",
                "http://xn--bcher-kva.example/a" },
            { "foo://Host/X/../y", "foo://host/y" },
            { "res://shdoclc.dll/dnserror.htm#http://x", "res://shdoclc.dll/dnserror.htm" },
        };
        for (const Case& c : cases)
            EXPECT_EQ(Canonicalize(c.address), c.canonical) << c.address;
    }

    TEST(Canonicalize, TextWithoutSchemeOrAuthorityIsNoAddress)
    {
        for (const char* address : { "", "   ", "logo.gif", "style.css?v=2", "www.example.com/a.gif",
                 "www.example.com:8080/a.gif", "//h/a.gif", "/img/a.gif", "../a.gif", "about:blank",
                 "data:image/png;base64,AAAA", "mailto:a@b.c", "http://h:port/a", "http://h a/x" })
            EXPECT_EQ(Canonicalize(address), "") << address;
    }

    // Addresses that are already canonical are given back without the parser. A fragment always sends
    // an address through the parser, which drops it: so every address must come out as it does with a
    // fragment added, and one taken for canonical must come out as it went in.
    TEST(Canonicalize, AddressTakenAsItStandsIsWhatTheParserGives)
    {
        const char* schemes[] = { "http", "https", "HTTP", "ftp" };
        const char* hosts[] = { "h", "www.example.com", "Example.com", "127.0.0.1", "127.1", "0x7f.0.0.1",
            "1.2.3.256", "01.2.3.4", "a-b.c", "-a.b", "a..b", "a.", "xn--bcher-kva.example", "a_b",
            "1.2.3.4.5", "[::1]", "ex.123", "u@h" };
        const char* ports[] = { "", ":80", ":443", ":8080", ":0", ":080", ":65536", ":" };
        const char* paths[] = { "", "/", "/a.png", "/a/./b", "/a/../b", "/a/.", "/a/..", "/%2e%2E/x",
            "/%2E/x", "/%41", "/%4a", "/%zz", "/a b", "/a|b", "/a;b=c,d", "/~u/(x)!*'$+", "//x",
            "/.a/..b/...", "/%", "/a%2", "/a\\b", "/a:b@c" };
        const char* queries[] = { "", "?", "?a=b", "?a=/../b", "?a?b", "?%41&x=%7e", "?a b", "?a/./b" };
        int taken = 0;
        for (const char* scheme : schemes)
            for (const char* host : hosts)
                for (const char* port : ports)
                    for (const char* path : paths)
                        for (const char* query : queries) {
                            std::string address = std::string(scheme) + "://" + host + port + path + query;
                            std::string canonical = Canonicalize(address);
                            ASSERT_EQ(canonical, Canonicalize(address + "#f")) << address;
                            if (IsCanonical(address)) {
                                ++taken;
                                ASSERT_EQ(canonical, address);
                            }
                        }
        EXPECT_GT(taken, 100);
    }

} // namespace
} // namespace pagestow::url

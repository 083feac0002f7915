#include "url/Resolve.h"

#include <gtest/gtest.h>

#include <iconv.h>

#include <tuple>

namespace pagestow::url {
namespace {

    // Writes UTF-8 text in characterSet with the system's iconv, as the engines' character-set layer
    // does for the characters these tests use.
    std::string IconvEncode(std::string_view utf8, std::string_view characterSet, bool* converted)
    {
        *converted = false;
        iconv_t handle = iconv_open(std::string(characterSet).c_str(), "UTF-8");
        if (handle == iconv_t(-1))
            return std::string(utf8);
        std::string in(utf8);
        std::string out(in.size() * 4, '\0');
        char* inText = in.data();
        char* outText = out.data();
        size_t inLeft = in.size();
        size_t outLeft = out.size();
        *converted = iconv(handle, &inText, &inLeft, &outText, &outLeft) != size_t(-1);
        iconv_close(handle);
        out.resize(out.size() - outLeft);
        return *converted ? out : std::string(utf8);
    }

    TEST(Resolve, ReadsAttributeValuesAsABrowserDoes)
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
            auto resolved = Resolve(base, value);
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
    TEST(Resolve, PlainReferenceJoinedAsTextIsWhatTheParserGives)
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
                auto direct = Resolve(base, reference);
                auto parsed = Resolve(base, std::string(reference) + "#f");
                EXPECT_EQ(direct, parsed) << base << " + " << reference;
            }
    }

    // Hosts of every shape resolve to the one address the engine requests.
    TEST(Resolve, InternationalHostsAndIpv6Literals)
    {
        EXPECT_EQ(Resolve("http://[::1]:8931/a/x.htm", "y.gif"), "http://[::1]:8931/a/y.gif");
        EXPECT_EQ(
            Resolve("http://[::1]:8931/a/x.htm", "//[2001:db8::1]/z.gif"), "http://[2001:db8::1]/z.gif");
        // A host name in Unicode is requested (and cached) in its punycode form.
        EXPECT_EQ(Resolve("http://a.com/", "http://例子.中国/图.gif"),
            "http://xn--fsqu00a.xn--fiqs8s/%E5%9B%BE.gif");
        EXPECT_EQ(
            Resolve("http://例子.中国/p/x.htm", "图.gif"), "http://xn--fsqu00a.xn--fiqs8s/p/%E5%9B%BE.gif");
        EXPECT_EQ(Resolve("http://xn--fsqu00a.xn--fiqs8s/p/x.htm", "图.gif"),
            "http://xn--fsqu00a.xn--fiqs8s/p/%E5%9B%BE.gif");
    }

    // The query of a reference is written in the document's character set; the path and the fragment
    // stay UTF-8, and a set the encoder does not know leaves the query in UTF-8.
    TEST(Resolve, QueryIsWrittenInTheDocumentsCharacterSet)
    {
        const std::string base = "http://h/d/page.htm";
        EXPECT_EQ(Resolve(base, "图.gif?q=中文#片", { "GBK", IconvEncode }).value_or("-"),
            "http://h/d/%E5%9B%BE.gif?q=%D6%D0%CE%C4");
        EXPECT_EQ(Resolve(base, "http://o/a.php?q=中", { "gb2312", IconvEncode }).value_or("-"),
            "http://o/a.php?q=%D6%D0");
        EXPECT_EQ(Resolve(base, "a.php?q=中&x=1", { "UTF-8", IconvEncode }).value_or("-"),
            "http://h/d/a.php?q=%E4%B8%AD&x=1");
        EXPECT_EQ(Resolve(base, "a.php?q=中", { "x-no-such-set", IconvEncode }).value_or("-"),
            "http://h/d/a.php?q=%E4%B8%AD");
        EXPECT_EQ(Resolve(base, "a.php?q=中", { "GBK" }).value_or("-"), "http://h/d/a.php?q=%E4%B8%AD");
        EXPECT_EQ(Resolve(base, "a.php#中?q=中", { "GBK", IconvEncode }).value_or("-"), "http://h/d/a.php");
    }

    TEST(Resolve, EachReferenceGoesWithItsOwnBaseWhenBasesAlternate)
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
                auto resolved = Resolve(base, value);
                if (expected)
                    EXPECT_EQ(resolved.value_or("(none)"), expected) << base << " + " << value;
                else
                    EXPECT_FALSE(resolved.has_value()) << base << " + " << value;
            }
        }
    }

} // namespace
} // namespace pagestow::url

#include "mapping/AddressRecord.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace pagestow::mapping {
namespace {

    using Lines = std::vector<std::string>;

    Lines RecordOf(std::string_view address)
    {
        AddressRecord record;
        SplitAddress(address, record);
        return record.Lines();
    }

    struct SplitCase {
        const char* name;
        std::string address;
        Lines expected;
    };

    void PrintTo(const SplitCase& c, std::ostream* os)
    {
        *os << c.name;
    }

    std::string CaseName(const testing::TestParamInfo<SplitCase>& param)
    {
        return param.param.name;
    }

    class SplitAddressRecord : public testing::TestWithParam<SplitCase> { };

    TEST_P(SplitAddressRecord, WritesExactlyTheseLinesInOrder)
    {
        EXPECT_EQ(RecordOf(GetParam().address), GetParam().expected);
    }

    const SplitCase kWorkedExamples[] = {
        { "FullAddress", "http://www.example.com:8080/news/2024/page.htm?id=5&x=1#top",
            { "url=http://www.example.com:8080/news/2024/page.htm?id=5&x=1#top", "ifabsoluteadd=1",
                "protocol=http", "hostmess=www.example.com:8080", "host=www.example.com", "post=8080",
                "fragment=top", "query=id=5&x=1", "path=/news/2024/page.htm", "filename=page.htm",
                "directory=/news/2024" } },
        { "UserInformationBeforeHost", "http://user:pa:ss@www.example.com:8080/news/page.htm",
            { "url=http://user:pa:ss@www.example.com:8080/news/page.htm", "ifabsoluteadd=1", "protocol=http",
                "usemess=user:pa:ss", "username=user", "password=pa:ss", "hostmess=www.example.com:8080",
                "host=www.example.com", "post=8080", "path=/news/page.htm", "filename=page.htm",
                "directory=/news" } },
        { "HostOnly", "http://www.example.com",
            { "url=http://www.example.com", "ifabsoluteadd=1", "protocol=http", "hostmess=www.example.com",
                "host=www.example.com", "post=" } },
        { "HostAndRootSlash", "http://www.example.com/",
            { "url=http://www.example.com/", "ifabsoluteadd=1", "protocol=http", "hostmess=www.example.com",
                "host=www.example.com", "post=", "path=/", "directory=" } },
        { "UpperCaseKept", "HTTP://WWW.EXAMPLE.COM/A/B/",
            { "url=HTTP://WWW.EXAMPLE.COM/A/B/", "ifabsoluteadd=1", "protocol=HTTP",
                "hostmess=WWW.EXAMPLE.COM", "host=WWW.EXAMPLE.COM", "post=", "path=/A/B/",
                "directory=/A/B" } },
        { "DotInEarlierSegmentMakesFileName", "http://www.example.org/rel-1.2/run",
            { "url=http://www.example.org/rel-1.2/run", "ifabsoluteadd=1", "protocol=http",
                "hostmess=www.example.org", "host=www.example.org", "post=", "path=/rel-1.2/run",
                "filename=run", "directory=/rel-1.2" } },
        { "BlankInFileNameSanitized", "http://www.example.org/my file.htm",
            { "url=http://www.example.org/my file.htm", "ifabsoluteadd=1", "protocol=http",
                "hostmess=www.example.org", "host=www.example.org", "post=", "path=/my file.htm",
                "filename=my_file.htm", "directory=" } },
        { "BackslashesAndSurroundingBlanks", " \t http:\\\\www.example.org\\a\\b.gif \r\n",
            { "url=http://www.example.org/a/b.gif", "ifabsoluteadd=1", "protocol=http",
                "hostmess=www.example.org", "host=www.example.org", "post=", "path=/a/b.gif",
                "filename=b.gif", "directory=/a" } },
        { "RelativeBelowDocument", "images/logo.gif",
            { "url=images/logo.gif", "ifabsoluteadd=0", "path=images/logo.gif", "filename=logo.gif",
                "directory=/images" } },
        { "RelativeParent", "../css/site.css",
            { "url=../css/site.css", "ifabsoluteadd=0", "path=../css/site.css", "filename=site.css",
                "directory=/../css" } },
        { "RootRelative", "/js/app.js",
            { "url=/js/app.js", "ifabsoluteadd=0", "path=/js/app.js", "filename=app.js", "directory=/js" } },
        { "HostWithoutScheme", "www.example.com/a/b.htm",
            { "url=www.example.com/a/b.htm", "ifabsoluteadd=1", "hostmess=www.example.com",
                "host=www.example.com", "post=", "path=/a/b.htm", "filename=b.htm", "directory=/a" } },
    };
    INSTANTIATE_TEST_SUITE_P(
        WorkedExamples, SplitAddressRecord, testing::ValuesIn(kWorkedExamples), CaseName);

    const SplitCase kEdgeCases[] = {
        { "DotWithoutSlashIsAbsoluteHost", "index.htm",
            { "url=index.htm", "ifabsoluteadd=1", "hostmess=index.htm", "host=index.htm", "post=" } },
        { "SlashWithoutDotIsRelativeEvenWithScheme", "http://localhost/x/y",
            { "url=http://localhost/x/y", "ifabsoluteadd=0", "path=http://localhost/x/y",
                "directory=/http_//localhost/x/y" } },
        { "BareWordIsRelativeDirectory", "page",
            { "url=page", "ifabsoluteadd=0", "path=page", "directory=/page" } },
        { "ProtocolRelativeIsRelative", "//cdn.example.com/a.js",
            { "url=//cdn.example.com/a.js", "ifabsoluteadd=0", "path=//cdn.example.com/a.js", "filename=a.js",
                "directory=//cdn.example.com" } },
        { "SchemeOfTenLettersBecomesHost", "abcdefghij://www.example.com/a",
            { "url=abcdefghij://www.example.com/a", "ifabsoluteadd=1",
                "hostmess=abcdefghij:", "host=abcdefghij", "post=", "path=//www.example.com/a", "filename=a",
                "directory=//www.example.com" } },
        { "SchemeOfNineLettersIsProtocol", "abcdefghi://www.example.com/a",
            { "url=abcdefghi://www.example.com/a", "ifabsoluteadd=1", "protocol=abcdefghi",
                "hostmess=www.example.com", "host=www.example.com", "post=", "path=/a", "directory=/a" } },
        { "NonLetterEndsScheme", "svn+ssh://www.example.com/a.b",
            { "url=svn+ssh://www.example.com/a.b", "ifabsoluteadd=1", "protocol=svn",
                "hostmess=ssh:", "host=ssh", "post=", "path=//www.example.com/a.b", "filename=a.b",
                "directory=//www.example.com" } },
        { "UserInformationWithoutPath", "ftp://user:p:w@ftp.example.org",
            { "url=ftp://user:p:w@ftp.example.org", "ifabsoluteadd=1", "protocol=ftp", "usemess=user:p:w",
                "username=user", "password=p:w", "hostmess=ftp.example.org", "host=ftp.example.org",
                "post=" } },
        { "AtAfterFirstSlashIsPath", "http://www.example.org/a@b.htm",
            { "url=http://www.example.org/a@b.htm", "ifabsoluteadd=1", "protocol=http",
                "hostmess=www.example.org", "host=www.example.org", "post=", "path=/a@b.htm",
                "filename=a@b.htm", "directory=" } },
        { "EveryAtConsumed", "http://a@b@www.example.org/p.gif",
            { "url=http://a@b@www.example.org/p.gif", "ifabsoluteadd=1", "protocol=http", "usemess=ab",
                "username=ab", "password=", "hostmess=www.example.org", "host=www.example.org",
                "post=", "path=/p.gif", "filename=p.gif", "directory=" } },
        { "UserInformationKeepsOnlyAddressCharacters", "http://%7Ejo+e!@www.example.org/",
            { "url=http://%7Ejo+e!@www.example.org/", "ifabsoluteadd=1", "protocol=http", "usemess=7Ejoe",
                "username=7Ejoe", "password=", "hostmess=www.example.org", "host=www.example.org",
                "post=", "path=/", "directory=" } },
        { "ThirdSlashAfterSchemeRemoved", "http:///www.example.org/a",
            { "url=http:///www.example.org/a", "ifabsoluteadd=1", "protocol=http", "hostmess=www.example.org",
                "host=www.example.org", "post=", "path=/a", "directory=/a" } },
        { "ColonBeforeHostRemoved", "http://:8080/x.htm",
            { "url=http://:8080/x.htm", "ifabsoluteadd=1", "protocol=http", "hostmess=8080", "host=8080",
                "post=", "path=/x.htm", "filename=x.htm", "directory=" } },
        { "PortWithoutPath", "http://www.example.org:81",
            { "url=http://www.example.org:81", "ifabsoluteadd=1", "protocol=http",
                "hostmess=www.example.org:81", "host=www.example.org", "post=81" } },
        { "QueryThenFragment", "/a.htm?x=1#s-1",
            { "url=/a.htm?x=1#s-1", "ifabsoluteadd=0", "fragment=s-1", "query=x=1", "path=/a.htm",
                "filename=a.htm", "directory=" } },
        { "QueryInsideFragmentIsFiltered", "/a.htm#s?x=1",
            { "url=/a.htm#s?x=1", "ifabsoluteadd=0", "fragment=sx1", "path=/a.htm", "filename=a.htm",
                "directory=" } },
        { "EmptyFragment", "/page.htm#",
            { "url=/page.htm#", "ifabsoluteadd=0", "fragment=", "path=/page.htm", "filename=page.htm",
                "directory=" } },
        { "EmptyQuery", "/page.htm?",
            { "url=/page.htm?", "ifabsoluteadd=0", "query=", "path=/page.htm", "filename=page.htm",
                "directory=" } },
        { "OneTrailingSeparatorRemoved", "/a/b//",
            { "url=/a/b//", "ifabsoluteadd=0", "path=/a/b//", "directory=/a/b/" } },
        { "ForbiddenCharactersSanitized", "/a:b*c d/e\"f<g>h|i\\j/k l|m.htm",
            { "url=/a:b*c d/e\"f<g>h|i/j/k l|m.htm", "ifabsoluteadd=0",
                "path=/a:b*c d/e\"f<g>h|i/j/k l|m.htm", "filename=k_l_m.htm",
                "directory=/a_b_c_d/e_f_g_h_i/j" } },
        { "FileNameCutAfterDotlessLastSegmentIsEmpty", "http://www.example.org/a.b/",
            { "url=http://www.example.org/a.b/", "ifabsoluteadd=1", "protocol=http",
                "hostmess=www.example.org", "host=www.example.org", "post=", "path=/a.b/",
                "filename=", "directory=/a.b" } },
    };
    INSTANTIATE_TEST_SUITE_P(EdgeCases, SplitAddressRecord, testing::ValuesIn(kEdgeCases), CaseName);

    // Where the scanner meets a character it has no rule for, it moves on and leaves it to a later step.
    const SplitCase kUnruledCharacters[] = {
        { "QueryRightAfterHost", "http://www.example.com?x=1",
            { "url=http://www.example.com?x=1", "ifabsoluteadd=1", "protocol=http",
                "hostmess=www.example.com", "host=www.example.com", "post=", "query=x=1" } },
        { "FragmentRightAfterHost", "http://www.example.com#top",
            { "url=http://www.example.com#top", "ifabsoluteadd=1", "protocol=http",
                "hostmess=www.example.com", "host=www.example.com", "post=", "fragment=top" } },
        { "PercentEndsHost", "http://www.ex%41mple.com/a.gif",
            { "url=http://www.ex%41mple.com/a.gif", "ifabsoluteadd=1", "protocol=http", "hostmess=www.ex",
                "host=www.ex", "post=", "path=%41mple.com/a.gif", "filename=a.gif",
                "directory=/%41mple.com" } },
        { "NonAsciiByteEndsHost",
            "http://b\xC3\xBC"
            "cher.example/a.gif",
            { "url=http://b\xC3\xBC"
              "cher.example/a.gif",
                "ifabsoluteadd=1", "protocol=http", "hostmess=b", "host=b", "post=",
                "path=\xC3\xBC"
                "cher.example/a.gif",
                "filename=a.gif",
                "directory=/\xC3\xBC"
                "cher.example" } },
        { "NonAsciiByteEndsScheme", "h\xC3\xA9://a.b/c",
            { "url=h\xC3\xA9://a.b/c", "ifabsoluteadd=1", "protocol=h", "hostmess=a.b", "host=a.b",
                "post=", "path=/c", "directory=/c" } },
        { "NonAsciiByteIsNoFragmentCharacter",
            "/a.htm#\xE4\xB8\xAD"
            "x",
            { "url=/a.htm#\xE4\xB8\xAD"
              "x",
                "ifabsoluteadd=0", "fragment=x", "path=/a.htm", "filename=a.htm", "directory=" } },
        { "SchemeWithNothingAfter", "http://.",
            { "url=http://.", "ifabsoluteadd=1", "protocol=http", "hostmess=" } },
        { "EmptyAddress", "", { "url=", "ifabsoluteadd=0" } },
        { "OnlyBlanksAndControls", " \t\r\n\x01 ", { "url=", "ifabsoluteadd=0" } },
    };
    INSTANTIATE_TEST_SUITE_P(
        UnruledCharacters, SplitAddressRecord, testing::ValuesIn(kUnruledCharacters), CaseName);

    TEST(SplitAddress, AppendsToTheRecordWithoutClearingIt)
    {
        AddressRecord record;
        record.Add("note", "kept");
        SplitAddress("page", record);
        EXPECT_EQ(record.Lines(),
            (Lines { "note=kept", "url=page", "ifabsoluteadd=0", "path=page", "directory=/page" }));
    }

    TEST(AddressRecord, LooksUpTheFirstLineIgnoringLetterCase)
    {
        AddressRecord record;
        record.Add("query", "a=b=c");
        record.Add("Query", "second");
        record.Add("post", "");
        EXPECT_EQ(record.Value("QUERY"), "a=b=c");
        EXPECT_EQ(record.Value("post"), "");
        EXPECT_TRUE(record.Has("post"));
        EXPECT_EQ(record.Value("host"), "");
        EXPECT_FALSE(record.Has("host"));
        // A key is matched whole, never as the beginning of a longer one or across the "=".
        EXPECT_FALSE(record.Has("quer"));
        EXPECT_FALSE(record.Has("query=a"));
        EXPECT_EQ(record.Value("query=a"), "");
    }

    TEST(AddressRecord, ReadsValuesOfARealRecord)
    {
        AddressRecord record;
        SplitAddress("http://www.example.com:8080/news/a.htm", record);
        EXPECT_EQ(record.Value("Host"), "www.example.com");
        EXPECT_EQ(record.Value("post"), "8080");
        EXPECT_EQ(record.Value("directory"), "/news");
        EXPECT_EQ(record.Value("query"), "");
        record.Clear();
        EXPECT_TRUE(record.Empty());
    }

    TEST(SanitizeFileName, ReplacesTheDefaultSetWhenNoneIsGiven)
    {
        EXPECT_EQ(SanitizeFileName("a:b*c?d e\"f<g>h|i/j\\k.htm"), "a_b_c_d_e_f_g_h_i/j\\k.htm");
        EXPECT_EQ(SanitizeFileName(""), "");
        EXPECT_EQ(SanitizeFileName("\xE4\xB8\xAD\xE6\x96\x87.htm"), "\xE4\xB8\xAD\xE6\x96\x87.htm");
    }

    TEST(SanitizeFileName, ReplacesOnlyTheGivenSet)
    {
        EXPECT_EQ(SanitizeFileName("a:b/c d", "/"), "a:b_c d");
        EXPECT_EQ(SanitizeFileName("aXbYc", "XY"), "a_b_c");
    }

    TEST(TrimControls, RemovesCodesUpToBlankAtBothEndsOnly)
    {
        EXPECT_EQ(TrimControls(std::string_view("\x00\x01 \t a b \x1f\x20", 11)), "a b");
        EXPECT_EQ(TrimControls(" \t "), "");
        EXPECT_EQ(TrimControls("\xC2\xA0x\xC2\xA0"), "\xC2\xA0x\xC2\xA0");
    }

} // namespace
} // namespace pagestow::mapping

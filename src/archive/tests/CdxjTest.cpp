#include "archive/Cdxj.h"

#include <gtest/gtest.h>

namespace pagestow::archive {
namespace {

    // Each key as warcio.js's getSurt (the function ReplayWeb.page's service worker carries) gives it.
    TEST(SurtKey, MatchesTheReplayWorkersKey)
    {
        const std::pair<const char*, const char*> cases[] = {
            { "http://www.example.com/a/b?y=2&x=1", "com,example)/a/b?x=1&y=2" },
            { "https://WWW.Example.COM/Path/A.html", "com,example,www)/path/a.html" },
            { "http://www2.example.com/", "com,example)/" },
            { "http://wwwexample.com/", "com,wwwexample)/" },
            { "http://example.com", "com,example)/" },
            { "http://example.com/?", "com,example)/" },
            { "http://example.com/#top", "com,example)/" },
            { "https://example.com:443/", "com,example)/" },
            { "http://example.com:8443/x", "com,example:8443)/x" },
            { "http://127.0.0.1:8080/x?b&a", "1,0,0,127:8080)/x?a&b" },
            { "http://[::1]:8000/", "[::1]:8000)/" },
            { "http://example.com/a%2Fb?q=%C3%A4", "com,example)/a%2fb?q=%c3%a4" },
            { "http://example.com/a/../b/./c", "com,example)/b/c" },
            { "urn:pagestow:dom:http://a.test/", "urn:pagestow:dom:http://a.test/" },
            { "HTTP://example.com/", "HTTP://example.com/" },
        };
        for (const auto& [url, key] : cases)
            EXPECT_EQ(SurtKey(url), key) << url;
    }

    TEST(CdxjLine, IndexesResponsesRevisitsAndResourcesOnly)
    {
        WarcRecord record;
        record.offset = 10;
        record.length = 20;
        record.fields = { { "WARC-Type", "revisit" }, { "WARC-Target-URI", "http://a.test/x" },
            { "WARC-Date", "2026-12-10T23:42:12.123456Z" }, { "WARC-Payload-Digest", "sha1:ABC" } };
        record.block = "HTTP/1.1 404 Not Found\r\nContent-Type: text/html; charset=utf-8\r\n\r\n";
        EXPECT_EQ(CdxjLine(record, "data.warc.gz"),
            "test,a)/x 20261210234212 "
            "{\"url\":\"http://a.test/x\",\"mime\":\"warc/revisit\",\"status\":\"404\","
            "\"digest\":\"sha1:ABC\",\"length\":\"20\",\"offset\":\"10\",\"filename\":\"data.warc.gz\","
            "\"recordType\":\"revisit\"}");
        record.fields[0].second = "request";
        EXPECT_EQ(CdxjLine(record, "data.warc.gz"), std::nullopt);
        record.fields[0].second = "resource";
        record.fields.emplace_back("Content-Type", "text/html; charset=utf-8");
        record.block = "<p>";
        EXPECT_EQ(CdxjLine(record, "f"),
            "test,a)/x 20261210234212 "
            "{\"url\":\"http://a.test/x\",\"mime\":\"text/html\",\"digest\":\"sha1:ABC\","
            "\"length\":\"20\",\"offset\":\"10\",\"filename\":\"f\",\"recordType\":\"resource\"}");
    }

} // namespace
} // namespace pagestow::archive

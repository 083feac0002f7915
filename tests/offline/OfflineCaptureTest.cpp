// Captures with the offline copy on, against real servers on 127.0.0.1 and 127.0.0.2: what the
// stylesheets load is saved and reported, and the copy points every address at the saved files.

#include "capture/CaptureRecord.h"
#include "capture/StylesheetResources.h"
#include "hostile/HostileCapture.h"
#include "support/TestServer.h"

#include <algorithm>

namespace pagestow::hostile {
namespace {
    using testing::ReadFileBytes;
    using testing::TestServer;

    const std::string kGif(
        "GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff!\xf9\x04\x01\x00\x00\x00\x00,"
        "\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;",
        43);
    constexpr const char* kCssReport = "保存CSS文件：";
    constexpr const char* kFontReport = "保存字体文件：";
    constexpr const char* kCopyReport = "保存离线副本：";

    // A two-host site: root-relative and relative addresses, a stylesheet on the second host with a
    // font and a background, an @import loop, a <style> element and a style attribute.
    struct Site {
        TestServer page { "127.0.0.1" };
        TestServer cdn { "127.0.0.2" };
        std::string html;

        Site()
        {
            html = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>T</title>\n"
                   "<link rel=\"stylesheet\" href=\"/site/css/main.css\">\n"
                   "<link rel=\"stylesheet\" href=\""
                + cdn.Url("/lib/cdn.css")
                + "\">\n"
                  "<style>.s { background: url('img/s.gif') }</style>\n"
                  "</head><body><div class=\"s\">s</div><div class=\"x\">x</div><div class=\"y\">y</div>"
                  "<div class=\"z\">z</div>\n"
                  "<div style=\"background-image: url(img/attr.gif)\">a</div>\n"
                  "<img src=\"/site/img/a.gif\"><a href=\"about.html#team\">about</a></body></html>\n";
            page.Serve("/site/index.html", html, "text/html; charset=utf-8");
            page.Serve("/site/css/main.css",
                "@import \"sub.css\";\n.x { background: url(\"../img/x.gif\") }\n", "text/css");
            page.Serve("/site/css/sub.css",
                "@import url(main.css);\n.y { background: url(/site/img/y.gif) }\n", "text/css");
            for (const char* name : { "/site/img/a.gif", "/site/img/s.gif", "/site/img/attr.gif",
                     "/site/img/x.gif", "/site/img/y.gif" })
                page.Serve(name, kGif, "image/gif");
            cdn.Serve("/lib/cdn.css",
                "@font-face { font-family: F; src: url(fonts/f.woff) format(\"woff\"); }\n"
                ".z { font-family: F; background: url(z.gif) }\n",
                "text/css");
            // Browsers load a font from another origin only when its server allows that origin.
            cdn.Serve("/lib/fonts/f.woff", "wOFF-not-really", "font/woff", 200,
                { { "Access-Control-Allow-Origin", "*" } });
            cdn.Serve("/lib/z.gif", kGif, "image/gif");
        }
    };

    class OfflineCapture : public ::testing::TestWithParam<EngineKind> {
    protected:
        void SetUp() override
        {
            if (!EngineAvailable(GetParam()))
                GTEST_SKIP() << GetParam() << " is not installed";
        }

        CaptureResult CaptureWithCopy(CaptureHarness& harness, const std::string& address)
        {
            harness.SetOfflineCopy(true);
            harness.Engine().SetStylesheetLoads(true);
            return harness.Capture(address);
        }
    };

    TEST_P(OfflineCapture, SavesWhatStylesheetsLoadAndWritesACopyThatPointsAtIt)
    {
        Site site;
        CaptureHarness harness(GetParam());

        CaptureResult result = CaptureWithCopy(harness, site.page.Url("/site/index.html"));

        ASSERT_TRUE(result.completed);
        ASSERT_TRUE(result.accepted);
        const std::string a = "{R}/127.0.0.1/site/";
        const std::string b = "{R}/127.0.0.2/lib/";
        EXPECT_TRUE(SameLines(result.lines,
            harness.Expand(Join({ DocumentLines(a + "index.html"), { "log: link:相对地址" },
                ResourceLines(kCssReport, a + "css/main.css"), ResourceLines(kCssReport, b + "cdn.css"),
                ResourceLines(kImageReport, a + "img/a.gif"), ResourceLines(kImageReport, a + "img/s.gif"),
                ResourceLines(kImageReport, a + "img/attr.gif"), ResourceLines(kCssReport, a + "css/sub.css"),
                ResourceLines(kImageReport, a + "img/x.gif"), ResourceLines(kFontReport, b + "fonts/f.woff"),
                ResourceLines(kImageReport, b + "z.gif"), ResourceLines(kImageReport, a + "img/y.gif"),
                ResourceLines(kCopyReport, a + "index.offline.html"),
                ResourceLines(kCopyReport, a + "css/main.offline.css"),
                ResourceLines(kCopyReport, b + "cdn.offline.css"),
                ResourceLines(kCopyReport, a + "css/sub.offline.css") }))));
        EXPECT_EQ(harness.Written(),
            (std::vector<std::string> { "127.0.0.1/site/css/main.css", "127.0.0.1/site/css/main.offline.css",
                "127.0.0.1/site/css/sub.css", "127.0.0.1/site/css/sub.offline.css",
                "127.0.0.1/site/img/a.gif", "127.0.0.1/site/img/attr.gif", "127.0.0.1/site/img/s.gif",
                "127.0.0.1/site/img/x.gif", "127.0.0.1/site/img/y.gif", "127.0.0.1/site/index.html",
                "127.0.0.1/site/index.offline.html", "127.0.0.2/lib/cdn.css", "127.0.0.2/lib/cdn.offline.css",
                "127.0.0.2/lib/fonts/f.woff", "127.0.0.2/lib/z.gif" }));
        EXPECT_EQ(harness.LastResult().offlineCopy, harness.Root() + "/127.0.0.1/site/index.offline.html");
        EXPECT_EQ(capture::OfflineCopyLine(harness.LastResult().offlineCopy),
            "离线浏览请打开：" + harness.Root() + "/127.0.0.1/site/index.offline.html");

        // The stylesheets' copies, byte for byte; the originals as served.
        const std::string root = harness.Root();
        EXPECT_EQ(ReadFileBytes(root + "/127.0.0.1/site/css/main.offline.css"),
            "@import \"sub.offline.css\";\n.x { background: url(\"../img/x.gif\") }\n");
        EXPECT_EQ(ReadFileBytes(root + "/127.0.0.1/site/css/sub.offline.css"),
            "@import url(\"main.offline.css\");\n.y { background: url(\"../img/y.gif\") }\n");
        EXPECT_EQ(ReadFileBytes(root + "/127.0.0.2/lib/cdn.offline.css"),
            "@font-face { font-family: F; src: url(\"fonts/f.woff\") format(\"woff\"); }\n"
            ".z { font-family: F; background: url(\"z.gif\") }\n");
        EXPECT_EQ(ReadFileBytes(root + "/127.0.0.1/site/css/sub.css"),
            "@import url(main.css);\n.y { background: url(/site/img/y.gif) }\n");
        EXPECT_EQ(ReadFileBytes(root + "/127.0.0.2/lib/fonts/f.woff"), "wOFF-not-really");

        std::string copy = ReadFileBytes(root + "/127.0.0.1/site/index.offline.html");
        if (GetParam() == EngineKind::Static) {
            EXPECT_EQ(ReadFileBytes(root + "/127.0.0.1/site/index.html"), site.html);
            EXPECT_EQ(copy,
                "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>T</title>\n"
                "<link rel=\"stylesheet\" href=\"css/main.offline.css\">\n"
                "<link rel=\"stylesheet\" href=\"../../127.0.0.2/lib/cdn.offline.css\">\n"
                "<style>.s { background: url(\"img/s.gif\") }</style>\n"
                "</head><body><div class=\"s\">s</div><div class=\"x\">x</div><div class=\"y\">y</div>"
                "<div class=\"z\">z</div>\n"
                "<div style=\"background-image: url(&quot;img/attr.gif&quot;)\">a</div>\n"
                "<img src=\"img/a.gif\"><a href=\""
                    + site.page.Url("/site/about.html#team") + "\">about</a></body></html>\n");
        } else {
            for (const std::string& part : { std::string("href=\"css/main.offline.css\""),
                     std::string("href=\"../../127.0.0.2/lib/cdn.offline.css\""),
                     std::string("url(\"img/s.gif\")"), std::string("url(&quot;img/attr.gif&quot;)"),
                     std::string("src=\"img/a.gif\""),
                     "href=\"" + site.page.Url("/site/about.html#team") + "\"" })
                EXPECT_NE(copy.find(part), std::string::npos) << part << " in\n" << copy;
        }

        // What the capture recorded: every file once, with its kind.
        std::vector<std::string> recorded;
        for (const capture::SavedEntry& entry : harness.LastResult().saved)
            recorded.push_back(std::to_string(int(entry.kind)) + " " + entry.path.substr(root.size()) + " "
                + std::to_string(entry.bytes));
        EXPECT_EQ(recorded,
            (std::vector<std::string> { "0 /127.0.0.1/site/index.html "
                    + std::to_string(ReadFileBytes(root + "/127.0.0.1/site/index.html").size()),
                "1 /127.0.0.1/site/css/main.css 58", "1 /127.0.0.2/lib/cdn.css 116",
                "3 /127.0.0.1/site/img/a.gif 43", "3 /127.0.0.1/site/img/s.gif 43",
                "3 /127.0.0.1/site/img/attr.gif 43", "1 /127.0.0.1/site/css/sub.css 63",
                "3 /127.0.0.1/site/img/x.gif 43", "4 /127.0.0.2/lib/fonts/f.woff 15",
                "3 /127.0.0.2/lib/z.gif 43", "3 /127.0.0.1/site/img/y.gif 43" }));
    }

    TEST_P(OfflineCapture, OffKeepsEveryFileAndLineAsBefore)
    {
        Site site;
        CaptureHarness harness(GetParam());

        CaptureResult result = harness.Capture(site.page.Url("/site/index.html"));

        ASSERT_TRUE(result.completed);
        ASSERT_TRUE(result.accepted);
        const std::string a = "{R}/127.0.0.1/site/";
        EXPECT_TRUE(SameLines(result.lines,
            harness.Expand(Join({ DocumentLines(a + "index.html"), { "log: link:相对地址" },
                ResourceLines(kCssReport, a + "css/main.css"),
                ResourceLines(kCssReport, "{R}/127.0.0.2/lib/cdn.css"),
                ResourceLines(kImageReport, a + "img/a.gif") }))));
        EXPECT_EQ(harness.Written(),
            (std::vector<std::string> { "127.0.0.1/site/css/main.css", "127.0.0.1/site/img/a.gif",
                "127.0.0.1/site/index.html", "127.0.0.2/lib/cdn.css" }));
        EXPECT_EQ(harness.LastResult().offlineCopy, "");
        if (GetParam() == EngineKind::Static) {
            // The built-in engine requests nothing a stylesheet names unless asked to.
            EXPECT_EQ(site.page.RequestCount("/site/css/sub.css"), 0);
            EXPECT_EQ(site.page.RequestCount("/site/img/x.gif"), 0);
            EXPECT_EQ(site.page.RequestCount("/site/img/attr.gif"), 0);
            EXPECT_EQ(site.cdn.RequestCount("/lib/fonts/f.woff"), 0);
        }
    }

    TEST_P(OfflineCapture, FramesPointAtTheFrameCopiesAndUnsavedAddressesStayAbsolute)
    {
        TestServer server;
        server.Serve("/p/index.html",
            "<html><body><iframe src=\"frame.html\"></iframe><img src=\"missing.gif\"></body></html>",
            "text/html");
        server.Serve("/p/frame.html",
            "<html><head><style>body{background:url(../q/bg.gif)}</style></head><body>"
            "<img src=\"/p/i.gif\"></body></html>",
            "text/html");
        server.Serve("/p/i.gif", kGif, "image/gif");
        server.Serve("/q/bg.gif", kGif, "image/gif");
        CaptureHarness harness(GetParam());

        CaptureResult result = CaptureWithCopy(harness, server.Url("/p/index.html"));

        ASSERT_TRUE(result.completed);
        ASSERT_TRUE(result.accepted);
        const std::string root = harness.Root();
        EXPECT_EQ(harness.Written(),
            (std::vector<std::string> { "127.0.0.1/p/frame.html", "127.0.0.1/p/frame.offline.html",
                "127.0.0.1/p/i.gif", "127.0.0.1/p/index.html", "127.0.0.1/p/index.offline.html",
                "127.0.0.1/q/bg.gif" }));
        std::string page = ReadFileBytes(root + "/127.0.0.1/p/index.offline.html");
        std::string frame = ReadFileBytes(root + "/127.0.0.1/p/frame.offline.html");
        EXPECT_NE(page.find("<iframe src=\"frame.offline.html\">"), std::string::npos) << page;
        EXPECT_NE(page.find("<img src=\"" + server.Url("/p/missing.gif") + "\">"), std::string::npos) << page;
        EXPECT_NE(frame.find("body{background:url(\"../q/bg.gif\")}"), std::string::npos) << frame;
        EXPECT_NE(frame.find("<img src=\"i.gif\">"), std::string::npos) << frame;
        EXPECT_EQ(harness.LastResult().offlineCopy, root + "/127.0.0.1/p/index.offline.html");
    }

    INSTANTIATE_TEST_SUITE_P(
        Engines, OfflineCapture, ::testing::Values(EngineKind::Static, EngineKind::Chromium), EngineName);

} // namespace
} // namespace pagestow::hostile

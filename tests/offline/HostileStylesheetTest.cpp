// Hostile stylesheets with the offline copy on: unterminated strings and comments, addresses that try
// to climb out of the capture, 100,000 imports, an import loop and a stylesheet of 50 MB all end,
// bounded, with nothing written outside the capture folder.

#include "engine/static/StylesheetLoads.h"
#include "hostile/HostileCapture.h"
#include "support/TestServer.h"

#include <regex>

namespace pagestow::hostile {
namespace {
    using testing::ReadFileBytes;
    using testing::TestServer;

    constexpr const char* kCssReport = "保存CSS文件：";
    constexpr const char* kCopyReport = "保存离线副本：";

    class HostileStylesheet : public ::testing::Test {
    protected:
        CaptureResult Capture(CaptureHarness& harness, const std::string& address)
        {
            harness.SetOfflineCopy(true);
            harness.Engine().SetStylesheetLoads(true);
            return harness.Capture(address, std::chrono::seconds(60));
        }

        // Every file the capture wrote lies in the capture folder, and the scratch folder holds
        // nothing else; no address in a copy climbs above the capture folder.
        void ExpectContained(CaptureHarness& harness)
        {
            for (const std::string& file : testing::ListFiles(harness.Scratch()))
                EXPECT_EQ(file.rfind("pages/" + harness.LastResult().captureFolder + "/", 0), 0u) << file;
            std::regex climb(R"re((\.\./)+)re");
            for (const std::string& file : harness.Written()) {
                if (file.find(".offline.") == std::string::npos)
                    continue;
                std::string bytes = ReadFileBytes(harness.Root() + "/" + file);
                // Depth of the copy below the capture folder.
                size_t depth = size_t(std::count(file.begin(), file.end(), '/'));
                for (auto it = std::sregex_iterator(bytes.begin(), bytes.end(), climb);
                     it != std::sregex_iterator(); ++it)
                    EXPECT_LE(it->length() / 3, depth) << file;
            }
        }
    };

    TEST_F(HostileStylesheet, UnterminatedStringsAndCommentsEndAtTheEndOfTheStylesheet)
    {
        TestServer server;
        server.Serve("/index.html",
            "<link rel=stylesheet href=a.css><link rel=stylesheet href=b.css><style>p{background:url('s.gif",
            "text/html");
        server.Serve("/a.css", ".a{background:url(a.gif)} .b{background:url('b.gif", "text/css");
        server.Serve("/b.css", ".c{background:url(c.gif)} /* .d{background:url(d.gif)}", "text/css");
        for (const char* name : { "/a.gif", "/b.gif", "/c.gif", "/d.gif", "/s.gif" })
            server.Serve(name, "GIF89a", "image/gif");
        CaptureHarness harness(EngineKind::Static);

        CaptureResult result = Capture(harness, server.Url("/index.html"));

        ASSERT_TRUE(result.completed);
        ASSERT_TRUE(result.accepted);
        EXPECT_EQ(server.RequestCount("/d.gif"), 0);
        EXPECT_EQ(harness.Written(),
            (std::vector<std::string> { "127.0.0.1/a.css", "127.0.0.1/a.gif", "127.0.0.1/a.offline.css",
                "127.0.0.1/b.css", "127.0.0.1/b.gif", "127.0.0.1/b.offline.css", "127.0.0.1/c.gif",
                "127.0.0.1/index.html", "127.0.0.1/index.offline.html", "127.0.0.1/s.gif" }));
        const std::string root = harness.Root() + "/127.0.0.1/";
        EXPECT_EQ(ReadFileBytes(root + "a.offline.css"),
            ".a{background:url(\"a.gif\")} .b{background:url(\"b.gif\"");
        EXPECT_EQ(ReadFileBytes(root + "b.offline.css"),
            ".c{background:url(\"c.gif\")} /* .d{background:url(d.gif)}");
        EXPECT_EQ(ReadFileBytes(root + "index.offline.html"),
            "<link rel=stylesheet href=\"a.offline.css\"><link rel=stylesheet href=\"b.offline.css\">"
            "<style>p{background:url(\"s.gif\"");
        ExpectContained(harness);
    }

    TEST_F(HostileStylesheet, DotSegmentsAndEscapesStayInsideTheCaptureFolder)
    {
        TestServer server;
        server.Serve("/a/b/index.html", "<link rel=stylesheet href=../c/h.css>", "text/html");
        server.Serve("/a/c/h.css",
            ".a{background:url(../../../../../../../etc/x.gif)}\n"
            ".b{background:url(\\2e\\2e/\\2e\\2e/\\2e\\2e/\\2e\\2e/y.gif)}\n"
            ".c{background:url(%2e%2e/%2E%2E/%2e%2e/z.gif)}\n"
            ".d{background:url(\"..\\\\..\\\\..\\\\w.gif\")}\n"
            ".e{background:url(\"%2e%2e%2f%2e%2e%2fv.gif\")}\n",
            "text/css");
        for (const char* name :
            { "/etc/x.gif", "/y.gif", "/z.gif", "/w.gif", "/a/c/%2e%2e%2f%2e%2e%2fv.gif" })
            server.Serve(name, "GIF89a", "image/gif");
        CaptureHarness harness(EngineKind::Static);

        CaptureResult result = Capture(harness, server.Url("/a/b/index.html"));

        ASSERT_TRUE(result.completed);
        ASSERT_TRUE(result.accepted);
        EXPECT_EQ(server.RequestCount("/etc/x.gif"), 1);
        EXPECT_EQ(server.RequestCount("/y.gif"), 1);
        EXPECT_EQ(server.RequestCount("/z.gif"), 1);
        EXPECT_EQ(server.RequestCount("/w.gif"), 1);
        std::vector<std::string> written = harness.Written();
        for (const char* expected : { "127.0.0.1/a/b/index.offline.html", "127.0.0.1/a/c/h.offline.css",
                 "127.0.0.1/etc/x.gif", "127.0.0.1/y.gif", "127.0.0.1/z.gif", "127.0.0.1/w.gif" })
            EXPECT_NE(std::find(written.begin(), written.end(), expected), written.end()) << expected;
        std::string copy = ReadFileBytes(harness.Root() + "/127.0.0.1/a/c/h.offline.css");
        EXPECT_NE(copy.find(".a{background:url(\"../../etc/x.gif\")}"), std::string::npos) << copy;
        EXPECT_NE(copy.find(".b{background:url(\"../../y.gif\")}"), std::string::npos) << copy;
        EXPECT_NE(copy.find(".c{background:url(\"../../z.gif\")}"), std::string::npos) << copy;
        EXPECT_NE(copy.find(".d{background:url(\"../../w.gif\")}"), std::string::npos) << copy;
        ExpectContained(harness);
    }

    TEST_F(HostileStylesheet, AnImportLoopLoadsAndSavesEachStylesheetOnce)
    {
        TestServer server;
        server.Serve("/index.html", "<link rel=stylesheet href=a.css>", "text/html");
        server.Serve("/a.css", "@import 'b.css';@import 'a.css';", "text/css");
        server.Serve("/b.css", "@import url(c.css);@import url(a.css);", "text/css");
        server.Serve("/c.css", "@import \"b.css\";@import \"a.css\";@import \"c.css\";", "text/css");
        CaptureHarness harness(EngineKind::Static);

        CaptureResult result = Capture(harness, server.Url("/index.html"));

        ASSERT_TRUE(result.completed);
        ASSERT_TRUE(result.accepted);
        for (const char* name : { "/a.css", "/b.css", "/c.css" })
            EXPECT_EQ(server.RequestCount(name), 1) << name;
        const std::string r = "{R}/127.0.0.1/";
        EXPECT_TRUE(SameLines(result.lines,
            harness.Expand(Join({ DocumentLines(r + "index.html"), ResourceLines(kCssReport, r + "a.css"),
                ResourceLines(kCssReport, r + "b.css"), ResourceLines(kCssReport, r + "c.css"),
                ResourceLines(kCopyReport, r + "index.offline.html"),
                ResourceLines(kCopyReport, r + "a.offline.css"),
                ResourceLines(kCopyReport, r + "b.offline.css"),
                ResourceLines(kCopyReport, r + "c.offline.css") }))));
        EXPECT_EQ(ReadFileBytes(harness.Root() + "/127.0.0.1/c.offline.css"),
            "@import \"b.offline.css\";@import \"a.offline.css\";@import \"c.offline.css\";");
    }

    TEST_F(HostileStylesheet, HundredThousandImportsStopAtTheLimit)
    {
        TestServer server;
        std::string css;
        for (int i = 0; i < 100'000; ++i)
            css += "@import url(i/" + std::to_string(i) + ".css);\n";
        server.Serve("/index.html", "<link rel=stylesheet href=many.css>", "text/html");
        server.Serve("/many.css", css, "text/css");
        server.Serve("/i/7.css", ".x{}", "text/css");
        CaptureHarness harness(EngineKind::Static);

        CaptureResult result = Capture(harness, server.Url("/index.html"));

        ASSERT_TRUE(result.completed);
        ASSERT_TRUE(result.accepted);
        size_t imports = 0;
        for (const std::string& path : server.RequestLog())
            imports += path.rfind("/i/", 0) == 0;
        EXPECT_EQ(imports, engine::static_engine::kMaxStylesheetLoads);
        EXPECT_EQ(harness.Written(),
            (std::vector<std::string> { "127.0.0.1/i/7.css", "127.0.0.1/i/7.offline.css",
                "127.0.0.1/index.html", "127.0.0.1/index.offline.html", "127.0.0.1/many.css",
                "127.0.0.1/many.offline.css" }));
        // Imports that were not saved point at the server.
        std::string copy = ReadFileBytes(harness.Root() + "/127.0.0.1/many.offline.css");
        EXPECT_EQ(copy.rfind("@import url(\"" + server.Url("/i/0.css") + "\");\n", 0), 0u);
        EXPECT_NE(copy.find("@import url(\"i/7.offline.css\");\n"), std::string::npos);
        EXPECT_NE(copy.find("@import url(\"" + server.Url("/i/99999.css") + "\");\n"), std::string::npos);
        ExpectContained(harness);
    }

    TEST_F(HostileStylesheet, FiftyMegabyteStylesheetIsReadAndCopiedWhole)
    {
        TestServer server;
        std::string rule = ".k{color:red;background:url(k.gif)}\n";
        std::string css;
        css.reserve(50u << 20);
        while (css.size() + rule.size() <= (50u << 20))
            css += rule;
        server.Serve("/index.html", "<link rel=stylesheet href=big.css>", "text/html");
        server.Serve("/big.css", css, "text/css");
        server.Serve("/k.gif", "GIF89a", "image/gif");
        CaptureHarness harness(EngineKind::Static);

        CaptureResult result = Capture(harness, server.Url("/index.html"));

        ASSERT_TRUE(result.completed);
        ASSERT_TRUE(result.accepted);
        EXPECT_EQ(server.RequestCount("/k.gif"), 1);
        EXPECT_EQ(harness.Written(),
            (std::vector<std::string> { "127.0.0.1/big.css", "127.0.0.1/big.offline.css",
                "127.0.0.1/index.html", "127.0.0.1/index.offline.html", "127.0.0.1/k.gif" }));
        EXPECT_TRUE(SameBytes(ReadFileBytes(harness.Root() + "/127.0.0.1/big.css"), css));
        std::string expected;
        for (size_t at = 0; at < css.size(); at += rule.size())
            expected += ".k{color:red;background:url(\"k.gif\")}\n";
        EXPECT_TRUE(SameBytes(ReadFileBytes(harness.Root() + "/127.0.0.1/big.offline.css"), expected));
    }

} // namespace
} // namespace pagestow::hostile

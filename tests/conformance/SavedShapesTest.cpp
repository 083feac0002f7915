// The address shapes of today's pages, over every engine: what the engine loaded for a harvested
// attribute is saved, under one readable path per address, and no file replaces a saved page. Each
// case serves its page from a real server and asserts the exact files, bytes and result lines.

#include "CaptureFixture.h"

#include "capture/Capture.h"
#include "capture/CaptureState.h"
#include "engine/EngineCache.h"
#include "engine/PageEngine.h"

#include "support/TemporaryFolder.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <thread>

namespace pagestow::conformance {
namespace {

    namespace fs = std::filesystem;
    using engine::PageEngine;
    using pagestow::testing::ListFiles;
    using pagestow::testing::ReadFileBytes;
    using pagestow::testing::TemporaryFolder;
    using pagestow::testing::TestServer;

    class SavedShapes : public CaptureFixture {
    protected:
        static std::string Page(const std::string& file)
        {
            return "网页文件“<capture>/" + file + "”保存完成。";
        }
        static std::string Image(const std::string& file) { return "保存图片文件：<capture>/" + file; }
    };

    TEST_P(SavedShapes, ExtensionlessPageAddressSavesWhatItsRelativeAddressesLoaded)
    {
        TestServer server;
        server.Serve("/news/article", "<html><body><img src=\"img/a.png\"></body></html>");
        server.Serve("/news/img/a.png", kPng + "a", "image/png");

        ASSERT_TRUE(Capture(server.Url("/news/article")));

        EXPECT_EQ(Files(), (Lines { "127.0.0.1/news/article/index.htm", "127.0.0.1/news/img/a.png" }));
        EXPECT_EQ(Saved("127.0.0.1/news/img/a.png"), kPng + "a");
        EXPECT_EQ(Results(),
            (Lines { Page("127.0.0.1/news/article/index.htm"), Image("127.0.0.1/news/img/a.png") }));
    }

    TEST_P(SavedShapes, BaseElementDecidesWhereRelativeAddressesPoint)
    {
        TestServer a("127.0.0.1");
        TestServer b("127.0.0.2");
        a.Serve("/b/page.htm",
            "<html><head><base href=\"" + b.Url("/assets/")
                + "\"><link rel=\"stylesheet\" href=\"s.css\"></head><body><img "
                  "src=\"x.png\"></body></html>");
        b.Serve("/assets/s.css", "p { color: red }", "text/css");
        b.Serve("/assets/x.png", kPng + "x", "image/png");

        ASSERT_TRUE(Capture(a.Url("/b/page.htm")));

        EXPECT_EQ(
            Files(), (Lines { "127.0.0.1/b/page.htm", "127.0.0.2/assets/s.css", "127.0.0.2/assets/x.png" }));
        EXPECT_EQ(Saved("127.0.0.2/assets/s.css"), "p { color: red }");
        EXPECT_EQ(Saved("127.0.0.2/assets/x.png"), kPng + "x");
        EXPECT_EQ(Results(),
            (Lines { Page("127.0.0.1/b/page.htm"), "保存CSS文件：<capture>/127.0.0.2/assets/s.css",
                Image("127.0.0.2/assets/x.png") }));
    }

    TEST_P(SavedShapes, QueryOnlyAddressIsFoundAndNeverReplacesThePage)
    {
        TestServer server;
        const std::string page = "<html><body><img src=\"?page=2\"><img src=\"pic/?id=7\"></body></html>";
        server.Handle("/q/list.php", [&](const httplib::Request& request, httplib::Response& response) {
            if (request.has_param("page"))
                response.set_content(kPng + "page2", "image/png");
            else
                response.set_content(page, "text/html");
        });
        server.Serve("/q/pic/", kPng + "seven", "image/png");

        ASSERT_TRUE(Capture(server.Url("/q/list.php")));

        // The image at ?page=2 maps to the page's own path: the page stays.
        EXPECT_EQ(Files(), (Lines { "127.0.0.1/q/list.php", "127.0.0.1/q/pic/temp.jpg" }));
        EXPECT_EQ(Saved("127.0.0.1/q/pic/temp.jpg"), kPng + "seven");
        if (!RunsScripts()) {
            EXPECT_EQ(Saved("127.0.0.1/q/list.php"), page);
        }
        EXPECT_EQ(Results(), (Lines { Page("127.0.0.1/q/list.php"), Image("127.0.0.1/q/pic/temp.jpg") }));
    }

    TEST_P(SavedShapes, UserInformationInThePageAddressIsNoOtherResource)
    {
        TestServer server;
        server.Serve("/u/page.htm", "<html><body><img src=\"a.png\"></body></html>");
        server.Serve("/u/a.png", kPng + "u", "image/png");

        ASSERT_TRUE(Capture("http://user:pw@127.0.0.1:" + std::to_string(server.Port()) + "/u/page.htm"));

        EXPECT_EQ(Files(), (Lines { "127.0.0.1/u/a.png", "127.0.0.1/u/page.htm" }));
        EXPECT_EQ(Saved("127.0.0.1/u/a.png"), kPng + "u");
        EXPECT_EQ(Results(), (Lines { Page("127.0.0.1/u/page.htm"), Image("127.0.0.1/u/a.png") }));
    }

    TEST_P(SavedShapes, SrcsetAndPictureCandidateTheEngineLoadedIsSaved)
    {
        TestServer server;
        server.Serve("/s/page.htm",
            "<html><body><img src=\"fallback.png\" srcset=\"one.png 1x, two.png 2x\">"
            "<picture><source srcset=\"wide.png\" media=\"(min-width: 100px)\" type=\"image/png\">"
            "<source srcset=\"narrow.png\"><img src=\"pfallback.png\"></picture></body></html>");
        for (const char* name : { "fallback", "one", "two", "wide", "narrow", "pfallback" })
            server.Serve(std::string("/s/") + name + ".png", kPng + name, "image/png");

        ASSERT_TRUE(Capture(server.Url("/s/page.htm")));

        EXPECT_EQ(Files(), (Lines { "127.0.0.1/s/one.png", "127.0.0.1/s/page.htm", "127.0.0.1/s/wide.png" }));
        EXPECT_EQ(Saved("127.0.0.1/s/one.png"), kPng + "one");
        EXPECT_EQ(Saved("127.0.0.1/s/wide.png"), kPng + "wide");
        EXPECT_EQ(Results(),
            (Lines {
                Page("127.0.0.1/s/page.htm"), Image("127.0.0.1/s/one.png"), Image("127.0.0.1/s/wide.png") }));
    }

    TEST_P(SavedShapes, QueryInTheDocumentsCharacterSetIsFound)
    {
        TestServer server;
        // "中" in GBK, in the image's query.
        server.Serve("/g/page.htm",
            "<html><head><meta charset=\"gbk\"></head><body><img src=\"img.php?q=\xD6\xD0\"></body></html>");
        server.Handle("/g/img.php", [](const httplib::Request& request, httplib::Response& response) {
            // The query arrives encoded in GBK, as browsers send it.
            response.set_content(kPng + request.get_param_value("q"), "image/png");
        });

        ASSERT_TRUE(Capture(server.Url("/g/page.htm")));

        EXPECT_EQ(Files(), (Lines { "127.0.0.1/g/img.php", "127.0.0.1/g/page.htm" }));
        EXPECT_EQ(Saved("127.0.0.1/g/img.php"), kPng + "\xD6\xD0");
        EXPECT_EQ(Results(), (Lines { Page("127.0.0.1/g/page.htm"), Image("127.0.0.1/g/img.php") }));
    }

    TEST_P(SavedShapes, InternationalHostNameIsOneFolderInUnicode)
    {
        // Engines resolve every name below "localhost" to the loopback address themselves.
        TestServer server;
        server.Serve("/i/page.htm",
            "<html><body><img src=\"a.png\"><img src=\"http://xn--fsqu00a.localhost:"
                + std::to_string(server.Port()) + "/i/b.png\"></body></html>");
        server.Serve("/i/a.png", kPng + "a", "image/png");
        server.Serve("/i/b.png", kPng + "b", "image/png");

        if (!Capture("http://例子.localhost:" + std::to_string(server.Port()) + "/i/page.htm"))
            GTEST_SKIP() << "the " << GetParam() << " engine does not resolve names below localhost here";

        EXPECT_EQ(Files(),
            (Lines { "例子.localhost/i/a.png", "例子.localhost/i/b.png", "例子.localhost/i/page.htm" }));
        EXPECT_EQ(Saved("例子.localhost/i/b.png"), kPng + "b");
        EXPECT_EQ(Results(),
            (Lines { Page("例子.localhost/i/page.htm"), Image("例子.localhost/i/a.png"),
                Image("例子.localhost/i/b.png") }));
    }

    TEST_P(SavedShapes, Ipv6LiteralIsAFolderOfItsBracketedAddress)
    {
        httplib::Server server;
        server.Get("/v6/page.htm", [](const httplib::Request&, httplib::Response& response) {
            response.set_content("<html><body><img src=\"a.png\"></body></html>", "text/html");
        });
        server.Get("/v6/a.png", [](const httplib::Request&, httplib::Response& response) {
            response.set_content(kPng + "six", "image/png");
        });
        int port = server.bind_to_any_port("::1");
        if (port <= 0)
            GTEST_SKIP() << "no IPv6 loopback address here";
        std::thread thread([&] { server.listen_after_bind(); });
        struct Stop {
            httplib::Server& server;
            std::thread& thread;
            ~Stop()
            {
                server.stop();
                thread.join();
            }
        } stop { server, thread };
        while (!server.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));

        ASSERT_TRUE(Capture("http://[::1]:" + std::to_string(port) + "/v6/page.htm"));

        EXPECT_EQ(Files(), (Lines { "[__1]/v6/a.png", "[__1]/v6/page.htm" }));
        EXPECT_EQ(Saved("[__1]/v6/a.png"), kPng + "six");
        EXPECT_EQ(Results(), (Lines { Page("[__1]/v6/page.htm"), Image("[__1]/v6/a.png") }));
    }

    TEST_P(SavedShapes, FramesWithoutAnAddressOfTheirOwnAreWalkedButNeverWritten)
    {
        TestServer server;
        server.Serve("/f/page.htm",
            "<html><body><iframe src=\"about:blank\"></iframe>"
            "<iframe srcdoc=\"&lt;img src=&quot;sd.png&quot;&gt;\"></iframe>"
            "<iframe id=\"w\"></iframe><script>var d = document.getElementById('w').contentDocument;"
            " d.open(); d.write('<img src=\"w.png\">'); d.close();</script>"
            "<iframe src=\"http://127.0.0.1:"
                + std::to_string(pagestow::testing::RefusedPort())
                + "/f/gone.htm\"></iframe>"
                  "</body></html>");
        server.Serve("/f/sd.png", kPng + "sd", "image/png");
        server.Serve("/f/w.png", kPng + "w", "image/png");

        ASSERT_TRUE(Capture(server.Url("/f/page.htm")));

        Lines files = { "127.0.0.1/f/page.htm", "127.0.0.1/f/sd.png" };
        Lines results = { Page("127.0.0.1/f/page.htm"), Image("127.0.0.1/f/sd.png") };
        if (RunsScripts()) {
            files.push_back("127.0.0.1/f/w.png");
            results.push_back(Image("127.0.0.1/f/w.png"));
        }
        EXPECT_EQ(Files(), files);
        EXPECT_EQ(Saved("127.0.0.1/f/sd.png"), kPng + "sd");
        EXPECT_EQ(Results(), results);
        EXPECT_NE(Saved("127.0.0.1/f/page.htm").find("<iframe"), std::string::npos);
    }

    TEST_P(SavedShapes, PercentEscapedNamesAreOneReadableFile)
    {
        TestServer server;
        server.Serve("/my docs/页.htm",
            "<html><head><meta charset=\"utf-8\"></head><body><img src=\"a%C3%A4c.png\"><img src=\"aäc.png\">"
            "<img src=\"100%25.png\"></body></html>");
        server.Serve("/my docs/aäc.png", kPng + "umlaut", "image/png");
        server.Serve("/my docs/100%.png", kPng + "percent", "image/png");

        ASSERT_TRUE(Capture(server.Url("/my%20docs/%E9%A1%B5.htm")));

        EXPECT_EQ(Files(),
            (Lines {
                "127.0.0.1/my_docs/100%.png", "127.0.0.1/my_docs/aäc.png", "127.0.0.1/my_docs/页.htm" }));
        EXPECT_EQ(Saved("127.0.0.1/my_docs/aäc.png"), kPng + "umlaut");
        EXPECT_EQ(Saved("127.0.0.1/my_docs/100%.png"), kPng + "percent");
        EXPECT_EQ(Results(),
            (Lines { Page("127.0.0.1/my_docs/页.htm"), Image("127.0.0.1/my_docs/aäc.png"),
                Image("127.0.0.1/my_docs/100%.png") }));
    }

    INSTANTIATE_TEST_SUITE_P(Engines, SavedShapes, ::testing::Values("static", "chromium", "webkit"),
        [](const ::testing::TestParamInfo<std::string>& engineName) { return engineName.param; });

} // namespace
} // namespace pagestow::conformance

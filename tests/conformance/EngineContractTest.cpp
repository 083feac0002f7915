// The rules every engine keeps on edge pages (docs/engine-contract.md), over every engine: what is
// stored, when a page is complete, frames, the viewport, script dialogs, character sets and a long
// temporary folder. Each case asserts the exact files, bytes and result lines; where an engine cannot
// keep a rule, the case says why and the contract page names it.

#include "CaptureFixture.h"

#include "engine/Contract.h"

#include "hostile/RawResponseServer.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <optional>

namespace pagestow::conformance {
namespace {

    using namespace std::chrono_literals;
    using hostile::RawResponseServer;
    using pagestow::testing::TestServer;

    class EngineContract : public CaptureFixture {
    protected:
        static std::string Page(const std::string& file)
        {
            return "网页文件“<capture>/" + file + "”保存完成。";
        }
        static std::string Image(const std::string& file) { return "保存图片文件：<capture>/" + file; }
    };

    TEST_P(EngineContract, RedirectChainsOfThePageAndOfAnImageEndInTheirFinalBodies)
    {
        TestServer a("127.0.0.1");
        TestServer b("127.0.0.2");
        a.Serve("/start.htm", "", "text/html", 301, { { "Location", "/moved.htm" } });
        a.Serve("/moved.htm", "", "text/html", 302, { { "Location", b.Url("/final/page.htm") } });
        b.Serve("/final/page.htm", "<html><body><img src=\"" + a.Url("/img/r.png") + "\"></body></html>");
        a.Serve("/img/r.png", "", "text/html", 307, { { "Location", "/img/s.png" } });
        a.Serve("/img/s.png", "", "text/html", 308, { { "Location", b.Url("/img/t.png") } });
        b.Serve("/img/t.png", kPng + "t", "image/png");

        ASSERT_TRUE(Capture(a.Url("/start.htm")));

        EXPECT_EQ(Files(), (Lines { "127.0.0.1/img/r.png", "127.0.0.2/final/page.htm" }));
        EXPECT_EQ(Saved("127.0.0.1/img/r.png"), kPng + "t");
        EXPECT_EQ(Results(), (Lines { Page("127.0.0.2/final/page.htm"), Image("127.0.0.1/img/r.png") }));
        if (GetParam() == "webkit")
            GTEST_SKIP() << "WebKit fetches a redirected image a second time";
        EXPECT_EQ(b.RequestCount("/img/t.png"), 1);
    }

    TEST_P(EngineContract, ImageIsSavedWithTheBytesThePageReceivedAndItsReferer)
    {
        TestServer a("127.0.0.1");
        TestServer b("127.0.0.2");
        a.Serve("/r/page.htm",
            "<html><body><img src=\"" + b.Url("/guarded.png") + "\"><img src=\"" + b.Url("/moving.png")
                + "\"></body></html>");
        const std::string origin = a.Origin();
        b.Handle("/guarded.png", [origin](const httplib::Request& request, httplib::Response& response) {
            if (request.get_header_value("Referer").rfind(origin, 0) == 0) {
                response.set_content(kPng + "guarded", "image/png");
            } else {
                response.status = 403;
                response.set_content("forbidden", "text/plain");
            }
        });
        // A redirected image whose body changes with every request: the saved one is the first.
        b.Serve("/moving.png", "", "text/html", 302, { { "Location", "/moved.png" } });
        auto served = std::make_shared<std::atomic<int>>(0);
        b.Handle("/moved.png", [served](const httplib::Request&, httplib::Response& response) {
            response.set_content(kPng + std::to_string(++*served), "image/png");
        });

        ASSERT_TRUE(Capture(a.Url("/r/page.htm")));

        EXPECT_EQ(
            Files(), (Lines { "127.0.0.1/r/page.htm", "127.0.0.2/guarded.png", "127.0.0.2/moving.png" }));
        EXPECT_EQ(Saved("127.0.0.2/guarded.png"), kPng + "guarded");
        EXPECT_EQ(Results(),
            (Lines { Page("127.0.0.1/r/page.htm"), Image("127.0.0.2/guarded.png"),
                Image("127.0.0.2/moving.png") }));
        if (GetParam() == "webkit")
            GTEST_SKIP() << "WebKit fetches a redirected image a second time and saves the second body";
        EXPECT_EQ(Saved("127.0.0.2/moving.png"), kPng + "1");
        EXPECT_EQ(b.RequestCount("/moved.png"), 1);
    }

    TEST_P(EngineContract, ImagesWithoutAWholeSuccessfulBodyAreNeitherSavedNorReported)
    {
        struct Answer {
            const char* file;
            int status;
        };
        const Answer answers[] = { { "no-content.png", 204 }, { "reset.png", 205 }, { "partial.png", 206 },
            { "missing.png", 404 }, { "failed.png", 500 }, { "fine.png", 200 } };
        TestServer server;
        std::string page = "<html><body>";
        for (const Answer& answer : answers) {
            page += std::string("<img src=\"") + answer.file + "\">";
            std::vector<std::pair<std::string, std::string>> headers;
            if (answer.status == 206)
                headers = { { "Content-Range", "bytes 0-66/200" } };
            server.Serve(std::string("/s/") + answer.file,
                answer.status == 204 || answer.status == 205 ? std::string() : kPng, "image/png",
                answer.status, headers);
        }
        server.Serve("/s/page.htm", page + "</body></html>");

        ASSERT_TRUE(Capture(server.Url("/s/page.htm")));

        EXPECT_EQ(Files(), (Lines { "127.0.0.1/s/fine.png", "127.0.0.1/s/page.htm" }));
        EXPECT_EQ(Saved("127.0.0.1/s/fine.png"), kPng);
        EXPECT_EQ(Results(), (Lines { Page("127.0.0.1/s/page.htm"), Image("127.0.0.1/s/fine.png") }));
    }

    TEST_P(EngineContract, ScriptDialogsAreAnsweredAndThePageCompletes)
    {
        TestServer server;
        server.Serve("/d/page.htm",
            "<html><body><script>var answers = [alert('a'), confirm('b'), prompt('c', 'default')];"
            "document.body.setAttribute('data-answers', JSON.stringify(answers));</script>"
            "<img src=\"a.png\"></body></html>");
        server.Serve("/d/a.png", kPng + "a", "image/png");
        m_engine->SetLoadTimeout(60s);

        ASSERT_TRUE(Capture(server.Url("/d/page.htm")));

        EXPECT_LT(LoadTime(), 30s);
        EXPECT_EQ(Files(), (Lines { "127.0.0.1/d/a.png", "127.0.0.1/d/page.htm" }));
        EXPECT_EQ(Results(), (Lines { Page("127.0.0.1/d/page.htm"), Image("127.0.0.1/d/a.png") }));
        if (RunsScripts()) {
            EXPECT_NE(Saved("127.0.0.1/d/page.htm").find("<body data-answers=\"[null,false,&quot;&quot;]\">"),
                std::string::npos)
                << Saved("127.0.0.1/d/page.htm");
        }
    }

    struct SlowDocument {
        const char* name;
        std::string arrived;
        // What each engine saves: DOM engines serialise what their parser made of it, the built-in
        // engine keeps the bytes.
        std::string domDocument;
    };

    TEST_P(EngineContract, DocumentStillArrivingOrWithHeadersOnlyAtTheTimeoutIsThePage)
    {
        const std::string kilobytes(1500, 'x');
        const SlowDocument cases[] = {
            { "first kilobytes", "<html><body><p>" + kilobytes + "</p><img src=\"a.png\">",
                "<html><head></head><body><p>" + kilobytes + "</p><img src=\"a.png\"></body></html>" },
            { "first part", "<html><body><p>first part</p><img src=\"a.png\">",
                "<html><head></head><body><p>first part</p><img src=\"a.png\"></body></html>" },
            { "headers only", "", "<html><head></head><body></body></html>" },
        };
        for (const SlowDocument& item : cases) {
            SCOPED_TRACE(item.name);
            m_frontEnd->results.clear();
            std::filesystem::remove_all(CaptureRoot());
            if (GetParam() == "webkit" && item.arrived.size() < 1024)
                GTEST_SKIP() << "WebKit shows its error page for a document of which less than a kilobyte "
                                "arrived by the time-out";
            RawResponseServer server;
            server.Serve("/slow.htm",
                "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 100000\r\n\r\n"
                    + item.arrived,
                RawResponseServer::After::HoldOpen);
            server.Serve("/a.png",
                "HTTP/1.1 200 OK\r\nContent-Type: image/png\r\nContent-Length: 67\r\nConnection: "
                "close\r\n\r\n"
                    + kPng);
            // Long enough for a browser's processes to start and read what arrived on a busy machine.
            m_engine->SetLoadTimeout(15s);

            ASSERT_TRUE(Capture(server.Url("/slow.htm")));

            EXPECT_LT(LoadTime(), 45s);
            Lines files = { "127.0.0.1/slow.htm" };
            Lines results = { Page("127.0.0.1/slow.htm") };
            if (!item.arrived.empty()) {
                files.insert(files.begin(), "127.0.0.1/a.png");
                results.push_back(Image("127.0.0.1/a.png"));
            }
            EXPECT_EQ(Files(), files);
            EXPECT_EQ(Results(), results);
            EXPECT_EQ(Saved("127.0.0.1/slow.htm"), GetParam() == "static" ? item.arrived : item.domDocument);
        }
    }

    TEST_P(EngineContract, HundredNestedFramesAreAllSaved)
    {
        constexpr int kDepth = 100;
        static_assert(kDepth < engine::kFrameDepthLimit);
        TestServer server;
        Lines files;
        Lines results;
        for (int level = 0; level <= kDepth; ++level) {
            const std::string name = std::to_string(level);
            std::string body = "<html><body><img src=i/" + name + ".gif>";
            if (level < kDepth)
                body += "<iframe src=" + std::to_string(level + 1) + ".htm></iframe>";
            server.Serve("/f/" + name + ".htm", body + "</body></html>");
            server.Serve("/f/i/" + name + ".gif", "GIF89a" + name, "image/gif");
            files.push_back("127.0.0.1/f/" + name + ".htm");
            files.push_back("127.0.0.1/f/i/" + name + ".gif");
            results.push_back(Page("127.0.0.1/f/" + name + ".htm"));
            results.push_back(Image("127.0.0.1/f/i/" + name + ".gif"));
        }
        std::sort(files.begin(), files.end());
        // A hundred documents one inside the other load one after another; on a busy machine a
        // browser needs minutes for them, and the time-out must not be what is tested here.
        m_engine->SetLoadTimeout(240s);

        ASSERT_TRUE(Capture(server.Url("/f/0.htm")));

        if (GetParam() == "webkit" && Files().size() == 64)
            GTEST_SKIP() << "WebKit loads no frame below 32 levels: levels 0 to 31 are saved";
        EXPECT_EQ(Files(), files) << Files().size() << " files";
        EXPECT_EQ(Results(), results);
        EXPECT_EQ(Saved("127.0.0.1/f/i/100.gif"), "GIF89a100");
    }

    TEST_P(EngineContract, FramesetPageSavesEveryFrame)
    {
        TestServer a("127.0.0.1");
        TestServer b("127.0.0.2");
        a.Serve("/fs/index.htm",
            "<html><head><title>Frames</title></head><frameset cols=\"30%,70%\"><frame src=\"left.htm\">"
            "<frame src=\""
                + b.Url("/right/main.htm") + "\"><noframes><body>none</body></noframes></frameset></html>");
        a.Serve("/fs/left.htm", "<html><body><img src=\"l.png\"></body></html>");
        a.Serve("/fs/l.png", kPng + "l", "image/png");
        b.Serve("/right/main.htm", "<html><body background=\"r.png\"><p>main</p></body></html>");
        b.Serve("/right/r.png", kPng + "r", "image/png");

        ASSERT_TRUE(Capture(a.Url("/fs/index.htm")));

        EXPECT_EQ(Files(),
            (Lines { "127.0.0.1/fs/index.htm", "127.0.0.1/fs/l.png", "127.0.0.1/fs/left.htm",
                "127.0.0.2/right/main.htm", "127.0.0.2/right/r.png" }));
        EXPECT_EQ(Saved("127.0.0.1/fs/l.png"), kPng + "l");
        EXPECT_EQ(Saved("127.0.0.2/right/r.png"), kPng + "r");
        EXPECT_EQ(Results(),
            (Lines { Page("127.0.0.1/fs/index.htm"), Page("127.0.0.1/fs/left.htm"),
                Image("127.0.0.1/fs/l.png"), Page("127.0.0.2/right/main.htm"),
                Image("127.0.0.2/right/r.png") }));
    }

    TEST_P(EngineContract, PageThatChangesItsAddressAfterLoadingCompletesLongBeforeTheTimeout)
    {
        TestServer server;
        server.Serve("/docs/index.htm",
            "<html><body><img src=\"a.png\"><script>addEventListener('load', function () {"
            " setTimeout(function () { location.hash = '#/'; history.pushState({}, '', '#/start'); }, 0);"
            " });</script></body></html>");
        server.Serve("/docs/a.png", kPng + "a", "image/png");
        m_engine->SetLoadTimeout(engine::kDefaultLoadTimeout);

        ASSERT_TRUE(Capture(server.Url("/docs/index.htm")));

        // Far below the time-out, far above what a busy machine needs.
        EXPECT_LT(LoadTime(), 30s);
        EXPECT_EQ(Files(), (Lines { "127.0.0.1/docs/a.png", "127.0.0.1/docs/index.htm" }));
        EXPECT_EQ(Results(), (Lines { Page("127.0.0.1/docs/index.htm"), Image("127.0.0.1/docs/a.png") }));
    }

    TEST_P(EngineContract, PagesAreLaidOutInTheSharedViewportWidth)
    {
        TestServer server;
        const std::string page = "<html><body><script>document.body.setAttribute('data-width', innerWidth);"
                                 "</script></body></html>";
        server.Serve("/v.htm", page);

        ASSERT_TRUE(Capture(server.Url("/v.htm")));

        if (RunsScripts()) {
            EXPECT_EQ(Saved("127.0.0.1/v.htm"),
                "<html><head></head><body data-width=\"" + std::to_string(engine::kViewportWidth)
                    + "\"><script>document.body.setAttribute('data-width', "
                      "innerWidth);</script></body></html>");
        } else {
            EXPECT_EQ(Saved("127.0.0.1/v.htm"), page);
        }
        EXPECT_EQ(engine::kViewportWidth, 1280);
    }

    struct LegacySetPage {
        const char* name;
        const char* charset;
        // Two characters of the set, in its bytes.
        std::string inSet;
    };

    TEST_P(EngineContract, GbkAndBig5PagesKeepTheirBytesAndWriteOtherCharactersAsReferences)
    {
        const LegacySetPage pages[] = {
            { "gbk", "gbk", "\xD6\xD0\xCE\xC4" },
            { "big5", "big5", "\xA4\xA4\xA4\xE5" },
        };
        for (const LegacySetPage& item : pages) {
            SCOPED_TRACE(item.name);
            m_frontEnd->results.clear();
            std::filesystem::remove_all(CaptureRoot());
            TestServer server;
            // Hangul and an emoji are in neither set.
            const std::string body = "<p title=\"&#xAC00;\">" + item.inSet
                + "&#xAC00;&#x1F600;</p><img src=\"img.php?q=" + item.inSet + "\">";
            const std::string page = std::string("<!DOCTYPE html><html><head><meta charset=\"") + item.charset
                + "\"></head><body>" + body + "</body></html>";
            server.Serve("/c/page.htm", page);
            server.Handle("/c/img.php", [](const httplib::Request& request, httplib::Response& response) {
                response.set_content(kPng + request.get_param_value("q"), "image/png");
            });

            ASSERT_TRUE(Capture(server.Url("/c/page.htm")));

            EXPECT_EQ(Files(), (Lines { "127.0.0.1/c/img.php", "127.0.0.1/c/page.htm" }));
            EXPECT_EQ(Saved("127.0.0.1/c/img.php"), kPng + item.inSet);
            EXPECT_EQ(Saved("127.0.0.1/c/page.htm"),
                RunsScripts() ? std::string("<!DOCTYPE html><html><head><meta charset=\"") + item.charset
                        + "\"></head><body><p title=\"&#xAC00;\">" + item.inSet
                        + "&#xAC00;&#x1F600;</p><img src=\"img.php?q=" + item.inSet + "\"></body></html>"
                              : page);
            EXPECT_EQ(Results(), (Lines { Page("127.0.0.1/c/page.htm"), Image("127.0.0.1/c/img.php") }));
        }
    }

    INSTANTIATE_TEST_SUITE_P(Engines, EngineContract, ::testing::Values("static", "chromium", "webkit"),
        [](const ::testing::TestParamInfo<std::string>& engineName) { return engineName.param; });

    // The engine starts, loads and saves with a temporary folder whose path is 100 characters long
    // (a browser's socket path below it must still fit the system's limit).
    class LongTemporaryFolder : public CaptureFixture {
    protected:
        void SetUp() override
        {
            if (const char* previous = std::getenv("TMPDIR"))
                m_previous = previous;
            std::filesystem::path folder = m_folder.Path() / "t";
            folder += std::string(100 - folder.string().size(), 'x');
            ASSERT_EQ(folder.string().size(), 100u);
            std::filesystem::create_directories(folder);
            setenv("TMPDIR", folder.c_str(), 1);
            m_temporary = folder;
            CaptureFixture::SetUp();
        }

        void TearDown() override
        {
            CaptureFixture::TearDown();
            m_engine.reset();
            if (m_previous)
                setenv("TMPDIR", m_previous->c_str(), 1);
            else
                unsetenv("TMPDIR");
        }

        std::optional<std::string> m_previous;
        std::filesystem::path m_temporary;
    };

    TEST_P(LongTemporaryFolder, EngineSavesThePage)
    {
        TestServer server;
        server.Serve("/t/page.htm", "<html><body><img src=\"a.png\"></body></html>");
        server.Serve("/t/a.png", kPng + "t", "image/png");

        ASSERT_TRUE(Capture(server.Url("/t/page.htm")));

        EXPECT_EQ(Files(), (Lines { "127.0.0.1/t/a.png", "127.0.0.1/t/page.htm" }));
        EXPECT_EQ(Saved("127.0.0.1/t/a.png"), kPng + "t");
        EXPECT_EQ(Results(),
            (Lines { "网页文件“<capture>/127.0.0.1/t/page.htm”保存完成。",
                "保存图片文件：<capture>/127.0.0.1/t/a.png" }));
    }

    INSTANTIATE_TEST_SUITE_P(Engines, LongTemporaryFolder, ::testing::Values("static", "chromium", "webkit"),
        [](const ::testing::TestParamInfo<std::string>& engineName) { return engineName.param; });

} // namespace
} // namespace pagestow::conformance

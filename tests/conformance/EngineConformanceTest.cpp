// One suite over every page engine: each loads the same pages from real servers on two loopback
// hosts, the capture saves them, and the saved files and the result lines must be the same whatever
// the engine. An engine whose program or library is missing here is skipped.

#include "capture/Capture.h"
#include "capture/CaptureState.h"
#include "cli/EngineTable.h"
#include "engine/EngineCache.h"
#include "engine/PageEngine.h"

#include "support/TemporaryFolder.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace pagestow::conformance {
namespace {

    namespace fs = std::filesystem;
    using engine::PageEngine;
    using pagestow::testing::ListFiles;
    using pagestow::testing::ReadFileBytes;
    using pagestow::testing::TemporaryFolder;
    using pagestow::testing::TestServer;
    using Lines = std::vector<std::string>;

    const std::string kPng
        = std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0\x1f\x15\xc4\x89"
                      "\0\0\0\rIDATx\x9c"
                      "c`\0\0\0\x02\0\x01\xe2!\xbc\x33\0\0\0\0IEND\xae\x42\x60\x82",
            67);

    // An engine of the suite, or why it cannot run here.
    struct EngineStart {
        std::unique_ptr<PageEngine> engine;
        std::string missing;
    };

    EngineStart StartEngine(const std::string& name)
    {
        const cli::EngineEntry* entry = cli::FindEngine(name);
        if (!entry)
            return { nullptr, "no engine is called " + name };
        std::string why;
        if (!entry->available(why))
            return { nullptr, why };
        try {
            return { entry->create(), {} };
        } catch (const std::exception& error) {
            return { nullptr, name + " cannot start: " + error.what() };
        }
    }

    // What the capture shows, recorded; pumping lets the engine run, as the window's message loop
    // does.
    class RecordingFrontEnd : public capture::FrontEnd {
    public:
        explicit RecordingFrontEnd(PageEngine& engine)
            : m_engine(engine)
        {
        }
        void AddResultLine(const std::string& message) override { results.push_back(message); }
        void SetStatusText(const std::string&) override { }
        void AddLogLine(const std::string&) override { }
        void PumpMessages() override { m_engine.ProcessEvents(std::chrono::milliseconds(0)); }
        void ShowMessage(const std::string& message) override { messages.push_back(message); }

        Lines results;
        Lines messages;

    private:
        PageEngine& m_engine;
    };

    class EngineConformance : public ::testing::TestWithParam<std::string> {
    protected:
        void SetUp() override
        {
            EngineStart start = StartEngine(GetParam());
            if (!start.engine)
                GTEST_SKIP() << start.missing;
            m_engine = std::move(start.engine);
            m_frontEnd = std::make_unique<RecordingFrontEnd>(*m_engine);
            capture::BindFrontEnd(m_frontEnd.get());
            capture::SaveDir = m_folder.Path().string();
            engine::EngineCache::ForThisRun().Clear();
            m_engine->SetDocumentCompleteHandler(
                [this](const engine::ObjectPtr& browser, const std::string&) {
                    if (browser == m_engine->Application())
                        m_complete = true;
                });
        }

        void TearDown() override
        {
            capture::BindFrontEnd(nullptr);
            if (m_engine)
                m_engine->SetDocumentCompleteHandler(nullptr);
        }

        // Loads address until the top-level document completes, then captures it.
        bool Capture(const std::string& address)
        {
            m_complete = false;
            m_engine->Navigate(address);
            // A guard against a hang, far above any load of these tests.
            for (int round = 0; round < 2400 && !m_complete; ++round)
                m_engine->ProcessEvents(std::chrono::milliseconds(50));
            EXPECT_TRUE(m_complete) << "no completion for " << address;
            return capture::CapturePage(*m_engine);
        }

        fs::path CaptureRoot() const { return m_folder.Path() / capture::CaptureFolder; }

        // The result lines with the capture folder's path written as "<capture>".
        Lines Results() const
        {
            std::string root = CaptureRoot().string();
            Lines lines;
            for (std::string line : m_frontEnd->results) {
                for (auto at = line.find(root); at != std::string::npos; at = line.find(root))
                    line.replace(at, root.size(), "<capture>");
                lines.push_back(line);
            }
            return lines;
        }

        std::string Saved(const std::string& file) const { return ReadFileBytes(CaptureRoot() / file); }

        TemporaryFolder m_folder;
        std::unique_ptr<PageEngine> m_engine;
        std::unique_ptr<RecordingFrontEnd> m_frontEnd;
        bool m_complete = false;
    };

    bool RunsScripts(const std::string& engine)
    {
        return engine != "static";
    }

    TEST_P(EngineConformance, TwoHostPageWithACrossOriginFrameIsSavedTheSameWay)
    {
        TestServer a("127.0.0.1");
        TestServer b("127.0.0.2");
        a.Serve("/site/index.html",
            "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Two hosts</title>\n"
            "<link rel=\"stylesheet\" href=\"css/site.css\">\n<script src=\"js/site.js\"></script>\n"
            "</head><body>\n<!-- <img src=\"img/commented.png\"> -->\n<img src=\"img/a.png\" alt=\"a\">\n"
            "<img src=\""
                + b.Url("/img/b.png") + "\">\n<iframe src=\"" + b.Url("/frame/inner.html")
                + "\"></iframe>\n</body></html>\n");
        a.Serve("/site/css/site.css", "body { background: white }", "text/css");
        a.Serve("/site/js/site.js", "var site = 1;", "text/javascript");
        a.Serve("/site/img/a.png", kPng + "a", "image/png");
        a.Serve("/site/img/commented.png", kPng + "c", "image/png");
        b.Serve("/img/b.png", kPng + "b", "image/png");
        b.Serve("/frame/inner.html",
            "<html><head><link rel=\"stylesheet\" href=\"" + a.Url("/site/css/site.css")
                + "\"></head><body><img src=\"pic/c.png\"><img src=\"/img/b.png\"></body></html>");
        b.Serve("/frame/pic/c.png", kPng + "frame", "image/png");

        ASSERT_TRUE(Capture(a.Url("/site/index.html")));

        EXPECT_EQ(ListFiles(CaptureRoot()),
            (Lines { "127.0.0.1/site/css/site.css", "127.0.0.1/site/img/a.png", "127.0.0.1/site/index.html",
                "127.0.0.1/site/js/site.js", "127.0.0.2/frame/inner.html", "127.0.0.2/frame/pic/c.png",
                "127.0.0.2/img/b.png" }));
        EXPECT_EQ(Results(),
            (Lines { "网页文件“<capture>/127.0.0.1/site/index.html”保存完成。",
                "保存CSS文件：<capture>/127.0.0.1/site/css/site.css",
                "保存JS文件：<capture>/127.0.0.1/site/js/site.js",
                "保存图片文件：<capture>/127.0.0.1/site/img/a.png",
                "保存图片文件：<capture>/127.0.0.2/img/b.png",
                "网页文件“<capture>/127.0.0.2/frame/inner.html”保存完成。",
                "保存图片文件：<capture>/127.0.0.2/frame/pic/c.png" }))
            << "engine " << GetParam();
        EXPECT_EQ(Saved("127.0.0.1/site/css/site.css"), "body { background: white }");
        EXPECT_EQ(Saved("127.0.0.1/site/js/site.js"), "var site = 1;");
        EXPECT_EQ(Saved("127.0.0.1/site/img/a.png"), kPng + "a");
        EXPECT_EQ(Saved("127.0.0.2/img/b.png"), kPng + "b");
        EXPECT_EQ(Saved("127.0.0.2/frame/pic/c.png"), kPng + "frame");
        // Whatever the engine serialises, the documents are there, frame included.
        EXPECT_NE(Saved("127.0.0.1/site/index.html").find("<title>Two hosts</title>"), std::string::npos);
        EXPECT_NE(Saved("127.0.0.2/frame/inner.html").find("pic/c.png"), std::string::npos);
        EXPECT_EQ(m_frontEnd->messages, Lines {});
    }

    TEST_P(EngineConformance, GbkPageIsSavedInGbk)
    {
        TestServer server;
        // "中文网页" (title) and "你好，世界" (text) in GBK.
        const std::string title = "\xD6\xD0\xCE\xC4\xCD\xF8\xD2\xB3";
        const std::string text = "\xC4\xE3\xBA\xC3\xA3\xAC\xCA\xC0\xBD\xE7";
        server.Serve("/gbk/page.html",
            "<html><head><meta charset=\"gbk\"><title>" + title + "</title></head><body><p>" + text
                + "</p><img src=\"logo.png\"></body></html>",
            "text/html");
        server.Serve("/gbk/logo.png", kPng, "image/png");

        ASSERT_TRUE(Capture(server.Url("/gbk/page.html")));

        std::string saved = Saved("127.0.0.1/gbk/page.html");
        EXPECT_NE(saved.find("<title>" + title + "</title>"), std::string::npos) << saved;
        EXPECT_NE(saved.find("<p>" + text + "</p>"), std::string::npos) << saved;
        EXPECT_EQ(Results(),
            (Lines { "网页文件“<capture>/127.0.0.1/gbk/page.html”保存完成。",
                "保存图片文件：<capture>/127.0.0.1/gbk/logo.png" }));
    }

    TEST_P(EngineConformance, ImageThePagesScriptAddsIsSavedByEnginesThatRunScripts)
    {
        TestServer server;
        server.Serve("/page.html",
            "<html><body><img src=\"first.png\"><script>window.addEventListener('load', function () {"
            " var image = document.createElement('img'); image.src = 'late.png'; "
            "document.body.appendChild(image);"
            " });</script></body></html>");
        server.Serve("/first.png", kPng + "first", "image/png");
        server.Serve("/late.png", kPng + "late", "image/png");

        ASSERT_TRUE(Capture(server.Url("/page.html")));

        Lines expected = { "网页文件“<capture>/127.0.0.1/page.html”保存完成。",
            "保存图片文件：<capture>/127.0.0.1/first.png" };
        if (RunsScripts(GetParam())) {
            expected.push_back("保存图片文件：<capture>/127.0.0.1/late.png");
            EXPECT_EQ(Saved("127.0.0.1/late.png"), kPng + "late");
        }
        EXPECT_EQ(Results(), expected);
    }

    TEST_P(EngineConformance, UnreachableAddressShowsTheErrorPageAndSavesNothing)
    {
        ASSERT_FALSE(Capture("http://nosuchhost.invalid/page.html"));

        EXPECT_EQ(m_frontEnd->results, Lines { "网页不存在，或是网址不符合标准，停止下载。" });
        EXPECT_TRUE(fs::is_empty(m_folder.Path()));
    }

    INSTANTIATE_TEST_SUITE_P(Engines, EngineConformance, ::testing::Values("static", "chromium", "webkit"),
        [](const ::testing::TestParamInfo<std::string>& engineName) { return engineName.param; });

} // namespace
} // namespace pagestow::conformance

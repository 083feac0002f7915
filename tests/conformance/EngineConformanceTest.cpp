// One suite over every page engine: each loads the same pages from real servers on two loopback
// hosts, the capture saves them, and the saved files and the result lines must be the same whatever
// the engine. An engine whose program or library is missing here is skipped.

#include "CaptureFixture.h"

#include "capture/Capture.h"
#include "capture/CaptureState.h"
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

    using EngineConformance = CaptureFixture;

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
        if (RunsScripts()) {
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

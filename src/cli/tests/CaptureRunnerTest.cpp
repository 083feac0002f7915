#include "cli/CaptureRunner.h"
#include "capture/CaptureState.h"
#include "capture/SaveSequence.h"
#include "engine/EngineCache.h"
#include "engine/static/StaticEngine.h"

#include "support/TemporaryFolder.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

namespace pagestow::cli {
namespace {
    using testing::ListFiles;
    using testing::ReadFileBytes;
    using testing::TemporaryFolder;
    using testing::TestServer;

    std::vector<std::string> Lines(const std::string& text)
    {
        std::vector<std::string> lines;
        std::istringstream stream(text);
        for (std::string line; std::getline(stream, line);)
            lines.push_back(line);
        return lines;
    }

    class CaptureRunnerTest : public ::testing::Test {
    protected:
        static void SetUpTestSuite()
        {
            // The engine cache of this test program lives in a scratch folder.
            static TemporaryFolder cacheRoot;
            setenv("PAGESTOW_CACHE_DIR", cacheRoot.Path().c_str(), 1);
        }

        int Run(const std::vector<std::string>& addresses,
            TerminalFrontEnd::Verbosity verbosity = TerminalFrontEnd::Verbosity::Quiet)
        {
            auto engine = engine::CreateStaticEngine();
            TerminalFrontEnd frontEnd(m_out, m_err, verbosity, TerminalFrontEnd::ProgressLine::Off);
            capture::CaptureSettings settings;
            settings.saveDir = m_saveDir.Path().string();
            CaptureRunner runner(*engine, frontEnd, settings, std::chrono::seconds(10));
            return runner.Run(addresses, [this](const AddressResult& result) {
                if (!result.captureFolder.empty())
                    m_captureFolder = result.captureFolder.substr(result.captureFolder.rfind('/') + 1);
            });
        }

        // The capture folder of the last page taken ("" before the first).
        std::string CaptureRoot() const { return m_saveDir.Path().string() + "/" + m_captureFolder; }

        std::string m_captureFolder;

        TemporaryFolder m_saveDir;
        std::ostringstream m_out;
        std::ostringstream m_err;
    };

    TEST_F(CaptureRunnerTest, CapturesAPageWithTheWindowsTexts)
    {
        TestServer server;
        server.Serve("/news/page.htm", "<link rel=stylesheet href=s.css><img src=/img/a.gif>");
        server.Serve("/news/s.css", "p{}", "text/css");
        server.Serve("/img/a.gif", "GIF", "image/gif");
        EXPECT_EQ(Run({ "  " + server.Url("/news/page.htm") + "\t" }), 0);
        ASSERT_EQ(m_captureFolder.size(), 18u);
        std::string root = CaptureRoot();
        std::string saveDir = m_saveDir.Path().string();
        EXPECT_EQ(Lines(m_out.str()),
            (std::vector<std::string> {
                "保存到：" + saveDir,
                "开始下载页面...",
                "页面下载完成。",
                "开始解析页面...",
                "网页文件“" + root + "/127.0.0.1/news/page.htm”保存完成。",
                "保存CSS文件：" + root + "/127.0.0.1/news/s.css",
                "保存图片文件：" + root + "/127.0.0.1/img/a.gif",
                "页面解析完成。",
                "双击打开保存的目录！",
            }));
        EXPECT_EQ(m_err.str(), "");
        EXPECT_EQ(ListFiles(root),
            (std::vector<std::string> {
                "127.0.0.1/img/a.gif", "127.0.0.1/news/page.htm", "127.0.0.1/news/s.css" }));
        EXPECT_EQ(ReadFileBytes(root + "/127.0.0.1/news/s.css"), "p{}");
    }

    TEST_F(CaptureRunnerTest, VerboseAddsStatusTextsAndLogLinesOnTheErrorStream)
    {
        TestServer server;
        server.Serve("/p.htm", "<link rel=stylesheet href=css/s.css>");
        server.Serve("/css/s.css", "p{}", "text/css");
        EXPECT_EQ(Run({ server.Url("/p.htm") }, TerminalFrontEnd::Verbosity::Verbose), 0);
        std::string root = CaptureRoot();
        EXPECT_EQ(Lines(m_err.str()),
            (std::vector<std::string> {
                " 开始下载页面...",
                " 页面下载完成。",
                " 开始解析页面...",
                " 网页文件“" + root + "/127.0.0.1/p.htm”保存完成。",
                "link:相对地址",
                "保存CSS文件：" + root + "/127.0.0.1/css/s.css",
                " 页面解析完成。",
            }));
    }

    TEST_F(CaptureRunnerTest, BlankAddressIsRefusedWithoutLoading)
    {
        EXPECT_EQ(Run({ " \t\r\n" }, TerminalFrontEnd::Verbosity::Verbose), 1);
        EXPECT_EQ(m_out.str(), "");
        EXPECT_EQ(m_err.str(),
            " 请输入网址...\n请输入要保存的网址...\npagestow-cli: \" \\t\\r\\n\": the address is blank\n");
        EXPECT_TRUE(ListFiles(m_saveDir.Path()).empty());
    }

    TEST_F(CaptureRunnerTest, UnreachableAndBlankPagesAreRejectedAndNothingIsWritten)
    {
        int refused = testing::RefusedPort();
        const std::string saveDir = m_saveDir.Path().string();
        EXPECT_EQ(Run({ "127.0.0.1:" + std::to_string(refused), "about:blank" }), 1);
        EXPECT_EQ(Lines(m_out.str()),
            (std::vector<std::string> {
                "保存到：" + saveDir,
                "开始下载页面...",
                "页面下载完成。",
                "开始解析页面...",
                "网页不存在，或是网址不符合标准，停止下载。",
                "保存到：" + saveDir,
                "开始下载页面...",
            }));
        // After the system's message, one line of ours each, naming the address and the cause.
        std::vector<std::string> err = Lines(m_err.str());
        ASSERT_EQ(err.size(), 4u) << m_err.str();
        EXPECT_EQ(err[0], " 网页不存在，或是网址不符合标准，停止下载。");
        EXPECT_EQ(err[1].rfind("pagestow-cli: 127.0.0.1:" + std::to_string(refused) + ": ", 0), 0u) << err[1];
        EXPECT_EQ(err[2], " 网页不存在，或是网址不符合标准，停止下载。");
        EXPECT_EQ(err[3], "pagestow-cli: about:blank: the page loaded is blank (about:blank)");
        EXPECT_TRUE(ListFiles(m_saveDir.Path()).empty());
        EXPECT_EQ(m_captureFolder, "");
    }

    TEST_F(CaptureRunnerTest, OneFailedAddressDoesNotStopTheOthers)
    {
        TestServer server;
        server.Serve("/a.htm", "<p>a</p>");
        EXPECT_EQ(Run({ "", server.Url("/a.htm") }), 1);
        EXPECT_EQ(ListFiles(CaptureRoot()), std::vector<std::string> { "127.0.0.1/a.htm" });
    }

    TEST(SaveAddress, DropsCharactersUpToCode32OnBothEndsAndRefusesABlankOne)
    {
        std::vector<std::string> notices;
        auto notice = [&](std::string_view text) { notices.emplace_back(text); };
        std::ostringstream out;
        std::ostringstream err;
        TerminalFrontEnd frontEnd(
            out, err, TerminalFrontEnd::Verbosity::Quiet, TerminalFrontEnd::ProgressLine::Off);
        EXPECT_EQ(capture::SaveAddress(std::string("\0\x01 a b\x1f\x20", 7), notice, frontEnd), "a b");
        EXPECT_EQ(capture::SaveAddress("\xE4\xB8\xAD", notice, frontEnd), "\xE4\xB8\xAD");
        EXPECT_TRUE(notices.empty());
        EXPECT_EQ(capture::SaveAddress("   ", notice, frontEnd), std::nullopt);
        EXPECT_EQ(notices, std::vector<std::string> { "请输入要保存的网址..." });
    }

    TEST(ProgressText, ShowsFilesAndSize)
    {
        EXPECT_EQ(ProgressText({ 7, 3, 12800 }), " 正在下载：3/7 个文件，12.5 KB");
        EXPECT_EQ(ProgressText({ 1, 1, 3 * 1024 * 1024 }), " 正在下载：1/1 个文件，3.0 MB");
    }

    TEST(ProgressText, NamesTheScreensScrolledAndTheBoundThatStoppedThem)
    {
        using Bound = engine::LoadProgress::ScrollBound;
        EXPECT_EQ(ProgressText({ 7, 3, 12800, 4 }), " 正在下载：3/7 个文件，12.5 KB，滚动 4/50 屏");
        EXPECT_EQ(ProgressText({ 9, 9, 12800, 50, Bound::Screens }),
            " 正在下载：9/9 个文件，12.5 KB，滚动 50/50 屏（已到 50 屏上限）");
        EXPECT_EQ(ProgressText({ 9, 9, 12800, 31, Bound::Time }),
            " 正在下载：9/9 个文件，12.5 KB，滚动 31/50 屏（已到 20 秒上限）");
    }

} // namespace
} // namespace pagestow::cli

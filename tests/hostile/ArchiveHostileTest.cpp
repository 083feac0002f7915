// A hostile server's answers in the run's archive: a header of a thousand lines, a header of a
// megabyte, NUL and CR inside values, a status line of garbage, a brotli bomb and a cut gzip stream
// give well-formed records or none, with every engine, and nothing is written beside the archive but
// the capture.

#include "archive/tests/WarcTestSupport.h"
#include "cli/ChildProcess.h"
#include "hostile/RawResponseServer.h"
#include "support/Gzip.h"
#include "support/TemporaryFolder.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

namespace pagestow::hostile {
namespace {

    namespace fs = std::filesystem;

    std::string Answer(const std::string& head, const std::string& body)
    {
        return head + "Content-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    }

    class ArchiveHostile : public ::testing::TestWithParam<std::string> {
    protected:
        void SetUp() override
        {
            if (GetParam() == "chromium" && ::access("/usr/lib/chromium/chromium", X_OK) != 0)
                GTEST_SKIP() << "Chromium is not installed";
            if (GetParam() == "webkit"
                && (!std::getenv("DISPLAY") || !fs::exists(fs::path(PAGESTOW_CLI_PROGRAM).parent_path() / "engines/libpagestow-engine-webkit.so")))
                GTEST_SKIP() << "the webkit engine needs its module and a display";
        }
    };

    TEST_P(ArchiveHostile, HostileAnswersGiveWellFormedRecordsOrNone)
    {
        RawResponseServer server;
        const std::string gif = "GIF89a-hostile";
        std::string manyLines = "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\n";
        for (int i = 0; i < 1000; ++i)
            manyLines += "X-Line-" + std::to_string(i) + ": v\r\n";
        std::string cut = testing::Gzip(std::string(20000, 'c'));
        cut.resize(cut.size() / 2);
        server.Serve("/page.htm",
            Answer("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n",
                "<html><body><img src=many.gif><img src=huge.gif><img src=controls.gif><img src=garbage.gif>"
                "<img src=bomb.gif><img src=cut.gif></body></html>"));
        server.Serve("/many.gif", Answer(manyLines, gif));
        server.Serve("/huge.gif",
            Answer("HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nX-Huge: " + std::string(1 << 20, 'h') + "\r\n", gif));
        static const char kControls[] = "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nX-Nul: a\0b\r\nX-Cr: a\rb\r\n";
        server.Serve("/controls.gif", Answer(std::string(kControls, sizeof kControls - 1), gif));
        server.Serve("/garbage.gif", Answer("HTTP/1.1 2x0 \x01\x02 garbage\r\nContent-Type: image/gif\r\n", gif));
        server.Serve("/bomb.gif",
            Answer("HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Encoding: br\r\n",
                testing::Brotli(gif + std::string(8 << 20, '\0'))));
        server.Serve("/cut.gif", Answer("HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nContent-Encoding: gzip\r\n", cut));

        testing::TemporaryFolder save;
        testing::TemporaryFolder scratch;
        testing::ChildResult run = testing::RunProgram(PAGESTOW_CLI_PROGRAM,
            { "--engine", GetParam(), "--timeout", "20", "--warc-file", "run", server.Url("/page.htm") },
            save.Path().string(),
            { { "XDG_CACHE_HOME", scratch.Path().string() }, { "http_proxy", "" }, { "all_proxy", "" } });
        ASSERT_LE(run.status, 1) << run.err;

        archive::testing::ReadBack back = archive::testing::ReadMembers(save.Path() / "run.warc.gz");
        EXPECT_FALSE(back.cutAtEnd);
        bool page = false;
        for (const archive::testing::ReadRecord& record : back.records) {
            std::string target = record.Field("WARC-Target-URI");
            EXPECT_EQ(record.Field("WARC-Block-Digest"), archive::testing::Sha1Digest(record.block)) << target;
            page = page || target == server.Url("/page.htm");
            if (record.Field("Content-Type").rfind("application/http", 0) != 0)
                continue;
            // Every line of an HTTP head ends with CRLF and holds no other CR, no LF and no NUL.
            auto [head, body] = archive::testing::SplitHttp(record.block);
            std::size_t at = 0;
            while (at < head.size()) {
                std::size_t end = head.find("\r\n", at);
                ASSERT_NE(end, std::string::npos) << target;
                std::string line = head.substr(at, end - at);
                EXPECT_EQ(line.find_first_of(std::string("\r\n\0", 3)), std::string::npos) << target;
                at = end + 2;
            }
            if (record.Field("WARC-Type") == "response" && record.Field("WARC-Truncated").empty()
                && record.block.find("Content-Length: ") != std::string::npos) {
                std::size_t length = record.block.find("Content-Length: ");
                EXPECT_EQ(std::stoull(record.block.substr(length + 16)), body.size()) << target;
            }
        }
        EXPECT_TRUE(page);
        // Only the capture folder and the archive.
        for (const auto& entry : fs::directory_iterator(save.Path())) {
            std::string name = entry.path().filename().string();
            EXPECT_TRUE(name == "run.warc.gz" || name.rfind("qzwd_", 0) == 0) << name;
        }
    }

    INSTANTIATE_TEST_SUITE_P(Engines, ArchiveHostile, ::testing::Values("static", "chromium", "webkit"));

} // namespace
} // namespace pagestow::hostile

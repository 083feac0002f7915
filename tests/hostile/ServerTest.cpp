// Servers that misbehave: bodies past the size limit, bodies that never end, servers that never
// answer, redirects that never arrive, pages of very many images, frames nested deeply or loading
// their own parents. Each page is captured in-process the way Save captures it.

#include "hostile/HostileCapture.h"
#include "support/TestServer.h"

#include <thread>

namespace pagestow::hostile {
namespace {
    using namespace std::chrono_literals;
    using testing::ReadFileBytes;
    using testing::SilentServer;
    using testing::TestServer;

    constexpr std::uint64_t kSmallCap = 64 * 1024;

    // A body of size bytes that differs from every other one of the same size.
    std::string Filler(size_t size, char seed)
    {
        std::string bytes(size, seed);
        for (size_t i = 0; i < size; i += 97)
            bytes[i] = char('a' + i % 26);
        return bytes;
    }

    // Answers with a chunked body of total bytes (endless when total is 0), pieces of piece bytes,
    // waiting pause before each; stops when the client has gone.
    TestServer::Handler Chunked(std::string contentType, std::string head, size_t piece, size_t total,
        std::chrono::milliseconds pause = 0ms)
    {
        return [=](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider(
                contentType, [=, sent = size_t(0)](size_t, httplib::DataSink& sink) mutable {
                    if (pause.count() > 0)
                        std::this_thread::sleep_for(pause);
                    if (sent == 0 && !head.empty()) {
                        sent = head.size();
                        return sink.write(head.data(), head.size());
                    }
                    if (total != 0 && sent >= total) {
                        sink.done();
                        return true;
                    }
                    std::string bytes = Filler(total != 0 ? std::min(piece, total - sent) : piece, 'x');
                    sent += bytes.size();
                    return sink.write(bytes.data(), bytes.size());
                });
        };
    }

    class HostileServer : public ::testing::TestWithParam<EngineKind> {
    protected:
        void SetUp() override
        {
            if (!EngineAvailable(GetParam()))
                GTEST_SKIP() << GetParam() << " is not installed";
        }
    };

    TEST(StaticEngineLimits, ResourcesPastTheSizeLimitAreNotSavedAndTheRestIs)
    {
        TestServer server;
        server.Serve("/page.htm",
            "<html><body><img src=big.gif><img src=chunked.gif><img src=small.gif></body></html>");
        server.Serve("/big.gif", Filler(kSmallCap + 1, 'b'), "image/gif");
        server.Handle("/chunked.gif", Chunked("image/gif", "GIF89a", 4096, 0));
        server.Serve("/small.gif", Filler(kSmallCap, 's'), "image/gif");
        engine::StaticEngineOptions options;
        options.maxBodyBytes = kSmallCap;
        CaptureHarness harness(EngineKind::Static, options);

        CaptureResult result = harness.Capture(server.Url("/page.htm"));

        ASSERT_TRUE(result.completed);
        EXPECT_TRUE(result.accepted);
        EXPECT_TRUE(SameLines(result.lines,
            harness.Expand(Join({ DocumentLines("{R}/127.0.0.1/page.htm"),
                ResourceLines(kImageReport, "{R}/127.0.0.1/small.gif") }))));
        EXPECT_EQ(
            harness.Written(), (std::vector<std::string> { "127.0.0.1/page.htm", "127.0.0.1/small.gif" }));
        EXPECT_TRUE(
            SameBytes(ReadFileBytes(harness.Root() + "/127.0.0.1/small.gif"), Filler(kSmallCap, 's')));
    }

    // A document past the limit shows what arrived up to the limit, whether the server announced its
    // length or sent it in chunks without end.
    TEST(StaticEngineLimits, DocumentPastTheSizeLimitKeepsItsFirstBytes)
    {
        const std::string head = "<html><body><img src=small.gif><!--";
        const std::string whole = head + Filler(4 * kSmallCap, 'd') + "--></body></html>";
        TestServer server;
        server.Serve("/known.htm", whole);
        server.Handle("/endless.htm", Chunked("text/html", head, 8000, 0));
        server.Serve("/small.gif", "GIF89a", "image/gif");
        engine::StaticEngineOptions options;
        options.maxBodyBytes = kSmallCap;

        for (const char* path : { "/known.htm", "/endless.htm" }) {
            SCOPED_TRACE(path);
            CaptureHarness harness(EngineKind::Static, options);
            CaptureResult result = harness.Capture(server.Url(path));
            ASSERT_TRUE(result.completed);
            EXPECT_TRUE(result.accepted);
            const std::string file = std::string("{R}/127.0.0.1") + path;
            EXPECT_TRUE(SameLines(result.lines,
                harness.Expand(
                    Join({ DocumentLines(file), ResourceLines(kImageReport, "{R}/127.0.0.1/small.gif") }))));
            std::string expected = path == std::string("/known.htm") ? whole : head;
            while (expected.size() < kSmallCap)
                expected += Filler(8000, 'x');
            EXPECT_TRUE(SameBytes(
                ReadFileBytes(harness.Root() + "/127.0.0.1" + path), expected.substr(0, kSmallCap)));
        }
    }

    TEST_P(HostileServer, BodyThatNeverEndsIsGivenUpAtTheLoadTimeout)
    {
        TestServer server;
        server.Serve("/page.htm", "<html><body><img src=drip.gif><img src=small.gif></body></html>");
        server.Handle("/drip.gif", Chunked("image/gif", "GIF89a", 1, 0, 50ms));
        server.Serve("/small.gif", "GIF89a-small", "image/gif");
        CaptureHarness harness(GetParam());

        CaptureResult result = harness.Capture(server.Url("/page.htm"), 2s);

        ASSERT_TRUE(result.completed);
        EXPECT_TRUE(result.accepted);
        EXPECT_TRUE(SameLines(result.lines,
            harness.Expand(Join({ DocumentLines("{R}/127.0.0.1/page.htm"),
                ResourceLines(kImageReport, "{R}/127.0.0.1/small.gif") }))));
        EXPECT_EQ(
            harness.Written(), (std::vector<std::string> { "127.0.0.1/page.htm", "127.0.0.1/small.gif" }));
    }

    TEST_P(HostileServer, PageFromAServerThatNeverAnswersIsTheErrorPage)
    {
        SilentServer silent;
        CaptureHarness harness(GetParam());

        CaptureResult result = harness.Capture(silent.Origin() + "/page.htm", 2s);

        ASSERT_TRUE(result.completed);
        EXPECT_FALSE(result.accepted);
        EXPECT_TRUE(SameLines(result.lines,
            std::vector<std::string>(std::begin(kPageNotFoundLines), std::end(kPageNotFoundLines))));
        EXPECT_FALSE(std::filesystem::exists(harness.SaveFolder()));
        EXPECT_GE(silent.Connections(), 1);
    }

    TEST_P(HostileServer, ResourcesAndFramesFromAServerThatNeverAnswersAreLeftOut)
    {
        SilentServer silent("127.0.0.2");
        TestServer server;
        // The script comes last: a browser stops reading the page at a script that has not arrived.
        server.Serve("/page.htm",
            "<html><body><img src='" + silent.Origin() + "/never.gif'><img src=small.gif><iframe src='"
                + silent.Origin() + "/frame.htm'></iframe><script src='" + silent.Origin()
                + "/never.js'></script></body></html>");
        server.Serve("/small.gif", "GIF89a-small", "image/gif");
        CaptureHarness harness(GetParam());

        CaptureResult result = harness.Capture(server.Url("/page.htm"), 2s);

        ASSERT_TRUE(result.completed);
        EXPECT_TRUE(result.accepted);
        std::vector<std::string> expected = Join({ DocumentLines("{R}/127.0.0.1/page.htm"),
            ResourceLines(kImageReport, "{R}/127.0.0.1/small.gif") });
        std::vector<std::string> files = { "127.0.0.1/page.htm", "127.0.0.1/small.gif" };
        // The built-in engine cannot reach a frame whose document never came. A browser may show the
        // empty document it starts every frame with, which is then saved as such.
        if (GetParam() == EngineKind::Chromium && result.lines.size() > expected.size()) {
            expected = Join({ expected, DocumentLines("{R}//about_blank/index.htm") });
            files.push_back("about_blank/index.htm");
        }
        EXPECT_TRUE(SameLines(result.lines, harness.Expand(expected)));
        EXPECT_EQ(harness.Written(), files);
    }

    TEST_P(HostileServer, RedirectLoopsEndInTheErrorPageOrAMissingResource)
    {
        TestServer server;
        server.Handle(
            "/loop/a", [](const httplib::Request&, httplib::Response& r) { r.set_redirect("/loop/b"); });
        server.Handle(
            "/loop/b", [](const httplib::Request&, httplib::Response& r) { r.set_redirect("/loop/a"); });
        server.Handle(
            "/self.gif", [](const httplib::Request&, httplib::Response& r) { r.set_redirect("/self.gif"); });
        server.Serve(
            "/page.htm", "<html><body><img src=/loop/a><img src=self.gif><img src=small.gif></body></html>");
        server.Serve("/small.gif", "GIF89a-small", "image/gif");
        CaptureHarness harness(GetParam());

        CaptureResult loop = harness.Capture(server.Url("/loop/a"));
        ASSERT_TRUE(loop.completed);
        EXPECT_FALSE(loop.accepted);
        EXPECT_TRUE(SameLines(loop.lines,
            std::vector<std::string>(std::begin(kPageNotFoundLines), std::end(kPageNotFoundLines))));

        CaptureResult page = harness.Capture(server.Url("/page.htm"));
        ASSERT_TRUE(page.completed);
        EXPECT_TRUE(page.accepted);
        EXPECT_TRUE(SameLines(page.lines,
            harness.Expand(Join({ DocumentLines("{R}/127.0.0.1/page.htm"),
                ResourceLines(kImageReport, "{R}/127.0.0.1/small.gif") }))));
        EXPECT_EQ(
            harness.Written(), (std::vector<std::string> { "127.0.0.1/page.htm", "127.0.0.1/small.gif" }));
    }

    TEST(StaticEngineLimits, TenThousandImagesAreEachSavedOnce)
    {
        constexpr int kImages = 10'000;
        TestServer server;
        std::string page = "<html><body>";
        std::vector<std::string> expectedLines = DocumentLines("{R}/127.0.0.1/page.htm");
        std::vector<std::string> expectedFiles;
        for (int i = 0; i < kImages; ++i) {
            std::string path = "/img/" + std::to_string(i % 100) + "/" + std::to_string(i) + ".gif";
            server.Serve(path, "GIF89a" + path, "image/gif");
            page += "<img src=" + path.substr(1) + "><img src=" + path + ">";
            auto lines = ResourceLines(kImageReport, "{R}/127.0.0.1" + path);
            expectedLines.insert(expectedLines.end(), lines.begin(), lines.end());
            expectedFiles.push_back("127.0.0.1" + path);
        }
        server.Serve("/page.htm", page + "</body></html>");
        expectedFiles.push_back("127.0.0.1/page.htm");
        std::sort(expectedFiles.begin(), expectedFiles.end());
        CaptureHarness harness(EngineKind::Static);

        CaptureResult result = harness.Capture(server.Url("/page.htm"), 120s);

        ASSERT_TRUE(result.completed);
        EXPECT_TRUE(result.accepted);
        EXPECT_TRUE(SameLines(result.lines, harness.Expand(expectedLines)));
        EXPECT_EQ(harness.Written(), expectedFiles);
        EXPECT_EQ(ReadFileBytes(harness.Root() + "/127.0.0.1/img/99/9999.gif"), "GIF89a/img/99/9999.gif");
        // Each image was requested once, though the page names it twice.
        EXPECT_EQ(server.RequestCount("/img/42/4242.gif"), 1);
    }

    TEST_P(HostileServer, FrameThatLoadsItsOwnParentIsNotLoadedAgain)
    {
        TestServer server;
        server.Serve("/p/a.htm", "<html><body><img src=a.gif><iframe src=b.htm></iframe></body></html>");
        server.Serve("/p/b.htm",
            "<html><body><img src=b.gif><iframe src=a.htm></iframe><iframe "
            "src=b.htm></iframe></body></html>");
        server.Serve("/p/a.gif", "GIF89a-a", "image/gif");
        server.Serve("/p/b.gif", "GIF89a-b", "image/gif");
        CaptureHarness harness(GetParam());

        CaptureResult result = harness.Capture(server.Url("/p/a.htm"));

        ASSERT_TRUE(result.completed);
        EXPECT_TRUE(result.accepted);
        const std::vector<std::string> once = harness.Expand(Join({ DocumentLines("{R}/127.0.0.1/p/a.htm"),
            ResourceLines(kImageReport, "{R}/127.0.0.1/p/a.gif"), DocumentLines("{R}/127.0.0.1/p/b.htm"),
            ResourceLines(kImageReport, "{R}/127.0.0.1/p/b.gif") }));
        if (GetParam() == EngineKind::Static) {
            // Both frames of b.htm name an ancestor: neither is loaded.
            EXPECT_TRUE(SameLines(result.lines, once));
            EXPECT_EQ(server.RequestCount("/p/a.htm"), 1);
            EXPECT_EQ(server.RequestCount("/p/b.htm"), 1);
            return;
        }
        // A browser lets an ancestor's address load once more inside itself and shows an empty document
        // below that; the recursion ends, and every copy of a document is written to the same file.
        ASSERT_GE(result.lines.size(), once.size());
        EXPECT_TRUE(SameLines(
            std::vector<std::string>(result.lines.begin(), result.lines.begin() + once.size()), once));
        const std::vector<std::string> documents
            = harness.Expand(Join({ DocumentLines("{R}/127.0.0.1/p/a.htm"),
                DocumentLines("{R}/127.0.0.1/p/b.htm"), DocumentLines("{R}//about_blank/index.htm") }));
        for (size_t i = once.size(); i < result.lines.size(); ++i) {
            EXPECT_NE(std::find(documents.begin(), documents.end(), result.lines[i]), documents.end())
                << result.lines[i];
        }
        EXPECT_LE(server.RequestCount("/p/a.htm"), 3);
        EXPECT_LE(server.RequestCount("/p/b.htm"), 3);
    }

    INSTANTIATE_TEST_SUITE_P(
        Engines, HostileServer, ::testing::Values(EngineKind::Static, EngineKind::Chromium), EngineName);

} // namespace
} // namespace pagestow::hostile

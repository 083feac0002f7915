// Large bodies arrive in pieces over time, and an engine must put every piece of the right body in
// order (the built-in one streams them into its cache, Chromium hands each over whole once it has
// finished), keep small and large bodies of one page apart, and keep nothing of a body cut
// mid-stream. One page from a raw server that drips its bodies holds every case.

#include "hostile/HostileCapture.h"
#include "hostile/RawResponseServer.h"
#include "support/Gzip.h"

#include <cstdio>

namespace pagestow::hostile {
namespace {
    using namespace std::chrono_literals;
    using testing::Gzip;
    using testing::ReadFileBytes;

    constexpr const char* kStylesheetReport = "保存CSS文件：";
    constexpr RawResponseServer::Drip kDrip { 256u << 10, 20ms };

    // A 1 x 1 PNG followed by size bytes of its own (decoders skip what follows the picture), so that
    // the browser loads it to the end and no two bodies are alike.
    std::string Picture(std::size_t size, unsigned seed)
    {
        std::string bytes("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0\x1f\x15\xc4\x89"
                          "\0\0\0\rIDATx\x9c"
                          "c`\0\0\0\x02\0\x01\xe2!\xbc\x33\0\0\0\0IEND\xae\x42\x60\x82",
            67);
        for (std::size_t i = 0; i < size; ++i) {
            seed = seed * 1103515245u + 12345u;
            bytes += char(seed >> 16);
        }
        return bytes;
    }

    std::string Text(const std::string& line, std::size_t size)
    {
        std::string text;
        for (std::size_t i = 0; text.size() < size; ++i)
            text += line + std::to_string(i) + "\n";
        return text;
    }

    std::string Response(const std::string& type, const std::string& headers, const std::string& body)
    {
        return "HTTP/1.1 200 OK\r\nContent-Type: " + type + "\r\nConnection: close\r\n" + headers + "\r\n"
            + body;
    }

    std::string Length(std::size_t size)
    {
        return "Content-Length: " + std::to_string(size) + "\r\n";
    }

    // The body in chunks of 64 KiB; without its last chunk when cut.
    std::string Chunked(const std::string& body, bool cut = false)
    {
        std::string chunked;
        for (std::size_t at = 0; at < body.size(); at += 64u << 10) {
            std::string piece = body.substr(at, 64u << 10);
            char size[16];
            std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
            chunked += size + piece + "\r\n";
        }
        return cut ? chunked : chunked + "0\r\n\r\n";
    }

    class BodyStream : public ::testing::TestWithParam<EngineKind> {
    protected:
        void SetUp() override
        {
            if (!EngineAvailable(GetParam()))
                GTEST_SKIP() << GetParam() << " is not installed";
        }
    };

    TEST_P(BodyStream, BodiesThatArriveInPiecesAreSavedExactlyAndCutOnesNot)
    {
        const std::string stylesheet = Text("p.line{color:#123456}/*", 2u << 20);
        const std::string script = Text("var line = ", 1536u << 10);
        const std::string small = Picture(100, 1);
        const std::string dripped = Picture(3u << 20, 2);
        const std::string cut = Picture(2u << 20, 3);
        const std::string twice = Picture(2u << 20, 4);
        RawResponseServer raw;
        // A coded stylesheet and a script of unknown length: both may be large, so both are streamed.
        raw.Serve("/big.css",
            Response("text/css", "Content-Encoding: gzip\r\n" + Length(Gzip(stylesheet).size()),
                Gzip(stylesheet)));
        raw.Serve("/big.js", Response("text/javascript", "Transfer-Encoding: chunked\r\n", Chunked(script)),
            RawResponseServer::After::Close, kDrip);
        raw.Serve("/small.png", Response("image/png", Length(small.size()), small));
        raw.Serve("/drip.png", Response("image/png", Length(dripped.size()), dripped),
            RawResponseServer::After::Close, kDrip);
        // Cut after two of its three megabytes, and a chunked body without its last chunk.
        raw.Serve("/cut.png", Response("image/png", Length(cut.size() + (1u << 20)), cut),
            RawResponseServer::After::Close, kDrip);
        raw.Serve("/cut-chunked.png",
            Response("image/png", "Transfer-Encoding: chunked\r\n", Chunked(cut, true)),
            RawResponseServer::After::Close, kDrip);
        // The same address twice at once: the image, and the page's own request that bypasses the cache.
        raw.Serve("/twice.png", Response("image/png", Length(twice.size()), twice),
            RawResponseServer::After::Close, kDrip);
        std::string page = "<html><head><link rel=stylesheet href=big.css><script src=big.js></script></head>"
                           "<body><img src=small.png><img src=drip.png><img src=cut.png>"
                           "<img src=cut-chunked.png><img src=twice.png>"
                           "<script>fetch('twice.png', { cache: 'no-store' })</script></body></html>";
        raw.Serve("/p.htm", Response("text/html", Length(page.size()), page));
        CaptureHarness harness(GetParam());

        CaptureResult result = harness.Capture(raw.Url("/p.htm"), 30s);

        ASSERT_TRUE(result.completed);
        EXPECT_TRUE(SameLines(result.lines,
            harness.Expand(Join({ DocumentLines("{R}/127.0.0.1/p.htm"),
                ResourceLines(kStylesheetReport, "{R}/127.0.0.1/big.css"),
                ResourceLines(kScriptReport, "{R}/127.0.0.1/big.js"),
                ResourceLines(kImageReport, "{R}/127.0.0.1/small.png"),
                ResourceLines(kImageReport, "{R}/127.0.0.1/drip.png"),
                ResourceLines(kImageReport, "{R}/127.0.0.1/twice.png") }))));
        const std::string folder = harness.Root() + "/127.0.0.1/";
        EXPECT_TRUE(SameBytes(ReadFileBytes(folder + "big.css"), stylesheet));
        EXPECT_TRUE(SameBytes(ReadFileBytes(folder + "big.js"), script));
        EXPECT_TRUE(SameBytes(ReadFileBytes(folder + "small.png"), small));
        EXPECT_TRUE(SameBytes(ReadFileBytes(folder + "drip.png"), dripped));
        EXPECT_TRUE(SameBytes(ReadFileBytes(folder + "twice.png"), twice));
    }

    INSTANTIATE_TEST_SUITE_P(
        Engines, BodyStream, ::testing::Values(EngineKind::Static, EngineKind::Chromium), EngineName);

} // namespace
} // namespace pagestow::hostile

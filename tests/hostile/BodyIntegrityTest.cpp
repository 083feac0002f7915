// Bodies a hostile server cuts short or damages are never kept as if whole: a Content-Length larger
// than the body before the connection closes, a bad or negative chunk size, a cut chunk, a gzip,
// deflate or brotli stream damaged inside or cut short of its Content-Length, a coded stream that
// ends at once with bytes after it. An empty body without a coding is whole. (A coded stream cut
// inside an HTTP message that is itself whole the browser decodes without an error; see
// docs/hostile-input.md.) Big bodies and huge documents pass whole.

#include "hostile/HostileCapture.h"
#include "hostile/RawResponseServer.h"
#include "support/Gzip.h"
#include "support/TestServer.h"

#include <cstdio>

namespace pagestow::hostile {
namespace {
    using testing::Brotli;
    using testing::Deflate;
    using testing::Gzip;
    using testing::ReadFileBytes;
    using testing::TestServer;

    const std::string kGif
        = "GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00,\x00\x00\x00\x00\x01\x00"
          "\x01\x00\x00\x02\x02\x44\x01\x00;";

    std::string Response(const std::string& headers, const std::string& body)
    {
        return "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nConnection: close\r\n" + headers + "\r\n"
            + body;
    }

    std::string Length(std::size_t size)
    {
        return "Content-Length: " + std::to_string(size) + "\r\n";
    }

    // A coded body whose bytes are damaged in the middle of the compressed data.
    std::string DamagedCoding(const std::string& coding, std::string coded)
    {
        for (std::size_t i = coded.size() / 3; i < coded.size() / 3 + 16; ++i)
            coded[i] = char(~coded[i]);
        return Response("Content-Encoding: " + coding + "\r\n" + Length(coded.size()), coded);
    }

    // A coded stream that ends at once, with the bytes of a picture after it.
    std::string EndedCoding(const std::string& coding, const std::string& coded)
    {
        std::string bytes = coded + kGif + std::string(2000, 'x');
        return Response("Content-Encoding: " + coding + "\r\n" + Length(bytes.size()), bytes);
    }

    // The same, in one chunk: no Content-Length tells that bytes travelled.
    std::string EndedChunked(const std::string& coding, const std::string& coded)
    {
        std::string bytes = coded + kGif + std::string(2000, 'x');
        char size[16];
        std::snprintf(size, sizeof size, "%zx", bytes.size());
        return Response("Content-Encoding: " + coding + "\r\nTransfer-Encoding: chunked\r\n",
            size + ("\r\n" + bytes) + "\r\n0\r\n\r\n");
    }

    class BodyIntegrity : public ::testing::TestWithParam<EngineKind> {
    protected:
        void SetUp() override
        {
            if (!EngineAvailable(GetParam()))
                GTEST_SKIP() << GetParam() << " is not installed";
        }
    };

    TEST_P(BodyIntegrity, BodiesCutShortOrDamagedAreNotSaved)
    {
        // Large enough that a cut falls inside the compressed data, and little repeated, so that the
        // compressed data is long.
        std::string image = kGif;
        unsigned seed = 7;
        for (int i = 0; i < 4000; ++i) {
            seed = seed * 1103515245u + 12345u;
            image += char('a' + (seed >> 16) % 26);
        }
        std::string gzip = Gzip(image);
        std::string deflate = Deflate(image, false);
        std::string brotli = Brotli(image);

        RawResponseServer raw;
        struct Case {
            const char* name;
            std::string response;
        } cases[] = {
            { "whole.gif", Response(Length(image.size()), image) },
            { "whole-gzip.gif", Response("Content-Encoding: gzip\r\n" + Length(gzip.size()), gzip) },
            { "short.gif", Response(Length(image.size() + 500), image) },
            { "bad-chunk-size.gif",
                Response("Transfer-Encoding: chunked\r\n",
                    "10\r\n" + image.substr(0, 16) + "\r\nzz\r\n" + image + "\r\n0\r\n\r\n") },
            { "cut-chunk.gif",
                Response("Transfer-Encoding: chunked\r\n", "1000\r\n" + image.substr(0, 100)) },
            { "whole-brotli.gif", Response("Content-Encoding: br\r\n" + Length(brotli.size()), brotli) },
            { "damaged-gzip.gif", DamagedCoding("gzip", gzip) },
            { "damaged-deflate.gif", DamagedCoding("deflate", deflate) },
            { "damaged-brotli.gif", DamagedCoding("br", brotli) },
            { "gzip-cut-short.gif",
                Response("Content-Encoding: gzip\r\n" + Length(gzip.size() + 100),
                    gzip.substr(0, gzip.size() / 2)) },
            { "negative-chunk-size.gif",
                Response("Transfer-Encoding: chunked\r\n",
                    "10\r\n" + image.substr(0, 16) + "\r\n-1\r\n" + image + "\r\n0\r\n\r\n") },
            { "empty.gif", Response(Length(0), "") },
            // Streams that end at once, followed by more bytes: a brotli stream whose first byte is one
            // empty last meta-block, an empty gzip member. The browser decodes them to nothing and drops
            // the rest.
            { "brotli-06.gif", EndedCoding("br", "\x06") },
            { "gzip-empty.gif", EndedCoding("gzip", Gzip("")) },
            { "brotli-06-chunked.gif", EndedChunked("br", "\x06") },
            { "gzip-empty-chunked.gif", EndedChunked("gzip", Gzip("")) },
        };
        std::string page = "<html><body>";
        for (const auto& item : cases) {
            raw.Serve(std::string("/") + item.name, item.response);
            page += "<img src=\"" + raw.Url(std::string("/") + item.name) + "\">";
        }
        TestServer server;
        server.Serve("/p.htm", page + "</body></html>");
        CaptureHarness harness(GetParam());

        CaptureResult result = harness.Capture(server.Url("/p.htm"));

        ASSERT_TRUE(result.completed);
        std::vector<std::string> expected = Join(
            { DocumentLines("{R}/127.0.0.1/p.htm"), ResourceLines(kImageReport, "{R}/127.0.0.1/whole.gif"),
                ResourceLines(kImageReport, "{R}/127.0.0.1/whole-gzip.gif") });
        // Two documented limits of the WebKit engine: the network layer below WebKit reads a chunk size
        // it cannot parse, or a negative one, as the last chunk, and so sees a whole body of 16 bytes;
        // and a picture WebKit keeps to itself is fetched again offering gzip and deflate only, so a
        // brotli body sent unasked is given up rather than stored undecoded.
        const bool webkit = GetParam() == EngineKind::WebKit;
        if (webkit) {
            expected = Join({ expected, ResourceLines(kImageReport, "{R}/127.0.0.1/bad-chunk-size.gif"),
                ResourceLines(kImageReport, "{R}/127.0.0.1/negative-chunk-size.gif") });
        } else {
            expected = Join({ expected, ResourceLines(kImageReport, "{R}/127.0.0.1/whole-brotli.gif") });
        }
        expected = Join({ expected, ResourceLines(kImageReport, "{R}/127.0.0.1/empty.gif") });
        EXPECT_TRUE(SameLines(result.lines, harness.Expand(expected)));
        EXPECT_TRUE(SameBytes(ReadFileBytes(harness.Root() + "/127.0.0.1/whole.gif"), image));
        EXPECT_TRUE(SameBytes(ReadFileBytes(harness.Root() + "/127.0.0.1/whole-gzip.gif"), image));
        EXPECT_TRUE(SameBytes(ReadFileBytes(harness.Root() + "/127.0.0.1/empty.gif"), ""));
        if (!webkit) {
            EXPECT_TRUE(SameBytes(ReadFileBytes(harness.Root() + "/127.0.0.1/whole-brotli.gif"), image));
        } else {
            EXPECT_TRUE(SameBytes(
                ReadFileBytes(harness.Root() + "/127.0.0.1/bad-chunk-size.gif"), image.substr(0, 16)));
            EXPECT_TRUE(SameBytes(
                ReadFileBytes(harness.Root() + "/127.0.0.1/negative-chunk-size.gif"), image.substr(0, 16)));
        }
    }

    TEST_P(BodyIntegrity, BodyThatUnpacksToTensOfMegabytesIsSavedWhole)
    {
        // 32 MiB that travel as about 32 KB.
        std::string image = kGif + std::string(32u << 20, '\0');
        std::string gzip = Gzip(image);
        TestServer server;
        server.Serve("/big.gif", gzip, "image/gif", 200, { { "Content-Encoding", "gzip" } });
        server.Serve("/p.htm", "<html><body><img src=\"big.gif\"></body></html>");
        CaptureHarness harness(GetParam());

        CaptureResult result = harness.Capture(server.Url("/p.htm"), std::chrono::seconds(60));

        ASSERT_TRUE(result.completed);
        EXPECT_TRUE(SameLines(result.lines,
            harness.Expand(Join({ DocumentLines("{R}/127.0.0.1/p.htm"),
                ResourceLines(kImageReport, "{R}/127.0.0.1/big.gif") }))));
        EXPECT_TRUE(SameBytes(ReadFileBytes(harness.Root() + "/127.0.0.1/big.gif"), image));
    }

    TEST_P(BodyIntegrity, HundredThousandElementsAndAThousandLevelsAreReadWhole)
    {
        std::string page = "<html><body>";
        for (int i = 0; i < 1000; ++i)
            page += "<div>";
        page += "<img src=\"deep.gif\">";
        for (int i = 0; i < 1000; ++i)
            page += "</div>";
        for (int i = 0; i < 100000; ++i)
            page += "<b></b>";
        page += "<img src=\"last.gif\"></body></html>";
        TestServer server;
        server.Serve("/p.htm", page);
        server.Serve("/deep.gif", kGif + "deep", "image/gif");
        server.Serve("/last.gif", kGif + "last", "image/gif");
        CaptureHarness harness(GetParam());

        CaptureResult result = harness.Capture(server.Url("/p.htm"), std::chrono::seconds(60));

        ASSERT_TRUE(result.completed);
        EXPECT_TRUE(SameLines(result.lines,
            harness.Expand(Join(
                { DocumentLines("{R}/127.0.0.1/p.htm"), ResourceLines(kImageReport, "{R}/127.0.0.1/deep.gif"),
                    ResourceLines(kImageReport, "{R}/127.0.0.1/last.gif") }))));
    }

    // The built-in engine has rules of its own for these bodies; this file holds the browser's.
    INSTANTIATE_TEST_SUITE_P(
        Engines, BodyIntegrity, ::testing::Values(EngineKind::Chromium, EngineKind::WebKit), EngineName);

} // namespace
} // namespace pagestow::hostile

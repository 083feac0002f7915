// Bodies a server cuts short or damages never reach the engine cache, whether WebKit hands the bytes
// out itself or the engine has to ask for them once more (a redirected picture).

#include "engine/webkit/tests/WebKitTestFixture.h"
#include "hostile/RawResponseServer.h"
#include "support/Gzip.h"

#include <cstdio>

namespace pagestow::engine::webkit {
namespace {

    using namespace pagestow::engine::webkit::tests;
    using pagestow::hostile::RawResponseServer;
    using pagestow::testing::Gzip;

    std::string Response(const std::string& headers, const std::string& body)
    {
        return "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\nConnection: close\r\n" + headers + "\r\n"
            + body;
    }

    std::string Length(std::size_t size)
    {
        return "Content-Length: " + std::to_string(size) + "\r\n";
    }

    // A picture long enough that a cut falls inside its compressed stream.
    std::string LongPicture()
    {
        std::string tail;
        for (int i = 0; i < 4000; ++i)
            tail += char('a' + i * 7 % 26);
        return Gif(tail);
    }

    std::string Hex(std::size_t value)
    {
        char text[32];
        std::snprintf(text, sizeof text, "%zx", value);
        return text;
    }

    // What the network layer below WebKit cannot tell from a whole body: a compressed stream cut
    // short, or followed by bytes after its end, in a body WebKit hands out (it decodes leniently,
    // gzip's first member only, and keeps no count of the bytes that travelled), and a chunk size it
    // reads as the last chunk.
    enum class Limit { None, HandedOut, Both };

    struct BodyCase {
        const char* name;
        std::string response;
        bool whole;
        Limit limit = Limit::None;
    };

    std::vector<BodyCase> BodyCases()
    {
        const std::string picture = LongPicture();
        const std::string gzip = Gzip(picture);
        std::string badChecksum = gzip;
        badChecksum[badChecksum.size() - 6] ^= 0x5a;
        const std::string cutGzip = gzip.substr(0, gzip.size() / 2);
        const std::string members = Gzip(picture.substr(0, 100)) + Gzip(picture.substr(100));
        return {
            { "whole", Response(Length(picture.size()), picture), true },
            { "whole-gzip", Response("Content-Encoding: gzip\r\n" + Length(gzip.size()), gzip), true },
            { "whole-chunked",
                Response("Transfer-Encoding: chunked\r\n",
                    "10\r\n" + picture.substr(0, 16) + "\r\n" + Hex(picture.size() - 16) + "\r\n"
                        + picture.substr(16) + "\r\n0\r\n\r\n"),
                true },
            { "whole-without-length", Response("", picture), true },
            { "short", Response(Length(picture.size() + 500), picture), false },
            { "short-gzip", Response("Content-Encoding: gzip\r\n" + Length(gzip.size() + 500), gzip), false,
                Limit::HandedOut },
            { "cut-gzip", Response("Content-Encoding: gzip\r\n" + Length(cutGzip.size()), cutGzip), false,
                Limit::HandedOut },
            { "cut-gzip-without-length", Response("Content-Encoding: gzip\r\n", cutGzip), false,
                Limit::HandedOut },
            { "gzip-bad-checksum",
                Response("Content-Encoding: gzip\r\n" + Length(badChecksum.size()), badChecksum), false },
            { "chunk-size-zz",
                Response("Transfer-Encoding: chunked\r\n",
                    "10\r\n" + picture.substr(0, 16) + "\r\nzz\r\n" + picture + "\r\n0\r\n\r\n"),
                false, Limit::Both },
            { "chunk-size-1g",
                Response("Transfer-Encoding: chunked\r\n", "1g\r\n" + picture + "\r\n0\r\n\r\n"), false },
            { "cut-chunk", Response("Transfer-Encoding: chunked\r\n", "1000\r\n" + picture.substr(0, 100)),
                false },
            { "chunk-size-negative",
                Response("Transfer-Encoding: chunked\r\n",
                    "10\r\n" + picture.substr(0, 16) + "\r\n-1\r\n" + picture + "\r\n0\r\n\r\n"),
                false, Limit::Both },
            { "gzip-of-nothing-then-more",
                Response("Content-Encoding: gzip\r\n" + Length(Gzip("").size() + picture.size()),
                    Gzip("") + picture),
                false },
            { "gzip-then-more",
                Response("Content-Encoding: gzip\r\n" + Length(gzip.size() + 4), gzip + "junk"), false,
                Limit::HandedOut },
            { "gzip-members", Response("Content-Encoding: gzip\r\n" + Length(members.size()), members), true,
                Limit::HandedOut },
        };
    }

    TEST_F(WebKitEngineTest, OnlyBodiesThatArrivedWholeAreCachedWhetherHandedOutOrFetchedAgain)
    {
        const std::string picture = LongPicture();
        RawResponseServer raw;
        std::string page = "<html><body>";
        for (const BodyCase& item : BodyCases()) {
            const std::string path = std::string("/") + item.name + ".gif";
            raw.Serve(path, item.response);
            page += "<img src=\"" + raw.Url(path) + "\">";
            // Through a redirect, WebKit keeps the bytes to itself and the engine asks once more.
            raw.Serve(std::string("/moved-") + item.name + ".gif",
                "HTTP/1.1 302 Found\r\nLocation: " + raw.Url(std::string("/again-") + item.name + ".gif")
                    + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            raw.Serve(std::string("/again-") + item.name + ".gif", item.response);
            page += "<img src=\"" + raw.Url(std::string("/moved-") + item.name + ".gif") + "\">";
        }
        TestServer server;
        server.Serve("/p.htm", page + "</body></html>");

        ASSERT_TRUE(Load(server.Url("/p.htm")));

        for (const BodyCase& item : BodyCases()) {
            const std::string expected = item.whole ? picture : "(not cached)";
            if (item.limit == Limit::None) {
                EXPECT_EQ(CachedBytes(raw.Url(std::string("/") + item.name + ".gif")), expected) << item.name;
            }
            if (item.limit != Limit::Both) {
                EXPECT_EQ(CachedBytes(raw.Url(std::string("/again-") + item.name + ".gif")), expected)
                    << "again-" << item.name;
            }
        }
    }

} // namespace
} // namespace pagestow::engine::webkit

#include "RecordingDisplay.h"
#include "TestPictures.h"

#include "banner/Download.h"

#include "LiveServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>

namespace pagestow::banner {
namespace {

    using namespace testing;
    using pagestow::testing::RefusedPort;

    Bytes Body(std::size_t size)
    {
        Bytes body(size);
        for (std::size_t i = 0; i < size; ++i)
            body[i] = std::uint8_t(i * 7 + 3);
        return body;
    }

    // Answers without Content-Length: the body goes out in chunks.
    void SendChunked(httplib::Response& response, const Bytes& body)
    {
        auto shared = std::make_shared<std::string>(body.begin(), body.end());
        response.set_chunked_content_provider(
            "application/octet-stream", [shared](size_t offset, httplib::DataSink& sink) {
                if (offset < shared->size())
                    sink.write(shared->data() + offset, shared->size() - offset);
                else
                    sink.done();
                return true;
            });
    }

    struct Download {
        bool result = false;
        Bytes stream;
        std::vector<std::string> window;
    };

    Download Fetch(const std::string& address, Bytes stream = {})
    {
        RecordingProgressWindow window;
        Download download;
        download.stream = std::move(stream);
        download.result = DownloadWithProgress(address, download.stream, &window);
        download.window = window.Events();
        return download;
    }

    TEST(DownloadWithProgress, GaugeFollowsEach1024ByteReadOfAnAnnouncedBody)
    {
        LiveServer server;
        Bytes body = Body(4096);
        server.Serve("/gg/test.asp", ToString(body), "application/octet-stream");
        Download download = Fetch(server.Url("/gg/test.asp"));
        EXPECT_TRUE(download.result);
        EXPECT_EQ(download.stream, body);
        EXPECT_EQ(download.window, (std::vector<std::string> { "show", "25", "50", "75", "100", "close" }));
    }

    TEST(DownloadWithProgress, BodyLongerThanAnnouncedHoldsTheGaugeAt100AndArrivesWhole)
    {
        // The length comes from a request of its own; here the server announces less to it than the
        // transfer then brings.
        LiveServer server;
        Bytes body = Body(6144);
        auto requests = std::make_shared<std::atomic<int>>(0);
        server.Handle("/gg/test.asp", [body, requests](const httplib::Request&, httplib::Response& response) {
            if ((*requests)++ == 0)
                SendChunked(response, body);
            else
                response.set_content(std::string(4096, 'x'), "application/octet-stream");
        });
        Download download = Fetch(server.Url("/gg/test.asp"));
        EXPECT_TRUE(download.result);
        EXPECT_EQ(download.stream, body);
        EXPECT_EQ(download.window,
            (std::vector<std::string> { "show", "25", "50", "75", "100", "100", "100", "close" }));
        EXPECT_EQ(server.RequestCount("/gg/test.asp"), 2);
    }

    TEST(DownloadWithProgress, BodyWithoutContentLengthArrivesWholeWithoutAWindow)
    {
        LiveServer server;
        Bytes body = Body(5000);
        server.Handle("/gg/test.asp",
            [body](const httplib::Request&, httplib::Response& response) { SendChunked(response, body); });
        Download download = Fetch(server.Url("/gg/test.asp"));
        EXPECT_TRUE(download.result);
        EXPECT_EQ(download.stream, body);
        EXPECT_EQ(download.window, std::vector<std::string> {});
    }

    TEST(DownloadWithProgress, AppendsToTheStreamAndNeverClearsIt)
    {
        LiveServer server;
        server.Serve("/empty", "");
        server.Serve("/body", "abc");
        struct Case {
            std::string path;
            std::string expected;
            std::vector<std::string> window;
        };
        const Case cases[] = {
            { "/empty", "kept", {} },
            { "/body", "keptabc", { "show", "100", "close" } },
        };
        for (const Case& test : cases) {
            Download download = Fetch(server.Url(test.path), ToBytes("kept"));
            EXPECT_TRUE(download.result) << test.path;
            EXPECT_EQ(ToString(download.stream), test.expected) << test.path;
            EXPECT_EQ(download.window, test.window) << test.path;
        }
    }

    TEST(DownloadWithProgress, ErrorStatusBodyIsDeliveredLikeAnyOther)
    {
        LiveServer server;
        server.Serve("/gg/test.asp", "server trouble", "text/plain", 500);
        Download download = Fetch(server.Url("/gg/test.asp"));
        EXPECT_TRUE(download.result);
        EXPECT_EQ(ToString(download.stream), "server trouble");
    }

    TEST(DownloadWithProgress, FollowsRedirectsToTheBody)
    {
        LiveServer server;
        server.Serve("/old", "", "text/html", 302, { { "Location", "/new" } });
        server.Serve("/new", ToString(Body(2048)), "application/octet-stream");
        Download download = Fetch(server.Url("/old"));
        EXPECT_TRUE(download.result);
        EXPECT_EQ(download.stream, Body(2048));
        EXPECT_EQ(download.window, (std::vector<std::string> { "show", "50", "100", "close" }));
    }

    TEST(DownloadWithProgress, AddressThatCannotBeOpenedGivesFalseAndLeavesTheStream)
    {
        std::string refused = "http://127.0.0.1:" + std::to_string(RefusedPort()) + "/gg/test.asp";
        for (const std::string& address :
            { refused, std::string("ftp://127.0.0.1/gg/test.asp"), std::string("not an address") }) {
            Download download = Fetch(address, ToBytes("kept"));
            EXPECT_FALSE(download.result) << address;
            EXPECT_EQ(ToString(download.stream), "kept") << address;
            EXPECT_EQ(download.window, std::vector<std::string> {}) << address;
        }
    }

    TEST(DownloadWithProgress, NamesItselfAndPumpsBeforeEveryRead)
    {
        LiveServer server;
        server.Serve("/gg/test.asp", ToString(Body(3000)), "application/octet-stream");
        Bytes stream;
        int pumps = 0;
        ASSERT_TRUE(DownloadWithProgress(server.Url("/gg/test.asp"), stream, nullptr, [&pumps] { ++pumps; }));
        // Reads of 1024, 1024, 952 and the final empty one.
        EXPECT_EQ(pumps, 4);
        EXPECT_EQ(stream.size(), 3000u);
        httplib::Headers headers = server.LastRequestHeaders("/gg/test.asp");
        auto agent = headers.find("User-Agent");
        ASSERT_NE(agent, headers.end());
        EXPECT_EQ(agent->second, "GetHtml for VTRL");
    }

    TEST(QueryContentLength, IsTheAnnouncedLengthOrZero)
    {
        LiveServer server;
        server.Serve("/sized", std::string(4096, 'x'));
        server.Serve("/empty", "");
        server.Handle("/chunked", [](const httplib::Request&, httplib::Response& response) {
            SendChunked(response, ToBytes("abc"));
        });
        InternetSession internet;
        ASSERT_TRUE(internet.Valid());
        struct Case {
            std::string address;
            std::int64_t length;
        };
        const Case cases[] = {
            { server.Url("/sized"), 4096 },
            { server.Url("/empty"), 0 },
            { server.Url("/chunked"), 0 },
            { "http://127.0.0.1:" + std::to_string(RefusedPort()) + "/", 0 },
        };
        for (const Case& test : cases)
            EXPECT_EQ(QueryContentLength(test.address, internet), test.length) << test.address;
    }

    TEST(CheckConnection, TellsWhetherTheHostAcceptsAConnection)
    {
        LiveServer server;
        EXPECT_TRUE(CheckConnection(server.Url("/")));
        EXPECT_FALSE(CheckConnection("http://127.0.0.1:" + std::to_string(RefusedPort()) + "/"));
        EXPECT_EQ(server.RequestCount("/"), 0);
    }

    TEST(GaugePosition, IsThePercentageTruncatedAndHeldAt100)
    {
        struct Case {
            std::uint64_t total;
            std::int64_t announced;
            int position;
        };
        for (const Case& test : { Case { 0, 4096, 0 }, Case { 1024, 4096, 25 }, Case { 4095, 4096, 99 },
                 Case { 4096, 4096, 100 }, Case { 6144, 4096, 100 }, Case { 1, 3, 33 }, Case { 10, 0, 0 } })
            EXPECT_EQ(GaugePosition(test.total, test.announced), test.position)
                << test.total << " of " << test.announced;
    }

} // namespace
} // namespace pagestow::banner

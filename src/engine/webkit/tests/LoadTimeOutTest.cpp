// At the load time-out, what has arrived is the page: a document that has begun is read as it stands,
// and what it requested is still cached. WebKit learns of a document's answer only once its first
// 512 bytes (or its end) have arrived, because the network layer below it holds them to sniff the
// type: an answer that has sent less by the time-out is, to the engine, no answer at all.

#include "engine/webkit/tests/WebKitTestFixture.h"
#include "hostile/RawResponseServer.h"

namespace pagestow::engine::webkit {
namespace {

    using namespace pagestow::engine::webkit::tests;
    using pagestow::hostile::RawResponseServer;

    // Long enough for WebKit to start its processes and commit the document on a busy machine.
    constexpr auto kTimeOut = 15s;

    const std::string kHtmlHead
        = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 100000\r\n\r\n";

    struct BegunCase {
        const char* name;
        // What the server sends before it falls silent, headers included.
        std::string sent;
        // Empty for the error page.
        std::vector<std::string> tags;
    };

    class LoadTimeOutTest : public WebKitEngineTest, public ::testing::WithParamInterface<BegunCase> { };

    TEST_P(LoadTimeOutTest, ADocumentThatHasOnlyBegunIsThePage)
    {
        const BegunCase& item = GetParam();
        RawResponseServer raw;
        raw.Serve("/slow.htm", item.sent, RawResponseServer::After::HoldOpen);
        m_engine->SetLoadTimeout(kTimeOut);

        auto document = Load(raw.Url("/slow.htm"));

        ASSERT_TRUE(document);
        if (item.tags.empty()) {
            EXPECT_EQ(document->url, raw.Url("/slow.htm"));
            EXPECT_EQ(document->origin, DocumentOrigin::Failed);
            EXPECT_EQ(m_engine->LastFailure(), NavigationFailure::TimedOut);
            return;
        }
        EXPECT_EQ(document->url, raw.Url("/slow.htm"));
        EXPECT_EQ(document->origin, DocumentOrigin::Loaded);
        EXPECT_EQ(TagNames(*document), item.tags);
        EXPECT_EQ(m_engine->LastFailure(), NavigationFailure::None);
    }

    INSTANTIATE_TEST_SUITE_P(Arrived, LoadTimeOutTest,
        ::testing::Values(BegunCase { "HeadersOnly", kHtmlHead, {} },
            BegunCase {
                "FewerBytesThanWebKitWaitsFor", kHtmlHead + "<html><body><p>" + std::string(480, 'x'), {} },
            BegunCase { "AsManyBytesAsWebKitWaitsFor",
                kHtmlHead + "<html><head><title>t</title></head><body><p>" + std::string(1100, 'x'),
                { "HTML", "HEAD", "TITLE", "BODY", "P" } },
            BegunCase { "HalfAKilobyteWithTheCharacterSetInTheHeaders",
                "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n\r\n<html><body><p>"
                    + std::string(600, 'x'),
                { "HTML", "HEAD", "BODY", "P" } },
            // WebKit's decoder holds up to a kilobyte of a document whose headers name no character
            // set, looking for one: nothing of it is parsed yet.
            BegunCase { "HalfAKilobyteWithoutTheCharacterSet",
                kHtmlHead + "<html><body><p>" + std::string(600, 'x'), { "HTML", "HEAD", "BODY" } },
            BegunCase { "MoreBytesWithoutALength",
                "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html><body><div><p>"
                    + std::string(2000, 'x') + "</p>",
                { "HTML", "HEAD", "BODY", "DIV", "P" } }),
        [](const ::testing::TestParamInfo<BegunCase>& param) { return std::string(param.param.name); });

    TEST_F(WebKitEngineTest, APictureTheBegunDocumentRequestedIsCachedAtTheTimeOut)
    {
        TestServer server;
        server.Serve("/here.gif", Gif("here"), "image/gif");
        RawResponseServer raw;
        raw.Serve("/slow.htm",
            kHtmlHead + "<html><body><img src=\"" + server.Url("/here.gif") + "\"><p>"
                + std::string(1100, 'x'),
            RawResponseServer::After::HoldOpen);
        m_engine->SetLoadTimeout(kTimeOut);

        auto document = Load(raw.Url("/slow.htm"));

        ASSERT_TRUE(document);
        EXPECT_EQ(TagNames(*document), (std::vector<std::string> { "HTML", "HEAD", "BODY", "IMG", "P" }));
        EXPECT_EQ(CachedBytes(server.Url("/here.gif")), Gif("here"));
    }

} // namespace
} // namespace pagestow::engine::webkit

// The built-in engine's record of a transfer's exchanges, from curl's request heads and the header
// lines as they came: one exchange per request, interim answers folded into the final one.

#include "engine/static/ExchangeRecord.h"

#include "engine/tests/ScratchFolder.h"

#include <gtest/gtest.h>

namespace pagestow::engine::static_engine {
namespace {

    TEST(ExchangeRecord, RedirectChainGivesAnExchangePerRequestAndTheBodyGoesWithTheLast)
    {
        testing::ScratchFolder folder;
        archive::ExchangeLog log(folder.Path() / "log");
        ExchangeRecord record;
        record.RequestSent("GET /r1 HTTP/1.1\r\nHost: 127.0.0.1:8\r\nAccept: */*\r\n\r\n", "http://127.0.0.1:8/r1");
        for (const char* line : { "HTTP/1.1 302 Found\r\n", "Location: /x.png\r\n", "Content-Length: 0\r\n", "\r\n" })
            record.HeaderLine(line, "127.0.0.1");
        record.RequestSent("GET /x.png HTTP/1.1\r\nHost: 127.0.0.1:8\r\n\r\n", "http://127.0.0.1:8/x.png");
        // An interim answer, then the final head whose reason has blanks, then a value with a colon.
        for (const char* line : { "HTTP/1.1 100 Continue\r\n", "\r\n", "HTTP/1.1 200 All Is Well \r\n",
                 "Content-Type:image/png\r\n", "X-Time:  12:30 \r\n", "\r\n" })
            record.HeaderLine(line, "127.0.0.1");
        EXPECT_TRUE(record.Responded());
        EXPECT_EQ(record.Status(), 200);
        std::string big(archive::ExchangeLog::kHeldBodyBytes + 10, 'b');
        record.Body(log, "PNG");
        record.Body(log, big);
        record.Finish(log, true);

        std::vector<archive::Exchange> exchanges = log.Take();
        ASSERT_EQ(exchanges.size(), 2u);
        const archive::Exchange& hop = exchanges[0];
        EXPECT_EQ(hop.url, "http://127.0.0.1:8/r1");
        EXPECT_EQ(hop.method, "GET");
        EXPECT_EQ(hop.status, 302);
        EXPECT_EQ(hop.reason, "Found");
        EXPECT_EQ(archive::HeaderValue(hop.responseHeaders, "location"), "/x.png");
        EXPECT_EQ(archive::HeaderValue(hop.requestHeaders, "Accept"), "*/*");
        EXPECT_EQ(hop.ipAddress, "127.0.0.1");
        EXPECT_EQ(hop.body.source, archive::ExchangeBody::Source::None);

        const archive::Exchange& last = exchanges[1];
        EXPECT_EQ(last.status, 200);
        EXPECT_EQ(last.reason, "All Is Well");
        ASSERT_EQ(last.responseHeaders.size(), 2u);
        EXPECT_EQ(last.responseHeaders[0], (archive::HeaderField { "Content-Type", "image/png" }));
        EXPECT_EQ(last.responseHeaders[1], (archive::HeaderField { "X-Time", "12:30" }));
        EXPECT_TRUE(last.complete);
        EXPECT_FALSE(last.rebuiltHeaders);
        EXPECT_FALSE(last.decodedBody);
        // Past what is held, the body went to a file of the log, whole.
        ASSERT_EQ(last.body.source, archive::ExchangeBody::Source::File);
        EXPECT_EQ(last.body.size, big.size() + 3);
        EXPECT_EQ(testing::ReadBytes(last.body.file), "PNG" + big);
        log.Clear();
        EXPECT_FALSE(std::filesystem::exists(last.body.file));
    }

    TEST(ExchangeRecord, CutTransfersAndBodiesInTheCacheAreSaidSo)
    {
        testing::ScratchFolder folder;
        archive::ExchangeLog log(folder.Path() / "log");
        // A request that got no answer at all is no exchange; one whose body was cut is incomplete.
        ExchangeRecord unanswered;
        unanswered.RequestSent("GET / HTTP/1.1\r\n\r\n", "http://127.0.0.1:9/");
        unanswered.Finish(log, false);
        EXPECT_EQ(log.Size(), 0u);

        ExchangeRecord cut;
        cut.RequestSent("GET /big HTTP/2\r\nhost: a\r\n\r\n", "https://a/big");
        for (const char* line : { "HTTP/2 200 \r\n", "content-length: 100\r\n", "\r\n" })
            cut.HeaderLine(line, "::1");
        cut.Body(log, "partial");
        cut.Finish(log, false);

        ExchangeRecord cached;
        cached.RequestSent("GET /c.css HTTP/1.1\r\n\r\n", "http://a/c.css");
        for (const char* line : { "HTTP/1.1 200 OK\r\n", "\r\n" })
            cached.HeaderLine(line, "10.0.0.1");
        cached.BodyInCache("http://a/c.css", 42);
        cached.Finish(log, true);

        std::vector<archive::Exchange> exchanges = log.Take();
        ASSERT_EQ(exchanges.size(), 2u);
        EXPECT_EQ(exchanges[0].protocol, "HTTP/2");
        EXPECT_EQ(exchanges[0].reason, "");
        EXPECT_FALSE(exchanges[0].complete);
        EXPECT_EQ(exchanges[0].body.source, archive::ExchangeBody::Source::Held);
        EXPECT_EQ(exchanges[0].body.bytes, "partial");
        EXPECT_TRUE(exchanges[1].complete);
        EXPECT_EQ(exchanges[1].body.source, archive::ExchangeBody::Source::Cache);
        EXPECT_EQ(exchanges[1].body.cacheAddress, "http://a/c.css");
        EXPECT_EQ(exchanges[1].body.size, 42u);
    }

} // namespace
} // namespace pagestow::engine::static_engine

// What the Chromium engine records into the exchange log: one page of two hosts, loaded once with a log
// (a redirect chain, an error answer, a gzip stylesheet, a cross-origin frame, a fetch) and once
// without.

#include "archive/Exchange.h"
#include "engine/chromium/BrowserProcess.h"
#include "engine/chromium/ChromiumEngine.h"

#include "hostile/RawResponseServer.h"
#include "support/Gzip.h"
#include "support/TemporaryFolder.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

namespace pagestow::engine::chromium {
namespace {

    using archive::Exchange;
    using archive::ExchangeBody;
    using archive::ExchangeLog;
    using archive::HeaderField;
    using archive::HeaderValue;
    using pagestow::hostile::RawResponseServer;
    using pagestow::testing::Gzip;
    using pagestow::testing::ReadFileBytes;
    using pagestow::testing::TemporaryFolder;
    using pagestow::testing::TestServer;
    using Lines = std::vector<std::string>;
    using namespace std::chrono_literals;

    const std::string kPng
        = std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0\x1f\x15\xc4\x89"
                      "\0\0\0\rIDATx\x9c"
                      "c`\0\0\0\x02\0\x01\xe2!\xbc\x33\0\0\0\0IEND\xae\x42\x60\x82",
            67);
    const std::string kStyle = "body { color: black; background: white; margin: 0 }";
    const std::string kMissing = "<html><body>No such picture here.</body></html>";
    const std::string kBroken = "<html><head></head><body>Something broke.</body></html>";

    // "METHOD url status reason" of an exchange.
    std::string Line(const Exchange& exchange)
    {
        return exchange.method + " " + exchange.url + " " + std::to_string(exchange.status) + " "
            + exchange.reason;
    }

    class ChromiumExchangeTest : public ::testing::Test {
    protected:
        void SetUp() override
        {
            if (!ChromiumAvailable())
                GTEST_SKIP() << kChromiumProgram << " is not installed";
            m_cache = std::make_unique<EngineCache>(m_folder.Path() / "cache");
            ChromiumOptions options;
            options.cache = m_cache.get();
            m_engine = std::make_unique<ChromiumEngine>(options);
            // Scrolling the page through adds nothing to what is recorded here, only time.
            m_engine->SetScrollLoading(false);
            m_engine->SetDocumentCompleteHandler(
                [this](const SnapshotDocument&, PageEngine::Completion completion) {
                    if (completion == PageEngine::Completion::TopLevel) {
                        m_completed = true;
                        // Everything of the page is in the log when its completion is raised.
                        if (m_engine->Exchanges())
                            m_taken = m_engine->Exchanges()->Take();
                    }
                });
        }

        void Load(const std::string& address)
        {
            m_completed = false;
            m_engine->Navigate(address);
            for (int round = 0; round < 1200 && !m_completed; ++round)
                m_engine->ProcessEvents(50ms);
            ASSERT_TRUE(m_completed) << "no completion for " << address;
        }

        std::string Body(const Exchange& exchange) const
        {
            switch (exchange.body.source) {
            case ExchangeBody::Source::Held:
                return exchange.body.bytes;
            case ExchangeBody::Source::File:
                return ReadFileBytes(exchange.body.file);
            case ExchangeBody::Source::Cache: {
                auto cached = m_cache->Find(exchange.body.cacheAddress);
                if (!cached || cached->size != exchange.body.size)
                    return "<not in the cache as recorded>";
                return ReadFileBytes(cached->file);
            }
            case ExchangeBody::Source::None:
                break;
            }
            return "<none>";
        }

        TemporaryFolder m_folder;
        std::unique_ptr<EngineCache> m_cache;
        std::unique_ptr<ChromiumEngine> m_engine;
        bool m_completed = false;
        std::vector<Exchange> m_taken;
    };

    TEST_F(ChromiumExchangeTest, EveryExchangeOfATwoHostPageIsRecordedOnceWithWhatTheBrowserSentAndReceived)
    {
        TestServer a("127.0.0.1");
        TestServer b("127.0.0.2");
        // A response whose header lines are in no order a header map would give.
        RawResponseServer raw("127.0.0.1");
        raw.Serve("/ordered.png",
            "HTTP/1.1 200 Fine\r\nX-Zeta: last letter\r\nContent-Type: image/png\r\nSet-Cookie: a=1\r\n"
            "Content-Length: 68\r\nSet-Cookie: b=2\r\n\r\n"
                + kPng + "r");
        a.Serve("/site/page.html",
            "<!DOCTYPE html><html><head><link rel=\"stylesheet\" href=\"style.css\"></head><body>"
            "<img src=\"/hop/one.png\"><img src=\"missing.png\"><img src=\""
                + raw.Url("/ordered.png")
                + "\">"
                  "<iframe src=\""
                + b.Url("/frame.html")
                + "\"></iframe><iframe src=\"broken.html\"></iframe>"
                  "<script>fetch('data.json').then(r => r.json()).then(j => { document.body.dataset.answer = "
                  "j.answer; });</script></body></html>");
        a.Serve("/site/broken.html", kBroken, "text/html", 500);
        a.Serve("/site/style.css", Gzip(kStyle), "text/css", 200, { { "Content-Encoding", "gzip" } });
        a.Serve("/hop/one.png", "", "text/plain", 302, { { "Location", "/hop/two.png" } });
        a.Serve("/hop/two.png", "", "text/plain", 301, { { "Location", "/img/final.png" } });
        a.Serve("/img/final.png", kPng, "image/png");
        a.Serve("/site/missing.png", kMissing, "text/html", 404);
        a.Serve("/site/data.json", "{\"answer\": 42}", "application/json");
        b.Serve("/frame.html", "<html><body><img src=\"pic.png\"></body></html>");
        b.Serve("/pic.png", kPng + "b", "image/png");

        // Without a log nothing is recorded, and the page loads as ever.
        ExchangeLog log(m_folder.Path() / "log");
        Load(a.Url("/site/page.html"));
        EXPECT_EQ(log.Size(), 0u);
        EXPECT_EQ(m_taken.size(), 0u);

        m_engine->SetExchangeLog(&log);
        auto before = std::chrono::system_clock::now();
        Load(a.Url("/site/page.html"));
        auto after = std::chrono::system_clock::now();
        EXPECT_EQ(log.Size(), 0u) << "everything was in the log at the completion";

        std::map<std::string, const Exchange*> byUrl;
        Lines lines;
        for (const Exchange& exchange : m_taken) {
            lines.push_back(Line(exchange));
            EXPECT_TRUE(byUrl.emplace(exchange.url, &exchange).second) << "twice: " << exchange.url;
        }
        Lines expected { "GET " + a.Url("/hop/one.png") + " 302 Found",
            "GET " + a.Url("/hop/two.png") + " 301 Moved Permanently",
            "GET " + a.Url("/img/final.png") + " 200 OK", "GET " + a.Url("/site/data.json") + " 200 OK",
            "GET " + a.Url("/site/broken.html") + " 500 Internal Server Error",
            "GET " + a.Url("/site/missing.png") + " 404 Not Found",
            "GET " + a.Url("/site/page.html") + " 200 OK", "GET " + a.Url("/site/style.css") + " 200 OK",
            "GET " + b.Url("/frame.html") + " 200 OK", "GET " + b.Url("/pic.png") + " 200 OK",
            "GET " + raw.Url("/ordered.png") + " 200 Fine" };
        std::sort(lines.begin(), lines.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(lines, expected);
        // The hops of the redirect chain in their order.
        auto at = [&](const std::string& url) {
            return std::find_if(
                m_taken.begin(), m_taken.end(), [&](const Exchange& e) { return e.url == url; });
        };
        EXPECT_LT(at(a.Url("/hop/one.png")), at(a.Url("/hop/two.png")));
        EXPECT_LT(at(a.Url("/hop/two.png")), at(a.Url("/img/final.png")));
        if (byUrl.size() != 11)
            return;

        for (const Exchange& exchange : m_taken) {
            SCOPED_TRACE(exchange.url);
            EXPECT_EQ(exchange.protocol, "HTTP/1.1");
            EXPECT_TRUE(exchange.rebuiltHeaders);
            EXPECT_TRUE(exchange.decodedBody);
            EXPECT_TRUE(exchange.complete);
            EXPECT_EQ(exchange.ipAddress, exchange.url.starts_with(b.Origin()) ? "127.0.0.2" : "127.0.0.1");
            EXPECT_GE(exchange.date, before - 1s);
            EXPECT_LE(exchange.date, after + 1s);
            // The headers as the network stack sent them: Host and the browser's own among them.
            std::string host = exchange.url.substr(7, exchange.url.find('/', 7) - 7);
            EXPECT_EQ(HeaderValue(exchange.requestHeaders, "Host"), host);
            EXPECT_TRUE(HeaderValue(exchange.requestHeaders, "User-Agent").starts_with("Mozilla/5.0"));
            EXPECT_NE(HeaderValue(exchange.requestHeaders, "Accept-Encoding"), "");
        }

        const Exchange& first = *byUrl[a.Url("/hop/one.png")];
        EXPECT_EQ(HeaderValue(first.responseHeaders, "Location"), "/hop/two.png");
        EXPECT_EQ(first.body.source, ExchangeBody::Source::None);
        EXPECT_EQ(HeaderValue(byUrl[a.Url("/hop/two.png")]->responseHeaders, "Location"), "/img/final.png");
        EXPECT_EQ(Body(*byUrl[a.Url("/img/final.png")]), kPng);

        const Exchange& style = *byUrl[a.Url("/site/style.css")];
        EXPECT_EQ(HeaderValue(style.responseHeaders, "Content-Encoding"), "gzip");
        EXPECT_EQ(style.body.source, ExchangeBody::Source::Cache);
        EXPECT_EQ(Body(style), kStyle);

        const Exchange& missing = *byUrl[a.Url("/site/missing.png")];
        EXPECT_EQ(missing.body.source, ExchangeBody::Source::Held);
        EXPECT_EQ(Body(missing), kMissing);
        EXPECT_EQ(m_cache->Find(a.Url("/site/missing.png")), std::nullopt);
        // An error answer to a frame: its document's body as it came.
        EXPECT_EQ(Body(*byUrl[a.Url("/site/broken.html")]), kBroken);

        EXPECT_EQ(Body(*byUrl[a.Url("/site/data.json")]), "{\"answer\": 42}");
        EXPECT_EQ(Body(*byUrl[b.Url("/pic.png")]), kPng + "b");
        EXPECT_EQ(Body(*byUrl[b.Url("/frame.html")]), "<html><body><img src=\"pic.png\"></body></html>");
        EXPECT_NE(Body(*byUrl[a.Url("/site/page.html")]).find("fetch('data.json')"), std::string::npos);
        EXPECT_EQ(HeaderValue(byUrl[a.Url("/site/page.html")]->responseHeaders, "Content-Type"), "text/html");
        // The cross-origin frame's request names the page's origin only, as the browser sent it.
        EXPECT_EQ(HeaderValue(byUrl[b.Url("/frame.html")]->requestHeaders, "Referer"), a.Origin() + "/");

        // HTTP/1 header lines as they came, in their order, a repeated one each on its own.
        const Exchange& ordered = *byUrl[raw.Url("/ordered.png")];
        EXPECT_EQ(ordered.responseHeaders,
            (std::vector<HeaderField> { { "X-Zeta", "last letter" }, { "Content-Type", "image/png" },
                { "Set-Cookie", "a=1" }, { "Content-Length", "68" }, { "Set-Cookie", "b=2" } }));
        EXPECT_EQ(Body(ordered), kPng + "r");
    }

} // namespace
} // namespace pagestow::engine::chromium

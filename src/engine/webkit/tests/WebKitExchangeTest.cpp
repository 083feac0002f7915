// What the WebKit engine records into the exchange log: one page of two hosts, loaded once with a log
// (a redirect chain, an error answer, a gzip stylesheet, a cross-origin frame, a fetch) and once
// without.

#include "WebKitTestFixture.h"

#include "archive/Exchange.h"

#include "hostile/RawResponseServer.h"
#include "support/Gzip.h"

#include <algorithm>
#include <map>

namespace pagestow::engine::webkit::tests {
namespace {

    using archive::Exchange;
    using archive::ExchangeBody;
    using archive::ExchangeLog;
    using archive::HeaderField;
    using archive::HeaderValue;
    using pagestow::hostile::RawResponseServer;
    using pagestow::testing::Gzip;
    using pagestow::testing::ReadFileBytes;
    using Lines = std::vector<std::string>;

    const std::string kStyle = "body { color: black; background: white; margin: 0 }";
    const std::string kMissing = "<html><body>No such picture here.</body></html>";
    const std::string kBroken = "<html><head></head><body>Something broke.</body></html>";

    // "METHOD url status reason" of an exchange.
    std::string Line(const Exchange& exchange)
    {
        return exchange.method + " " + exchange.url + " " + std::to_string(exchange.status) + " "
            + exchange.reason;
    }

    class WebKitExchangeTest : public WebKitEngineTest {
    protected:
        std::string Body(const Exchange& exchange) const
        {
            switch (exchange.body.source) {
            case ExchangeBody::Source::Held:
                return exchange.body.bytes;
            case ExchangeBody::Source::File:
                return ReadFileBytes(exchange.body.file);
            case ExchangeBody::Source::Cache: {
                auto cached = m_engine->Cache().Find(exchange.body.cacheAddress);
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
    };

    TEST_F(WebKitExchangeTest, EveryExchangeOfATwoHostPageIsRecordedOnceWithWhatTheViewShows)
    {
        TestServer a("127.0.0.1");
        TestServer b("127.0.0.2");
        RawResponseServer raw("127.0.0.1");
        raw.Serve("/ordered.gif",
            "HTTP/1.1 200 Fine\r\nX-Zeta: last letter\r\nContent-Type: image/gif\r\nSet-Cookie: a=1\r\n"
            "Content-Length: 44\r\nSet-Cookie: b=2\r\n\r\n"
                + Gif("r"));
        a.Serve("/site/page.html",
            "<!DOCTYPE html><html><head><link rel=\"stylesheet\" href=\"style.css\"></head><body>"
            "<img src=\"/hop/one.gif\"><img src=\"missing.gif\"><img src=\""
                + raw.Url("/ordered.gif") + "\"><iframe src=\"" + b.Url("/frame.html")
                + "\"></iframe><iframe src=\"broken.html\"></iframe>"
                  "<script>fetch('data.json').then(r => r.json()).then(j => { document.body.dataset.answer = "
                  "j.answer; });</script></body></html>");
        a.Serve("/site/broken.html", kBroken, "text/html", 500);
        a.Serve("/site/style.css", Gzip(kStyle), "text/css", 200, { { "Content-Encoding", "gzip" } });
        a.Serve("/hop/one.gif", "", "text/plain", 302, { { "Location", "/hop/two.gif" } });
        a.Serve("/hop/two.gif", "", "text/plain", 301, { { "Location", "/img/final.gif" } });
        a.Serve(
            "/img/final.gif", Gif("final"), "image/gif", 200, { { "X-Zeta", "z" }, { "Set-Cookie", "c=3" } });
        a.Serve("/site/missing.gif", kMissing, "text/html", 404);
        a.Serve("/site/data.json", "{\"answer\": 42}", "application/json", 200,
            { { "X-Zeta", "z" }, { "Set-Cookie", "d=4" } });
        b.Serve("/frame.html", "<html><head></head><body><img src=\"pic.gif\"></body></html>");
        b.Serve("/pic.gif", Gif("b"), "image/gif");

        // Scrolling the page through adds nothing to what is recorded here, only time.
        m_engine->SetScrollLoading(false);
        // Without a log nothing is recorded, and the page loads as ever.
        ExchangeLog log(m_folder.Path() / "log");
        ASSERT_TRUE(Load(a.Url("/site/page.html")));
        EXPECT_EQ(log.Size(), 0u);

        m_engine->SetExchangeLog(&log);
        std::vector<Exchange> taken;
        m_engine->SetDocumentCompleteHandler(
            [&](const SnapshotDocument& document, PageEngine::Completion completion) {
                m_completions.push_back(
                    { completion == PageEngine::Completion::TopLevel, document.url, &document });
                // Everything of the page is in the log when its completion is raised.
                if (completion == PageEngine::Completion::TopLevel)
                    taken = log.Take();
            });
        auto before = std::chrono::system_clock::now();
        ASSERT_TRUE(Load(a.Url("/site/page.html")));
        auto after = std::chrono::system_clock::now();
        EXPECT_EQ(log.Size(), 0u) << "everything was in the log at the completion";

        std::map<std::string, const Exchange*> byUrl;
        Lines lines;
        for (const Exchange& exchange : taken) {
            lines.push_back(Line(exchange));
            EXPECT_TRUE(byUrl.emplace(exchange.url, &exchange).second) << "twice: " << exchange.url;
        }
        Lines expected { "GET " + a.Url("/hop/one.gif") + " 302 Found",
            "GET " + a.Url("/hop/two.gif") + " 301 Moved Permanently",
            "GET " + a.Url("/img/final.gif") + " 200 OK", "GET " + a.Url("/site/data.json") + " 200 OK",
            "GET " + a.Url("/site/broken.html") + " 500 Internal Server Error",
            "GET " + a.Url("/site/missing.gif") + " 404 Not Found",
            "GET " + a.Url("/site/page.html") + " 200 OK", "GET " + a.Url("/site/style.css") + " 200 OK",
            "GET " + b.Url("/frame.html") + " 200 OK", "GET " + b.Url("/pic.gif") + " 200 OK",
            // WebKit shows no reason phrase: the status's own stands in for the server's.
            "GET " + raw.Url("/ordered.gif") + " 200 OK" };
        std::sort(lines.begin(), lines.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(lines, expected);
        auto at = [&](const std::string& url) {
            return std::find_if(taken.begin(), taken.end(), [&](const Exchange& e) { return e.url == url; });
        };
        EXPECT_LT(at(a.Url("/hop/one.gif")), at(a.Url("/hop/two.gif")));
        EXPECT_LT(at(a.Url("/hop/two.gif")), at(a.Url("/img/final.gif")));
        if (byUrl.size() != 11)
            return;

        for (const Exchange& exchange : taken) {
            SCOPED_TRACE(exchange.url);
            EXPECT_EQ(exchange.protocol, "HTTP/1.1");
            EXPECT_TRUE(exchange.rebuiltHeaders);
            EXPECT_TRUE(exchange.decodedBody);
            EXPECT_TRUE(exchange.complete);
            EXPECT_EQ(exchange.ipAddress, "");
            EXPECT_GE(exchange.date, before);
            EXPECT_LE(exchange.date, after);
            // What the view shows of a request: WebKit's own fields, not those of the network layer
            // (Host, Accept-Encoding, Connection, Cookie).
            EXPECT_TRUE(HeaderValue(exchange.requestHeaders, "User-Agent").starts_with("Mozilla/5.0"));
            EXPECT_NE(HeaderValue(exchange.requestHeaders, "Accept"), "");
            EXPECT_NE(HeaderValue(exchange.requestHeaders, "Sec-Fetch-Dest"), "");
            EXPECT_EQ(HeaderValue(exchange.requestHeaders, "Host"), "");
        }

        // A redirect's answer as WebKit shows it: its Location only.
        const Exchange& first = *byUrl[a.Url("/hop/one.gif")];
        EXPECT_EQ(first.responseHeaders, (std::vector<HeaderField> { { "Location", "/hop/two.gif" } }));
        EXPECT_EQ(first.body.source, ExchangeBody::Source::None);
        EXPECT_EQ(HeaderValue(byUrl[a.Url("/hop/two.gif")]->responseHeaders, "Location"), "/img/final.gif");
        EXPECT_EQ(
            HeaderValue(byUrl[a.Url("/hop/two.gif")]->requestHeaders, "Referer"), a.Url("/site/page.html"));
        EXPECT_EQ(Body(*byUrl[a.Url("/img/final.gif")]), Gif("final"));
        // Set-Cookie never reaches the view; the server's other fields do.
        EXPECT_EQ(HeaderValue(byUrl[a.Url("/img/final.gif")]->responseHeaders, "X-Zeta"), "z");
        EXPECT_EQ(HeaderValue(byUrl[a.Url("/img/final.gif")]->responseHeaders, "Set-Cookie"), "");

        const Exchange& style = *byUrl[a.Url("/site/style.css")];
        EXPECT_EQ(HeaderValue(style.responseHeaders, "Content-Encoding"), "gzip");
        EXPECT_EQ(style.body.source, ExchangeBody::Source::Cache);
        EXPECT_EQ(Body(style), kStyle);

        // The error answer's body, which WebKit does not hand out, fetched once more for the log.
        const Exchange& missing = *byUrl[a.Url("/site/missing.gif")];
        EXPECT_EQ(missing.body.source, ExchangeBody::Source::Held);
        EXPECT_EQ(Body(missing), kMissing);
        EXPECT_EQ(a.RequestCount("/site/missing.gif"), 3) << "once without the log, twice with it";
        EXPECT_EQ(m_engine->Cache().Find(a.Url("/site/missing.gif")), std::nullopt);

        // A cross-origin picture's answer comes to the view with the safe fields only, in their order.
        const Exchange& ordered = *byUrl[raw.Url("/ordered.gif")];
        EXPECT_EQ(ordered.responseHeaders,
            (std::vector<HeaderField> { { "Content-Type", "image/gif" }, { "Content-Length", "44" } }));
        EXPECT_EQ(Body(ordered), Gif("r"));

        EXPECT_EQ(Body(*byUrl[a.Url("/site/data.json")]), "{\"answer\": 42}");
        EXPECT_EQ(Body(*byUrl[b.Url("/pic.gif")]), Gif("b"));
        EXPECT_NE(Body(*byUrl[a.Url("/site/page.html")]).find("fetch('data.json')"), std::string::npos);
        // A frame's document: the bytes of its DOM the snapshot holds, WebKit hands out no others.
        // (an error answer's too: it is not fetched again).
        auto page = m_engine->Document();
        ASSERT_TRUE(page && page->frames.size() == 2 && page->frames[0].document && page->frames[1].document);
        EXPECT_EQ(Body(*byUrl[b.Url("/frame.html")]), page->frames[0].document->serialization);
        EXPECT_EQ(Body(*byUrl[a.Url("/site/broken.html")]), page->frames[1].document->serialization);
        EXPECT_EQ(a.RequestCount("/site/broken.html"), 2);
        EXPECT_EQ(HeaderValue(byUrl[b.Url("/frame.html")]->requestHeaders, "Referer"), a.Origin() + "/");
    }

} // namespace
} // namespace pagestow::engine::webkit::tests

#include "engine/static/StaticEngine.h"
#include "engine/tests/CompletedPage.h"

#include "support/Gzip.h"
#include "support/TemporaryFolder.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

namespace pagestow::engine {
namespace {
    using testing::ReadFileBytes;
    using testing::TemporaryFolder;
    using testing::TestServer;

    using testing::Gzip;
    struct Completion {
        bool topLevel;
        std::string url;
        DocumentOrigin origin;
    };

    // "own", "inherited" or "failed": where a document's content came from.
    std::string OriginName(DocumentOrigin origin)
    {
        switch (origin) {
        case DocumentOrigin::Loaded:
            return "own";
        case DocumentOrigin::Inherited:
            return "inherited";
        case DocumentOrigin::Failed:
            return "failed";
        }
        return "?";
    }

    using Page = CompletedPage;

    Page PageOf(const SnapshotDocument& document)
    {
        return { document.url, document.origin };
    }

    // One engine with a cache of its own, driven until the page's top-level completion.
    class Harness {
    public:
        explicit Harness(StaticEngineOptions options = {})
            : m_cache(m_folder.Path() / "cache")
        {
            options.cache = &m_cache;
            m_engine = CreateStaticEngine(options);
            m_engine->SetDocumentCompleteHandler(
                [this](const SnapshotDocument& document, PageEngine::Completion completion) {
                    m_completions.push_back(
                        { completion == PageEngine::Completion::TopLevel, document.url, document.origin });
                });
        }

        // Navigates and processes events until the top-level document completes; its address and origin.
        Page Load(const std::string& address)
        {
            m_completions.clear();
            m_engine->Navigate(address);
            // A guard against a hang, far above any load of these tests.
            for (int round = 0; round < 4000; ++round) {
                m_engine->ProcessEvents(std::chrono::milliseconds(50));
                if (!m_completions.empty() && m_completions.back().topLevel)
                    return { m_completions.back().url, m_completions.back().origin };
            }
            ADD_FAILURE() << "no completion for " << address;
            return {};
        }

        PageEngine& Engine() { return *m_engine; }
        EngineCache& Cache() { return m_cache; }
        const std::vector<Completion>& Completions() const { return m_completions; }

        std::string Cached(const std::string& address) const
        {
            auto file = m_cache.Lookup(address);
            return file ? ReadFileBytes(*file) : std::string("<not cached>");
        }

    private:
        TemporaryFolder m_folder;
        EngineCache m_cache;
        std::unique_ptr<PageEngine> m_engine;
        std::vector<Completion> m_completions;
    };

    TEST(StaticEngine, LoadsPageAndEveryResourceOnBothHosts)
    {
        TestServer a("127.0.0.1");
        TestServer b("127.0.0.2");
        std::string page = "<html><head><link rel=stylesheet href=/css/site.css>"
                           "<script src='"
            + b.Url("/js/lib.js")
            + "'></script></head>"
              "<body background=bg.jpg><img src=img/a.gif><img src='"
            + b.Url("/img/b.png")
            + "'>"
              "<img src=img/a.gif><input type=image src=go.gif></body></html>";
        a.Serve("/dir/page.htm", page);
        a.Serve("/css/site.css", "body{color:red}", "text/css");
        a.Serve("/dir/bg.jpg", "JPEGBYTES", "image/jpeg");
        a.Serve("/dir/img/a.gif", "GIF89a-a", "image/gif");
        a.Serve("/dir/go.gif", "GIF89a-go", "image/gif");
        b.Serve("/js/lib.js", "var x = 1;", "application/javascript");
        b.Serve("/img/b.png", std::string("\x89PNG\r\n\x1a\n\0b", 10), "image/png");

        Harness harness;
        EXPECT_EQ(harness.Load(a.Url("/dir/page.htm")), Page { a.Url("/dir/page.htm") });
        auto document = harness.Engine().Document();
        ASSERT_TRUE(document);
        EXPECT_EQ(document->url, a.Url("/dir/page.htm"));
        EXPECT_EQ(document->serialization, page);
        EXPECT_EQ(harness.Cached(a.Url("/css/site.css")), "body{color:red}");
        EXPECT_EQ(harness.Cached(b.Url("/js/lib.js")), "var x = 1;");
        EXPECT_EQ(harness.Cached(a.Url("/dir/bg.jpg")), "JPEGBYTES");
        EXPECT_EQ(harness.Cached(a.Url("/dir/img/a.gif")), "GIF89a-a");
        EXPECT_EQ(harness.Cached(a.Url("/dir/go.gif")), "GIF89a-go");
        EXPECT_EQ(harness.Cached(b.Url("/img/b.png")), std::string("\x89PNG\r\n\x1a\n\0b", 10));
        EXPECT_EQ(harness.Cached(a.Url("/dir/page.htm")), page);
        // Each address is requested once, however often the page names it.
        EXPECT_EQ(a.RequestCount("/dir/img/a.gif"), 1);
        EXPECT_EQ(a.RequestCount("/dir/page.htm"), 1);
        LoadProgress progress = harness.Engine().Progress();
        EXPECT_EQ(progress.requested, 7);
        EXPECT_EQ(progress.loaded, 7);
        EXPECT_EQ(progress.bytes, page.size() + 15 + 10 + 9 + 8 + 9 + 10);
    }

    TEST(StaticEngine, RecordsOnlyCompleteSuccessfulResponses)
    {
        TestServer server;
        server.Serve("/p.htm",
            "<img src=missing.gif><img src=moved.gif><img src=part.gif><img src=empty.gif>"
            "<img src=none.gif><img src=reset.gif><link rel=stylesheet href=z.css>");
        server.Serve("/missing.gif", "not here", "text/html", 404);
        server.Serve("/moved.gif", "", "text/html", 302, { { "Location", "/real/target.gif" } });
        server.Serve("/real/target.gif", "GIF-target", "image/gif");
        server.Serve("/part.gif", "GIF-pa", "image/gif", 206, { { "Content-Range", "bytes 0-5/12" } });
        server.Serve("/empty.gif", "", "image/gif");
        // No content, reset content: nothing to save, though they are successes.
        server.Serve("/none.gif", "", "image/gif", 204);
        server.Serve("/reset.gif", "", "image/gif", 205);
        server.Serve("/z.css", Gzip("p { margin: 0 }"), "text/css", 200, { { "Content-Encoding", "gzip" } });

        Harness harness;
        harness.Load(server.Url("/p.htm"));
        EXPECT_EQ(harness.Cached(server.Url("/missing.gif")), "<not cached>");
        EXPECT_EQ(harness.Cached(server.Url("/moved.gif")), "GIF-target");
        EXPECT_EQ(harness.Cached(server.Url("/real/target.gif")), "GIF-target");
        EXPECT_EQ(harness.Cached(server.Url("/part.gif")), "<not cached>");
        EXPECT_EQ(harness.Cached(server.Url("/empty.gif")), "");
        EXPECT_EQ(harness.Cached(server.Url("/none.gif")), "<not cached>");
        EXPECT_EQ(harness.Cached(server.Url("/reset.gif")), "<not cached>");
        EXPECT_EQ(harness.Cached(server.Url("/z.css")), "p { margin: 0 }");
    }

    TEST(StaticEngine, ServerErrorPageIsTheDocument)
    {
        TestServer server;
        server.Serve("/gone.htm", "<html><body>Gone<img src=x.gif></body></html>", "text/html", 404);
        server.Serve("/x.gif", "GIF", "image/gif");
        Harness harness;
        EXPECT_EQ(harness.Load(server.Url("/gone.htm")), Page { server.Url("/gone.htm") });
        EXPECT_EQ(
            harness.Engine().Document()->serialization, "<html><body>Gone<img src=x.gif></body></html>");
        EXPECT_EQ(harness.Cached(server.Url("/x.gif")), "GIF");
        EXPECT_EQ(harness.Cached(server.Url("/gone.htm")), "<not cached>");
    }

    TEST(StaticEngine, NavigationWithoutResponseCompletesWithTheErrorPage)
    {
        int refused = testing::RefusedPort();
        const std::pair<std::string, std::string> cases[] = {
            { "http://127.0.0.1:" + std::to_string(refused) + "/",
                "http://127.0.0.1:" + std::to_string(refused) + "/" },
            { "nonexistent.invalid", "http://nonexistent.invalid" },
            { "http://127.0.0.1:6000/", "http://127.0.0.1:6000/" },
            { "ftp://127.0.0.1/file.txt", "ftp://127.0.0.1/file.txt" },
            { "javascript:alert(1)", "javascript:alert(1)" },
            { "data:text/html,<p>x", "data:text/html,<p>x" },
            { "file:///etc/passwd", "file:///etc/passwd" },
            { "http://", "http://" },
            { "\xFF\xFE\x01", "http://\xFF\xFE" },
        };
        Harness harness;
        for (const auto& [address, shown] : cases) {
            EXPECT_EQ(harness.Load(address), ErrorPage(shown)) << address;
            ASSERT_EQ(harness.Completions().size(), 1u) << address;
            EXPECT_EQ(PageOf(*harness.Engine().Document()), ErrorPage(shown));
        }
    }

    TEST(StaticEngine, AboutBlankIsAnEmptyDocument)
    {
        Harness harness;
        EXPECT_EQ(harness.Load("about:blank"), Page { "about:blank" });
        auto document = harness.Engine().Document();
        EXPECT_EQ(document->serialization, "");
        EXPECT_EQ(document->elements.size(), 3u);
        EXPECT_GE(document->body, 0);
        EXPECT_LT(size_t(document->body), document->elements.size());
    }

    TEST(StaticEngine, AddressWithoutSchemeIsLoadedOverHttp)
    {
        TestServer server;
        server.Serve("/a.htm", "<p>a</p>");
        Harness harness;
        EXPECT_EQ(harness.Load("  127.0.0.1:" + std::to_string(server.Port()) + "/a.htm "),
            Page { server.Url("/a.htm") });
    }

    TEST(StaticEngine, LoadsFramesToAnyDepthOnOtherHostsAndRaisesFramesFirst)
    {
        TestServer a("127.0.0.1");
        TestServer b("127.0.0.2");
        a.Serve("/index.htm",
            "<frameset cols='50%,50%'><frame src=left.htm><frame src='" + b.Url("/f/right.htm")
                + "'></frameset>");
        a.Serve("/left.htm", "<body><img src=l.gif></body>");
        a.Serve("/l.gif", "L", "image/gif");
        b.Serve("/f/right.htm",
            "<iframe src=inner.htm></iframe><iframe></iframe><iframe src=missing.htm></iframe>");
        b.Serve("/f/inner.htm", "<img src=/i.gif><iframe src='" + a.Url("/index.htm") + "'></iframe>");
        b.Serve("/i.gif", "I", "image/gif");

        Harness harness;
        EXPECT_EQ(harness.Load(a.Url("/index.htm")), Page { a.Url("/index.htm") });
        std::vector<std::string> order;
        for (const auto& completion : harness.Completions())
            order.push_back((completion.topLevel ? "top " : "frame ") + completion.url);
        const std::vector<std::string> expected = {
            "frame " + a.Url("/left.htm"),
            "frame " + b.Url("/f/inner.htm"),
            // The empty frame has no address of its own: it reports its parent's.
            "frame " + b.Url("/f/right.htm"),
            "frame " + b.Url("/f/missing.htm"),
            "frame " + b.Url("/f/right.htm"),
            "top " + a.Url("/index.htm"),
        };
        EXPECT_EQ(order, expected);

        auto top = harness.Engine().Document();
        ASSERT_EQ(top->frames.size(), 2u);
        auto right = top->frames[1].document;
        ASSERT_TRUE(right);
        ASSERT_EQ(right->frames.size(), 3u);
        auto inner = right->frames[0].document;
        ASSERT_TRUE(inner);
        EXPECT_EQ(
            inner->serialization, "<img src=/i.gif><iframe src='" + a.Url("/index.htm") + "'></iframe>");
        // The innermost frame names the page itself again: that frame is not loaded.
        ASSERT_EQ(inner->frames.size(), 1u);
        EXPECT_FALSE(inner->frames[0].document);
        EXPECT_EQ(a.RequestCount("/index.htm"), 1);
        EXPECT_EQ(harness.Cached(b.Url("/i.gif")), "I");
        EXPECT_EQ(harness.Cached(a.Url("/l.gif")), "L");
    }

    TEST(StaticEngine, FramesStopAtTheDepthLimit)
    {
        TestServer server;
        // Every level names the next one, without end.
        server.Handle("/level", [](const httplib::Request& request, httplib::Response& response) {
            int n = std::stoi(request.get_param_value("n"));
            response.set_content(
                "<iframe src='/level?n=" + std::to_string(n + 1) + "'></iframe>", "text/html");
        });
        StaticEngineOptions options;
        options.maxFrameDepth = 3;
        Harness harness(options);
        harness.Load(server.Url("/level?n=0"));
        auto document = harness.Engine().Document();
        int depth = 0;
        while (auto frame = document->frames.at(0).document) {
            document = frame;
            ++depth;
        }
        EXPECT_EQ(depth, 3);
        EXPECT_EQ(server.RequestCount("/level"), 4);
    }

    TEST(StaticEngine, SendsBrowserHeadersAndKeepsCookiesForTheLoad)
    {
        TestServer a("127.0.0.1");
        TestServer b("127.0.0.2");
        a.Serve("/p/page.htm", "<img src=same.gif><img src='" + b.Url("/other.gif") + "'>", "text/html", 200,
            { { "Set-Cookie", "session=42; Path=/" } });
        a.Serve("/p/same.gif", "S", "image/gif");
        b.Serve("/other.gif", "O", "image/gif");
        Harness harness;
        harness.Load(a.Url("/p/page.htm#part"));
        httplib::Headers same = a.LastRequestHeaders("/p/same.gif");
        auto header = [](const httplib::Headers& headers, const char* name) {
            auto found = headers.find(name);
            return found == headers.end() ? std::string("<none>") : found->second;
        };
        EXPECT_EQ(header(same, "User-Agent"), kStaticUserAgent);
        EXPECT_EQ(header(same, "Cookie"), "session=42");
        EXPECT_EQ(header(same, "Referer"), a.Url("/p/page.htm"));
        EXPECT_EQ(header(b.LastRequestHeaders("/other.gif"), "Referer"), a.Origin() + "/");
        EXPECT_EQ(header(b.LastRequestHeaders("/other.gif"), "Cookie"), "<none>");
        EXPECT_EQ(header(a.LastRequestHeaders("/p/page.htm"), "Referer"), "<none>");

        // The next load starts without the cookies of the last, though its requests reuse the
        // last load's handles.
        a.Serve("/q/page.htm", "<img src=../p/same.gif>");
        harness.Load(a.Url("/q/page.htm"));
        EXPECT_EQ(header(a.LastRequestHeaders("/q/page.htm"), "Cookie"), "<none>");
        EXPECT_EQ(header(a.LastRequestHeaders("/p/same.gif"), "Cookie"), "<none>");
        EXPECT_EQ(header(a.LastRequestHeaders("/p/same.gif"), "Referer"), a.Url("/q/page.htm"));
    }

    TEST(StaticEngine, BodyOverTheSizeLimitFailsOnlyThatResource)
    {
        TestServer server;
        server.Serve("/p.htm", "<img src=big.gif><img src=small.gif><img src=chunked.gif>");
        server.Serve("/big.gif", std::string(5000, 'B'), "image/gif");
        server.Serve("/small.gif", "small", "image/gif");
        server.Handle("/chunked.gif", [](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider("image/gif", [](size_t offset, httplib::DataSink& sink) {
                if (offset >= 8000) {
                    sink.done();
                    return true;
                }
                std::string block(1000, 'C');
                return sink.write(block.data(), block.size());
            });
        });
        StaticEngineOptions options;
        options.maxBodyBytes = 1000;
        Harness harness(options);
        harness.Load(server.Url("/p.htm"));
        EXPECT_EQ(harness.Cached(server.Url("/big.gif")), "<not cached>");
        EXPECT_EQ(harness.Cached(server.Url("/chunked.gif")), "<not cached>");
        EXPECT_EQ(harness.Cached(server.Url("/small.gif")), "small");
        EXPECT_EQ(harness.Cache().Folder().empty(), false);
    }

    TEST(StaticEngine, DocumentOverTheSizeLimitKeepsItsBytesUpToTheLimit)
    {
        TestServer server;
        std::string page = "<img src=a.gif>" + std::string(3000, ' ') + "<img src=late.gif>";
        server.Serve("/big.htm", page);
        server.Serve("/a.gif", "A", "image/gif");
        StaticEngineOptions options;
        options.maxBodyBytes = 1000;
        Harness harness(options);
        EXPECT_EQ(harness.Load(server.Url("/big.htm")), Page { server.Url("/big.htm") });
        EXPECT_EQ(harness.Engine().Document()->serialization, page.substr(0, 1000));
        EXPECT_EQ(harness.Cached(server.Url("/a.gif")), "A");
        EXPECT_EQ(server.RequestCount("/late.gif"), 0);
        EXPECT_EQ(harness.Cached(server.Url("/big.htm")), "<not cached>");
    }

    TEST(StaticEngine, LoadTimeoutCompletesWithWhatHasArrived)
    {
        TestServer server;
        testing::SilentServer silent;
        server.Serve("/p.htm", "<img src=ok.gif><img src='" + silent.Origin() + "/never.gif'>");
        server.Serve("/ok.gif", "OK", "image/gif");
        Harness harness;
        harness.Engine().SetLoadTimeout(std::chrono::milliseconds(1500));
        EXPECT_EQ(harness.Load(server.Url("/p.htm")), Page { server.Url("/p.htm") });
        EXPECT_EQ(harness.Cached(server.Url("/ok.gif")), "OK");
        EXPECT_EQ(harness.Cached(silent.Origin() + "/never.gif"), "<not cached>");

        // A page whose server never answers has no document: the error page.
        EXPECT_EQ(harness.Load(silent.Origin() + "/page.htm"), ErrorPage(silent.Origin() + "/page.htm"));
    }

    TEST(StaticEngine, KeepsTheBytesOfADocumentInAnotherCharacterSet)
    {
        TestServer server;
        // "中文" in GBK, declared by the page only.
        std::string page = "<html><head><meta charset=gb2312><title>\xD6\xD0\xCE\xC4</title></head>"
                           "<body><img alt='\xD6\xD0' src='\xD6\xD0.gif'></body></html>";
        server.Serve("/gbk.htm", page, "text/html");
        server.Serve("/\xE4\xB8\xAD.gif", "GIF-zhong", "image/gif");
        Harness harness;
        harness.Load(server.Url("/gbk.htm"));
        auto document = harness.Engine().Document();
        EXPECT_EQ(document->serialization, page);
        ASSERT_FALSE(document->elements.empty());
        EXPECT_EQ(document->elements.back().attributes.at(0).value, "中");
        EXPECT_EQ(harness.Cached(server.Url("/%E4%B8%AD.gif")), "GIF-zhong");
    }

    // An https server on 127.0.0.1 with a certificate of its own making.
    class TlsServer {
    public:
        explicit TlsServer(const std::filesystem::path& folder)
            : m_certificate((folder / "cert.pem").string())
        {
            std::string key = (folder / "key.pem").string();
            std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1"
                                  " -addext subjectAltName=IP:127.0.0.1 -keyout '"
                + key + "' -out '" + m_certificate + "' >/dev/null 2>&1";
            m_ready = std::system(command.c_str()) == 0;
            if (!m_ready)
                return;
            m_server = std::make_unique<httplib::SSLServer>(m_certificate.c_str(), key.c_str());
            m_server->Get("/page.htm", [](const httplib::Request&, httplib::Response& response) {
                response.set_content("<img src=/s.gif>", "text/html");
            });
            m_server->Get("/s.gif", [](const httplib::Request&, httplib::Response& response) {
                response.set_content("GIF-secure", "image/gif");
            });
            m_port = m_server->bind_to_any_port("127.0.0.1");
            m_thread = std::thread([this] { m_server->listen_after_bind(); });
        }
        ~TlsServer()
        {
            if (m_server)
                m_server->stop();
            if (m_thread.joinable())
                m_thread.join();
        }
        bool Ready() const { return m_ready && m_port > 0; }
        std::string Url(const std::string& path) const
        {
            return "https://127.0.0.1:" + std::to_string(m_port) + path;
        }
        const std::string& Certificate() const { return m_certificate; }

    private:
        std::string m_certificate;
        bool m_ready = false;
        int m_port = 0;
        std::unique_ptr<httplib::SSLServer> m_server;
        std::thread m_thread;
    };

    TEST(StaticEngine, LoadsOverTlsOnlyWithATrustedCertificate)
    {
        TemporaryFolder folder;
        TlsServer server(folder.Path());
        if (!server.Ready())
            GTEST_SKIP() << "openssl cannot make a certificate here";
        // The system's store does not know the server's certificate: no response, the error page.
        Harness untrusting;
        EXPECT_EQ(untrusting.Load(server.Url("/page.htm")), ErrorPage(server.Url("/page.htm")));

        StaticEngineOptions options;
        options.certificateAuthorities = server.Certificate();
        Harness trusting(options);
        EXPECT_EQ(trusting.Load(server.Url("/page.htm")), Page { server.Url("/page.htm") });
        EXPECT_EQ(trusting.Cached(server.Url("/s.gif")), "GIF-secure");
    }

    TEST(StaticEngine, NavigatingAgainAbandonsTheRunningLoad)
    {
        TestServer server;
        testing::SilentServer silent;
        server.Serve("/b.htm", "<p>b</p>");
        Harness harness;
        harness.Engine().Navigate(silent.Origin() + "/a.htm");
        harness.Engine().ProcessEvents(std::chrono::milliseconds(10));
        EXPECT_EQ(harness.Load(server.Url("/b.htm")), Page { server.Url("/b.htm") });
        EXPECT_EQ(harness.Completions().size(), 1u);
    }

    TEST(StaticEngine, FramesWithoutAnAddressOfTheirOwnInheritTheirParentsAndFailedFramesSaySo)
    {
        TestServer server;
        const int refused = testing::RefusedPort();
        server.Serve("/p/page.htm",
            "<iframe></iframe><iframe src=about:blank></iframe><iframe srcdoc='<img src=s.gif>'></iframe>"
            "<iframe src='javascript:void(0)'></iframe><iframe src='data:text/html,<b>x'></iframe>"
            "<iframe src='http://127.0.0.1:"
                + std::to_string(refused) + "/gone.htm'></iframe><iframe src=f.htm></iframe>");
        server.Serve("/p/f.htm", "<p>frame");
        Harness harness;
        harness.Load(server.Url("/p/page.htm"));
        auto top = harness.Engine().Document();
        ASSERT_EQ(top->frames.size(), 7u);
        std::vector<std::string> frames;
        for (int i = 0; i < 7; ++i) {
            auto frame = top->frames[size_t(i)].document;
            ASSERT_TRUE(frame) << i;
            frames.push_back(OriginName(frame->origin) + " " + frame->url + " "
                + std::to_string(frame->serialization.size()));
        }
        const std::string page = server.Url("/p/page.htm");
        const std::vector<std::string> expected = {
            "inherited " + page + " 0",
            "inherited " + page + " 0",
            // The srcdoc frame's document is its markup.
            "inherited " + page + " 15",
            "inherited " + page + " 0",
            "inherited " + page + " 0",
            "failed http://127.0.0.1:" + std::to_string(refused) + "/gone.htm 0",
            "own " + server.Url("/p/f.htm") + " 8",
        };
        EXPECT_EQ(frames, expected);
        EXPECT_EQ(OriginName(top->origin), "own");
    }

    TEST(StaticEngine, NavigationWithoutResponseNamesItsReason)
    {
        TestServer server;
        testing::SilentServer silent;
        server.Serve(
            "/to-blocked.htm", "", "text/html", 302, { { "Location", "http://127.0.0.1:79/x.htm" } });
        struct Case {
            std::string address;
            NavigationFailure failure;
        };
        const Case cases[] = {
            { "http://127.0.0.1:" + std::to_string(testing::RefusedPort()) + "/",
                NavigationFailure::ConnectionRefused },
            { "http://127.0.0.1:79/", NavigationFailure::BlockedPort },
            { server.Url("/to-blocked.htm"), NavigationFailure::BlockedPort },
            { "ftp://127.0.0.1/x.htm", NavigationFailure::UnsupportedScheme },
            { silent.Origin() + "/slow.htm", NavigationFailure::TimedOut },
            { "http://no-such-host.invalid/", NavigationFailure::HostNotFound },
        };
        Harness harness;
        harness.Engine().SetLoadTimeout(std::chrono::milliseconds(1500));
        for (const Case& c : cases) {
            SCOPED_TRACE(c.address);
            Page completed = harness.Load(c.address);
            EXPECT_EQ(completed.origin, DocumentOrigin::Failed) << completed.url;
            EXPECT_EQ(harness.Engine().LastFailure(), c.failure);
        }
        harness.Load(server.Url("/missing.htm"));
        EXPECT_EQ(harness.Engine().LastFailure(), NavigationFailure::None);
    }

    TEST(StaticEngine, FramesLoadToTheSharedDepthLimit)
    {
        TestServer server;
        server.Handle("/level", [](const httplib::Request& request, httplib::Response& response) {
            int n = std::stoi(request.get_param_value("n"));
            response.set_content(
                "<iframe src='/level?n=" + std::to_string(n + 1) + "'></iframe>", "text/html");
        });
        Harness harness;
        harness.Load(server.Url("/level?n=0"));
        auto document = harness.Engine().Document();
        int depth = 0;
        while (auto frame = document->frames.at(0).document) {
            document = frame;
            ++depth;
        }
        EXPECT_EQ(depth, kFrameDepthLimit);
        EXPECT_GE(kFrameDepthLimit, 100);
        EXPECT_EQ(server.RequestCount("/level"), kFrameDepthLimit + 1);
    }

    // At the time-out the document is what has arrived; what that part names is still requested,
    // and what was requested before still counts when it finishes within the grace.
    TEST(StaticEngine, WhatWasRequestedAndWhatTheArrivedPartNamesFinishAfterTheTimeout)
    {
        TestServer server;
        server.Handle("/stream.htm", [](const httplib::Request&, httplib::Response& response) {
            // Without a type, so the server sends it uncompressed as it goes (a document without a type
            // is read as HTML).
            response.set_chunked_content_provider(
                "", [sent = false](size_t, httplib::DataSink& sink) mutable {
                    if (!sent) {
                        sent = true;
                        std::string head = "<html><body><img src=slow.gif><img src=named.gif>";
                        return sink.write(head.data(), head.size());
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                    return sink.write(" ", 1);
                });
        });
        server.Handle("/slow.gif", [](const httplib::Request&, httplib::Response& response) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2500));
            response.set_content("SLOW", "image/gif");
        });
        server.Serve("/named.gif", "NAMED", "image/gif");
        StaticEngineOptions options;
        options.afterTimeout = std::chrono::seconds(20);
        Harness harness(options);
        harness.Engine().SetLoadTimeout(std::chrono::milliseconds(1000));
        EXPECT_EQ(harness.Load(server.Url("/stream.htm")), Page { server.Url("/stream.htm") });
        EXPECT_EQ(harness.Cached(server.Url("/slow.gif")), "SLOW");
        EXPECT_EQ(harness.Cached(server.Url("/named.gif")), "NAMED");
        // The document was cut by the time-out: it is the page, but not stored as a whole body.
        EXPECT_EQ(harness.Cached(server.Url("/stream.htm")), "<not cached>");
        EXPECT_EQ(harness.Engine().Document()->serialization.rfind("<html><body><img src=slow.gif>", 0), 0u);
    }

    TEST(StaticEngine, ThePageMemoryBudgetIsSharedByEveryDocument)
    {
        constexpr size_t kBody = 3 << 20;
        const std::string text(kBody, 'a');
        TestServer server;
        std::string page = "<html><body>";
        for (int i = 0; i < 4; ++i) {
            std::string path = "/f" + std::to_string(i) + ".htm";
            server.Serve(path, Gzip(text), "text/html", 200, { { "Content-Encoding", "gzip" } });
            page += "<iframe src=" + path + "></iframe>";
        }
        server.Serve("/page.htm", page);
        StaticEngineOptions options;
        options.pageMemoryBudget = 8 << 20;
        Harness harness(options);
        harness.Load(server.Url("/page.htm"));
        auto top = harness.Engine().Document();
        ASSERT_EQ(top->frames.size(), 4u);
        // Each frame is whole, or was given up when it outgrew what was left of the budget.
        size_t held = top->serialization.size();
        int whole = 0;
        for (int i = 0; i < 4; ++i) {
            auto frame = top->frames[size_t(i)].document;
            ASSERT_TRUE(frame);
            const std::string& bytes = frame->serialization;
            if (OriginName(frame->origin) == "own") {
                EXPECT_TRUE(bytes == text) << i;
                ++whole;
            } else {
                EXPECT_EQ(OriginName(frame->origin) + " " + std::to_string(bytes.size()), "failed 0");
            }
            held += bytes.size();
        }
        EXPECT_LE(held, options.pageMemoryBudget);
        EXPECT_GE(whole, 1);
        EXPECT_LT(whole, 4);
    }

    TEST(StaticEngine, CutOrDamagedCompressedBodiesAreNotStored)
    {
        const std::string gif = "GIF89a" + std::string(200000, 'g');
        TestServer server;
        const std::pair<std::string, std::string> codings[] = {
            { "gzip", Gzip(gif) },
            { "deflate", testing::Deflate(gif, false) },
            { "br", testing::Brotli(gif) },
        };
        std::string page;
        for (const auto& [coding, body] : codings) {
            server.Serve(
                "/" + coding + "-whole.gif", body, "image/gif", 200, { { "Content-Encoding", coding } });
            server.Serve("/" + coding + "-cut.gif", body.substr(0, body.size() / 2), "image/gif", 200,
                { { "Content-Encoding", coding } });
            page += "<img src=" + coding + "-whole.gif><img src=" + coding + "-cut.gif>";
        }
        server.Serve("/page.htm", page);
        Harness harness;
        harness.Load(server.Url("/page.htm"));
        for (const auto& [coding, body] : codings) {
            SCOPED_TRACE(coding);
            EXPECT_EQ(harness.Cached(server.Url("/" + coding + "-whole.gif")), gif);
            EXPECT_EQ(harness.Cached(server.Url("/" + coding + "-cut.gif")), "<not cached>");
        }
    }

    TEST(StaticEngine, InterruptStopsTheLoadWithoutACompletion)
    {
        TestServer server;
        server.Serve("/page.htm", "<p>page");
        Harness harness;
        std::atomic<bool> interrupted { false };
        harness.Engine().WatchInterrupt(&interrupted);
        harness.Engine().Navigate(server.Url("/page.htm"));
        interrupted = true;
        for (int i = 0; i < 20; ++i)
            harness.Engine().ProcessEvents(std::chrono::milliseconds(10));
        EXPECT_TRUE(harness.Completions().empty());
        // Once the flag is down again, the next navigation starts afresh.
        interrupted = false;
        EXPECT_EQ(harness.Load(server.Url("/page.htm")), Page { server.Url("/page.htm") });
    }

} // namespace
} // namespace pagestow::engine

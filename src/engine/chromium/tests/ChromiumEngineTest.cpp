#include "engine/chromium/ChromiumEngine.h"
#include "engine/tests/CompletedPage.h"

#include "ProcessProbe.h"
#include "engine/EngineError.h"
#include "support/Gzip.h"
#include "support/TemporaryFolder.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <signal.h>

namespace pagestow::engine::chromium {
namespace {

    namespace fs = std::filesystem;
    using pagestow::testing::ReadFileBytes;
    using pagestow::testing::RefusedPort;
    using pagestow::testing::SilentServer;
    using pagestow::testing::TemporaryFolder;
    using pagestow::testing::TestServer;

    const std::string kPng
        = std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0\x1f\x15\xc4\x89"
                      "\0\0\0\rIDATx\x9c"
                      "c`\0\0\0\x02\0\x01\xe2!\xbc\x33\0\0\0\0IEND\xae\x42\x60\x82",
            67);

    using pagestow::testing::Gzip;
    // The elements of a snapshot, read back as text.
    std::vector<std::string> ElementLines(const SnapshotDocument& document)
    {
        std::vector<std::string> lines;
        for (const SnapshotElement& element : document.elements) {
            std::string line = element.tagName;
            for (const SnapshotAttribute& attribute : element.attributes)
                line.append(" ").append(attribute.name).append("=").append(attribute.value);
            lines.push_back(line);
        }
        return lines;
    }

    std::string Url(const std::shared_ptr<const SnapshotDocument>& document)
    {
        return document ? document->url : "<none>";
    }

    struct Completion {
        bool topLevel;
        std::string url;
        DocumentOrigin origin;
    };

    using Page = CompletedPage;

    class ChromiumEngineTest : public ::testing::Test {
    protected:
        void SetUp() override
        {
            if (!ChromiumAvailable())
                GTEST_SKIP() << kChromiumProgram << " is not installed";
            m_cache = std::make_unique<EngineCache>(m_folder.Path() / "cache");
            ChromiumOptions options;
            options.cache = m_cache.get();
            m_engine = std::make_unique<ChromiumEngine>(options);
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
            for (int round = 0; round < 2400; ++round) {
                m_engine->ProcessEvents(std::chrono::milliseconds(50));
                if (!m_completions.empty() && m_completions.back().topLevel)
                    return { m_completions.back().url, m_completions.back().origin };
            }
            ADD_FAILURE() << "no completion for " << address;
            return {};
        }

        std::string Cached(const std::string& address) const
        {
            auto file = m_cache->Lookup(address);
            return file ? ReadFileBytes(*file) : std::string("<not cached>");
        }

        std::shared_ptr<const SnapshotDocument> Top() const { return m_engine->Document(); }

        TemporaryFolder m_folder;
        std::unique_ptr<EngineCache> m_cache;
        std::unique_ptr<ChromiumEngine> m_engine;
        std::vector<Completion> m_completions;
    };

    TEST_F(ChromiumEngineTest, TwoHostPageIsLoadedWithEveryFrameToAnyDepth)
    {
        TestServer a("127.0.0.1");
        TestServer b("127.0.0.2");
        a.Serve("/page.html",
            "<!DOCTYPE html><html><head><link rel=\"stylesheet\" href=\"s.css\"><script "
            "src=\"s.js\"></script></head>"
            "<body><!-- note --><img src=\"a.png\" alt=\"x\"><img src=\""
                + b.Url("/b.png")
                + "\">"
                  "<iframe src=\""
                + b.Url("/frame.html") + "\"></iframe><iframe src=\"same.html\"></iframe></body></html>");
        a.Serve("/s.css", "body { margin: 0 }", "text/css");
        a.Serve("/s.js", "var loaded = 1;", "text/javascript");
        a.Serve("/a.png", kPng, "image/png");
        a.Serve("/same.html", "<html><body><img src=\"s.png\"></body></html>");
        a.Serve("/s.png", kPng + "s", "image/png");
        a.Serve("/inner.html", "<html><body><img src=\"i.png\"></body></html>");
        a.Serve("/i.png", kPng + "i", "image/png");
        b.Serve("/b.png", kPng + "b", "image/png");
        b.Serve("/f.png", kPng + "f", "image/png");
        b.Serve("/frame.html",
            "<html><body><img src=\"f.png\"><iframe src=\"" + a.Url("/inner.html")
                + "\"></iframe></body></html>");

        EXPECT_EQ(Load(a.Url("/page.html")), Page { a.Url("/page.html") });

        // Frame documents complete first, each after the frames inside it, the page last.
        ASSERT_EQ(m_completions.size(), 4u);
        EXPECT_EQ(m_completions[0].url, a.Url("/inner.html"));
        EXPECT_EQ(m_completions[1].url, b.Url("/frame.html"));
        EXPECT_EQ(m_completions[2].url, a.Url("/same.html"));
        EXPECT_FALSE(m_completions[2].topLevel);
        EXPECT_TRUE(m_completions[3].topLevel);

        auto top = Top();
        ASSERT_TRUE(top);
        EXPECT_EQ(ElementLines(*top),
            (std::vector<std::string> { "HTML", "HEAD", "LINK rel=stylesheet href=s.css", "SCRIPT src=s.js",
                "BODY", "!", "IMG src=a.png alt=x", "IMG src=" + b.Url("/b.png"),
                "IFRAME src=" + b.Url("/frame.html"), "IFRAME src=same.html" }));
        EXPECT_EQ(top->body, 4);
        EXPECT_EQ(top->serialization.substr(0, 15), "<!DOCTYPE html>");
        ASSERT_EQ(top->frames.size(), 2u);
        auto crossOrigin = top->frames[0].document;
        EXPECT_EQ(Url(crossOrigin), b.Url("/frame.html"));
        ASSERT_TRUE(crossOrigin);
        EXPECT_EQ(ElementLines(*crossOrigin),
            (std::vector<std::string> {
                "HTML", "HEAD", "BODY", "IMG src=f.png", "IFRAME src=" + a.Url("/inner.html") }));
        ASSERT_EQ(crossOrigin->frames.size(), 1u);
        EXPECT_EQ(Url(crossOrigin->frames[0].document), a.Url("/inner.html"));
        EXPECT_EQ(Url(top->frames[1].document), a.Url("/same.html"));

        for (const auto& [address, bytes] : std::vector<std::pair<std::string, std::string>> {
                 { a.Url("/s.css"), "body { margin: 0 }" }, { a.Url("/s.js"), "var loaded = 1;" },
                 { a.Url("/a.png"), kPng }, { b.Url("/b.png"), kPng + "b" }, { b.Url("/f.png"), kPng + "f" },
                 { a.Url("/i.png"), kPng + "i" }, { a.Url("/s.png"), kPng + "s" },
                 { b.Url("/frame.html"),
                     "<html><body><img src=\"f.png\"><iframe src=\"" + a.Url("/inner.html")
                         + "\"></iframe></body></html>" } }) {
            SCOPED_TRACE(address);
            EXPECT_EQ(Cached(address), bytes);
        }
        LoadProgress progress = m_engine->Progress();
        EXPECT_EQ(progress.requested, 11);
        EXPECT_EQ(progress.loaded, 11);
        EXPECT_GT(progress.bytes, 0u);
    }

    TEST_F(ChromiumEngineTest, ImageThePagesScriptAddsAtLoadTimeIsCached)
    {
        TestServer server;
        server.Serve("/page.html",
            "<html><body><script>window.addEventListener('load', function () {"
            " var image = new Image(); image.src = 'late.png'; document.body.appendChild(image); });</script>"
            "</body></html>");
        server.Serve("/late.png", kPng + "late", "image/png");

        Load(server.Url("/page.html"));

        EXPECT_EQ(Cached(server.Url("/late.png")), kPng + "late");
        EXPECT_EQ(ElementLines(*Top()).back(), "IMG src=late.png");
    }

    TEST_F(ChromiumEngineTest, GbkPageIsSerialisedInGbk)
    {
        TestServer server;
        // "你好" in GBK, then a character GBK lacks, written as a reference in the source.
        std::string page = "<html><head><meta charset=\"gbk\"></head><body><p>\xC4\xE3\xBA\xC3 "
                           "&#x1F600;</p></body></html>";
        server.Serve("/gbk.html", page);

        Load(server.Url("/gbk.html"));

        EXPECT_EQ(Top()->serialization,
            "<html><head><meta charset=\"gbk\"></head><body><p>\xC4\xE3\xBA\xC3 &#x1F600;</p></body></html>");
        EXPECT_EQ(Cached(server.Url("/gbk.html")), page);
    }

    TEST_F(ChromiumEngineTest, SubresourceBytesAreCachedExactlyAsServed)
    {
        TestServer server;
        struct Resource {
            const char* path;
            std::string body;
            const char* type;
            std::vector<std::pair<std::string, std::string>> headers;
            std::string cached;
        } resources[] = {
            { "/gbk.css", "/* \xD6\xD0\xCE\xC4 */ p {}", "text/css; charset=gbk", {},
                "/* \xD6\xD0\xCE\xC4 */ p {}" },
            { "/bom.css", "\xEF\xBB\xBFp { color: red } /* \xFF */", "text/css", {},
                "\xEF\xBB\xBFp { color: red } /* \xFF */" },
            { "/zipped.js", Gzip("var zipped = true;"), "text/javascript", { { "Content-Encoding", "gzip" } },
                "var zipped = true;" },
            { "/image.png", kPng, "image/png", {}, kPng },
            { "/zipped.png", Gzip(kPng), "image/png", { { "Content-Encoding", "gzip" } }, kPng },
            // Bodies the page's renderer reads as text or drops: an SVG image with a byte order mark,
            // one in Latin-1, an image that fails to decode.
            { "/bom.svg", "\xEF\xBB\xBF<svg xmlns=\"http://www.w3.org/2000/svg\"/>", "image/svg+xml", {},
                "\xEF\xBB\xBF<svg xmlns=\"http://www.w3.org/2000/svg\"/>" },
            { "/latin.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\"><title>\xE9</title></svg>",
                "image/svg+xml; charset=iso-8859-1", {},
                "<svg xmlns=\"http://www.w3.org/2000/svg\"><title>\xE9</title></svg>" },
            { "/broken.gif", "GIF89a-broken", "image/gif", {}, "GIF89a-broken" },
        };
        for (const auto& resource : resources)
            server.Serve(resource.path, resource.body, resource.type, 200, resource.headers);
        server.Serve("/page.html",
            "<html><head><link rel=\"stylesheet\" href=\"gbk.css\"><link rel=\"stylesheet\" href=\"bom.css\">"
            "<script src=\"zipped.js\"></script></head><body><img src=\"image.png\"><img src=\"zipped.png\">"
            "<img src=\"bom.svg\"><img src=\"latin.svg\"><img src=\"broken.gif\"></body></html>");

        Load(server.Url("/page.html"));

        for (const auto& resource : resources) {
            SCOPED_TRACE(resource.path);
            EXPECT_EQ(Cached(server.Url(resource.path)), resource.cached);
        }
    }

    TEST_F(ChromiumEngineTest, OnlyCompleteSuccessesAreCachedAndRedirectsUnderBothAddresses)
    {
        TestServer server;
        server.Serve("/a.png", kPng, "image/png");
        server.Serve("/moved.png", "", "text/plain", 302, { { "Location", "/a.png" } });
        server.Serve("/missing.png", "not here", "text/plain", 404);
        server.Serve(
            "/part.png", kPng.substr(0, 10), "image/png", 206, { { "Content-Range", "bytes 0-9/67" } });
        server.Serve("/favicon.ico", kPng + "icon", "image/x-icon");
        server.Serve("/page.html",
            "<html><body><img src=\"moved.png\"><img src=\"missing.png\"><img "
            "src=\"part.png\"></body></html>");

        Load(server.Url("/page.html"));

        EXPECT_EQ(Cached(server.Url("/moved.png")), kPng);
        EXPECT_EQ(Cached(server.Url("/a.png")), kPng);
        EXPECT_EQ(Cached(server.Url("/missing.png")), "<not cached>");
        EXPECT_EQ(Cached(server.Url("/part.png")), "<not cached>");
        // The browser's own favicon request is no request of the page.
        EXPECT_EQ(m_engine->Progress().requested, 4);
    }

    TEST_F(ChromiumEngineTest, HttpErrorStatusShowsTheServersPage)
    {
        TestServer server;
        server.Serve("/gone.html", "<html><body><p>Gone away</p></body></html>", "text/html", 404);

        EXPECT_EQ(Load(server.Url("/gone.html")), Page { server.Url("/gone.html") });
        EXPECT_EQ(ElementLines(*Top()), (std::vector<std::string> { "HTML", "HEAD", "BODY", "P" }));
        EXPECT_EQ(Cached(server.Url("/gone.html")), "<not cached>");
    }

    TEST_F(ChromiumEngineTest, NavigationWithoutResponseShowsTheErrorPage)
    {
        std::string refused = "http://127.0.0.1:" + std::to_string(RefusedPort()) + "/page.html";
        for (const std::string& address : { std::string("http://nosuchhost.invalid/page.html"), refused,
                 std::string("http://127.0.0.1:1/"), std::string("ftp://127.0.0.1/file.txt") }) {
            SCOPED_TRACE(address);
            EXPECT_EQ(Load(address), ErrorPage(address));
            EXPECT_EQ(m_completions.size(), 1u);
        }
    }

    TEST_F(ChromiumEngineTest, AddressWithoutSchemeIsLoadedOverHttpAndBlankIsAnEmptyPage)
    {
        TestServer server;
        server.Serve("/page.html", "<html><body>hello</body></html>");

        EXPECT_EQ(Load("127.0.0.1:" + std::to_string(server.Port()) + "/page.html"),
            Page { server.Url("/page.html") });
        EXPECT_EQ(Load("about:blank"), Page { "about:blank" });
        EXPECT_EQ(ElementLines(*Top()), (std::vector<std::string> { "HTML", "HEAD", "BODY" }));
    }

    TEST_F(ChromiumEngineTest, ScriptDialogDoesNotStopThePage)
    {
        TestServer server;
        server.Serve("/page.html",
            "<html><body><script>alert('hello'); confirm('sure?');</script>"
            "<img src=\"a.png\"></body></html>");
        server.Serve("/a.png", kPng, "image/png");

        EXPECT_EQ(Load(server.Url("/page.html")), Page { server.Url("/page.html") });
        EXPECT_EQ(Cached(server.Url("/a.png")), kPng);
    }

    TEST_F(ChromiumEngineTest, LoadTimeoutCompletesAPageThatNeverFinishesWithWhatArrived)
    {
        TestServer server;
        SilentServer silent;
        server.Serve("/page.html",
            "<html><body><img src=\"a.png\"><img src=\"" + silent.Origin() + "/never.png\"></body></html>");
        server.Serve("/a.png", kPng, "image/png");
        m_engine->SetLoadTimeout(std::chrono::milliseconds(4000));

        EXPECT_EQ(Load(server.Url("/page.html")), Page { server.Url("/page.html") });
        EXPECT_EQ(Cached(server.Url("/a.png")), kPng);
        EXPECT_EQ(Cached(silent.Origin() + "/never.png"), "<not cached>");
        EXPECT_GE(silent.Connections(), 1);
    }

    TEST_F(ChromiumEngineTest, LoadTimeoutBeforeAnyResponseShowsTheErrorPage)
    {
        SilentServer silent;
        m_engine->SetLoadTimeout(std::chrono::milliseconds(1000));

        EXPECT_EQ(Load(silent.Origin() + "/page.html"), ErrorPage(silent.Origin() + "/page.html"));
    }

    TEST_F(ChromiumEngineTest, NoBrowserProcessOrProfileIsLeftAfterDestruction)
    {
        TestServer server;
        server.Serve("/page.html", "<html><body>hello</body></html>");
        Load(server.Url("/page.html"));
        pid_t group = m_engine->BrowserProcessGroup();
        fs::path profile = m_engine->ProfileFolder();
        ASSERT_TRUE(fs::is_directory(profile));

        m_engine.reset();

        EXPECT_FALSE(testing::GroupExists(group));
        EXPECT_EQ(testing::ProcessesMentioning(profile.string()), std::vector<pid_t>());
        EXPECT_FALSE(fs::exists(profile));
    }

    TEST_F(ChromiumEngineTest, BrowserThatDiesWhileLoadingIsAnEngineErrorAndTheNextPageStartsAFreshOne)
    {
        TestServer server;
        SilentServer silent;
        server.Serve(
            "/slow.html", "<html><body><img src=\"" + silent.Origin() + "/never.png\"></body></html>");
        server.Serve("/page.html", "<html><body>hello</body></html>");
        m_engine->Navigate(server.Url("/slow.html"));
        for (int round = 0; round < 2400 && silent.Connections() == 0; ++round)
            m_engine->ProcessEvents(std::chrono::milliseconds(50));
        pid_t first = m_engine->BrowserProcessGroup();
        fs::path firstProfile = m_engine->ProfileFolder();

        kill(-first, SIGKILL);
        bool raised = false;
        for (int round = 0; round < 2400 && !raised; ++round) {
            try {
                m_engine->ProcessEvents(std::chrono::milliseconds(50));
            } catch (const EngineError& error) {
                raised = true;
                EXPECT_EQ(std::string(error.what())
                              .rfind("Chromium ended while loading " + server.Url("/slow.html"), 0),
                    0u)
                    << error.what();
            }
        }
        EXPECT_TRUE(raised);
        EXPECT_TRUE(m_completions.empty());
        EXPECT_FALSE(testing::GroupExists(first));
        EXPECT_FALSE(fs::exists(firstProfile));

        EXPECT_EQ(Load(server.Url("/page.html")), Page { server.Url("/page.html") });
        EXPECT_NE(m_engine->BrowserProcessGroup(), first);
    }

} // namespace
} // namespace pagestow::engine::chromium

#include "engine/webkit/WebKitEngine.h"

#include "engine/EngineCache.h"
#include "support/TemporaryFolder.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

namespace pagestow::engine::webkit {
namespace {

    using namespace std::chrono_literals;
    using pagestow::testing::TemporaryFolder;
    using pagestow::testing::TestServer;

    // What one load raised: every completion in order, and whether the last was the top level.
    struct Completion {
        bool topLevel = false;
        std::string url;
        ObjectPtr browser;
    };

    class WebKitEngineTest : public ::testing::Test {
    protected:
        static void SetUpTestSuite()
        {
            // Mesa's shader cache and WebKit's data stay out of the real home.
            static TemporaryFolder home;
            setenv("HOME", home.Path().c_str(), 1);
            setenv("XDG_CACHE_HOME", (home.Path() / "cache").c_str(), 1);
            setenv("XDG_DATA_HOME", (home.Path() / "data").c_str(), 1);
        }

        void SetUp() override
        {
            if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
                GTEST_SKIP() << "no display for WebKit";
            if (!WebKitEngineAvailable())
                GTEST_SKIP() << "GTK cannot open the display";
            m_engine = std::make_unique<WebKitEngine>();
            m_engine->SetDocumentCompleteHandler([this](const ObjectPtr& browser, const std::string& url) {
                m_completions.push_back({ browser == m_engine->Application(), url, browser });
            });
        }

        // Loads address and waits for its top-level completion (bounded, so a broken load fails
        // instead of hanging).
        std::shared_ptr<HtmlDocument> Load(const std::string& address)
        {
            m_completions.clear();
            m_engine->Navigate(address);
            auto giveUp = std::chrono::steady_clock::now() + 90s;
            while ((m_completions.empty() || !m_completions.back().topLevel)
                && std::chrono::steady_clock::now() < giveUp)
                m_engine->ProcessEvents(100ms);
            if (m_completions.empty() || !m_completions.back().topLevel)
                return nullptr;
            return As<HtmlDocument>(m_engine->Document());
        }

        static std::vector<std::string> TagNames(const ObjectPtr& document)
        {
            std::vector<std::string> tags;
            auto all = As<ElementCollection>(As<HtmlDocument>(document)->All());
            for (std::int32_t i = 0; i < all->Length(); ++i)
                tags.push_back(As<HtmlElement>(all->Item(i))->TagName());
            return tags;
        }

        static std::string Serialization(const ObjectPtr& document)
        {
            std::string bytes;
            As<PersistStream>(document)->Save(bytes, true);
            return bytes;
        }

        static ObjectPtr FrameDocument(const std::shared_ptr<HtmlDocument>& document, int index)
        {
            auto window = As<FramesCollection>(document->Frames())->Item(index);
            auto browser = As<ServiceProvider>(window)->QueryService(ServiceId::WebBrowserApp);
            return browser ? As<WebBrowser>(browser)->Document() : nullptr;
        }

        static std::string CachedBytes(const std::string& address)
        {
            std::string file;
            if (GetCachedFileName(address, file) != 0)
                return "(not cached)";
            return pagestow::testing::ReadFileBytes(file);
        }

        std::unique_ptr<WebKitEngine> m_engine;
        std::vector<Completion> m_completions;
    };

    // A real 1 x 1 GIF picture; a body that only claims to be one is dropped by WebKit's decoder.
    std::string Gif(const std::string& tag)
    {
        static const std::string picture(
            "GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00!\xf9\x04\x01"
            "\x00\x00\x00\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;",
            43);
        // Bytes after the trailer are ignored by decoders and tell the pictures apart.
        return picture + tag;
    }

    struct ErrorCase {
        const char* name;
        std::string address;
    };

    class WebKitEngineErrorTest : public WebKitEngineTest,
                                  public ::testing::WithParamInterface<ErrorCase> { };

    TEST_P(WebKitEngineErrorTest, ANavigationWithoutResponseShowsTheBuiltInErrorPage)
    {
        auto document = Load(GetParam().address);
        ASSERT_TRUE(document);
        EXPECT_EQ(document->Url(), std::string(kErrorPagePrefix) + GetParam().address);
        ASSERT_EQ(m_completions.size(), 1u);
        EXPECT_EQ(m_completions[0].url, document->Url());
    }

    INSTANTIATE_TEST_SUITE_P(Failures, WebKitEngineErrorTest,
        ::testing::Values(ErrorCase { "UnresolvableHost", "http://no-such-host.invalid/page.htm" },
            ErrorCase { "RefusedConnection",
                "http://127.0.0.1:" + std::to_string(pagestow::testing::RefusedPort()) + "/" },
            ErrorCase { "BlockedPort", "http://127.0.0.1:1/" }),
        [](const auto& testCase) { return std::string(testCase.param.name); });

    TEST_F(WebKitEngineTest, AnHttpErrorStatusIsThePagesOwnDocument)
    {
        TestServer server;
        server.Serve("/missing.htm", "<html><body><p>gone</p></body></html>", "text/html", 404);
        auto document = Load(server.Url("/missing.htm"));
        ASSERT_TRUE(document);
        EXPECT_EQ(document->Url(), server.Url("/missing.htm"));
        EXPECT_EQ(TagNames(document), (std::vector<std::string> { "HTML", "HEAD", "BODY", "P" }));
        // A 404 body is not a resource the engine loaded successfully.
        EXPECT_EQ(CachedBytes(server.Url("/missing.htm")), "(not cached)");
    }

    TEST_F(WebKitEngineTest, AnAddressWithoutSchemeIsLoadedOverHttp)
    {
        TestServer server;
        server.Serve("/", "<html><body>x</body></html>");
        auto document = Load("127.0.0.1:" + std::to_string(server.Port()) + "/");
        ASSERT_TRUE(document);
        EXPECT_EQ(document->Url(), server.Url("/"));
    }

    TEST_F(WebKitEngineTest, TheSnapshotHoldsElementsCommentsAndAttributesInSourceOrder)
    {
        TestServer server;
        server.Serve("/page.htm",
            "<!DOCTYPE html><html><head><title>t</title><link rel=\"stylesheet\" href=\"s.css\"></head>"
            "<body background=\"bg.gif\"><!-- note --><img src=\"a.gif\" alt=\"A\" "
            "real_src=\"b.gif\"></body></html>");
        server.Serve("/s.css", "body { color: red }", "text/css");
        server.Serve("/a.gif", Gif("a"), "image/gif");
        server.Serve("/bg.gif", Gif("bg"), "image/gif");
        auto document = Load(server.Url("/page.htm"));
        ASSERT_TRUE(document);
        EXPECT_EQ(TagNames(document),
            (std::vector<std::string> { "HTML", "HEAD", "TITLE", "LINK", "BODY", "!", "IMG" }));
        auto all = As<ElementCollection>(document->All());
        auto img = all->Item(6);
        EXPECT_EQ(As<HtmlElement>(As<HtmlElement>(img)->ParentElement())->TagName(), "BODY");
        EXPECT_EQ(As<HtmlElement>(As<HtmlElement>(all->Item(5))->ParentElement())->TagName(), "BODY");
        auto attributes = As<AttributeCollection>(As<DomNode>(img)->Attributes());
        ASSERT_EQ(attributes->Length(), 3);
        std::vector<std::pair<std::string, std::string>> seen;
        for (std::int32_t i = 0; i < attributes->Length(); ++i) {
            auto attribute = As<DomAttribute>(attributes->Item(i));
            seen.emplace_back(attribute->NodeName(), attribute->NodeValue());
        }
        EXPECT_EQ(seen,
            (std::vector<std::pair<std::string, std::string>> {
                { "src", "a.gif" }, { "alt", "A" }, { "real_src", "b.gif" } }));
        EXPECT_EQ(As<HtmlElement>(document->Body())->TagName(), "BODY");
        EXPECT_EQ(Serialization(document),
            "<!DOCTYPE html>\n<html><head><title>t</title><link rel=\"stylesheet\" href=\"s.css\"></head>"
            "<body background=\"bg.gif\"><!-- note --><img src=\"a.gif\" alt=\"A\" "
            "real_src=\"b.gif\"></body></html>");
        EXPECT_EQ(CachedBytes(server.Url("/s.css")), "body { color: red }");
        EXPECT_EQ(CachedBytes(server.Url("/a.gif")), Gif("a"));
    }

    TEST_F(WebKitEngineTest, AGbkPageIsSerialisedInGbk)
    {
        TestServer server;
        // "网址" and "保存" in GBK.
        const std::string body = "<html><head><meta charset=\"gbk\"><title>\xCD\xF8\xD6\xB7</title></head>"
                                 "<body><p>\xB1\xA3\xB4\xE6</p></body></html>";
        server.Serve("/gbk.htm", body, "text/html");
        auto document = Load(server.Url("/gbk.htm"));
        ASSERT_TRUE(document);
        EXPECT_EQ(Serialization(document), body);
    }

    TEST_F(WebKitEngineTest, FramesOfBothOriginsCompleteBeforeTheTopAndAreInTheSnapshot)
    {
        TestServer first("127.0.0.1");
        TestServer second("127.0.0.2");
        first.Serve("/top.htm",
            "<html><body><iframe src=\"same.htm\"></iframe><iframe src=\"" + second.Url("/cross.htm")
                + "\"></iframe></body></html>");
        first.Serve("/same.htm", "<html><body><p>same</p></body></html>");
        second.Serve(
            "/cross.htm", "<html><body><img src=\"c.gif\"><iframe src=\"inner.htm\"></iframe></body></html>");
        second.Serve("/inner.htm", "<html><body><b>inner</b></body></html>");
        second.Serve("/c.gif", Gif("c"), "image/gif");
        auto document = Load(first.Url("/top.htm"));
        ASSERT_TRUE(document);

        std::vector<std::string> urls;
        for (const Completion& completion : m_completions)
            urls.push_back(completion.url);
        EXPECT_EQ(urls,
            (std::vector<std::string> { first.Url("/same.htm"), second.Url("/inner.htm"),
                second.Url("/cross.htm"), first.Url("/top.htm") }));
        EXPECT_FALSE(m_completions[0].topLevel);
        EXPECT_NE(m_completions[0].browser, m_completions[1].browser);

        ASSERT_EQ(As<FramesCollection>(document->Frames())->Length(), 2);
        auto cross = As<HtmlDocument>(FrameDocument(document, 1));
        ASSERT_TRUE(cross);
        EXPECT_EQ(cross->Url(), second.Url("/cross.htm"));
        EXPECT_EQ(TagNames(cross), (std::vector<std::string> { "HTML", "HEAD", "BODY", "IMG", "IFRAME" }));
        auto inner = As<HtmlDocument>(FrameDocument(cross, 0));
        ASSERT_TRUE(inner);
        EXPECT_EQ(Serialization(inner), "<html><head></head><body><b>inner</b></body></html>");
        EXPECT_EQ(CachedBytes(second.Url("/c.gif")), Gif("c"));
    }

    TEST_F(WebKitEngineTest, AnImageThePagesScriptAddsAfterLoadIsWaitedForAndCached)
    {
        TestServer server;
        server.Serve("/script.htm",
            "<html><body><script>window.addEventListener('load', function () {"
            " var i = document.createElement('img'); i.src = 'late.gif'; document.body.appendChild(i); });"
            "</script></body></html>");
        server.Serve("/late.gif", Gif("late"), "image/gif");
        server.SetLatency(200ms);
        auto document = Load(server.Url("/script.htm"));
        ASSERT_TRUE(document);
        EXPECT_EQ(TagNames(document), (std::vector<std::string> { "HTML", "HEAD", "BODY", "SCRIPT", "IMG" }));
        EXPECT_EQ(CachedBytes(server.Url("/late.gif")), Gif("late"));
        EXPECT_EQ(m_engine->Progress().loaded, 2);
    }

    TEST_F(WebKitEngineTest, EveryImageOfTwoSlowHostsIsCachedBeforeThePageCompletes)
    {
        TestServer first("127.0.0.1");
        TestServer second("127.0.0.2");
        std::string page = "<html><body>";
        std::vector<std::pair<std::string, std::string>> expected;
        for (int i = 0; i < 120; ++i) {
            TestServer& host = i % 2 == 0 ? first : second;
            std::string path = "/img/p" + std::to_string(i) + ".gif";
            // Every third body is no picture at all: the page still loaded it, so it is still saved.
            std::string body
                = i % 3 == 0 ? "GIF89a fake picture " + std::to_string(i) : Gif(std::to_string(i));
            host.Serve(path, body, "image/gif");
            page += "<img src=\"" + host.Url(path) + "\">";
            expected.emplace_back(host.Url(path), body);
        }
        page += "</body></html>";
        first.Serve("/many.htm", page);
        first.SetLatency(40ms);
        second.SetLatency(40ms);
        auto document = Load(first.Url("/many.htm"));
        ASSERT_TRUE(document);
        std::vector<std::string> missing;
        for (const auto& [address, body] : expected) {
            if (CachedBytes(address) != body)
                missing.push_back(address);
        }
        EXPECT_EQ(missing, std::vector<std::string> {});
        EXPECT_EQ(m_engine->Progress().loaded, 121);
    }

    TEST_F(WebKitEngineTest, ANavigationReplacedBeforeItCompletesRaisesOnlyTheNewPage)
    {
        TestServer server;
        server.Serve("/slow.htm", "<html><body>slow</body></html>");
        server.Serve("/fast.htm", "<html><body>fast</body></html>");
        m_engine->Navigate("about:blank");
        m_engine->Navigate(server.Url("/slow.htm"));
        auto document = Load(server.Url("/fast.htm"));
        ASSERT_TRUE(document);
        EXPECT_EQ(document->Url(), server.Url("/fast.htm"));
        ASSERT_EQ(m_completions.size(), 1u);
    }

    TEST_F(WebKitEngineTest, TheLoadTimeOutCompletesThePageWithWhatHasArrived)
    {
        TestServer server;
        pagestow::testing::SilentServer silent;
        server.Serve("/page.htm",
            "<html><body><img src=\"here.gif\"><img src=\"" + silent.Origin()
                + "/never.gif\"></body></html>");
        server.Serve("/here.gif", Gif("here"), "image/gif");
        m_engine->SetLoadTimeout(5s);
        auto document = Load(server.Url("/page.htm"));
        ASSERT_TRUE(document);
        EXPECT_EQ(document->Url(), server.Url("/page.htm"));
        EXPECT_EQ(TagNames(document), (std::vector<std::string> { "HTML", "HEAD", "BODY", "IMG", "IMG" }));
        EXPECT_EQ(CachedBytes(server.Url("/here.gif")), Gif("here"));
        EXPECT_EQ(CachedBytes(silent.Origin() + "/never.gif"), "(not cached)");
    }

    TEST_F(WebKitEngineTest, APageThatNeverAnswersShowsTheErrorPageAtTheTimeOut)
    {
        pagestow::testing::SilentServer silent;
        m_engine->SetLoadTimeout(5s);
        auto document = Load(silent.Origin() + "/page.htm");
        ASSERT_TRUE(document);
        EXPECT_EQ(document->Url(), std::string(kErrorPagePrefix) + silent.Origin() + "/page.htm");
    }

    TEST_F(WebKitEngineTest, TheBlankPageCompletesAsItself)
    {
        auto document = Load("about:blank");
        ASSERT_TRUE(document);
        EXPECT_EQ(document->Url(), "about:blank");
    }

} // namespace
} // namespace pagestow::engine::webkit

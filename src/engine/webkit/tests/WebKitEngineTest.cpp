#include "engine/webkit/tests/WebKitTestFixture.h"

namespace pagestow::engine::webkit {
namespace {

    using namespace std::chrono_literals;
    using namespace pagestow::engine::webkit::tests;
    using pagestow::testing::TemporaryFolder;
    using pagestow::testing::TestServer;

    struct ErrorCase {
        const char* name;
        std::string address;
        NavigationFailure failure;
    };

    class WebKitEngineErrorTest : public WebKitEngineTest,
                                  public ::testing::WithParamInterface<ErrorCase> { };

    TEST_P(WebKitEngineErrorTest, ANavigationWithoutResponseShowsTheBuiltInErrorPage)
    {
        auto document = Load(GetParam().address);
        ASSERT_TRUE(document);
        EXPECT_EQ(document->url, GetParam().address);
        EXPECT_EQ(document->origin, DocumentOrigin::Failed);
        EXPECT_EQ(DescribeNavigationFailure(m_engine->LastFailure()),
            DescribeNavigationFailure(GetParam().failure));
        ASSERT_EQ(m_completions.size(), 1u);
        EXPECT_EQ(m_completions[0].url, document->url);
    }

    INSTANTIATE_TEST_SUITE_P(Failures, WebKitEngineErrorTest,
        ::testing::Values(ErrorCase { "UnresolvableHost", "http://no-such-host.invalid/page.htm",
                              NavigationFailure::HostNotFound },
            ErrorCase { "RefusedConnection",
                "http://127.0.0.1:" + std::to_string(pagestow::testing::RefusedPort()) + "/",
                NavigationFailure::ConnectionRefused },
            ErrorCase { "BlockedPort", "http://127.0.0.1:1/", NavigationFailure::BlockedPort },
            ErrorCase { "UnsupportedScheme", "nosuchscheme://127.0.0.1/page.htm",
                NavigationFailure::UnsupportedScheme }),
        [](const auto& testCase) { return std::string(testCase.param.name); });

    TEST_F(WebKitEngineTest, AnHttpErrorStatusIsThePagesOwnDocument)
    {
        TestServer server;
        server.Serve("/missing.htm", "<html><body><p>gone</p></body></html>", "text/html", 404);
        auto document = Load(server.Url("/missing.htm"));
        ASSERT_TRUE(document);
        EXPECT_EQ(document->url, server.Url("/missing.htm"));
        EXPECT_EQ(document->origin, DocumentOrigin::Loaded);
        EXPECT_EQ(TagNames(*document), (std::vector<std::string> { "HTML", "HEAD", "BODY", "P" }));
        // A 404 body is not a resource the engine loaded successfully.
        EXPECT_EQ(CachedBytes(server.Url("/missing.htm")), "(not cached)");
    }

    TEST_F(WebKitEngineTest, AnAddressWithoutSchemeIsLoadedOverHttp)
    {
        TestServer server;
        server.Serve("/", "<html><body>x</body></html>");
        auto document = Load("127.0.0.1:" + std::to_string(server.Port()) + "/");
        ASSERT_TRUE(document);
        EXPECT_EQ(document->url, server.Url("/"));
        EXPECT_EQ(document->origin, DocumentOrigin::Loaded);
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
        EXPECT_EQ(TagNames(*document),
            (std::vector<std::string> { "HTML", "HEAD", "TITLE", "LINK", "BODY", "!", "IMG" }));
        const auto& elements = document->elements;
        const SnapshotElement& img = elements.at(6);
        EXPECT_EQ(elements.at(size_t(img.parent)).tagName, "BODY");
        EXPECT_EQ(elements.at(size_t(elements.at(5).parent)).tagName, "BODY");
        ASSERT_EQ(img.attributes.size(), 3u);
        std::vector<std::pair<std::string, std::string>> seen;
        for (const SnapshotAttribute& attribute : img.attributes)
            seen.emplace_back(attribute.name, attribute.value);
        EXPECT_EQ(seen,
            (std::vector<std::pair<std::string, std::string>> {
                { "src", "a.gif" }, { "alt", "A" }, { "real_src", "b.gif" } }));
        EXPECT_EQ(elements.at(size_t(document->body)).tagName, "BODY");
        EXPECT_EQ(document->serialization,
            "<!DOCTYPE html><html><head><title>t</title><link rel=\"stylesheet\" href=\"s.css\"></head>"
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
        EXPECT_EQ(document->serialization, body);
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
        EXPECT_NE(m_completions[0].document, m_completions[1].document);

        ASSERT_EQ(document->frames.size(), 2u);
        auto cross = document->frames[1].document;
        ASSERT_TRUE(cross);
        EXPECT_EQ(cross->url, second.Url("/cross.htm"));
        EXPECT_EQ(TagNames(*cross), (std::vector<std::string> { "HTML", "HEAD", "BODY", "IMG", "IFRAME" }));
        ASSERT_EQ(cross->frames.size(), 1u);
        auto inner = cross->frames[0].document;
        ASSERT_TRUE(inner);
        EXPECT_EQ(inner->serialization, "<html><head></head><body><b>inner</b></body></html>");
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
        EXPECT_EQ(
            TagNames(*document), (std::vector<std::string> { "HTML", "HEAD", "BODY", "SCRIPT", "IMG" }));
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
        EXPECT_EQ(document->url, server.Url("/fast.htm")) << m_engine->LastFailureDetail();
        EXPECT_EQ(document->origin, DocumentOrigin::Loaded);
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
        // Long enough for the page and its first picture to arrive on a machine busy with browsers
        // (a first load there took over 5 s); the second picture never comes.
        m_engine->SetLoadTimeout(12s);
        auto document = Load(server.Url("/page.htm"));
        ASSERT_TRUE(document);
        EXPECT_EQ(document->url, server.Url("/page.htm"));
        EXPECT_EQ(document->origin, DocumentOrigin::Loaded);
        EXPECT_EQ(TagNames(*document), (std::vector<std::string> { "HTML", "HEAD", "BODY", "IMG", "IMG" }));
        EXPECT_EQ(CachedBytes(server.Url("/here.gif")), Gif("here"));
        EXPECT_EQ(CachedBytes(silent.Origin() + "/never.gif"), "(not cached)");
    }

    TEST_F(WebKitEngineTest, APageThatNeverAnswersShowsTheErrorPageAtTheTimeOut)
    {
        pagestow::testing::SilentServer silent;
        m_engine->SetLoadTimeout(5s);
        auto document = Load(silent.Origin() + "/page.htm");
        ASSERT_TRUE(document);
        EXPECT_EQ(document->url, silent.Origin() + "/page.htm");
        EXPECT_EQ(document->origin, DocumentOrigin::Failed);
        EXPECT_EQ(m_engine->LastFailure(), NavigationFailure::TimedOut);
    }

    TEST_F(WebKitEngineTest, TheBlankPageCompletesAsItself)
    {
        auto document = Load("about:blank");
        ASSERT_TRUE(document);
        EXPECT_EQ(document->url, "about:blank");
        EXPECT_EQ(document->origin, DocumentOrigin::Loaded);
    }

    // The value of one attribute of the first element with that tag.
    std::string AttributeOf(const SnapshotDocument& document, const std::string& tag, const std::string& name)
    {
        for (const SnapshotElement& element : document.elements) {
            if (element.tagName != tag)
                continue;
            for (const SnapshotAttribute& attribute : element.attributes) {
                if (attribute.name == name)
                    return attribute.value;
            }
        }
        return "(none)";
    }

    // Every address attribute of the document as "TAG name=value -> engine address", in order, and
    // each image's loaded candidate as "TAG current -> address".
    std::vector<std::string> EngineAddresses(const SnapshotDocument& document)
    {
        std::vector<std::string> lines;
        for (const SnapshotElement& element : document.elements) {
            for (const SnapshotAttribute& attribute : element.attributes) {
                if (!attribute.resolved.empty())
                    lines.push_back(element.tagName + " " + attribute.name + "=" + attribute.value + " -> "
                        + attribute.resolved);
            }
            if (!element.currentSource.empty())
                lines.push_back(element.tagName + " current -> " + element.currentSource);
        }
        return lines;
    }

    TEST_F(WebKitEngineTest, AnOffscreenViewAnswersScriptDialogsAndAnEmbeddedOneShowsThem)
    {
        TestServer server;
        server.Serve("/dialogs.htm",
            "<html><body><script>alert('a'); var c = confirm('c'); var p = prompt('p', 'given');"
            "document.body.setAttribute('data-answers', c + '|' + "
            "JSON.stringify(p));</script></body></html>");
        EXPECT_FALSE(m_engine->ScriptDialogsShown());
        m_engine->SetLoadTimeout(60s);
        auto document = Load(server.Url("/dialogs.htm"));
        ASSERT_TRUE(document);
        EXPECT_EQ(AttributeOf(*document, "BODY", "data-answers"), "false|\"\"");

        WebKitEngine embedded(ViewHost::Embedded);
        EXPECT_TRUE(embedded.ScriptDialogsShown());
        embedded.SetScriptDialogsShown(false);
        EXPECT_FALSE(embedded.ScriptDialogsShown());
    }

    TEST_F(WebKitEngineTest, AnOffscreenViewLaysThePageOutInTheSharedViewport)
    {
        TestServer server;
        server.Serve("/size.htm",
            "<html><head><meta name=\"viewport\" content=\"width=device-width\"></head><body><script>"
            "document.body.setAttribute('data-size', innerWidth + 'x' + "
            "innerHeight);</script></body></html>");
        auto document = Load(server.Url("/size.htm"));
        ASSERT_TRUE(document);
        EXPECT_EQ(AttributeOf(*document, "BODY", "data-size"),
            std::to_string(kViewportWidth) + "x" + std::to_string(kViewportHeight));
    }

    TEST_F(WebKitEngineTest, APreloadedPictureIsRequestedOnceAndAgainOnTheNextLoad)
    {
        TestServer server;
        server.Serve("/preload.htm",
            "<html><head><link rel=\"preload\" as=\"image\" href=\"pre.gif\"></head>"
            "<body><img src=\"pre.gif\"><img src=\"pre.gif\"></body></html>");
        server.Serve("/pre.gif", Gif("pre"), "image/gif");
        ASSERT_TRUE(Load(server.Url("/preload.htm")));
        EXPECT_EQ(server.RequestCount("/pre.gif"), 1);
        EXPECT_EQ(CachedBytes(server.Url("/pre.gif")), Gif("pre"));

        // The memory cache does not outlive a load: the next page's pictures are loaded and seen.
        m_engine->Cache().Clear();
        ASSERT_TRUE(Load(server.Url("/preload.htm")));
        EXPECT_EQ(server.RequestCount("/pre.gif"), 2);
        EXPECT_EQ(CachedBytes(server.Url("/pre.gif")), Gif("pre"));
        // Nothing beyond the page's own requests.
        EXPECT_EQ(server.RequestLog(),
            (std::vector<std::string> { "/preload.htm", "/pre.gif", "/preload.htm", "/pre.gif" }));
    }

    TEST_F(WebKitEngineTest, ARedirectedPictureIsFetchedAgainWithThePagesRefererAndCookies)
    {
        TestServer server;
        server.Serve("/redirect.htm",
            "<html><body><script>document.cookie = 'visit=42; path=/';</script>"
            "<img src=\"moved.gif\"></body></html>");
        server.Serve("/moved.gif", "", "text/plain", 302, { { "Location", "/guarded.gif" } });
        std::string page = server.Url("/redirect.htm");
        server.Handle("/guarded.gif", [page](const httplib::Request& request, httplib::Response& response) {
            // Only the page itself, with its cookie, gets the picture.
            if (request.get_header_value("Referer") != page
                || request.get_header_value("Cookie") != "visit=42") {
                response.status = 403;
                return;
            }
            response.set_content(Gif("guarded"), "image/gif");
        });
        ASSERT_TRUE(Load(page));
        EXPECT_EQ(CachedBytes(server.Url("/moved.gif")), Gif("guarded"));
        EXPECT_EQ(CachedBytes(server.Url("/guarded.gif")), Gif("guarded"));
        EXPECT_EQ(server.LastRequestHeaders("/guarded.gif").find("Referer")->second, page);
        // WebKit does not hand out the body of a redirected resource: it is asked for once more.
        EXPECT_EQ(server.RequestCount("/guarded.gif"), 2);
    }

    TEST_F(WebKitEngineTest, OnlyWholeBodiesUnderAStorableStatusAreCached)
    {
        TestServer server;
        server.Serve("/statuses.htm",
            "<html><body><img src=\"ok.gif\"><img src=\"none.gif\"><img src=\"reset.gif\">"
            "<img src=\"part.gif\"><img src=\"gone.gif\"></body></html>");
        server.Serve("/ok.gif", Gif("ok"), "image/gif");
        server.Serve("/none.gif", "", "image/gif", 204);
        server.Serve("/reset.gif", "", "image/gif", 205);
        server.Serve("/part.gif", Gif("part"), "image/gif", 206, { { "Content-Range", "bytes 0-46/100" } });
        server.Serve("/gone.gif", Gif("gone"), "image/gif", 404);
        ASSERT_TRUE(Load(server.Url("/statuses.htm")));
        EXPECT_EQ(CachedBytes(server.Url("/ok.gif")), Gif("ok"));
        for (const char* path : { "/none.gif", "/reset.gif", "/part.gif", "/gone.gif" })
            EXPECT_EQ(CachedBytes(server.Url(path)), "(not cached)") << path;
    }

    TEST_F(WebKitEngineTest, TheSnapshotCarriesTheEnginesOwnAddressesAndTheLoadedCandidate)
    {
        TestServer server;
        server.Serve("/news/article",
            "<html><head><base href=\"/assets/\"></head><body background=\"bg.gif\">"
            "<img src=\"a.gif\" real_src=\"?page=2\" srcset=\"wide.gif 2000w\" sizes=\"100vw\">"
            "<a href=\"../other#part\">x</a><img src=\"\"></body></html>");
        for (const char* path : { "/assets/bg.gif", "/assets/a.gif", "/assets/wide.gif" })
            server.Serve(path, Gif(path), "image/gif");
        auto document = Load(server.Url("/news/article"));
        ASSERT_TRUE(document);
        EXPECT_EQ(EngineAddresses(*document),
            (std::vector<std::string> {
                "BASE href=/assets/ -> " + server.Url("/assets/"),
                "BODY background=bg.gif -> " + server.Url("/assets/bg.gif"),
                "IMG src=a.gif -> " + server.Url("/assets/a.gif"),
                "IMG real_src=?page=2 -> " + server.Url("/assets/?page=2"),
                "IMG current -> " + server.Url("/assets/wide.gif"),
                "A href=../other#part -> " + server.Url("/other#part"),
            }));
        EXPECT_EQ(CachedBytes(server.Url("/assets/wide.gif")), Gif("/assets/wide.gif"));
    }

    TEST_F(WebKitEngineTest, FramesWithoutAnAddressOfTheirOwnInheritTheirParentsAndFailedFramesSaySo)
    {
        TestServer server;
        std::string refused
            = "http://127.0.0.1:" + std::to_string(pagestow::testing::RefusedPort()) + "/x.htm";
        server.Serve("/frames.htm",
            "<html><body><iframe src=\"real.htm\"></iframe><iframe></iframe>"
            "<iframe srcdoc=\"<p>inline</p>\"></iframe><iframe src=\"data:text/html,<p>data</p>\"></iframe>"
            "<iframe src=\""
                + refused
                + "\"></iframe><iframe id=\"w\" src=\"about:blank\"></iframe>"
                  "<script>var d = document.getElementById('w').contentDocument; d.open();"
                  " d.write('<p>written<img src=\"w.gif\"></p>'); d.close();</script></body></html>");
        server.Serve("/real.htm", "<html><body>real</body></html>");
        server.Serve("/w.gif", Gif("w"), "image/gif");
        auto document = Load(server.Url("/frames.htm"));
        ASSERT_TRUE(document);
        ASSERT_EQ(document->frames.size(), 6u);
        std::vector<std::string> seen;
        for (size_t i = 0; i < 6; ++i) {
            auto frame = document->frames[i].document;
            ASSERT_TRUE(frame) << "frame " << i;
            DocumentOrigin origin = frame->origin;
            seen.push_back(std::string(origin == DocumentOrigin::Loaded  ? "own "
                                   : origin == DocumentOrigin::Inherited ? "inherited "
                                                                         : "failed ")
                + frame->url);
        }
        std::string top = server.Url("/frames.htm");
        EXPECT_EQ(seen,
            (std::vector<std::string> { "own " + server.Url("/real.htm"), "inherited " + top,
                "inherited " + top, "inherited " + top, "failed " + refused, "inherited " + top }));
        EXPECT_EQ(CachedBytes(server.Url("/w.gif")), Gif("w"));
    }

    TEST_F(WebKitEngineTest, EveryNestedFrameWebKitLoadsIsInTheSnapshot)
    {
        TestServer server;
        server.Handle("/nest.htm", [](const httplib::Request& request, httplib::Response& response) {
            int level = std::atoi(request.get_param_value("level").c_str());
            std::string body = "<html><body><p>" + std::to_string(level) + "</p>";
            if (level < 100)
                body += "<iframe src=\"nest.htm?level=" + std::to_string(level + 1) + "\"></iframe>";
            response.set_content(body + "</body></html>", "text/html");
        });
        m_engine->SetLoadTimeout(120s);
        auto document = Load(server.Url("/nest.htm?level=0"));
        ASSERT_TRUE(document);
        int depth = 0;
        for (auto frame = document; frame && frame->frames.size() == 1; ++depth)
            frame = frame->frames[0].document;
        // WebKit itself loads frames 32 levels deep (the page and 31 nested frames), and no deeper.
        EXPECT_EQ(server.RequestCount("/nest.htm"), 32);
        EXPECT_EQ(depth, 31);
    }

    TEST(ExtensionFolder, IsTheExecutablesFolderInABuildTree)
    {
        EXPECT_EQ(ExtensionFolder(), mapping::GetExeDirectory());
    }

} // namespace
} // namespace pagestow::engine::webkit

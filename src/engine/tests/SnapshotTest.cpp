#include "engine/Snapshot.h"
#include "engine/PageEngine.h"

#include <gtest/gtest.h>

#include <utility>

namespace pagestow::engine {
namespace {

    std::shared_ptr<SnapshotDocument> Document(std::string url, std::vector<SnapshotElement> elements = {})
    {
        auto document = std::make_shared<SnapshotDocument>();
        document->url = std::move(url);
        document->characterSet = "UTF-8";
        document->serialization = "<html>" + document->url + "</html>";
        document->elements = std::move(elements);
        document->body = FindBodyElement(*document);
        return document;
    }

    ObjectPtr Element(const ObjectPtr& document, std::int32_t position)
    {
        return As<ElementCollection>(As<HtmlDocument>(document)->All())->Item(position);
    }

    ObjectPtr FrameWindow(const ObjectPtr& document, std::int32_t index)
    {
        return As<FramesCollection>(As<HtmlDocument>(document)->Frames())->Item(index);
    }

    ObjectPtr FrameBrowser(const ObjectPtr& document, std::int32_t index)
    {
        return As<ServiceProvider>(FrameWindow(document, index))->QueryService(ServiceId::WebBrowserApp);
    }

    std::string Url(const ObjectPtr& document)
    {
        return As<HtmlDocument>(document)->Url();
    }

    std::string ErrorMessage(const std::function<void()>& action)
    {
        try {
            action();
        } catch (const EngineError& error) {
            return error.what();
        }
        return "(no error)";
    }

    // A snapshot engine whose page is handed in by the test.
    class LoadedEngine : public SnapshotEngine {
    public:
        void Navigate(const std::string&) override { }
        void ProcessEvents(std::chrono::milliseconds) override { }
        void SetLoadTimeout(std::chrono::milliseconds) override { }
        LoadProgress Progress() const override { return {}; }
        void Load(std::shared_ptr<const SnapshotDocument> top) { CompleteWithSnapshot(std::move(top)); }
        void Fail(const std::string& address) { CompleteWithErrorPage(address); }
    };

    TEST(FindBodyElement, TakesFirstBodyThenFirstFramesetIgnoringCase)
    {
        struct Case {
            std::vector<std::string> tags;
            int body;
        } cases[] = {
            { { "html", "head", "BODY", "body" }, 2 },
            { { "html", "FrameSet", "frameset" }, 1 },
            { { "html", "frameset", "Body" }, 2 },
            { { "html", "head", "title" }, -1 },
            { {}, -1 },
        };
        for (const Case& c : cases) {
            SnapshotDocument document;
            for (const std::string& tag : c.tags)
                document.elements.push_back({ tag, {}, -1 });
            EXPECT_EQ(FindBodyElement(document), c.body) << c.tags.size();
        }
    }

    TEST(SnapshotView, DocumentOffersItsRolesAndRefusesOthers)
    {
        SnapshotView view(Document("http://h/a.htm", { { "html", {}, -1 }, { "body", {}, 0 } }));
        ObjectPtr document = view.TopDocument();

        EXPECT_TRUE(Supports<HtmlDocument>(document));
        EXPECT_TRUE(Supports<PersistStream>(document));
        EXPECT_FALSE(Supports<HtmlElement>(document));
        EXPECT_EQ(ErrorMessage([&] { As<HtmlElement>(document); }), "Interface not supported");
        EXPECT_EQ(ErrorMessage([&] { As<HtmlWindow>(Element(document, 0)); }), "Interface not supported");
        EXPECT_EQ(As<HtmlDocument>(ObjectPtr()), nullptr);
        EXPECT_FALSE(Supports<HtmlDocument>(ObjectPtr()));

        std::string stream = "before:";
        EXPECT_EQ(As<PersistStream>(document)->Save(stream, true), 0);
        EXPECT_EQ(stream, "before:<html>http://h/a.htm</html>");
    }

    TEST(SnapshotView, ElementsKeepTagsIndexesParentsAndAttributesInOrder)
    {
        SnapshotView view(Document("http://h/",
            {
                { "HTML", {}, -1 },
                { "BODY", { { "background", "bg.gif" } }, 0 },
                { "!", {}, 1 },
                { "IMG", { { "src", "a.gif" }, { "real_src", "b.gif" } }, 1 },
            }));
        ObjectPtr document = view.TopDocument();
        auto all = As<ElementCollection>(As<HtmlDocument>(document)->All());
        ASSERT_EQ(all->Length(), 4);

        auto image = As<HtmlElement>(all->Item(3));
        EXPECT_EQ(image->TagName(), "IMG");
        EXPECT_EQ(image->SourceIndex(), 3);
        EXPECT_EQ(As<HtmlElement>(all->Item(2))->TagName(), "!");
        EXPECT_EQ(image->Document(), document);
        EXPECT_EQ(image->ParentElement(), all->Item(1));
        EXPECT_EQ(As<HtmlElement>(all->Item(1))->ParentElement(), all->Item(0));
        EXPECT_EQ(As<HtmlElement>(all->Item(0))->ParentElement(), nullptr);
        EXPECT_EQ(As<HtmlDocument>(document)->Body(), all->Item(1));

        auto attributes = As<AttributeCollection>(As<DomNode>(all->Item(3))->Attributes());
        ASSERT_EQ(attributes->Length(), 2);
        EXPECT_EQ(As<DomAttribute>(attributes->Item(0))->NodeName(), "src");
        EXPECT_EQ(As<DomAttribute>(attributes->Item(0))->NodeValue(), "a.gif");
        EXPECT_EQ(As<DomAttribute>(attributes->Item(1))->NodeName(), "real_src");
        EXPECT_EQ(As<DomAttribute>(attributes->Item(1))->NodeValue(), "b.gif");

        EXPECT_EQ(ErrorMessage([&] { all->Item(4); }), "The index 4 is outside the collection");
        EXPECT_EQ(ErrorMessage([&] { all->Item(-1); }), "The index -1 is outside the collection");
        EXPECT_EQ(ErrorMessage([&] { attributes->Item(2); }), "The index 2 is outside the collection");
    }

    TEST(SnapshotView, ParentThatDoesNotComeBeforeItsChildReadsAsNone)
    {
        // A parent always precedes its child in source order; anything else would let a walk up
        // the parents go round in circles.
        SnapshotView view(Document("http://h/", { { "html", {}, 1 }, { "body", {}, 1 }, { "p", {}, 7 } }));
        ObjectPtr document = view.TopDocument();
        for (std::int32_t position : { 0, 1, 2 })
            EXPECT_EQ(As<HtmlElement>(Element(document, position))->ParentElement(), nullptr) << position;
    }

    TEST(SnapshotView, DocumentWithoutBodyHasNone)
    {
        SnapshotView view(Document("http://h/", { { "html", {}, -1 } }));
        EXPECT_EQ(As<HtmlDocument>(view.TopDocument())->Body(), nullptr);
    }

    TEST(SnapshotView, ObjectsOutliveTheView)
    {
        ObjectPtr element;
        {
            SnapshotView view(Document("http://h/x.htm", { { "html", {}, -1 }, { "body", {}, 0 } }));
            element = Element(view.TopDocument(), 1);
        }
        EXPECT_EQ(Url(As<HtmlElement>(element)->Document()), "http://h/x.htm");
        EXPECT_EQ(As<HtmlElement>(As<HtmlElement>(element)->ParentElement())->TagName(), "html");
    }

    TEST(SnapshotView, ViewWithFramesIsFreedOnceNothingHoldsItsObjects)
    {
        auto top = Document("http://h/frames.htm", { { "frameset", {}, -1 } });
        auto left = Document("http://h/left.htm");
        left->frames.push_back({ Document("http://h/inner.htm") });
        top->frames.push_back({ left });
        std::weak_ptr<Object> document;
        std::weak_ptr<Object> browser;
        {
            SnapshotView view(top);
            document = view.TopDocument();
            browser = view.FrameCompletions().front().browser;
            EXPECT_FALSE(browser.expired());
        }
        EXPECT_TRUE(document.expired());
        EXPECT_TRUE(browser.expired());
    }

    TEST(SnapshotView, FrameWindowYieldsTheSameBrowserEveryTime)
    {
        auto top = Document("http://h/frames.htm", { { "frameset", {}, -1 } });
        top->frames.push_back({ Document("http://h/left.htm") });
        top->frames.push_back({ nullptr });
        SnapshotView view(top);
        ObjectPtr document = view.TopDocument();

        auto frames = As<FramesCollection>(As<HtmlDocument>(document)->Frames());
        ASSERT_EQ(frames->Length(), 2);
        EXPECT_TRUE(Supports<HtmlWindow>(frames->Item(0)));
        EXPECT_TRUE(Supports<ServiceProvider>(frames->Item(0)));
        EXPECT_FALSE(Supports<HtmlDocument>(frames->Item(0)));

        ObjectPtr browser = FrameBrowser(document, 0);
        ASSERT_TRUE(Supports<WebBrowser>(browser));
        EXPECT_EQ(FrameBrowser(document, 0), browser);
        EXPECT_EQ(As<WebBrowser>(browser)->Document(), As<WebBrowser>(FrameBrowser(document, 0))->Document());
        EXPECT_EQ(Url(As<WebBrowser>(browser)->Document()), "http://h/left.htm");

        // A frame that cannot be reached is still a window; it refuses the browser service.
        EXPECT_TRUE(Supports<HtmlWindow>(frames->Item(1)));
        EXPECT_EQ(FrameBrowser(document, 1), nullptr);
        EXPECT_EQ(ErrorMessage([&] { frames->Item(2); }), "The index 2 is outside the collection");
    }

    TEST(SnapshotView, FramesCompleteChildrenFirstInIndexOrderWithTheirOwnBrowsers)
    {
        auto left = Document("http://h/left.htm");
        left->frames.push_back({ Document("http://h/left-a.htm") });
        left->frames.push_back({ nullptr });
        left->frames.push_back({ Document("http://h/left-b.htm") });
        auto top = Document("http://h/top.htm");
        top->frames.push_back({ left });
        top->frames.push_back({ Document("http://other/right.htm") });
        SnapshotView view(top);

        auto completions = view.FrameCompletions();
        std::vector<std::string> urls;
        for (const auto& completion : completions)
            urls.push_back(completion.url);
        EXPECT_EQ(urls,
            (std::vector<std::string> { "http://h/left-a.htm", "http://h/left-b.htm", "http://h/left.htm",
                "http://other/right.htm" }));

        ObjectPtr document = view.TopDocument();
        ObjectPtr leftDocument = As<WebBrowser>(FrameBrowser(document, 0))->Document();
        ASSERT_EQ(completions.size(), 4u);
        EXPECT_EQ(completions[0].browser, FrameBrowser(leftDocument, 0));
        EXPECT_EQ(completions[1].browser, FrameBrowser(leftDocument, 2));
        EXPECT_EQ(completions[2].browser, FrameBrowser(document, 0));
        EXPECT_EQ(completions[3].browser, FrameBrowser(document, 1));
        for (const auto& completion : completions)
            EXPECT_EQ(Url(As<WebBrowser>(completion.browser)->Document()), completion.url);
    }

    TEST(SnapshotEngine, RaisesFrameCompletionsThenTopLevelWithApplication)
    {
        auto top = Document("http://h/top.htm", { { "frameset", {}, -1 } });
        top->frames.push_back({ Document("http://h/a.htm") });
        top->frames.push_back({ Document("http://h/b.htm") });

        LoadedEngine engine;
        EXPECT_EQ(engine.Document(), nullptr);
        std::vector<std::pair<ObjectPtr, std::string>> events;
        engine.SetDocumentCompleteHandler(
            [&](const ObjectPtr& browser, const std::string& url) { events.emplace_back(browser, url); });
        engine.Load(top);

        ASSERT_EQ(events.size(), 3u);
        EXPECT_EQ(events[0].second, "http://h/a.htm");
        EXPECT_EQ(events[1].second, "http://h/b.htm");
        EXPECT_EQ(events[2].second, "http://h/top.htm");
        EXPECT_NE(events[0].first, engine.Application());
        EXPECT_NE(events[1].first, engine.Application());
        EXPECT_EQ(events[2].first, engine.Application());
        EXPECT_EQ(As<WebBrowser>(engine.Application())->Document(), engine.Document());
        EXPECT_EQ(Url(engine.Document()), "http://h/top.htm");
        EXPECT_EQ(As<WebBrowser>(events[1].first)->Document(),
            As<WebBrowser>(FrameBrowser(engine.Document(), 1))->Document());
    }

    TEST(SnapshotEngine, ErrorPageIsAddressedByPrefixAndAddress)
    {
        LoadedEngine engine;
        std::vector<std::string> urls;
        engine.SetDocumentCompleteHandler(
            [&](const ObjectPtr&, const std::string& url) { urls.push_back(url); });
        engine.Fail("http://nowhere.invalid/x");

        EXPECT_EQ(
            urls, std::vector<std::string> { "res://shdoclc.dll/dnserror.htm#http://nowhere.invalid/x" });
        auto document = As<HtmlDocument>(engine.Document());
        EXPECT_NE(document->Url().find(kErrorPageMarker), std::string::npos);
        EXPECT_EQ(As<HtmlElement>(document->Body())->TagName(), "body");
        EXPECT_EQ(As<FramesCollection>(document->Frames())->Length(), 0);
    }

    TEST(WithDefaultScheme, AddsHttpOnlyWhereNoSchemeIsNamed)
    {
        struct Case {
            const char* typed;
            const char* loaded;
        } cases[] = {
            { "www.example.com", "http://www.example.com" },
            { "www.example.com/a:b", "http://www.example.com/a:b" },
            { "localhost:8080/x", "http://localhost:8080/x" },
            { "127.0.0.1:81", "http://127.0.0.1:81" },
            { "www.example.com:8080/", "http://www.example.com:8080/" },
            { "example.com:x", "http://example.com:x" },
            { "http://www.example.com/", "http://www.example.com/" },
            { "HTTPS://h/", "HTTPS://h/" },
            { "about:blank", "about:blank" },
            { "file:///tmp/a.htm", "file:///tmp/a.htm" },
            { "view-source:http://h/", "view-source:http://h/" },
            { "my.scheme://h/", "my.scheme://h/" },
        };
        for (const Case& c : cases)
            EXPECT_EQ(WithDefaultScheme(c.typed), c.loaded) << c.typed;
    }

} // namespace
} // namespace pagestow::engine

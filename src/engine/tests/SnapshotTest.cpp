#include "engine/Snapshot.h"
#include "engine/PageEngine.h"

#include <gtest/gtest.h>

#include <functional>
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

    TEST(MakeBlankDocument, IsHtmlHeadAndBodyInUtf8WithTheBodyWhereTheUsualRuleFindsIt)
    {
        auto blank = MakeBlankDocument();
        EXPECT_EQ(blank->url, "about:blank");
        EXPECT_EQ(blank->origin, DocumentOrigin::Loaded);
        EXPECT_EQ(blank->characterSet, "UTF-8");
        EXPECT_EQ(blank->serialization, "");
        std::vector<std::pair<std::string, int>> elements;
        for (const SnapshotElement& element : blank->elements)
            elements.emplace_back(element.tagName, element.parent);
        EXPECT_EQ(elements,
            (std::vector<std::pair<std::string, int>> { { "HTML", -1 }, { "HEAD", 0 }, { "BODY", 0 } }));
        EXPECT_EQ(blank->body, 2);
        EXPECT_EQ(FindBodyElement(*blank), blank->body);
        EXPECT_TRUE(blank->frames.empty());

        auto frame = MakeBlankDocument("http://h/page.htm", DocumentOrigin::Inherited);
        EXPECT_EQ(frame->url, "http://h/page.htm");
        EXPECT_EQ(frame->origin, DocumentOrigin::Inherited);
        EXPECT_EQ(frame->elements.size(), 3u);
    }

    // What one completion carried: the document (compared by identity) and its address.
    struct Completed {
        const SnapshotDocument* document;
        std::string url;
        PageEngine::Completion completion;
    };

    std::vector<Completed> CompletionsOf(LoadedEngine& engine, const std::function<void()>& action)
    {
        std::vector<Completed> completions;
        engine.SetDocumentCompleteHandler(
            [&](const SnapshotDocument& document, PageEngine::Completion completion) {
                completions.push_back({ &document, document.url, completion });
            });
        action();
        engine.SetDocumentCompleteHandler(nullptr);
        return completions;
    }

    TEST(SnapshotEngine, RaisesFrameCompletionsThenTheTopLevelWithTheCurrentDocument)
    {
        auto top = Document("http://h/top.htm", { { "frameset", {}, -1 } });
        top->frames.push_back({ Document("http://h/a.htm") });
        top->frames.push_back({ Document("http://h/b.htm") });

        LoadedEngine engine;
        EXPECT_EQ(engine.Document(), nullptr);
        auto events = CompletionsOf(engine, [&] { engine.Load(top); });

        ASSERT_EQ(events.size(), 3u);
        EXPECT_EQ(events[0].url, "http://h/a.htm");
        EXPECT_EQ(events[1].url, "http://h/b.htm");
        EXPECT_EQ(events[2].url, "http://h/top.htm");
        EXPECT_EQ(events[0].completion, PageEngine::Completion::Frame);
        EXPECT_EQ(events[1].completion, PageEngine::Completion::Frame);
        EXPECT_EQ(events[2].completion, PageEngine::Completion::TopLevel);
        // The engine hands out the snapshot it was given, not a copy.
        EXPECT_EQ(engine.Document(), top);
        EXPECT_EQ(events[2].document, top.get());
        EXPECT_EQ(events[1].document, engine.Document()->frames[1].document.get());
    }

    TEST(SnapshotEngine, FramesCompleteChildrenFirstInIndexOrderEachWithItsOwnDocument)
    {
        auto left = Document("http://h/left.htm");
        left->frames.push_back({ Document("http://h/left-a.htm") });
        // A frame that cannot be reached completes nothing.
        left->frames.push_back({ nullptr });
        left->frames.push_back({ Document("http://h/left-b.htm") });
        auto top = Document("http://h/top.htm");
        top->frames.push_back({ left });
        top->frames.push_back({ Document("http://other/right.htm") });

        LoadedEngine engine;
        auto completions = CompletionsOf(engine, [&] { engine.Load(top); });

        std::vector<std::string> urls;
        for (const auto& completion : completions)
            urls.push_back(completion.url);
        EXPECT_EQ(urls,
            (std::vector<std::string> { "http://h/left-a.htm", "http://h/left-b.htm", "http://h/left.htm",
                "http://other/right.htm", "http://h/top.htm" }));
        ASSERT_EQ(completions.size(), 5u);
        EXPECT_EQ(completions[0].document, left->frames[0].document.get());
        EXPECT_EQ(completions[1].document, left->frames[2].document.get());
        EXPECT_EQ(completions[2].document, left.get());
        EXPECT_EQ(completions[3].document, top->frames[1].document.get());
        EXPECT_EQ(completions[4].document, top.get());
        for (size_t i = 0; i < 4; ++i)
            EXPECT_EQ(completions[i].completion, PageEngine::Completion::Frame) << i;
        EXPECT_EQ(completions[4].completion, PageEngine::Completion::TopLevel);
    }

    TEST(SnapshotEngine, ErrorPageIsAFailedTopLevelDocumentAtTheAddressTried)
    {
        LoadedEngine engine;
        auto completions = CompletionsOf(engine, [&] { engine.Fail("http://nowhere.invalid/x"); });

        ASSERT_EQ(completions.size(), 1u);
        EXPECT_EQ(completions[0].url, "http://nowhere.invalid/x");
        EXPECT_EQ(completions[0].completion, PageEngine::Completion::TopLevel);
        auto document = engine.Document();
        ASSERT_TRUE(document);
        EXPECT_EQ(completions[0].document, document.get());
        EXPECT_EQ(document->url, "http://nowhere.invalid/x");
        EXPECT_EQ(document->origin, DocumentOrigin::Failed);
        ASSERT_GE(document->body, 0);
        ASSERT_LT(size_t(document->body), document->elements.size());
        EXPECT_EQ(document->elements[size_t(document->body)].tagName, "body");
        EXPECT_EQ(FindBodyElement(*document), document->body);
        EXPECT_TRUE(document->frames.empty());
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

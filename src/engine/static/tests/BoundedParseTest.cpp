#include "engine/static/BoundedParse.h"
#include "engine/static/PageParser.h"

#include <gtest/gtest.h>

namespace pagestow::engine::static_engine {
namespace {
    const std::string kPage = "http://www.example.com/news/page.htm";

    std::string Repeat(const std::string& piece, int count)
    {
        std::string text;
        text.reserve(piece.size() * size_t(count));
        for (int i = 0; i < count; ++i)
            text += piece;
        return text;
    }

    // How many elements the longest chain from the root holds.
    int Depth(const ParsedPage& page)
    {
        std::vector<int> depth(page.elements.size(), 1);
        int deepest = 0;
        for (size_t i = 0; i < page.elements.size(); ++i) {
            int parent = page.elements[i].parent;
            depth[i] = parent < 0 ? 1 : depth[size_t(parent)] + 1;
            deepest = std::max(deepest, depth[i]);
        }
        return deepest;
    }

    int Count(const ParsedPage& page, const std::string& tag)
    {
        return int(std::count_if(page.elements.begin(), page.elements.end(),
            [&](const SnapshotElement& element) { return element.tagName == tag; }));
    }

    TEST(BoundTreeInput, OrdinaryMarkupIsLeftAlone)
    {
        const std::string pages[] = {
            "<html><body><div><p>a<b>b</b></p><ul><li>x<li>y</ul></div></body></html>",
            // Elements that close their predecessors never nest deeply.
            Repeat("<p>x", 5000) + Repeat("<li>y", 5000) + Repeat("<option>z", 5000)
                + Repeat("<dt>a<dd>b", 3000),
            "<table>" + Repeat("<tr><td>1<td>2", 4000) + "</table>",
            // Raw text is no markup.
            "<script>" + Repeat("<div>", 5000) + "</script><textarea>" + Repeat("<b>", 5000) + "</textarea>",
            // Deep, but within the bound.
            Repeat("<div>", kMaxTreeDepth - 3) + "x",
            Repeat("<div>", 300) + "<!--" + Repeat("<b>", 5000) + "-->" + Repeat("</div>", 300)
                + Repeat("<div>", 300),
        };
        for (const std::string& page : pages)
            EXPECT_FALSE(BoundTreeInput(page).has_value()) << page.substr(0, 60);
    }

    TEST(BoundTreeInput, TagsPastTheDepthBoundBecomeSiblingsOfTheDeepest)
    {
        auto bounded = BoundTreeInput("<div><div><div>" + Repeat("<div>", kMaxTreeDepth) + "end");
        ASSERT_TRUE(bounded);
        // html and body, then 510 open divs; every further div closes the deepest one first.
        const std::string expected = Repeat("<div>", kMaxTreeDepth - 2) + Repeat("</div><div>", 5) + "end";
        EXPECT_EQ(*bounded, expected);
    }

    TEST(BoundTreeInput, AttributesPastTheBoundAreDropped)
    {
        std::string attributes;
        for (int i = 0; i < kMaxAttributes + 5; ++i)
            attributes += " a" + std::to_string(i) + "='v>" + std::to_string(i) + "'";
        auto bounded = BoundTreeInput("<p><img" + attributes + " src=x.gif /><i>after</i>");
        ASSERT_TRUE(bounded);
        std::string kept;
        for (int i = 0; i < kMaxAttributes; ++i)
            kept += " a" + std::to_string(i) + "='v>" + std::to_string(i) + "'";
        EXPECT_EQ(*bounded, "<p><img" + kept + "/><i>after</i>");
    }

    TEST(ParsePage, ThreeHundredThousandUnclosedBoldTagsParseWithinTheDepthBound)
    {
        ParsedPage page = ParsePage("<html><body>" + Repeat("<b>", 300000) + "<img src=last.gif>",
            "text/html", kPage, DocumentRole::TopLevel);
        EXPECT_EQ(page.stop, ParseStop::None);
        EXPECT_LE(Depth(page), kMaxTreeDepth);
        EXPECT_EQ(Count(page, "B"), 300000);
        ASSERT_EQ(page.resources.size(), 1u);
        EXPECT_EQ(page.resources[0].url, "http://www.example.com/news/last.gif");
    }

    TEST(ParsePage, HundredThousandNestedDivsKeepEveryElement)
    {
        ParsedPage page = ParsePage(Repeat("<div>", 100000) + "<img src=deep.gif>" + Repeat("</div>", 100000),
            "text/html", kPage, DocumentRole::TopLevel);
        EXPECT_EQ(page.stop, ParseStop::None);
        EXPECT_EQ(Depth(page), kMaxTreeDepth); // the img beside the deepest div
        EXPECT_EQ(Count(page, "DIV"), 100000);
        ASSERT_EQ(page.resources.size(), 1u);
    }

    TEST(ParsePage, EightyThousandAttributesOnOneImageKeepTheFirstOnes)
    {
        std::string tag = "<img src=a.gif";
        for (int i = 0; i < 80000; ++i)
            tag += " data-" + std::to_string(i) + "=" + std::to_string(i);
        ParsedPage page = ParsePage(tag + "><img src=b.gif>", "text/html", kPage, DocumentRole::TopLevel);
        ASSERT_EQ(Count(page, "IMG"), 2);
        const SnapshotElement& first = page.elements[3];
        ASSERT_EQ(first.attributes.size(), size_t(kMaxAttributes));
        EXPECT_EQ(first.attributes.front().name, "src");
        EXPECT_EQ(first.attributes.back().name, "data-" + std::to_string(kMaxAttributes - 2));
        ASSERT_EQ(page.resources.size(), 2u);
        EXPECT_EQ(page.resources[1].url, "http://www.example.com/news/b.gif");
    }

    TEST(ParsePage, StopsAtItsBoundsAndKeepsAnEmptyDocument)
    {
        const std::string html = Repeat("<p class=x>many elements", 20000);
        std::atomic<bool> interrupted { true };
        struct Case {
            const char* name;
            ParseBounds bounds;
            ParseStop stop;
        };
        ParseBounds small;
        small.memoryBytes = html.size() * 2;
        ParseBounds late;
        late.deadline = std::chrono::steady_clock::now();
        ParseBounds asked;
        asked.interrupted = &interrupted;
        ParseBounds tiny;
        tiny.memoryBytes = html.size();
        const Case cases[] = {
            { "memory", small, ParseStop::OverBudget },
            { "text larger than the memory", tiny, ParseStop::OverBudget },
            { "deadline", late, ParseStop::TimedOut },
            { "interrupt", asked, ParseStop::Interrupted },
        };
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            ParsedPage page = ParsePage(html, "text/html", kPage, DocumentRole::TopLevel, c.bounds);
            EXPECT_EQ(page.stop, c.stop);
            ASSERT_EQ(page.elements.size(), 3u);
            EXPECT_EQ(page.elements[2].tagName, "BODY");
            EXPECT_EQ(page.body, 2);
        }
    }

    TEST(BoundedParse, HoldsMemoryOnlyWhileItLives)
    {
        BoundedParse parse(Repeat("<span>text</span>", 1000), {});
        ASSERT_NE(parse.Output(), nullptr);
        EXPECT_EQ(parse.Stop(), ParseStop::None);
        EXPECT_GT(parse.HeldBytes(), 1000u * 50);
        EXPECT_LT(parse.HeldBytes(), 1000u * 2000);
    }

} // namespace
} // namespace pagestow::engine::static_engine

#include "engine/webkit/FrameDump.h"

#include "engine/Contract.h"

#include <gtest/gtest.h>

namespace pagestow::engine::webkit {
namespace {

    std::string Dump(
        const std::string& path, const std::string& url, int frameCount, const std::string& extra = "")
    {
        return "{\"path\":" + path + ",\"url\":\"" + url
            + "\",\"characterSet\":\"UTF-8\",\"frameCount\":" + std::to_string(frameCount)
            + ",\"html\":\"<html></html>\",\"elements\":[[\"HTML\",-1,[]]" + extra + "]}";
    }

    TEST(ParseFrameDump, ReadsElementsAttributesAndCommentsInOrder)
    {
        auto dump
            = ParseFrameDump(R"({"path":[1,0],"url":"http://a/b.htm","characterSet":"GBK","frameCount":2,
            "html":"<html>网</html>","elements":[["HTML",-1,[]],["!",0,[]],["BODY",0,["class","x"]],
            ["IMG",2,["src","a.gif","alt","","id","i"]]]})");
        ASSERT_TRUE(dump);
        ASSERT_TRUE(dump->path);
        EXPECT_EQ(*dump->path, (std::vector<int> { 1, 0 }));
        EXPECT_EQ(dump->frameCount, 2);
        const SnapshotDocument& document = dump->document;
        EXPECT_EQ(document.url, "http://a/b.htm");
        EXPECT_EQ(document.characterSet, "GBK");
        EXPECT_EQ(document.serialization, "<html>\xCD\xF8</html>");
        ASSERT_EQ(document.elements.size(), 4u);
        EXPECT_EQ(document.elements[1].tagName, "!");
        EXPECT_EQ(document.elements[1].parent, 0);
        EXPECT_EQ(document.elements[3].parent, 2);
        ASSERT_EQ(document.elements[3].attributes.size(), 3u);
        EXPECT_EQ(document.elements[3].attributes[0].name, "src");
        EXPECT_EQ(document.elements[3].attributes[0].value, "a.gif");
        EXPECT_EQ(document.elements[3].attributes[1].name, "alt");
        EXPECT_EQ(document.elements[3].attributes[1].value, "");
        EXPECT_EQ(document.elements[3].attributes[2].name, "id");
        EXPECT_EQ(document.body, 2);
    }

    TEST(ParseFrameDump, RefusesTextsThatAreNoDump)
    {
        EXPECT_FALSE(ParseFrameDump(""));
        EXPECT_FALSE(ParseFrameDump("[1,2]"));
        EXPECT_FALSE(ParseFrameDump("{\"path\":[\"a\"]}"));
        EXPECT_FALSE(ParseFrameDump("{\"elements\":[[\"A\"]]}"));
    }

    TEST(ParseFrameDump, AParentThatDoesNotPrecedeItsChildBecomesTheRoot)
    {
        auto dump = ParseFrameDump(R"({"path":[],"elements":[["HTML",5,[]],["HEAD",0,[]]]})");
        ASSERT_TRUE(dump);
        EXPECT_EQ(dump->document.elements[0].parent, -1);
        EXPECT_EQ(dump->document.elements[1].parent, 0);
    }

    TEST(ParseFrameDump, AFrameWithoutAPlaceHasNoPath)
    {
        auto dump = ParseFrameDump(Dump("null", "http://a/", 0));
        ASSERT_TRUE(dump);
        EXPECT_FALSE(dump->path);
    }

    TEST(AssembleSnapshot, PutsEachFrameUnderItsParentByIndexPath)
    {
        std::vector<FrameDump> dumps;
        for (const std::string& text : { Dump("[0,1]", "http://b/inner.htm", 0), Dump("[]", "http://a/", 3),
                 Dump("[0]", "http://a/left.htm", 2), Dump("[2]", "http://b/right.htm", 0),
                 Dump("null", "http://a/removed.htm", 0) })
            dumps.push_back(*ParseFrameDump(text));
        auto top = AssembleSnapshot(dumps);
        ASSERT_TRUE(top);
        EXPECT_EQ(top->url, "http://a/");
        ASSERT_EQ(top->frames.size(), 3u);
        ASSERT_TRUE(top->frames[0].document);
        EXPECT_EQ(top->frames[0].document->url, "http://a/left.htm");
        // Frame 1 of the top reported nothing: it cannot be reached.
        EXPECT_FALSE(top->frames[1].document);
        ASSERT_TRUE(top->frames[2].document);
        EXPECT_EQ(top->frames[2].document->url, "http://b/right.htm");
        const auto& left = *top->frames[0].document;
        ASSERT_EQ(left.frames.size(), 2u);
        EXPECT_FALSE(left.frames[0].document);
        ASSERT_TRUE(left.frames[1].document);
        EXPECT_EQ(left.frames[1].document->url, "http://b/inner.htm");
    }

    TEST(AssembleSnapshot, NoTopLevelDumpGivesNothing)
    {
        std::vector<FrameDump> dumps { *ParseFrameDump(Dump("[0]", "http://a/f.htm", 0)) };
        EXPECT_FALSE(AssembleSnapshot(dumps));
    }

    TEST(ParseFrameDump, ReadsTheEnginesAddressesAndTheLoadedCandidate)
    {
        auto dump = ParseFrameDump(R"({"path":[],"url":"http://a/p","elements":[["HTML",-1,[]],
            ["IMG",0,["alt","x","src","a.gif","srcset","b.gif 2x"],[1,"http://a/a.gif"],"http://a/b.gif"],
            ["A",0,["href","q"],[0,"http://a/q"]],["IMG",0,["src","c.gif"],[7,"http://a/nowhere"]]]})");
        ASSERT_TRUE(dump);
        const auto& elements = dump->document.elements;
        EXPECT_EQ(elements[1].attributes[0].resolved, "");
        EXPECT_EQ(elements[1].attributes[1].resolved, "http://a/a.gif");
        EXPECT_EQ(elements[1].attributes[2].resolved, "");
        EXPECT_EQ(elements[1].currentSource, "http://a/b.gif");
        EXPECT_EQ(elements[2].attributes[0].resolved, "http://a/q");
        EXPECT_EQ(elements[2].currentSource, "");
        // An index past the attributes names nothing.
        EXPECT_EQ(elements[3].attributes[0].resolved, "");
        EXPECT_FALSE(ParseFrameDump(R"({"elements":[["IMG",-1,["src","a"],["0","x"]]]})"));
    }

    std::string FrameDumpText(const std::string& path, const std::string& url, int frameCount,
        const std::string& sources = "[]", bool inherited = false)
    {
        return "{\"path\":" + path + ",\"url\":\"" + url + "\",\"inherited\":"
            + (inherited ? "true" : "false") + ",\"frameCount\":" + std::to_string(frameCount)
            + ",\"frameSources\":" + sources + ",\"elements\":[[\"HTML\",-1,[]],[\"BODY\",0,[]]]}";
    }

    // "origin url" of each frame of the top document; "none" for an unreachable frame.
    std::vector<std::string> FrameOrigins(const std::shared_ptr<SnapshotDocument>& top)
    {
        std::vector<std::string> seen;
        for (const SnapshotFrame& frame : top->frames) {
            if (!frame.document) {
                seen.push_back("none");
                continue;
            }
            const char* origin = frame.document->origin == DocumentOrigin::Loaded ? "loaded "
                : frame.document->origin == DocumentOrigin::Inherited             ? "inherited "
                                                                                  : "failed ";
            seen.push_back(origin + frame.document->url);
        }
        return seen;
    }

    TEST(AssembleSnapshot, TellsWhereEachFramesDocumentCameFrom)
    {
        std::vector<FrameDump> dumps;
        for (const std::string& text :
            {
                FrameDumpText("[]", "http://a/top.htm", 8,
                    R"(["http://a/f.htm","","http://a/gone.htm","http://a/w.htm","","http://a/dl.sh","http://b/x.htm","about:blank"])"),
                FrameDumpText("[0]", "http://a/f.htm", 0),
                FrameDumpText("[1]", "about:srcdoc", 0, "[]", true),
                FrameDumpText("[2]", "about:blank", 0, "[]", true),
                // Written by the parent's script: it reports the top's own address.
                FrameDumpText("[3]", "http://a/top.htm#x", 0),
                FrameDumpText("[5]", "http://a/dl.sh", 0),
            }) {
            auto dump = ParseFrameDump(text);
            ASSERT_TRUE(dump) << text;
            dumps.push_back(std::move(*dump));
        }
        // [4] and [6] and [7] report nothing: blank frames no script touched, one of which asked for an
        // address.
        auto top = AssembleSnapshot(dumps, { "http://a/dl.sh" });
        ASSERT_TRUE(top);
        EXPECT_EQ(top->origin, DocumentOrigin::Loaded);
        EXPECT_EQ(FrameOrigins(top),
            (std::vector<std::string> { "loaded http://a/f.htm", "inherited http://a/top.htm",
                "failed http://a/gone.htm", "inherited http://a/top.htm", "inherited http://a/top.htm",
                "failed http://a/dl.sh", "failed http://b/x.htm", "inherited http://a/top.htm" }));
    }

    TEST(AssembleSnapshot, GoesNoDeeperThanTheFrameDepthLimit)
    {
        std::vector<FrameDump> dumps;
        std::string path = "[";
        for (int level = 0; level <= kFrameDepthLimit + 2; ++level) {
            auto dump = ParseFrameDump(FrameDumpText(path + "]", "http://a/" + std::to_string(level), 1));
            ASSERT_TRUE(dump);
            dumps.push_back(std::move(*dump));
            path += level == 0 ? "0" : ",0";
        }
        auto top = AssembleSnapshot(dumps);
        int depth = 0;
        for (const SnapshotDocument* document = top.get(); document && !document->frames.empty(); ++depth)
            document = document->frames[0].document.get();
        EXPECT_EQ(depth, kFrameDepthLimit);
    }

} // namespace
} // namespace pagestow::engine::webkit

#include "engine/webkit/FrameDump.h"

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

} // namespace
} // namespace pagestow::engine::webkit

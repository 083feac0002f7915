#include "engine/static/PageParser.h"

#include <gtest/gtest.h>

namespace pagestow::engine::static_engine {
namespace {

    const std::string kPage = "http://www.example.com/news/page.htm";

    std::vector<std::string> Urls(const ParsedPage& page)
    {
        std::vector<std::string> urls;
        for (const auto& resource : page.resources)
            urls.push_back(resource.url);
        return urls;
    }

    std::string Describe(const SnapshotElement& element)
    {
        std::string text = element.tagName + "@" + std::to_string(element.parent);
        for (const auto& attribute : element.attributes)
            text += " " + attribute.name + "=" + attribute.value;
        return text;
    }

    TEST(ParsePage, ListsElementsAndCommentsInSourceOrderWithParents)
    {
        ParsedPage page = ParsePage("<!DOCTYPE html><!-- top --><html><head><title>t</title></head>"
                                    "<body bgcolor=red><!-- note --><p id=a CLASS=b>x<IMG SRC=a.gif></p>"
                                    "<svg viewBox='0 0 1 1'><linearGradient/></svg></body></html>",
            "text/html", kPage, DocumentRole::TopLevel);
        std::vector<std::string> described;
        for (const auto& element : page.elements)
            described.push_back(Describe(element));
        const std::vector<std::string> expected = {
            "!@-1",
            "HTML@-1",
            "HEAD@1",
            "TITLE@2",
            "BODY@1 bgcolor=red",
            "!@4",
            "P@4 id=a class=b",
            "IMG@6 src=a.gif",
            "svg@4 viewBox=0 0 1 1",
            "linearGradient@8",
        };
        EXPECT_EQ(described, expected);
        EXPECT_EQ(page.body, 4);
        EXPECT_EQ(page.characterSet, "UTF-8");
    }

    TEST(ParsePage, RequestsWhatABrowserRequests)
    {
        struct Case {
            const char* name;
            const char* html;
            std::vector<std::string> urls;
        };
        const std::string d = "http://www.example.com/news/";
        const Case cases[] = {
            { "stylesheet", "<link rel=stylesheet href=a.css>", { d + "a.css" } },
            { "stylesheet in mixed case", "<link REL='Preconnect StyleSheet' href=a.css>", { d + "a.css" } },
            { "alternate stylesheet", "<link rel='alternate stylesheet' href=a.css>", {} },
            { "alternate and canonical", "<link rel=alternate href=feed.xml><link rel=canonical href=c.htm>",
                {} },
            { "icons", "<link rel=icon href=i.png><link rel='shortcut icon' href=/favicon.ico>",
                { d + "i.png", "http://www.example.com/favicon.ico" } },
            { "apple touch icon", "<link rel=apple-touch-icon href=t.png>", {} },
            { "preload", "<link rel=preload as=image href=p.png><link rel=preload href=x.bin>",
                { d + "p.png" } },
            { "modulepreload", "<link rel=modulepreload href=m.js>", { d + "m.js" } },
            { "scripts",
                "<script src=a.js></script><script type=module src=b.js></script>"
                "<script type='text/JavaScript' src=c.js></script>",
                { d + "a.js", d + "b.js", d + "c.js" } },
            { "scripts a browser does not run",
                "<script type=text/template src=t.js></script>"
                "<script nomodule src=n.js></script>"
                "<script language=vbscript src=v.js></script>",
                {} },
            { "images",
                "<img src=a.gif real_src=b.gif><input type=IMAGE src=c.gif><input type=text src=d.gif>",
                { d + "a.gif", d + "c.gif" } },
            { "body background", "<body background=bg.jpg>", { d + "bg.jpg" } },
            { "commented out", "<!-- <img src=a.gif> <link rel=stylesheet href=a.css> -->", {} },
            { "noscript in head and template",
                "<noscript><img src=n.gif></noscript><template><img src=t.gif></template><img src=after.gif>",
                { d + "after.gif" } },
            { "noscript in body", "<p>x<noscript><div><img src=n.gif></div></noscript><img src=after.gif>",
                { d + "after.gif" } },
            { "duplicates once", "<img src=a.gif><img src='./a.gif'><img src=a.gif#x>", { d + "a.gif" } },
            { "empty and blank values", "<img src=''><img src='  '><script src=></script>", {} },
            { "other schemes", "<img src='data:image/gif;base64,R0lG'><script src='javascript:1'></script>",
                {} },
            { "base href", "<base href='http://cdn.example.net/s/'><img src=a.gif><img src=/b.gif>",
                { "http://cdn.example.net/s/a.gif", "http://cdn.example.net/b.gif" } },
            { "srcset at 1x", "<img src=s.jpg srcset='a.jpg 1x, b.jpg 2x'>", { d + "a.jpg" } },
            { "picture source", "<picture><source type=image/webp srcset=w.webp><img src=p.jpg></picture>",
                { d + "w.webp" } },
            { "picture source of another type",
                "<picture><source type=image/jxl srcset=w.jxl><img src=p.jpg></picture>", { d + "p.jpg" } },
        };
        for (const auto& c : cases) {
            ParsedPage page = ParsePage(c.html, "text/html", kPage, DocumentRole::TopLevel);
            EXPECT_EQ(Urls(page), c.urls) << c.name;
        }
    }

    TEST(ParsePage, NoscriptContentIsTextNotElements)
    {
        ParsedPage page = ParsePage("<body><noscript><img src=n.gif><!-- c --></noscript><p></p></body>",
            "text/html", kPage, DocumentRole::TopLevel);
        std::vector<std::string> described;
        for (const auto& element : page.elements)
            described.push_back(Describe(element));
        EXPECT_EQ(
            described, (std::vector<std::string> { "HTML@-1", "HEAD@0", "BODY@0", "NOSCRIPT@2", "P@2" }));
    }

    TEST(ParsePage, FrameDocumentsLoadNoIcons)
    {
        ParsedPage page = ParsePage("<link rel=icon href=i.png><link rel=stylesheet href=a.css>", "text/html",
            kPage, DocumentRole::Frame);
        EXPECT_EQ(Urls(page), std::vector<std::string> { "http://www.example.com/news/a.css" });
    }

    TEST(ParsePage, ListsFramesInIndexOrder)
    {
        ParsedPage page = ParsePage(
            "<iframe></iframe><iframe src=about:blank></iframe><iframe src=f.htm></iframe>"
            "<iframe src='javascript:void(0)'></iframe><iframe srcdoc='<p>x' src=g.htm></iframe>"
            "<noscript><iframe src=n.htm></iframe></noscript><iframe src='data:text/html,x'></iframe>"
            "<iframe src='ftp://x.net/f.htm'></iframe>",
            "text/html", kPage, DocumentRole::TopLevel);
        using Kind = FrameReference::Kind;
        ASSERT_EQ(page.frames.size(), 7u);
        EXPECT_EQ(page.frames[0].kind, Kind::Blank);
        EXPECT_EQ(page.frames[1].kind, Kind::Blank);
        EXPECT_EQ(page.frames[2].kind, Kind::Address);
        EXPECT_EQ(page.frames[2].url, "http://www.example.com/news/f.htm");
        // javascript: and data: frames show a document of their own making, with no address of its own.
        EXPECT_EQ(page.frames[3].kind, Kind::Blank);
        EXPECT_EQ(page.frames[4].kind, Kind::Blank);
        EXPECT_EQ(page.frames[5].kind, Kind::Blank);
        EXPECT_EQ(page.frames[6].kind, Kind::Unreachable);

        ParsedPage frameset
            = ParsePage("<frameset cols='50%,50%'><frame src=left.htm><frame src=//b.net/r.htm></frameset>",
                "text/html", kPage, DocumentRole::TopLevel);
        ASSERT_EQ(frameset.frames.size(), 2u);
        EXPECT_EQ(frameset.frames[0].url, "http://www.example.com/news/left.htm");
        EXPECT_EQ(frameset.frames[1].url, "http://b.net/r.htm");
        ASSERT_GE(frameset.body, 0);
        EXPECT_EQ(frameset.elements[size_t(frameset.body)].tagName, "FRAMESET");
    }

    TEST(ParsePage, ReadsDocumentInItsCharacterSet)
    {
        // 图片 in GBK, in an attribute and in the text.
        std::string gbk = "<meta charset=gb2312><img alt=\"\xCD\xBC\xC6\xAC\" src=\"\xCD\xBC.gif\">";
        ParsedPage page = ParsePage(gbk, "text/html", kPage, DocumentRole::TopLevel);
        EXPECT_EQ(page.characterSet, "GBK");
        ASSERT_EQ(Urls(page).size(), 1u);
        EXPECT_EQ(Urls(page)[0], "http://www.example.com/news/%E5%9B%BE.gif");
        const SnapshotElement& img = page.elements.back();
        ASSERT_EQ(img.attributes.size(), 2u);
        EXPECT_EQ(img.attributes[0].value, "图片");
    }

    TEST(ParsePage, ShowsImagesAndTextsInDocumentsOfTheirOwn)
    {
        ParsedPage image
            = ParsePage("\x89PNG....", "image/png", "http://a.com/p.png", DocumentRole::TopLevel);
        std::vector<std::string> described;
        for (const auto& element : image.elements)
            described.push_back(Describe(element));
        EXPECT_EQ(described,
            (std::vector<std::string> { "HTML@-1", "HEAD@0", "BODY@0", "IMG@2 src=http://a.com/p.png" }));
        EXPECT_TRUE(image.resources.empty());

        ParsedPage text = ParsePage(
            "<img src=a.gif>", "text/plain; charset=utf-8", "http://a.com/t.txt", DocumentRole::TopLevel);
        EXPECT_EQ(text.elements.back().tagName, "PRE");
        EXPECT_TRUE(text.resources.empty());
        EXPECT_EQ(text.body, 2);
    }

    TEST(ParsePage, SurvivesDeepNesting)
    {
        std::string html;
        for (int i = 0; i < 20000; ++i)
            html += "<div>";
        html += "<img src=deep.gif>";
        ParsedPage page = ParsePage(html, "text/html", kPage, DocumentRole::TopLevel);
        EXPECT_EQ(page.elements.size(), 3u + 20000u + 1u);
        EXPECT_EQ(Urls(page), std::vector<std::string> { "http://www.example.com/news/deep.gif" });
    }

    TEST(PickSrcsetCandidate, TakesTheCandidateForOneDevicePixelPerPixel)
    {
        struct Case {
            const char* srcset;
            const char* sizes;
            const char* src;
            const char* expected;
        };
        const Case cases[] = {
            { "a.jpg 1x, b.jpg 2x", "", "s.jpg", "a.jpg" },
            { "b.jpg 2x", "", "s.jpg", "s.jpg" },
            { "b.jpg 2x, c.jpg 3x", "", "", "b.jpg" },
            { "a.jpg 0.5x", "", "", "a.jpg" },
            { "a.jpg, b.jpg 2x", "", "s.jpg", "a.jpg" },
            { "a.jpg 480w, b.jpg 1280w, c.jpg 2000w", "", "s.jpg", "b.jpg" },
            { "a.jpg 480w, b.jpg 1280w, c.jpg 2000w", "50vw", "s.jpg", "b.jpg" },
            { "a.jpg 480w, b.jpg 800w", "(max-width: 600px) 480px, 400px", "s.jpg", "a.jpg" },
            { "a.jpg 480w, b.jpg 800w", "(min-width: 1000px) 700px, 400px", "s.jpg", "b.jpg" },
            { "x,y.jpg 1x", "", "", "x,y.jpg" },
            { "a.jpg 1q", "", "s.jpg", "s.jpg" },
            { "", "", " s.jpg ", "s.jpg" },
        };
        for (const auto& c : cases)
            EXPECT_EQ(PickSrcsetCandidate(c.srcset, c.sizes, c.src, 1280), c.expected)
                << c.srcset << " | " << c.sizes;
    }

    TEST(MediaMatches, EvaluatesTheCommonQueries)
    {
        const std::pair<const char*, bool> cases[] = {
            { "", true },
            { "all", true },
            { "screen", true },
            { "print", false },
            { "(min-width: 800px)", true },
            { "(min-width: 1400px)", false },
            { "only screen and (max-width: 1280px)", true },
            { "screen and (min-width: 600px) and (max-width: 900px)", false },
            { "print, (min-width: 1000px)", true },
            { "(orientation: portrait)", false },
        };
        for (const auto& [media, expected] : cases)
            EXPECT_EQ(MediaMatches(media, 1280), expected) << media;
    }

    // Each address attribute carries what the engine resolved it to; an img whose srcset or
    // <picture> candidate won carries that candidate, which alone is requested.
    TEST(ParsePage, AddressAttributesCarryTheEngineAddressAndImagesTheirCurrentSource)
    {
        ParsedPage page = ParsePage(
            "<base href='http://cdn.example.org/a/'><a href='?page=2'>n</a>"
            "<img src=x.gif srcset='x2.gif 2x, x1.gif 1x' real_src=r.gif>"
            "<img src=same.gif srcset='same.gif 1x, big.gif 2x'>"
            "<picture><source srcset=wide.webp type=image/webp media='(min-width: 1000px)'>"
            "<source srcset=narrow.webp media='(max-width: 600px)'><img src=fallback.jpg></picture>"
            "<a href='javascript:go()'>j</a><a href=http:rel.htm>r</a>",
            "text/html", kPage, DocumentRole::TopLevel);
        std::vector<std::string> described;
        for (const auto& element : page.elements) {
            std::string text = element.tagName;
            for (const auto& attribute : element.attributes)
                text += " " + attribute.name + "=" + attribute.resolved;
            if (!element.currentSource.empty())
                text += " current=" + element.currentSource;
            described.push_back(text);
        }
        const std::string c = "http://cdn.example.org/a/";
        const std::vector<std::string> expected = {
            "HTML",
            "HEAD",
            "BASE href=" + c,
            "BODY",
            "A href=" + c + "?page=2",
            "IMG src=" + c + "x.gif srcset= real_src=" + c + "r.gif current=" + c + "x1.gif",
            "IMG src=" + c + "same.gif srcset=",
            "PICTURE",
            "SOURCE srcset= type= media=",
            "SOURCE srcset= media=",
            "IMG src=" + c + "fallback.jpg current=" + c + "wide.webp",
            "A href=",
            "A href=http://cdn.example.org/a/rel.htm",
        };
        EXPECT_EQ(described, expected);
        EXPECT_EQ(Urls(page), (std::vector<std::string> { c + "x1.gif", c + "same.gif", c + "wide.webp" }));
    }

    // A page in another character set has its queries written in that set (the path stays UTF-8),
    // the same for the request and for the attribute.
    TEST(ParsePage, QueriesAreWrittenInTheDocumentsCharacterSet)
    {
        // "<img src='图.gif?q=中文#片'>" in GBK.
        const std::string gbk = "<img src='\xCD\xBC.gif?q=\xD6\xD0\xCE\xC4#\xC6\xAC'>";
        ParsedPage page = ParsePage(gbk, "text/html; charset=gbk", kPage, DocumentRole::TopLevel);
        const std::string expected = "http://www.example.com/news/%E5%9B%BE.gif?q=%D6%D0%CE%C4";
        EXPECT_EQ(page.characterSet, "GBK");
        ASSERT_EQ(page.elements.size(), 4u);
        ASSERT_EQ(page.elements[3].attributes.size(), 1u);
        EXPECT_EQ(page.elements[3].attributes[0].resolved, expected);
        EXPECT_EQ(Urls(page), std::vector<std::string> { expected });

        ParsedPage utf8 = ParsePage("<img src='\xE5\x9B\xBE.gif?q=\xE4\xB8\xAD'>", "text/html; charset=utf-8",
            kPage, DocumentRole::TopLevel);
        EXPECT_EQ(
            Urls(utf8), std::vector<std::string> { "http://www.example.com/news/%E5%9B%BE.gif?q=%E4%B8%AD" });
    }

} // namespace
} // namespace pagestow::engine::static_engine

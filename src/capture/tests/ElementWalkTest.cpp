#include "capture/Capture.h"
#include "capture/tests/SnapshotBuilder.h"

#include <filesystem>
#include <fstream>
#include <map>

namespace pagestow::capture::testing {
namespace {
    using engine::SnapshotAttribute;

    constexpr const char* kPageUrl = "http://www.example.com/news/page.htm";

    struct WalkElement {
        std::string tag;
        std::vector<SnapshotAttribute> attributes;
    };

    struct WalkCase {
        const char* name;
        std::vector<WalkElement> elements;
        std::map<std::string, std::string> cached;
        // "{R}" stands for the capture folder.
        std::vector<std::string> lines;
        std::map<std::string, std::string> files;
    };

    class ElementWalk : public CaptureTest {
    protected:
        std::string Expand(std::string text) const
        {
            for (size_t at; (at = text.find("{R}")) != std::string::npos;)
                text.replace(at, 3, Root());
            return text;
        }

        void Walk(const std::shared_ptr<engine::SnapshotDocument>& document)
        {
            mapping::AddressRecord record;
            mapping::SplitAddress(document->url, record);
            capture->SaveDocumentResources(*document, record);
        }

        void Run(const WalkCase& c)
        {
            SCOPED_TRACE(c.name);
            DocumentBuilder page(kPageUrl);
            for (const WalkElement& element : c.elements) {
                if (element.tag == "BODY")
                    page.BodyAttributes(element.attributes);
                else
                    page.Add(element.tag, element.attributes);
            }
            for (const auto& [address, bytes] : c.cached)
                CacheResource(address, bytes);

            Walk(page.Build());

            std::vector<std::string> expectedLines;
            for (const std::string& line : c.lines)
                expectedLines.push_back(Expand(line));
            EXPECT_EQ(frontEnd.lines, expectedLines);
            std::vector<std::string> expectedFiles;
            for (const auto& [file, bytes] : c.files) {
                expectedFiles.push_back(file);
                EXPECT_EQ(ReadBytes(Root() + "/" + file), bytes) << file;
            }
            EXPECT_EQ(Written(), expectedFiles);
        }
    };

    TEST_F(ElementWalk, HarvestsEachKindOfElementByItsRow)
    {
        const WalkCase cases[] = {
            { "a link of any relation is saved as a stylesheet, keeping a name with a dot",
                { { "LINK", { { "rel", "icon" }, { "href", "/favicon.ico" } } },
                    { "link", { { "rel", "alternate" }, { "HREF", "http://www.example.com/v.2/styles" } } } },
                { { "http://www.example.com/favicon.ico", "ICO" },
                    { "http://www.example.com/v.2/styles", "CSS" } },
                { "log: link:相对地址", "result: 保存CSS文件：{R}/www.example.com/favicon.ico",
                    "status: 保存CSS文件：{R}/www.example.com/favicon.ico",
                    "result: 保存CSS文件：{R}/www.example.com/v.2/styles.css",
                    "status: 保存CSS文件：{R}/www.example.com/v.2/styles.css" },
                { { "www.example.com/favicon.ico", "ICO" }, { "www.example.com/v.2/styles.css", "CSS" } } },
            { "a link without a file name gets the default stylesheet name",
                { { "link", { { "href", "feed/rss" } } } },
                { { "http://www.example.com/news/feed/rss", "RSS" } },
                { "log: link:相对地址", "result: 保存CSS文件：{R}/www.example.com/news/feed/rss/css.css",
                    "status: 保存CSS文件：{R}/www.example.com/news/feed/rss/css.css" },
                { { "www.example.com/news/feed/rss/css.css", "RSS" } } },
            { "scripts by src, a script without src saves nothing",
                { { "SCRIPT", { { "type", "text/javascript" }, { "src", "js/app.js" } } },
                    { "script", { { "type", "module" } } }, { "script", { { "src", "/lib/run" } } } },
                { { "http://www.example.com/news/js/app.js", "JS" },
                    { "http://www.example.com/lib/run", "RUN" } },
                { "result: 保存JS文件：{R}/www.example.com/news/js/app.js",
                    "status: 保存JS文件：{R}/www.example.com/news/js/app.js",
                    "result: 保存JS文件：{R}/www.example.com/lib/run/temp.js",
                    "status: 保存JS文件：{R}/www.example.com/lib/run/temp.js" },
                { { "www.example.com/lib/run/temp.js", "RUN" },
                    { "www.example.com/news/js/app.js", "JS" } } },
            { "an input of any type with a src is an image; one without src saves nothing",
                { { "input", { { "type", "text" }, { "src", "../btn.png" } } },
                    { "INPUT", { { "type", "image" } } },
                    { "input", { { "type", "image" }, { "src", "" } } } },
                { { "http://www.example.com/btn.png", "PNG" } },
                { "result: 保存图片文件：{R}/www.example.com/btn.png",
                    "status: 保存图片文件：{R}/www.example.com/btn.png" },
                { { "www.example.com/btn.png", "PNG" } } },
            { "the body background is an image",
                { { "BODY", { { "bgcolor", "white" }, { "background", "bg/paper.gif" } } } },
                { { "http://www.example.com/news/bg/paper.gif", "PAPER" } },
                { "result: 保存图片文件：{R}/www.example.com/news/bg/paper.gif",
                    "status: 保存图片文件：{R}/www.example.com/news/bg/paper.gif" },
                { { "www.example.com/news/bg/paper.gif", "PAPER" } } },
            { "img src and real_src both, in the element's attribute order",
                { { "IMG", { { "real_src", "/big/a.jpg" }, { "alt", "x" }, { "SRC", "/small/a.jpg" } } } },
                { { "http://www.example.com/big/a.jpg", "BIG" },
                    { "http://www.example.com/small/a.jpg", "SMALL" } },
                { "result: 保存图片文件：{R}/www.example.com/big/a.jpg",
                    "status: 保存图片文件：{R}/www.example.com/big/a.jpg",
                    "result: 保存图片文件：{R}/www.example.com/small/a.jpg",
                    "status: 保存图片文件：{R}/www.example.com/small/a.jpg" },
                { { "www.example.com/big/a.jpg", "BIG" }, { "www.example.com/small/a.jpg", "SMALL" } } },
            { "image names without a dot: .jpg added, or temp.jpg in the folder of the whole path",
                { { "img", { { "src", "http://www.example.com/2.0/photo" } } },
                    { "img", { { "src", "/img/photo" } } }, { "img", { { "src", "/img/photo?size=2" } } } },
                { { "http://www.example.com/2.0/photo", "P1" }, { "http://www.example.com/img/photo", "P2" },
                    { "http://www.example.com/img/photo?size=2", "P3" } },
                { "result: 保存图片文件：{R}/www.example.com/2.0/photo.jpg",
                    "status: 保存图片文件：{R}/www.example.com/2.0/photo.jpg",
                    "result: 保存图片文件：{R}/www.example.com/img/photo/temp.jpg",
                    "status: 保存图片文件：{R}/www.example.com/img/photo/temp.jpg" },
                { { "www.example.com/2.0/photo.jpg", "P1" },
                    { "www.example.com/img/photo/temp.jpg", "P2" } } },
            { "addresses differing by query or by letter case of the path map to one file, the first wins",
                { { "img", { { "src", "a.php?id=1", "http://www.example.com/news/a.php?id=1" } } },
                    { "img", { { "src", "/news/a.php?id=2" } } }, { "img", { { "src", "IMG/Logo.GIF" } } },
                    { "img", { { "src", "img/logo.gif" } } } },
                { { "http://www.example.com/news/a.php?id=1", "ONE" },
                    { "http://www.example.com/news/a.php?id=2", "TWO" },
                    { "http://www.example.com/news/IMG/Logo.GIF", "UPPER" },
                    { "http://www.example.com/news/img/logo.gif", "LOWER" } },
                { "result: 保存图片文件：{R}/www.example.com/news/a.php",
                    "status: 保存图片文件：{R}/www.example.com/news/a.php",
                    "result: 保存图片文件：{R}/www.example.com/news/IMG/Logo.GIF",
                    "status: 保存图片文件：{R}/www.example.com/news/IMG/Logo.GIF" },
                { { "www.example.com/news/IMG/Logo.GIF", "UPPER" },
                    { "www.example.com/news/a.php", "ONE" } } },
            { "a resource on another host goes beside the page's host, without its port",
                { { "img", { { "src", "http://CDN.example.net:8080/lib/x.png#top" } } } },
                { { "http://cdn.example.net:8080/lib/x.png", "CDN" } },
                { "result: 保存图片文件：{R}/CDN.example.net/lib/x.png",
                    "status: 保存图片文件：{R}/CDN.example.net/lib/x.png" },
                { { "CDN.example.net/lib/x.png", "CDN" } } },
            { "what the engine never loaded is skipped without a word; a relative link still logs",
                { { "img", { { "src", "missing.gif" } } },
                    { "script", { { "src", "http://www.example.com/none.js" } } },
                    { "link", { { "href", "../css/none.css" } } } },
                {}, { "log: link:相对地址" }, {} },
            { "other elements and attributes are not examined",
                { { "a", { { "href", "/a.gif" } } }, { "iframe", { { "src", "/a.gif" } } },
                    { "td", { { "background", "/a.gif" } } },
                    { "img", { { "href", "/a.gif" }, { "lowsrc", "/a.gif" } } },
                    { "div", { { "style", "background:url(/a.gif)" } } } },
                { { "http://www.example.com/a.gif", "GIF" } }, {}, {} },
            { "empty values and values of blanks only are skipped",
                { { "link", { { "href", "" } } }, { "link", { { "href", "  \t " } } },
                    { "img", { { "src", " " } } } },
                { { "http://www.example.com/news/", "INDEX" } }, {}, {} },
            { "a value is resolved without its surrounding blanks",
                { { "img", { { "src", "  img/a.gif \n" } } }, { "link", { { "href", " /s.css " } } } },
                { { "http://www.example.com/news/img/a.gif", "A" }, { "http://www.example.com/s.css", "S" } },
                { "result: 保存图片文件：{R}/www.example.com/news/img/a.gif",
                    "status: 保存图片文件：{R}/www.example.com/news/img/a.gif", "log: link:相对地址",
                    "result: 保存CSS文件：{R}/www.example.com/s.css",
                    "status: 保存CSS文件：{R}/www.example.com/s.css" },
                { { "www.example.com/news/img/a.gif", "A" }, { "www.example.com/s.css", "S" } } },
            { "a bare file name is found by the address the engine resolved it to",
                { { "img", { { "src", "logo.gif", "http://www.example.com/news/logo.gif" } } },
                    { "link", { { "href", "style.css?v=2", "http://www.example.com/news/style.css?v=2" } } },
                    { "script", { { "src", "app.js", "http://www.example.com/news/app.js" } } },
                    { "img",
                        { { "src", "http://other.example.org/gone.gif",
                            "http://other.example.org/gone.gif" } } } },
                { { "http://www.example.com/news/logo.gif", "LOGO" },
                    { "http://www.example.com/news/style.css?v=2", "CSS" },
                    { "http://www.example.com/news/app.js", "APP" },
                    { "http://www.example.com/news/http://other.example.org/gone.gif", "WRONG" } },
                { "result: 保存图片文件：{R}/www.example.com/news/logo.gif",
                    "status: 保存图片文件：{R}/www.example.com/news/logo.gif",
                    "result: 保存CSS文件：{R}/www.example.com/news/style.css",
                    "status: 保存CSS文件：{R}/www.example.com/news/style.css",
                    "result: 保存JS文件：{R}/www.example.com/news/app.js",
                    "status: 保存JS文件：{R}/www.example.com/news/app.js" },
                { { "www.example.com/news/app.js", "APP" }, { "www.example.com/news/logo.gif", "LOGO" },
                    { "www.example.com/news/style.css", "CSS" } } },
            { "a comment element saves nothing and the elements around it are walked",
                { { "img", { { "src", "/a.gif" } } }, { "!", {} }, { "img", { { "src", "/b.gif" } } } },
                { { "http://www.example.com/a.gif", "A" }, { "http://www.example.com/b.gif", "B" } },
                { "result: 保存图片文件：{R}/www.example.com/a.gif",
                    "status: 保存图片文件：{R}/www.example.com/a.gif",
                    "result: 保存图片文件：{R}/www.example.com/b.gif",
                    "status: 保存图片文件：{R}/www.example.com/b.gif" },
                { { "www.example.com/a.gif", "A" }, { "www.example.com/b.gif", "B" } } },
        };
        for (const WalkCase& c : cases) {
            Run(c);
            // Each case starts from an empty capture.
            std::filesystem::remove_all(capture->SaveDir);
            NewCapture();
            frontEnd.lines.clear();
            ClearCache();
        }
    }

    TEST_F(ElementWalk, DocumentAtSiteRootResolvesBothFormsToOneAddress)
    {
        CacheResource("http://www.example.com:8080/images/logo.gif", "LOGO");
        DocumentBuilder page("http://www.example.com:8080/");
        page.Add("img", { { "src", "images/logo.gif" } });
        page.Add("img", { { "src", "/images/logo.gif" } });
        Walk(page.Build());
        EXPECT_EQ(frontEnd.lines,
            (std::vector<std::string> {
                "result: 保存图片文件：" + Root() + "/www.example.com/images/logo.gif",
                "status: 保存图片文件：" + Root() + "/www.example.com/images/logo.gif" }));
        EXPECT_EQ(ReadBytes(Root() + "/www.example.com/images/logo.gif"), "LOGO");
    }

    // A relative address whose combination passes the path limit leaves only the site's base address,
    // which names the root document, not the resource: such a value is skipped, also as a bare file
    // name looked up below the document.
    TEST_F(ElementWalk, AddressTooLongToResolveIsSkippedAndNotReadAsTheSiteRoot)
    {
        const std::string tooLong(300, 'k');
        CacheResource("http://www.example.com/", "THE ROOT PAGE");
        CacheResource("http://www.example.com/e.gif", "E");
        DocumentBuilder page("http://www.example.com/");
        page.Add("img", { { "src", tooLong + "/f.gif" } });
        page.Add("img", { { "src", "e.gif#" + tooLong } });
        page.Add("script", { { "src", "g.js?" + tooLong } });
        page.Add("link", { { "href", "/" + tooLong + ".css" } });
        page.Add("img", { { "src", "e.gif", "http://www.example.com/e.gif" } });
        Walk(page.Build());
        EXPECT_EQ(frontEnd.lines,
            (std::vector<std::string> { "log: link:相对地址",
                "result: 保存图片文件：" + Root() + "/www.example.com/e.gif",
                "status: 保存图片文件：" + Root() + "/www.example.com/e.gif" }));
        EXPECT_EQ(Written(), std::vector<std::string> { "www.example.com/e.gif" });
    }

    // A name the file system refuses as too long is no saved file: nothing reports it, and the walk
    // goes on with the next attribute. (Other copy failures are not examined.)
    TEST_F(ElementWalk, FileNameTheFileSystemRefusesAsTooLongIsNotReportedAsSaved)
    {
        const std::string longName(300, 'n');
        const std::string longFolder(300, 'd');
        std::string deep;
        for (int level = 0; level < 20; ++level)
            deep += "/" + std::string(250, char('a' + level));
        CacheResource("http://www.example.com/" + longName + ".gif", "LONG NAME");
        CacheResource("http://www.example.com/" + longFolder + "/x.gif", "LONG FOLDER");
        CacheResource("http://www.example.com" + deep + "/x.gif", "LONG PATH");
        CacheResource("http://www.example.com/ok.gif", "OK");
        DocumentBuilder page(kPageUrl);
        page.Add("img", { { "src", "http://www.example.com/" + longName + ".gif" } });
        page.Add("img", { { "src", "http://www.example.com/" + longFolder + "/x.gif" } });
        page.Add("img", { { "src", "http://www.example.com" + deep + "/x.gif" } });
        page.Add("img", { { "src", "http://www.example.com/ok.gif" } });
        page.Add("img", { { "src", "http://www.example.com/" + longName + ".gif" } });
        Walk(page.Build());
        EXPECT_EQ(frontEnd.lines,
            (std::vector<std::string> { "result: 保存图片文件：" + Root() + "/www.example.com/ok.gif",
                "status: 保存图片文件：" + Root() + "/www.example.com/ok.gif" }));
        EXPECT_EQ(Written(), std::vector<std::string> { "www.example.com/ok.gif" });
        EXPECT_EQ(
            capture->SavedFiles.Paths(), std::vector<std::string> { Root() + "/www.example.com/ok.gif" });
    }

    TEST_F(ElementWalk, CopyReplacesAFileAlreadyAtTheTarget)
    {
        std::filesystem::create_directories(Root() + "/www.example.com/news");
        std::ofstream(Root() + "/www.example.com/news/a.gif") << "an older and longer file";
        CacheResource("http://www.example.com/news/a.gif", "NEW");
        DocumentBuilder page(kPageUrl);
        page.Add("img", { { "src", "a.gif", "http://www.example.com/news/a.gif" } });
        Walk(page.Build());
        EXPECT_EQ(ReadBytes(Root() + "/www.example.com/news/a.gif"), "NEW");
        EXPECT_EQ(
            capture->SavedFiles.Paths(), std::vector<std::string> { Root() + "/www.example.com/news/a.gif" });
    }

    TEST_F(ElementWalk, PathAlreadySavedInThisCaptureIsNeitherCopiedNorReported)
    {
        CacheResource("http://www.example.com/news/a.gif", "NEW");
        capture->SavedFiles.Add(Root() + "/WWW.example.com/news/A.GIF");
        DocumentBuilder page(kPageUrl);
        page.Add("img", { { "src", "a.gif" } });
        page.Add("link", { { "href", "a.gif" } });
        Walk(page.Build());
        EXPECT_EQ(frontEnd.lines, std::vector<std::string> {});
        EXPECT_EQ(Written(), std::vector<std::string> {});
    }

    TEST_F(ElementWalk, PumpsBeforeEveryElementAndAttribute)
    {
        DocumentBuilder page(kPageUrl); // html, head, body
        page.Add("img", { { "src", "" }, { "alt", "" }, { "real_src", "" } });
        page.Add("p", { { "class", "x" } });
        Walk(page.Build());
        // Five elements, each visited by the walk and found by its step, and the img's three
        // attributes.
        EXPECT_EQ(frontEnd.pumps, 5 * 2 + 3);
    }

    // The step run on its own finds its element by source index, which is the element's position in
    // the document's list; attributes without an engine resolution of their own are found by the
    // address rule alone.
    TEST_F(ElementWalk, StepOnItsOwnHandlesTheElementAtItsSourceIndexOnly)
    {
        for (const char* name : { "a", "b", "c" })
            CacheResource("http://www.example.com/" + std::string(name) + ".gif", name);
        DocumentBuilder page(kPageUrl);
        int a = page.Add("img", { { "src", "/a.gif" } });
        int comment = page.Comment();
        int b = page.Add("IMG", { { "src", "/b.gif" } });
        page.Add("img", { { "src", "/c.gif" } });
        auto document = page.Build();
        mapping::AddressRecord record;
        mapping::SplitAddress(kPageUrl, record);

        capture->SaveElementResources(*document, record, b);
        EXPECT_EQ(frontEnd.lines,
            (std::vector<std::string> { "result: 保存图片文件：" + Root() + "/www.example.com/b.gif",
                "status: 保存图片文件：" + Root() + "/www.example.com/b.gif" }));
        // One pump for the step, one for the img's attribute.
        EXPECT_EQ(frontEnd.pumps, 2);

        // A comment element ends its step at once; a source index outside the list finds nothing and
        // pumps nothing.
        frontEnd.lines.clear();
        frontEnd.pumps = 0;
        capture->SaveElementResources(*document, record, comment);
        EXPECT_EQ(frontEnd.pumps, 1);
        for (std::int32_t outside :
            { std::int32_t(document->elements.size()), std::int32_t(99), std::int32_t(-1) })
            capture->SaveElementResources(*document, record, outside);
        EXPECT_EQ(frontEnd.pumps, 1);
        EXPECT_EQ(frontEnd.lines, std::vector<std::string> {});

        capture->SaveElementResources(*document, record, a);
        EXPECT_EQ(frontEnd.lines.size(), 2u);
        EXPECT_EQ(Written(), (std::vector<std::string> { "www.example.com/a.gif", "www.example.com/b.gif" }));
        EXPECT_EQ(capture->SavedFiles.Paths(),
            (std::vector<std::string> {
                Root() + "/www.example.com/b.gif", Root() + "/www.example.com/a.gif" }));
    }

} // namespace
} // namespace pagestow::capture::testing

// Reading a document's styles and rewriting the addresses of documents for the offline copy.

#include "offline/OfflineHtml.h"
#include "offline/OfflineCopy.h"
#include "offline/OfflineUrl.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <map>

namespace pagestow::offline {
namespace {

    struct ResolveCase {
        const char* base;
        const char* value;
        const char* canonical;
        const char* absolute;
    };

    TEST(ResolveReference, ReadsAddressesAsABrowserDoes)
    {
        const ResolveCase cases[] = {
            { "http://h/a/b.html", "c.png", "http://h/a/c.png", "http://h/a/c.png" },
            { "http://h/a/b.html", " ../../../x.png#f ", "http://h/x.png", "http://h/x.png#f" },
            { "http://h/a/b.html", "%2e%2e/%2E%2E/y.png", "http://h/y.png", "http://h/y.png" },
            { "http://h/a/b.html", "\\img\\z.png", "http://h/img/z.png", "http://h/img/z.png" },
            { "https://h/a/", "//cdn.example/s.css", "https://cdn.example/s.css",
                "https://cdn.example/s.css" },
            { "http://h/a/", "HTTP://Other:80/A b", "http://other/A%20b", "http://other/A%20b" },
            { "http://h/a/", "?q=1", "http://h/a/?q=1", "http://h/a/?q=1" },
            { "http://h:8080/", "/r\n.png", "http://h:8080/r.png", "http://h:8080/r.png" },
        };
        for (const ResolveCase& c : cases) {
            auto resolved = ResolveReference(c.base, c.value);
            ASSERT_TRUE(resolved) << c.value;
            EXPECT_EQ(resolved->canonical, c.canonical) << c.value;
            EXPECT_EQ(resolved->absolute, c.absolute) << c.value;
        }
        for (const char* none : { "", "  ", "#top", "data:image/gif;base64,R0", "javascript:void(0)",
                 "mailto:a@b", "about:blank" })
            EXPECT_FALSE(ResolveReference("http://h/a/b.html", none)) << none;
    }

    TEST(RelativeAddress, StaysBelowTheRootAndEncodesWhatAFileAddressMisreads)
    {
        const std::filesystem::path root = "/s/qzwd_1";
        EXPECT_EQ(RelativeAddress(root, root / "h/a", root / "h/a/c.png"), "c.png");
        EXPECT_EQ(RelativeAddress(root, root / "h/a/b", root / "h2/x/y z#?%.png"),
            "../../../h2/x/y%20z%23%3F%25.png");
        EXPECT_EQ(RelativeAddress(root, root / "h", root / "h/图.png"), "%E5%9B%BE.png");
        EXPECT_EQ(RelativeAddress(root, root / "h", root / "[::1]/a:b.png"), "../%5B%3A%3A1%5D/a%3Ab.png");
        EXPECT_FALSE(RelativeAddress(root, root / "h", "/s/elsewhere/x.png"));
        EXPECT_FALSE(RelativeAddress(root, root / "h", root / "../x.png"));
        EXPECT_FALSE(RelativeAddress(root, "/tmp", root / "h/x.png"));
    }

    TEST(OfflineCopyPath, BesideTheOriginalWithAClearName)
    {
        EXPECT_EQ(OfflineCopyPath("/c/h/index.htm"), "/c/h/index.offline.htm");
        EXPECT_EQ(OfflineCopyPath("/c/h/s.min.css"), "/c/h/s.min.offline.css");
        EXPECT_EQ(OfflineCopyPath("/c/h.v2/run"), "/c/h.v2/run.offline");
    }

    TEST(ReadDocumentStyles, LinkedStylesheetsInlineCssAndTheBase)
    {
        const std::string html
            = "<html><head><base href='/base/'><link rel='Alternate StyleSheet' href=a.css>"
              "<link rel=icon href=i.ico><link rel=stylesheet href='a.css#x'>"
              "<style>@import 'b.css';</style></head><body style='background:url(c.png)'>"
              "<svg><style>x{}</style></svg><style></style></body></html>";
        DocumentStyles styles = ReadDocumentStyles(html, "http://h/doc/page.html");
        EXPECT_EQ(styles.baseUrl, "http://h/base/");
        EXPECT_EQ(styles.stylesheets, (std::vector<std::string> { "http://h/base/a.css" }));
        ASSERT_EQ(styles.inlineCss.size(), 2u);
        EXPECT_EQ(styles.inlineCss[0].first, "@import 'b.css';");
        EXPECT_EQ(styles.inlineCss[0].second, CssSource::Stylesheet);
        EXPECT_EQ(styles.inlineCss[1].first, "background:url(c.png)");
        EXPECT_EQ(styles.inlineCss[1].second, CssSource::Declarations);
    }

    TEST(RewriteDocument, PointsSavedAddressesAtLocalFilesAndTheRestAtTheServer)
    {
        const std::string html
            = "<!DOCTYPE html>\n<html><head><base href=\"http://h/site/\" target=_top>"
              "<link rel=stylesheet href='css/s.css' integrity=\"sha384-x\" crossorigin>"
              "<link rel=stylesheet href=http://cdn/none.css crossorigin>"
              "<style>\n@import \"css/s.css\";\nbody{background:url(img/bg.png)}\n</style></head>\n"
              "<BODY background=img/bg.png style=\"mask:url('img/m.png')\">"
              "<img src=img/a.png srcset=\"img/a.png 1x,img/b.png 2x, img/c.png   3x\" alt='&amp; \"'>"
              "<picture><source srcset='img/a.png, img/w.png 500w'></picture>"
              "<a href=\"#top\">t</a><a href=other.html?x=1&amp;y=2#s>o</a><a href=\"data:,x\">d</a>"
              "<iframe src=frame.html></iframe><script src=\"js/app.js\"></script>"
              "<input type=image src=img/a.png#frag></body></html>";
        std::map<std::string, std::string> saved = {
            { "http://h/site/css/s.css", "css/s.offline.css" },
            { "http://h/site/img/bg.png", "img/bg.png" },
            { "http://h/site/img/a.png", "img/a.png" },
            { "http://h/site/img/c.png", "img/c.png" },
            { "http://h/site/frame.html", "frame.offline.html" },
            { "http://h/site/js/app.js", "js/app.js" },
        };
        std::vector<std::pair<std::string, AddressUse>> asked;
        std::string copy = RewriteDocument(html, "http://h/site/index.html",
            [&](const ResolvedReference& reference, AddressUse use) -> std::optional<std::string> {
                asked.emplace_back(reference.canonical, use);
                auto found = saved.find(reference.canonical);
                if (found == saved.end())
                    return std::nullopt;
                return found->second;
            });
        EXPECT_EQ(copy,
            "<!DOCTYPE html>\n<html><head><base  target=_top>"
            "<link rel=stylesheet href=\"css/s.offline.css\"  >"
            "<link rel=stylesheet href=http://cdn/none.css crossorigin>"
            "<style>\n@import \"css/s.offline.css\";\nbody{background:url(\"img/bg.png\")}\n</style></head>\n"
            "<BODY background=img/bg.png style=\"mask:url(&quot;http://h/site/img/m.png&quot;)\">"
            "<img src=img/a.png srcset=\"img/a.png 1x,http://h/site/img/b.png 2x, img/c.png   3x\" "
            "alt='&amp; \"'>"
            "<picture><source srcset=\"img/a.png, http://h/site/img/w.png 500w\"></picture>"
            "<a href=\"#top\">t</a><a href=\"http://h/site/other.html?x=1&amp;y=2#s\">o</a><a "
            "href=\"data:,x\">d</a>"
            "<iframe src=\"frame.offline.html\"></iframe><script src=\"js/app.js\"></script>"
            "<input type=image src=img/a.png#frag></body></html>");
        // What each address is used as.
        auto use = [&](const std::string& address) {
            for (const auto& [canonical, kind] : asked)
                if (canonical == address)
                    return kind;
            return AddressUse::File;
        };
        EXPECT_EQ(use("http://h/site/css/s.css"), AddressUse::Stylesheet);
        EXPECT_EQ(use("http://h/site/frame.html"), AddressUse::Document);
        EXPECT_EQ(use("http://h/site/other.html?x=1&y=2"), AddressUse::Document);
    }

    TEST(RewriteDocument, HostileMarkupKeepsItsBytes)
    {
        for (std::string html : { std::string(), std::string("<"), std::string("<img src='unterminated"),
                 std::string("<style>a{b:url(x.png)"), std::string(5000, '<') + "div>",
                 std::string("\0<img\0src=\0>", 12) }) {
            std::string copy = RewriteDocument(html, "http://h/",
                [](const ResolvedReference&, AddressUse) { return std::optional<std::string>(); });
            if (html.find("url(x.png)") != std::string::npos)
                EXPECT_EQ(copy, "<style>a{b:url(\"http://h/x.png\")");
            else
                EXPECT_EQ(copy, html);
        }
    }

    TEST(WriteOfflineCopy, CopiesDocumentsAndStylesheetsBesideTheOriginalsAndLeavesThemAlone)
    {
        testing::TemporaryFolder scratch;
        auto root = scratch.Path() / "qzwd_1";
        testing::WriteFileBytes(root / "h/index.htm", "<link rel=stylesheet href=s.css><img src=/i.png>");
        testing::WriteFileBytes(root / "h/s.css", "a{b:url(i.png)}");
        testing::WriteFileBytes(root / "h/index.offline.htm", "a page that is really named so");
        testing::WriteFileBytes(root / "h/i.png", "PNG");
        std::vector<CapturedFile> files = {
            { CapturedFile::Role::Document, "http://h/", root / "h/index.htm" },
            { CapturedFile::Role::Stylesheet, "http://h/s.css", root / "h/s.css" },
            { CapturedFile::Role::File, "http://h/i.png", root / "h/i.png" },
            { CapturedFile::Role::Document, "http://h/index.offline.htm", root / "h/index.offline.htm" },
            { CapturedFile::Role::Stylesheet, "http://evil/x.css", scratch.Path() / "outside.css" },
        };
        OfflineCopyResult result = WriteOfflineCopy(root, files);
        EXPECT_EQ(result.page, root / "h/index.offline2.htm");
        EXPECT_EQ(result.copies,
            (std::vector<std::filesystem::path> { root / "h/index.offline2.htm", root / "h/s.offline.css",
                root / "h/index.offline.offline.htm" }));
        EXPECT_TRUE(result.failures.empty());
        EXPECT_EQ(testing::ReadFileBytes(root / "h/index.offline2.htm"),
            "<link rel=stylesheet href=\"s.offline.css\"><img src=\"i.png\">");
        EXPECT_EQ(testing::ReadFileBytes(root / "h/s.offline.css"), "a{b:url(\"i.png\")}");
        EXPECT_EQ(
            testing::ReadFileBytes(root / "h/index.htm"), "<link rel=stylesheet href=s.css><img src=/i.png>");
        EXPECT_EQ(testing::ReadFileBytes(root / "h/index.offline.htm"), "a page that is really named so");
        EXPECT_EQ(testing::ListFiles(scratch.Path()),
            (std::vector<std::string> { "qzwd_1/h/i.png", "qzwd_1/h/index.htm", "qzwd_1/h/index.offline.htm",
                "qzwd_1/h/index.offline.offline.htm", "qzwd_1/h/index.offline2.htm", "qzwd_1/h/s.css",
                "qzwd_1/h/s.offline.css" }));
    }

    TEST(WriteOfflineCopy, AnOriginalThatCannotBeReadIsAFailureAndNoCopy)
    {
        testing::TemporaryFolder scratch;
        auto root = scratch.Path() / "qzwd_1";
        std::filesystem::create_directories(root / "h");
        OfflineCopyResult result
            = WriteOfflineCopy(root, { { CapturedFile::Role::Document, "http://h/", root / "h/gone.htm" } });
        EXPECT_TRUE(result.page.empty());
        EXPECT_TRUE(result.copies.empty());
        ASSERT_EQ(result.failures.size(), 1u);
        EXPECT_EQ(result.failures[0].path, root / "h/gone.offline.htm");
        EXPECT_EQ(result.failures[0].reason, "No such file or directory");
    }

} // namespace
} // namespace pagestow::offline

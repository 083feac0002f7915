#include "CliRunFixture.h"

#include "support/Gzip.h"
#include "support/TemporaryFolder.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace pagestow::testing {
namespace {

    TEST_F(CliRun, SavesPageResourcesAndFramesOfTwoHosts)
    {
        TestServer a("127.0.0.1");
        TestServer b("127.0.0.2");
        const std::string page = "<html><head>\n"
                                 "<link rel=stylesheet href=css/main.css>\n"
                                 "<link rel=stylesheet href='"
            + b.Url("/css/b.css")
            + "'>\n"
              "<script src=js/app.js></script>\n"
              "<script src='"
            + b.Url("/js/lib.js")
            + "'></script>\n"
              "</head><body background=img/bg.png>\n"
              "<img src=img/logo.gif><img src='"
            + b.Url("/img/photo.jpg")
            + "'>\n"
              "<input type=image src=img/go.gif>\n"
              "<img src='img/pic.php?id=1'><img src='img/pic.php?id=2'>\n"
              "<img src=img/Logo.gif><img src=img/missing.gif><img src=img/old.gif>\n"
              "<!-- <img src=img/commented.gif> -->\n"
              "<iframe src='"
            + b.Url("/frames/f1.htm")
            + "'></iframe>\n"
              "</body></html>\n";
        const std::string frame1
            = "<body><img src=../img/photo.jpg><iframe src=inner/f2.htm></iframe></body>";
        const std::string frame2 = "<body><img src=i.gif><link rel=stylesheet href=/css/b.css></body>";
        a.Serve("/site/index.htm", page);
        a.Serve("/site/css/main.css", "body { margin: 0 }", "text/css");
        b.Serve(
            "/css/b.css", Gzip("h1 { color: navy }"), "text/css", 200, { { "Content-Encoding", "gzip" } });
        a.Serve("/site/js/app.js", "var app = 1;", "application/javascript");
        b.Serve("/js/lib.js", "var lib = 2;", "application/javascript");
        a.Serve("/site/img/bg.png", "PNG-bg", "image/png");
        a.Serve("/site/img/logo.gif", "GIF-logo", "image/gif");
        a.Serve("/site/img/Logo.gif", "GIF-Logo-upper", "image/gif");
        b.Serve("/img/photo.jpg", "JPG-photo", "image/jpeg");
        a.Serve("/site/img/go.gif", "GIF-go", "image/gif");
        a.Handle("/site/img/pic.php", [](const httplib::Request& request, httplib::Response& response) {
            response.set_content("pic-" + request.get_param_value("id"), "image/png");
        });
        a.Serve("/site/img/old.gif", "", "text/html", 301, { { "Location", "/site/img/new.gif" } });
        a.Serve("/site/img/new.gif", "GIF-new", "image/gif");
        b.Serve("/frames/f1.htm", frame1);
        b.Serve("/frames/inner/f2.htm", frame2);
        b.Serve("/frames/inner/i.gif", "GIF-inner", "image/gif");

        ChildResult result = Run({ "--timeout", "20", a.Url("/site/index.htm") });
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.err, "");
        std::string root = CaptureRoot();
        ASSERT_FALSE(root.empty());
        const std::string ha = root + "/127.0.0.1";
        const std::string hb = root + "/127.0.0.2";
        EXPECT_EQ(Lines(result.out),
            (std::vector<std::string> {
                "保存到：" + SaveDir(),
                "开始下载页面...",
                "页面下载完成。",
                "开始解析页面...",
                "网页文件“" + ha + "/site/index.htm”保存完成。",
                "保存CSS文件：" + ha + "/site/css/main.css",
                "保存CSS文件：" + hb + "/css/b.css",
                "保存JS文件：" + ha + "/site/js/app.js",
                "保存JS文件：" + hb + "/js/lib.js",
                "保存图片文件：" + ha + "/site/img/bg.png",
                "保存图片文件：" + ha + "/site/img/logo.gif",
                "保存图片文件：" + hb + "/img/photo.jpg",
                "保存图片文件：" + ha + "/site/img/go.gif",
                "保存图片文件：" + ha + "/site/img/pic.php",
                "保存图片文件：" + ha + "/site/img/old.gif",
                "网页文件“" + hb + "/frames/f1.htm”保存完成。",
                "网页文件“" + hb + "/frames/inner/f2.htm”保存完成。",
                "保存图片文件：" + hb + "/frames/inner/i.gif",
                "页面解析完成。",
                "双击打开保存的目录！",
            }));
        const std::vector<std::pair<std::string, std::string>> files = {
            { "127.0.0.1/site/css/main.css", "body { margin: 0 }" },
            { "127.0.0.1/site/img/bg.png", "PNG-bg" },
            { "127.0.0.1/site/img/go.gif", "GIF-go" },
            { "127.0.0.1/site/img/logo.gif", "GIF-logo" },
            { "127.0.0.1/site/img/old.gif", "GIF-new" },
            { "127.0.0.1/site/img/pic.php", "pic-1" },
            { "127.0.0.1/site/index.htm", page },
            { "127.0.0.1/site/js/app.js", "var app = 1;" },
            { "127.0.0.2/css/b.css", "h1 { color: navy }" },
            { "127.0.0.2/frames/f1.htm", frame1 },
            { "127.0.0.2/frames/inner/f2.htm", frame2 },
            { "127.0.0.2/frames/inner/i.gif", "GIF-inner" },
            { "127.0.0.2/img/photo.jpg", "JPG-photo" },
            { "127.0.0.2/js/lib.js", "var lib = 2;" },
        };
        std::vector<std::string> names;
        for (const auto& [name, bytes] : files) {
            names.push_back(name);
            EXPECT_EQ(ReadFileBytes(root + "/" + name), bytes) << name;
        }
        EXPECT_EQ(ListFiles(root), names);
        // What the page does not load is neither requested nor saved.
        EXPECT_EQ(a.RequestCount("/site/img/commented.gif"), 0);
        EXPECT_EQ(a.RequestCount("/site/img/missing.gif"), 1);
        EXPECT_EQ(b.RequestCount("/img/photo.jpg"), 1);
        EXPECT_TRUE(CacheRemoved());
    }

    TEST_F(CliRun, SavesAGbkPageByteForByte)
    {
        TestServer server;
        // A page in GBK: 中文网页, with a GBK title and an image.
        const std::string page
            = "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=gb2312\">"
              "<title>\xD6\xD0\xCE\xC4\xCD\xF8\xD2\xB3</title></head>"
              "<body><p>\xD6\xD0\xCE\xC4</p><img src=\"pic/a.gif\" alt=\"\xCD\xBC\"></body></html>";
        server.Serve("/gbk/index.htm", page);
        server.Serve("/gbk/pic/a.gif", "GIF-a", "image/gif");
        ChildResult result = Run({ server.Url("/gbk/index.htm") });
        ASSERT_EQ(result.status, 0) << result.err;
        std::string root = CaptureRoot();
        EXPECT_EQ(ReadFileBytes(root + "/127.0.0.1/gbk/index.htm"), page);
        EXPECT_EQ(ReadFileBytes(root + "/127.0.0.1/gbk/pic/a.gif"), "GIF-a");
    }

    TEST_F(CliRun, PageOfABareHostIsSavedAsIndexHtm)
    {
        TestServer server;
        server.Serve("/", "<p>home</p>");
        ChildResult result = Run({ "127.0.0.1:" + std::to_string(server.Port()) });
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(ListFiles(CaptureRoot()), std::vector<std::string> { "127.0.0.1/index.htm" });
    }

    // The browser engines scroll a page through before taking it; --no-scroll takes it as loaded.
    TEST_F(CliRun, NoScrollTakesThePageAsLoadedByABrowserEngine)
    {
        if (!fs::exists("/usr/lib/chromium/chromium"))
            GTEST_SKIP() << "Chromium is not installed";
        TestServer server;
        server.Serve("/lazy.html",
            "<html><body><div style=\"height:3000px\">top</div><img data-src=\"seen.gif\">"
            "<script>new IntersectionObserver(function (entries, watch) { if (entries[0].isIntersecting) {"
            " entries[0].target.src = entries[0].target.dataset.src; watch.disconnect(); } })"
            ".observe(document.querySelector('img'));</script></body></html>");
        server.Serve("/seen.gif", "GIF89a", "image/gif");
        const std::string address = server.Url("/lazy.html");

        ChildResult scrolled = Run({ "--engine", "chromium", address });
        ASSERT_EQ(scrolled.status, 0) << scrolled.err;
        EXPECT_EQ(ListFiles(CaptureRoot()),
            (std::vector<std::string> { "127.0.0.1/lazy.html", "127.0.0.1/seen.gif" }));
        fs::remove_all(CaptureRoot());

        ChildResult asLoaded = Run({ "--engine", "chromium", "--no-scroll", address });
        ASSERT_EQ(asLoaded.status, 0) << asLoaded.err;
        EXPECT_EQ(ListFiles(CaptureRoot()), std::vector<std::string> { "127.0.0.1/lazy.html" });
        EXPECT_EQ(server.RequestCount("/seen.gif"), 1);
    }

    TEST_F(CliRun, UnreachableAddressesAreRejectedAndNothingIsWritten)
    {
        const std::vector<std::string> addresses = {
            "nonexistent.invalid",
            "http://127.0.0.1:" + std::to_string(RefusedPort()) + "/page.htm",
            "http://127.0.0.2:" + std::to_string(RefusedPort("127.0.0.2")) + "/",
        };
        for (const std::string& address : addresses) {
            ChildResult result = Run({ address });
            EXPECT_EQ(result.status, 1) << address;
            EXPECT_EQ(Lines(result.out),
                (std::vector<std::string> {
                    "保存到：" + SaveDir(),
                    "开始下载页面...",
                    "页面下载完成。",
                    "开始解析页面...",
                    "网页不存在，或是网址不符合标准，停止下载。",
                }))
                << address;
            ExpectRejected(result.err, address);
            EXPECT_TRUE(ListFiles(m_save.Path()).empty()) << address;
            EXPECT_TRUE(CacheRemoved());
        }
    }

    TEST_F(CliRun, BlankAddressIsRefused)
    {
        ChildResult result = Run({ " \t " });
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, "请输入要保存的网址...\npagestow-cli: \" \\t \": the address is blank\n");
        ChildResult verbose = Run({ "--verbose", "" });
        EXPECT_EQ(
            verbose.err, " 请输入网址...\n请输入要保存的网址...\npagestow-cli: \"\": the address is blank\n");
    }

    TEST_F(CliRun, BadInputEndsWithAMessageNeverACrash)
    {
        const std::vector<std::string> addresses = { "ftp://127.0.0.1/a.txt", "javascript:alert(1)",
            "data:text/html,<p>x</p>", "file:///etc/passwd", "\xFF\xFE\xFD", "http://[::1", "http://a b/",
            std::string(100000, 'a'), "http://127.0.0.1:99999/", "about:blank" };
        for (const std::string& address : addresses) {
            ChildResult result = Run({ "--timeout", "5", address });
            EXPECT_FALSE(result.signalled) << address.substr(0, 40);
            EXPECT_EQ(result.status, 1) << address.substr(0, 40);
            if (address.size() < 100 && address[0] != '\xFF')
                ExpectRejected(result.err, address);
            else
                EXPECT_EQ(Lines(result.err).size(), 2u) << address.substr(0, 40);
            EXPECT_TRUE(ListFiles(m_save.Path()).empty()) << address.substr(0, 40);
        }
    }

    TEST_F(CliRun, ServerThatNeverAnswersIsBoundedByTheTimeout)
    {
        SilentServer silent;
        ChildResult result = Run({ "--timeout", "2", silent.Origin() + "/page.htm" });
        EXPECT_EQ(result.status, 1);
        ExpectRejected(result.err, silent.Origin() + "/page.htm");
        EXPECT_GE(silent.Connections(), 1);

        // A page whose image never comes is saved with what has arrived.
        TestServer server;
        server.Serve("/p.htm", "<img src=ok.gif><img src='" + silent.Origin() + "/never.gif'>");
        server.Serve("/ok.gif", "GIF-ok", "image/gif");
        ChildResult partial = Run({ "--timeout", "2", server.Url("/p.htm") });
        ASSERT_EQ(partial.status, 0) << partial.err;
        EXPECT_EQ(
            ListFiles(CaptureRoot()), (std::vector<std::string> { "127.0.0.1/ok.gif", "127.0.0.1/p.htm" }));
    }

    TEST_F(CliRun, EveryAddressIsTriedAndOneFailureSetsTheStatus)
    {
        TestServer server;
        server.Serve("/a.htm", "<p>a</p>");
        ChildResult result = Run({ "", server.Url("/a.htm") });
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(ListFiles(CaptureRoot()), std::vector<std::string> { "127.0.0.1/a.htm" });
    }

    TEST_F(CliRun, SaveDirOptionIsMadeAbsolute)
    {
        TestServer server;
        server.Serve("/a.htm", "<p>a</p>");
        fs::create_directory(m_save.Path() / "out");
        ChildResult result = Run({ "--save-dir", "out", server.Url("/a.htm") });
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(Lines(result.out).at(0), "保存到：" + SaveDir() + "/out");
        std::vector<std::string> files = ListFiles(m_save.Path() / "out");
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(files[0].substr(18), "/127.0.0.1/a.htm");
    }

    TEST_F(CliRun, UsageErrorsExitWithTwo)
    {
        const std::vector<std::vector<std::string>> cases
            = { {}, { "--engine", "gecko", "a.com" }, { "--timeout", "0", "a.com" }, { "--bogus" } };
        for (const auto& args : cases) {
            ChildResult result = Run(args);
            EXPECT_EQ(result.status, 2) << ::testing::PrintToString(args);
            EXPECT_NE(result.err.find("usage: pagestow-cli"), std::string::npos);
            EXPECT_EQ(result.out, "");
        }
        ChildResult help = Run({ "--help" });
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind("usage: pagestow-cli", 0), 0u);
    }

    TEST_F(CliRun, ExplainPrintsTheAddressRecord)
    {
        ChildResult result = Run({ "--explain", "http://www.example.com:8080/news/page.htm" });
        EXPECT_EQ(result.status, 0);
        EXPECT_NE(result.out.find("host=www.example.com\n"), std::string::npos);
        EXPECT_NE(result.out.find("filename=page.htm\n"), std::string::npos);
    }

} // namespace
} // namespace pagestow::testing

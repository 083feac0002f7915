// Captures with the single file on, over every engine, against real servers on 127.0.0.1 and
// 127.0.0.2: the file holds what the page shows and, opened from disk in Chromium with every request
// sent to a dead proxy, shows it; bad input stays bounded.

#include "capture/CaptureRecord.h"
#include "capture/SaveSequence.h"
#include "hostile/HostileCapture.h"
#include "support/TestServer.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

namespace pagestow::hostile {
namespace {
    using testing::ReadFileBytes;
    using testing::TestServer;

    const std::string kChromium = "/usr/lib/chromium/chromium";
    const std::string kFont = "/usr/share/fonts/truetype/dejavu/DejaVuSans-ExtraLight.ttf";
    const std::string kPicture = "/usr/share/doc/libpng-dev/examples/pngtest.png";
    const std::string kGif(
        "GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff!\xf9\x04\x01\x00\x00\x00\x00,"
        "\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;",
        43);

    size_t Count(const std::string& text, const std::string& part)
    {
        size_t count = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++count;
        return count;
    }

    std::string Run(const std::string& command)
    {
        std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(command.c_str(), "r"), ::pclose);
        std::string out;
        char buffer[4096];
        while (pipe && std::fgets(buffer, sizeof buffer, pipe.get()))
            out += buffer;
        return out;
    }

    // What Chromium shows of the single file with the network out of reach: a page beside it frames
    // it and writes what it finds (the width each picture is shown at, 0 when it did not load) into its
    // own DOM, which --dump-dom prints.
    std::string OpenedOffline(const std::filesystem::path& file)
    {
        std::filesystem::path check = file.parent_path() / "check.html";
        std::ofstream(check)
            << "<body><iframe id=f src=\"" << file.filename().string()
            << "\" style=\"width:1000px;height:800px\"></iframe><script>\n"
               "f.onload = async () => { const d = f.contentDocument; await d.fonts.ready;\n"
               "  const seen = [...d.images].map(i => i.complete && i.naturalWidth > 0\n"
               "    ? Math.round(i.getBoundingClientRect().width) : 0);\n"
               "  const inner = d.querySelector('iframe');\n"
               "  const frameImage = inner && inner.contentDocument.images[0];\n"
               "  const fetched = f.contentWindow.performance.getEntriesByType('resource')\n"
               "    .map(e => e.name).filter(n => !n.startsWith('data:'));\n"
               "  const out = { images: seen, frame: !!frameImage && frameImage.naturalWidth > 0,\n"
               "    built: !!d.getElementById('built'), fonts: [...d.fonts].filter(x => x.status"
               " == 'loaded').length,\n"
               "    background: getComputedStyle(d.querySelector('.y')).backgroundImage.slice(0, 10),\n"
               "    fetched };\n"
               "  const p = document.createElement('pre'); p.id = 'out';\n"
               "  p.textContent = JSON.stringify(out); document.body.append(p); };\n"
               "</script></body>\n";
        std::string out = Run("timeout 60 " + kChromium
            + " --headless --no-sandbox --disable-gpu --allow-file-access-from-files --user-data-dir="
            + (file.parent_path() / "profile").string()
            + " --proxy-server=127.0.0.1:9 --proxy-bypass-list='<-loopback>' --virtual-time-budget=10000"
              " --dump-dom file://"
            + check.string() + " 2>/dev/null");
        size_t start = out.find("<pre id=\"out\">");
        size_t end = out.find("</pre>", start);
        if (start == std::string::npos || end == std::string::npos)
            return out;
        start += 14;
        std::string text = out.substr(start, end - start);
        for (size_t at = text.find("&quot;"); at != std::string::npos; at = text.find("&quot;"))
            text.replace(at, 6, "\"");
        return text;
    }

    // Two hosts, an @import, background pictures, a web font, a srcset, a picture used three times,
    // an iframe with its own background and a script that builds an element.
    struct Site {
        TestServer page { "127.0.0.1" };
        TestServer cdn { "127.0.0.2" };

        Site()
        {
            page.Serve("/site/index.html",
                "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><base "
                "href=\"/site/\"><title>T</title>\n"
                "<link rel=\"stylesheet\" href=\"css/main.css\">\n"
                "<link rel=\"stylesheet\" href=\""
                    + cdn.Url("/lib/cdn.css")
                    + "\" crossorigin=\"anonymous\">\n"
                      "<link rel=\"preload\" href=\"img/never.gif\" as=\"image\">\n"
                      "</head><body><div class=\"y\">y</div><p class=\"f\">font</p>\n"
                      "<img src=\"img/a.gif\" srcset=\"img/a.gif 1x, img/a2.gif 2x\">\n"
                      "<img src=\"img/p.png\"><img src=\"img/p.png\"><img src=\"img/p.png\">\n"
                      "<iframe src=\"frame.html\"></iframe>\n"
                      "<a href=\"about.html\" onclick=\"return 1\">about</a>\n"
                      "<script>document.body.insertAdjacentHTML('beforeend', '<p "
                      "id=built>built</p>')</script>\n"
                      "</body></html>\n");
            page.Serve("/site/css/main.css", "@import \"sub.css\";\n.x { color: red }\n", "text/css");
            page.Serve("/site/css/sub.css", "@import url(sub.css);\n.y { background: url(../img/y.gif) }\n",
                "text/css");
            page.Serve("/site/frame.html",
                "<html><head><style>body{background:url(img/fbg.gif)}</style></head><body>"
                "<img src=\"img/a.gif\"></body></html>");
            for (const char* name :
                { "/site/img/a.gif", "/site/img/a2.gif", "/site/img/y.gif", "/site/img/fbg.gif" })
                page.Serve(name, kGif, "image/gif");
            page.Serve("/site/img/p.png", ReadFileBytes(kPicture), "image/png");
            cdn.Serve("/lib/cdn.css",
                "@font-face { font-family: F; src: url(f.ttf) format(\"truetype\"); }\n.f { font-family: F "
                "}\n",
                "text/css", 200, { { "Access-Control-Allow-Origin", "*" } });
            cdn.Serve("/lib/f.ttf", ReadFileBytes(kFont), "font/ttf", 200,
                { { "Access-Control-Allow-Origin", "*" } });
        }
    };

    class SingleFileCapture : public ::testing::TestWithParam<EngineKind> {
    protected:
        void SetUp() override
        {
            if (!EngineAvailable(GetParam()))
                GTEST_SKIP() << GetParam() << " is not installed";
            if (!std::filesystem::exists(kFont) || !std::filesystem::exists(kPicture))
                GTEST_SKIP() << "fonts-dejavu-core or libpng-dev is not installed";
        }
    };

    TEST_P(SingleFileCapture, HoldsWhatThePageShowsAndOpensWithoutNetwork)
    {
        Site site;
        CaptureHarness harness(GetParam());
        const bool browser = GetParam() != EngineKind::Static;
        harness.SetSingleFile(true);
        harness.SetOfflineCopy(true);
        harness.SetScriptsRan(browser);
        harness.Engine().SetStylesheetLoads(true);

        CaptureResult result = harness.Capture(site.page.Url("/site/index.html"));

        ASSERT_TRUE(result.completed);
        ASSERT_TRUE(result.accepted);
        const capture::CaptureResult& capture = harness.LastResult();
        const std::string root = harness.Root();
        const std::string file = root + "/127.0.0.1/site/index.single.html";
        ASSERT_EQ(capture.singleFile, file);
        EXPECT_TRUE(capture.failures.empty());
        EXPECT_EQ(capture::SingleFileLine(capture),
            "单个文件：" + file + "（" + std::to_string(std::filesystem::file_size(file))
                + " 字节，所含文件共 " + std::to_string(capture.singleFilePartsBytes) + " 字节）");
        // Everything saved but the preload nobody used and the 2x candidate is held, each once.
        std::uint64_t saved = 0;
        for (const capture::SavedEntry& entry : capture.saved) {
            if (entry.path.find("/img/a2.gif") == std::string::npos)
                saved += entry.bytes;
        }
        EXPECT_EQ(capture.singleFilePartsBytes, saved);
        EXPECT_LE(capture.singleFileBytes, capture.singleFilePartsBytes * 14 / 10);

        std::string single = ReadFileBytes(file);
        EXPECT_EQ(Count(single, "data:image/png;base64,"), 1u) << "the picture used three times, once";
        EXPECT_EQ(Count(single, "data:font/ttf;base64,"), 1u);
        EXPECT_EQ(single.find("<base"), std::string::npos);
        EXPECT_EQ(single.find("crossorigin"), std::string::npos);
        EXPECT_EQ(single.find("rel=\"preload\""), std::string::npos);
        EXPECT_NE(single.find("srcdoc="), std::string::npos);
        // A link still leads to the server; nothing else names it.
        EXPECT_EQ(Count(single, "http://127.0.0."), 1u) << single.substr(0, 4000);
        EXPECT_EQ(Count(single, "<script"), browser ? 0u : 1u);
        EXPECT_EQ(Count(single, "onclick"), browser ? 0u : 1u);
        // The offline copy follows the same rule; the built-in engine's keeps its scripts as before.
        std::string copy = ReadFileBytes(root + "/127.0.0.1/site/index.offline.html");
        EXPECT_EQ(Count(copy, "<script"), browser ? 0u : 1u);
        EXPECT_EQ(Count(copy, "onclick"), browser ? 0u : 1u);

        if (!std::filesystem::exists(kChromium))
            GTEST_SKIP() << "Chromium is not installed to open the single file";
        EXPECT_EQ(OpenedOffline(file),
            "{\"images\":[1,91,91,91],\"frame\":true,\"built\":true,\"fonts\":1,"
            "\"background\":\"url(\\\"data:\",\"fetched\":[]}");
    }

    INSTANTIATE_TEST_SUITE_P(Engines, SingleFileCapture,
        ::testing::Values(EngineKind::Static, EngineKind::Chromium, EngineKind::WebKit), EngineName);

    // A stylesheet that imports itself, a page with a 16 MB data: address and 5,000 pictures: the
    // single file is written, each stylesheet and picture once, and stays near the sum of its parts.
    TEST(SingleFileBounds, SelfImportLargeDataAndManyPicturesStayBounded)
    {
        TestServer server;
        std::string html = "<html><head><link rel=stylesheet href=\"loop.css\"></head><body>"
                           "<div style=\"background:url(data:image/gif;base64,"
            + std::string(16 << 20, 'A') + ")\"></div>";
        for (int i = 0; i < 5000; ++i)
            html += "<img src=\"p.png\"><img src=\"i" + std::to_string(i % 50) + ".gif\">";
        server.Serve("/b/index.html", html + "</body></html>");
        server.Serve("/b/loop.css", "@import \"loop.css\";\n.loop { color: blue }\n", "text/css");
        server.Serve("/b/p.png", ReadFileBytes(kPicture), "image/png");
        for (int i = 0; i < 50; ++i)
            server.Serve("/b/i" + std::to_string(i) + ".gif", kGif, "image/gif");
        CaptureHarness harness(EngineKind::Static);
        harness.SetSingleFile(true);
        harness.Engine().SetStylesheetLoads(true);

        CaptureResult result = harness.Capture(server.Url("/b/index.html"));

        ASSERT_TRUE(result.accepted);
        const capture::CaptureResult& capture = harness.LastResult();
        ASSERT_EQ(capture.singleFile, harness.Root() + "/127.0.0.1/b/index.single.html");
        std::string single = ReadFileBytes(capture.singleFile);
        EXPECT_EQ(Count(single, ".loop { color: blue }"), 1u);
        EXPECT_EQ(Count(single, "data:image/png;base64,"), 1u);
        EXPECT_LE(capture.singleFileBytes, capture.singleFilePartsBytes * 14 / 10);
        EXPECT_EQ(capture.singleFileBytes, single.size());
    }

} // namespace
} // namespace pagestow::hostile

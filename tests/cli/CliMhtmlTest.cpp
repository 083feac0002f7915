// pagestow-cli --mhtml over every engine against a two-host site, and the MHTML file opened from disk
// in headless Chromium whose every http request goes to a proxy that counts them.

#include "CliRunFixture.h"
#include "support/MhtmlRead.h"

#include "engine/chromium/BrowserProcess.h"
#include "engine/chromium/DevToolsClient.h"

#include <unistd.h>
#include <zlib.h>

#include <fstream>
#include <map>
#include <regex>
#include <thread>

namespace pagestow::testing {
namespace {
    using engine::chromium::BrowserOptions;
    using engine::chromium::BrowserProcess;
    using engine::chromium::DevToolsClient;
    using nlohmann::json;
    constexpr const char* kChromium = "/usr/lib/chromium/chromium";
    constexpr std::chrono::seconds kWait(30);

    std::string Png(int width, int height, unsigned char r, unsigned char g, unsigned char b);

    std::string ReadFile(const fs::path& path)
    {
        std::ifstream stream(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(stream), {});
    }

    // The site: a stylesheet that @imports one with a background from the other host, a web font there,
    // an image with srcset, one reached through a redirect, a frame on the other host and one whose
    // address redirects, and an image a script adds.
    struct Site {
        TestServer a { "127.0.0.1" };
        TestServer b { "127.0.0.2" };
        Site()
        {
            a.Serve("/site/index.html",
                "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>MHTML 试验 &amp; page</title>"
                "<link rel=stylesheet href=css/main.css><link rel=stylesheet href='"
                    + b.Url("/lib/cdn.css")
                    + "'></head><body style='margin:8px'><h1 class=f>Font text</h1>"
                      "<img src=red.png srcset='red.png 1x, blue.png 2x'><img src=moved.png>"
                      "<div class=bg style='width:100px;height:50px'></div><iframe src='"
                    + b.Url("/lib/frame.html")
                    + "' width=200 height=100></iframe><iframe src='"
                    + b.Url("/lib/old.html")
                    + "' width=100 height=60></iframe><div id=made></div><script>var i = "
                      "document.createElement('img'); i.src = 'green.png'; "
                      "document.getElementById('made').appendChild(i);</script></body></html>\n",
                "text/html; charset=utf-8");
            a.Serve("/site/css/main.css", "@import \"sub.css\";\nh1 { color: #333 }\n", "text/css");
            a.Serve(
                "/site/css/sub.css", ".bg { background: url(" + b.Url("/lib/bg.png") + ") }\n", "text/css");
            a.Serve("/site/red.png", Png(60, 40, 255, 0, 0), "image/png");
            a.Serve("/site/blue.png", Png(60, 40, 0, 0, 255), "image/png");
            a.Serve("/site/green.png", Png(60, 40, 0, 160, 0), "image/png");
            a.Serve("/site/moved.png", "", "text/html", 302, { { "Location", "/site/purple.png" } });
            a.Serve("/site/purple.png", Png(30, 30, 128, 0, 128), "image/png");
            b.Serve("/lib/cdn.css",
                "@font-face { font-family: F; src: url(f.ttf) format(\"truetype\") }\n"
                ".f { font-family: F, sans-serif }\n",
                "text/css");
            // Text in the font differs from every fallback font, so a font that failed shows.
            b.Serve("/lib/f.ttf", ReadFile("/usr/share/fonts/truetype/dejavu/DejaVuSerif-Bold.ttf"),
                "font/ttf", 200, { { "Access-Control-Allow-Origin", "*" } });
            b.Serve("/lib/bg.png", Png(8, 8, 255, 200, 0), "image/png");
            b.Serve("/lib/old.html", "", "text/html", 302, { { "Location", "/lib/moved/frame.html" } });
            b.Serve("/lib/moved/frame.html", "<body style='background:#f0c'>moved</body>");
            b.Serve("/lib/frame.html",
                "<!DOCTYPE html><html><body style='background:#0cf'><img src=bg.png width=30 height=30>"
                "frame</body></html>");
        }
    };

    // One headless Chromium, optionally with every request through proxy, showing one page at 800x600.
    class Browser {
    public:
        explicit Browser(std::vector<std::string> arguments)
            : m_process(BrowserOptions { kChromium, std::move(arguments) })
            , m_client(m_process.ReplyFd(), m_process.CommandFd())
        {
            m_client.SetEventHandler([this](const std::string& method, const json&, const std::string&) {
                if (method == "Page.loadEventFired")
                    m_loaded = true;
            });
            std::string target
                = m_client.Call("Target.createTarget", { { "url", "about:blank" } }, {}, kWait)["targetId"];
            m_session = m_client.Call("Target.attachToTarget",
                { { "targetId", target }, { "flatten", true } }, {}, kWait)["sessionId"];
            m_client.Call("Page.enable", json::object(), m_session, kWait);
            m_client.Call("Emulation.setDeviceMetricsOverride",
                { { "width", 800 }, { "height", 600 }, { "deviceScaleFactor", 1 }, { "mobile", false } },
                m_session, kWait);
        }

        // Loads address (without running its scripts when asked) and waits for its load event.
        void Open(const std::string& address, bool scripts = true)
        {
            m_client.Call(
                "Emulation.setScriptExecutionDisabled", { { "value", !scripts } }, m_session, kWait);
            m_loaded = false;
            m_client.Call("Page.navigate", { { "url", address } }, m_session, kWait);
            auto end = std::chrono::steady_clock::now() + kWait;
            while (!m_loaded && std::chrono::steady_clock::now() < end)
                m_client.Pump(std::chrono::milliseconds(100));
            ASSERT_TRUE(m_loaded) << address;
            // Fonts load after the load event; their promise settles once they have.
            Evaluate("document.fonts.ready.then(() => true)");
        }

        json Evaluate(const std::string& expression)
        {
            return m_client.Call("Runtime.evaluate",
                { { "expression", expression }, { "returnByValue", true }, { "awaitPromise", true } },
                m_session, kWait)["result"]["value"];
        }

        // The page once it has stopped changing: two pictures in a row alike (a busy machine decodes
        // and paints pictures and frames some time after the load event).
        std::string Screenshot()
        {
            std::string last;
            for (int i = 0; i < 20; ++i) {
                std::string shot
                    = m_client.Call("Page.captureScreenshot", { { "format", "png" } }, m_session, kWait)["data"];
                if (shot == last)
                    break;
                last = std::move(shot);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            }
            return last;
        }

    private:
        BrowserProcess m_process;
        DevToolsClient m_client;
        std::string m_session;
        bool m_loaded = false;
    };

    // Every engine's file is opened in Chromium, so Chromium is needed whatever the engine.
    class CliMhtml : public CliEngineRun {
    protected:
        void SetUp() override
        {
            if (::access(kChromium, X_OK) != 0)
                GTEST_SKIP() << "Chromium is not installed";
            CliEngineRun::SetUp();
        }
    };

    TEST_P(CliMhtml, PageAndWhatItLoadedOpenFromDiskWithTheNetworkOff)
    {
        Site site;
        const std::string page = site.a.Url("/site/index.html");
        ChildResult run = Run({ "--engine", GetParam(), "--mhtml", page });
        ASSERT_EQ(run.status, 0) << run.err;
        const std::string root = CaptureRoot();
        const fs::path file = root + "/127.0.0.1/site/index.mhtml";

        // The result line names the file, last.
        std::vector<std::string> lines = Lines(run.out);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), "MHTML文件：" + file.string());
        EXPECT_EQ(lines[lines.size() - 2], "双击打开保存的目录！");

        // The message: its header, and every file the capture saved once, by the address the documents
        // name it by, with its type and as its saved bytes.
        const std::string text = ReadFile(file);
        MhtmlMessage message = ReadMhtml(text);
        EXPECT_EQ(message.headers["MIME-Version"], "1.0");
        EXPECT_EQ(message.headers["Snapshot-Content-Location"], page);
        EXPECT_EQ(message.headers["Subject"], "=?utf-8?B?TUhUTUwg6K+V6aqMICYgcGFnZQ==?=");
        EXPECT_TRUE(std::regex_match(message.headers["Date"],
            std::regex("[A-Z][a-z]{2}, \\d\\d [A-Z][a-z]{2} \\d{4} \\d\\d:\\d\\d:\\d\\d \\+0000")));
        EXPECT_EQ(
            message.type, "multipart/related; type=\"text/html\"; boundary=\"" + message.boundary + "\"");
        std::map<std::string, std::string> types;
        for (const MhtmlMessage::Part& part : message.parts)
            types[part.headers.at("Content-Location")] = part.headers.at("Content-Type");
        std::map<std::string, std::string> expected { { page, "text/html" },
            { site.a.Url("/site/css/main.css"), "text/css" }, { site.a.Url("/site/css/sub.css"), "text/css" },
            { site.a.Url("/site/red.png"), "image/png" }, { site.a.Url("/site/moved.png"), "image/png" },
            { site.b.Url("/lib/cdn.css"), "text/css" }, { site.b.Url("/lib/f.ttf"), "font/ttf" },
            { site.b.Url("/lib/bg.png"), "image/png" }, { site.b.Url("/lib/frame.html"), "text/html" },
            { site.b.Url("/lib/moved/frame.html"), "text/html" }, { site.b.Url("/lib/old.html"), "text/html" } };
        if (Browser())
            expected[site.a.Url("/site/green.png")] = "image/png";
        EXPECT_EQ(types, expected);
        ASSERT_FALSE(message.parts.empty());
        EXPECT_EQ(message.parts.front().headers["Content-Location"], page);
        EXPECT_EQ(message.parts.front().body, Crlf(ReadFile(root + "/127.0.0.1/site/index.html")));
        EXPECT_EQ(message.parts.front().headers["Content-Transfer-Encoding"], "quoted-printable");
        for (const MhtmlMessage::Part& part : message.parts) {
            if (part.headers.at("Content-Location") == site.b.Url("/lib/f.ttf")) {
                EXPECT_EQ(part.headers.at("Content-Transfer-Encoding"), "base64");
                EXPECT_EQ(part.body, ReadFile(root + "/127.0.0.2/lib/f.ttf"));
            }
        }
        EXPECT_EQ(message.longestLine, 76u);

        // The live page (as the engine saw it: the built-in engine runs no scripts), then the file from
        // disk with every request sent to a proxy that answers none.
        std::string live;
        {
            class Browser browser({});
            browser.Open(page, Browser());
            live = browser.Screenshot();
        }
        TestServer proxy { "127.0.0.1" };
        class Browser browser({ "--proxy-server=" + proxy.Origin(), "--proxy-bypass-list=<-loopback>" });
        browser.Open("file://" + file.string());
        EXPECT_EQ(proxy.RequestLog(), std::vector<std::string> {});
        EXPECT_EQ(
            browser.Evaluate("[...document.images].map(i => i.naturalWidth + 'x' + i.naturalHeight).join()"),
            Browser() ? "60x40,30x30,60x40" : "60x40,30x30");
        EXPECT_EQ(
            browser.Evaluate("[...document.fonts].map(f => f.family + ' ' + f.status).join()"), "F loaded");
        EXPECT_EQ(browser.Evaluate("frames.length"), 2);
        // The frame and the background show as they do live.
        EXPECT_TRUE(browser.Screenshot() == live) << "the page from the file looks other than the live page";
    }

    INSTANTIATE_TEST_SUITE_P(Engines, CliMhtml, ::testing::Values("static", "chromium", "webkit"));

    // A PNG of one colour.
    std::string Png(int width, int height, unsigned char r, unsigned char g, unsigned char b)
    {
        auto be32 = [](std::uint32_t v) {
            return std::string { char(v >> 24), char(v >> 16), char(v >> 8), char(v) };
        };
        auto chunk = [&](const std::string& type, const std::string& data) {
            std::string named = type + data;
            auto crc
                = std::uint32_t(::crc32(0, reinterpret_cast<const Bytef*>(named.data()), uInt(named.size())));
            return be32(std::uint32_t(data.size())) + named + be32(crc);
        };
        std::string raw;
        for (int y = 0; y < height; ++y) {
            raw += '\0';
            for (int x = 0; x < width; ++x)
                raw += { char(r), char(g), char(b) };
        }
        std::string z(::compressBound(uLong(raw.size())), '\0');
        uLongf size = uLongf(z.size());
        ::compress(reinterpret_cast<Bytef*>(z.data()), &size, reinterpret_cast<const Bytef*>(raw.data()),
            uLong(raw.size()));
        z.resize(size);
        std::string header = be32(std::uint32_t(width)) + be32(std::uint32_t(height))
            + std::string("\x08\x02\x00\x00\x00", 5);
        return std::string("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", z)
            + chunk("IEND", "");
    }

} // namespace
} // namespace pagestow::testing

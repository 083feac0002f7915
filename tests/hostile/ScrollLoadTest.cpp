// Pages whose pictures load only as they come into view, and pages that fight the scrolling that
// loads them: the browser engines scroll each page through before it is taken (at most
// kScrollScreenLimit screens or kScrollTimeLimit), the built-in engine loads every img src anyway,
// and SetScrollLoading(false) takes the page as loaded.

#include "engine/Contract.h"
#include "engine/EngineCache.h"
#include "hostile/HostileCapture.h"
#include "support/TestServer.h"

#include <algorithm>
#include <string>
#include <vector>

namespace pagestow::hostile {
namespace {
    using namespace std::chrono_literals;
    using testing::TestServer;

    // A 1 x 1 PNG; a word appended tells the pictures apart.
    const std::string kPicture
        = std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0\x1f\x15\xc4\x89"
                      "\0\0\0\rIDATx\x9c"
                      "c`\0\0\0\x02\0\x01\xe2!\xbc\x33\0\0\0\0IEND\xae\x42\x60\x82",
            67);

    // Four screens of text above 20 pictures with loading="lazy" and 20 whose data-src an
    // IntersectionObserver moves into src as they appear, each 100 pixels high (about nine screens in
    // all): a browser that is not scrolled loads none of them.
    std::string LazyPage()
    {
        std::string page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Lazy</title>"
                           "<style>body{margin:0} img{display:block;width:100px;height:100px;margin-top:20px}"
                           "</style></head><body><div style=\"height:3600px\">Above the pictures</div>\n";
        for (int i = 0; i < 20; ++i)
            page += "<img loading=\"lazy\" src=\"native/" + std::to_string(i) + ".png\">\n";
        for (int i = 0; i < 20; ++i)
            page += "<img class=\"io\" data-src=\"observed/" + std::to_string(i) + ".png\">\n";
        page += "<script>var seen = new IntersectionObserver(function (entries) { entries.forEach(function "
                "(e) {"
                " if (e.isIntersecting) { e.target.src = e.target.dataset.src; seen.unobserve(e.target); } "
                "}); });"
                " document.querySelectorAll('img.io').forEach(function (i) { seen.observe(i); });</script>"
                "</body></html>\n";
        return page;
    }

    void ServeLazyPage(TestServer& server)
    {
        server.Serve("/lazy.html", LazyPage());
        for (int i = 0; i < 20; ++i) {
            server.Serve(
                "/native/" + std::to_string(i) + ".png", kPicture + "n" + std::to_string(i), "image/png");
            server.Serve(
                "/observed/" + std::to_string(i) + ".png", kPicture + "o" + std::to_string(i), "image/png");
        }
    }

    std::vector<std::string> LazyPageFiles(bool native, bool observed)
    {
        std::vector<std::string> files = { "127.0.0.1/lazy.html" };
        for (int i = 0; native && i < 20; ++i)
            files.push_back("127.0.0.1/native/" + std::to_string(i) + ".png");
        for (int i = 0; observed && i < 20; ++i)
            files.push_back("127.0.0.1/observed/" + std::to_string(i) + ".png");
        std::sort(files.begin(), files.end());
        return files;
    }

    class ScrollLoad : public ::testing::TestWithParam<EngineKind> {
    protected:
        void SetUp() override
        {
            if (!EngineAvailable(GetParam()))
                GTEST_SKIP() << GetParam() << " cannot run here";
        }
        bool Browser() const { return GetParam() != EngineKind::Static; }
    };

    TEST_P(ScrollLoad, PicturesThatLoadAsTheyComeIntoViewAreSavedUnlessScrollingIsOff)
    {
        TestServer server;
        ServeLazyPage(server);
        CaptureHarness harness(GetParam());

        // Far above the time the scrolling takes, which the load time-out would cut short.
        CaptureResult scrolled = harness.Capture(server.Url("/lazy.html"), 60s);
        ASSERT_TRUE(scrolled.completed && scrolled.accepted);
        // The built-in engine requests every img src (the native ones) and runs no script.
        EXPECT_TRUE(SameLines(harness.Written(), LazyPageFiles(true, Browser())));
        EXPECT_EQ(testing::ReadFileBytes(harness.Root() + "/127.0.0.1/observed/19.png").size(),
            Browser() ? kPicture.size() + 3 : 0u);
        if (Browser()) {
            EXPECT_GT(harness.Engine().Progress().screens, 4);
            EXPECT_EQ(harness.Engine().Progress().scrollBound, engine::LoadProgress::ScrollBound::None);
        }

        // What the first load put into the engine cache would be saved again.
        harness.Engine().Cache().Clear();
        harness.Engine().SetScrollLoading(false);
        CaptureResult asLoaded = harness.Capture(server.Url("/lazy.html"));
        ASSERT_TRUE(asLoaded.completed && asLoaded.accepted);
        EXPECT_TRUE(SameLines(harness.Written(), LazyPageFiles(!Browser(), false)));
        EXPECT_EQ(harness.Engine().Progress().screens, 0);
    }

    // A page that adds a screen of text and a picture whenever its bottom nears, for ever.
    TEST_P(ScrollLoad, AnEndlessPageIsTakenAtTheBoundAsFarAsItGot)
    {
        if (!Browser())
            GTEST_SKIP() << "the built-in engine runs no script";
        TestServer server;
        server.Serve("/more.png", kPicture, "image/png");
        server.Serve("/endless.html",
            "<html><body style=\"margin:0\"><div style=\"height:2000px\">start</div><script>"
            "var n = 0; function grow() { var d = document.createElement('div'); d.style.height = '2000px';"
            " d.textContent = 'part ' + (++n); document.body.appendChild(d); }"
            " window.addEventListener('scroll', function () {"
            " if (window.scrollY + 2 * window.innerHeight > document.body.scrollHeight) grow(); });"
            "</script><img src=\"more.png\"></body></html>");
        CaptureHarness harness(GetParam());

        CaptureResult result = harness.Capture(server.Url("/endless.html"), 60s);

        ASSERT_TRUE(result.completed && result.accepted);
        EXPECT_TRUE(SameLines(harness.Written(), { "127.0.0.1/endless.html", "127.0.0.1/more.png" }));
        engine::LoadProgress progress = harness.Engine().Progress();
        // On a busy machine the time runs out before the screens do.
        EXPECT_NE(progress.scrollBound, engine::LoadProgress::ScrollBound::None);
        if (progress.scrollBound == engine::LoadProgress::ScrollBound::Screens) {
            EXPECT_EQ(progress.screens, engine::kScrollScreenLimit);
        }
        EXPECT_NE(testing::ReadFileBytes(harness.Root() + "/127.0.0.1/endless.html").find("part 3<"),
            std::string::npos);
    }

    // Scripts that answer the scrolling: by scrolling back to the top, by an alert, by leaving for
    // another page. Each page is taken within the bounds, whole.
    TEST_P(ScrollLoad, PagesThatFightTheScrollingAreTakenWithinTheBounds)
    {
        if (!Browser())
            GTEST_SKIP() << "the built-in engine runs no script";
        struct Case {
            const char* name;
            const char* onScroll;
            std::vector<std::string> files;
        };
        // A page that scrolls itself back up at once may or may not have shown its picture by then.
        const Case cases[] = {
            { "back-up", "window.scrollTo(0, 0);", { "127.0.0.1/fight.html" } },
            { "alert", "alert('scrolled');", { "127.0.0.1/fight.html", "127.0.0.1/native/0.png" } },
            { "leave", "location.href = 'elsewhere.html';", { "127.0.0.1/elsewhere.html" } },
        };
        TestServer server;
        server.Serve("/native/0.png", kPicture, "image/png");
        server.Serve("/elsewhere.html", "<html><body><p>arrived</p></body></html>");
        CaptureHarness harness(GetParam());
        for (const Case& c : cases) {
            const std::string name = c.name;
            server.Serve("/fight.html",
                "<html><body style=\"margin:0\"><p>fights</p><div style=\"height:5000px\"></div>"
                "<img loading=\"lazy\" src=\"native/0.png\" style=\"height:10px\">"
                "<script>var once = false; window.addEventListener('scroll', function () {"
                    + std::string(name == "back-up" ? "" : " if (once) return;") + " once = true; "
                    + c.onScroll + " });</script></body></html>");

            CaptureResult result = harness.Capture(server.Url("/fight.html"), 40s);

            ASSERT_TRUE(result.completed && result.accepted) << name;
            std::vector<std::string> written = harness.Written();
            if (name == "back-up")
                std::erase(written, std::string("127.0.0.1/native/0.png"));
            EXPECT_TRUE(SameLines(written, c.files)) << name;
            EXPECT_NE(testing::ReadFileBytes(harness.Root() + "/" + c.files.front())
                          .find(name == "leave" ? "arrived" : "fights"),
                std::string::npos)
                << name;
        }
    }

    INSTANTIATE_TEST_SUITE_P(Engines, ScrollLoad,
        ::testing::Values(EngineKind::Static, EngineKind::Chromium, EngineKind::WebKit), EngineName);

} // namespace
} // namespace pagestow::hostile

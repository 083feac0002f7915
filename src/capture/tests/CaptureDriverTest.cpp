#include "capture/Capture.h"
#include "capture/tests/SnapshotBuilder.h"
#include "engine/EngineError.h"
#include "mapping/FileUtils.h"

#include <algorithm>
#include <ctime>
#include <filesystem>

namespace pagestow::capture::testing {
namespace {
    namespace fs = std::filesystem;
    using Lines = std::vector<std::string>;

    constexpr const char* kPageNotFound = "网页不存在，或是网址不符合标准，停止下载。";

    class CaptureDriver : public CaptureTest {
    protected:
        // The driver makes its own capture: the fixture's is not used, and the save folder is given
        // without a separator at the end.
        void SetUp() override
        {
            CaptureTest::SetUp();
            capture.reset();
            settings.saveDir = scratch.Path().string() + "/pages";
        }

        // Captures the engine's current document into settings.saveDir, reporting to frontEnd.
        CaptureResult Capture(const LoadedEngine& from)
        {
            result = CapturePage(from.Document().get(), settings, frontEnd);
            return result;
        }

        // The capture folder of the last capture, without a separator at the end.
        std::string Root() const { return result.CapturePath(); }

        std::string Saved(const std::string& file) const
        {
            return "result: 网页文件“" + Root() + "/" + file + "”保存完成。";
        }
        std::string SavedStatus(const std::string& file) const
        {
            return "status:  网页文件“" + Root() + "/" + file + "”保存完成。";
        }

        LoadedEngine engine;
        CaptureResult result;
    };

    // "qzwd_" + the two-digit year, month, day, hour and minute of a moment.
    std::string MinutePrefix(std::time_t moment)
    {
        std::tm local {};
        localtime_r(&moment, &local);
        char text[32];
        std::strftime(text, sizeof text, "qzwd_%y%m%d%H%M", &local);
        return text;
    }

    bool IsCaptureFolderName(const std::string& name)
    {
        return name.size() == 18 && name.rfind("qzwd_", 0) == 0
            && std::all_of(name.begin() + 5, name.end(), [](char c) { return c >= '0' && c <= '9'; });
    }

    TEST_F(CaptureDriver, CapturesThePageIntoAFreshCaptureFolder)
    {
        CacheResource("http://www.example.com/news/a.gif", "GIF");
        DocumentBuilder page("http://www.example.com/news/today.html");
        page.Add("img", { { "src", "a.gif", "http://www.example.com/news/a.gif" } });
        engine.Load(page.Build());

        EXPECT_TRUE(Capture(engine).accepted);

        EXPECT_TRUE(IsCaptureFolderName(result.captureFolder)) << result.captureFolder;
        EXPECT_EQ(result.saveDir, scratch.Path().string() + "/pages/");
        EXPECT_EQ(frontEnd.lines,
            (Lines { Saved("www.example.com/news/today.html"), SavedStatus("www.example.com/news/today.html"),
                "result: 保存图片文件：" + Root() + "/www.example.com/news/a.gif",
                "status: 保存图片文件：" + Root() + "/www.example.com/news/a.gif" }));
        EXPECT_EQ(ListFiles(result.saveDir),
            (Lines { result.captureFolder + "/www.example.com/news/a.gif",
                result.captureFolder + "/www.example.com/news/today.html" }));
        EXPECT_EQ(result.PageFile(), Root() + "/www.example.com/news/today.html");
        EXPECT_EQ(result.failures.size(), 0u);
        // Everything of the capture ended with the call; the front end shows no capture any more.
        EXPECT_FALSE(frontEnd.CaptureRunning());
    }

    TEST_F(CaptureDriver, SaveFolderGetsOneSeparatorOnlyWhenItHasNone)
    {
        struct Case {
            std::string saveDir;
            std::string afterwards;
        } cases[] = {
            { scratch.Path().string() + "/a", scratch.Path().string() + "/a/" },
            { scratch.Path().string() + "/b/", scratch.Path().string() + "/b/" },
            { scratch.Path().string() + "/c/d", scratch.Path().string() + "/c/d/" },
        };
        for (const Case& c : cases) {
            settings.saveDir = c.saveDir;
            engine.Load(DocumentBuilder("http://www.example.com/").Build());
            EXPECT_TRUE(Capture(engine).accepted);
            EXPECT_EQ(result.saveDir, c.afterwards);
            EXPECT_TRUE(
                fs::is_regular_file(c.afterwards + result.captureFolder + "/www.example.com/index.htm"))
                << c.saveDir;
            // Over many captures the folder keeps its one separator: the folder a capture left is
            // the next one's save folder.
            settings.saveDir = result.saveDir;
            EXPECT_TRUE(Capture(engine).accepted);
            EXPECT_EQ(result.saveDir, c.afterwards);
        }
        EXPECT_EQ(ListFiles(scratch.Path()).size(), 6u);
    }

    TEST_F(CaptureDriver, SaveFolderEndingInBackslashGetsTheSeparatorAndHoldsTheCapture)
    {
        // A Linux file name may hold "\\": the save folder is the one so named, and the capture goes
        // inside it; nothing is made beside it.
        settings.saveDir = scratch.Path().string() + "/c\\";
        engine.Load(DocumentBuilder("http://www.example.com/").Build());
        EXPECT_TRUE(Capture(engine).accepted);
        EXPECT_EQ(result.saveDir, scratch.Path().string() + "/c\\/");
        EXPECT_EQ(frontEnd.lines,
            (Lines { Saved("www.example.com/index.htm"), SavedStatus("www.example.com/index.htm") }));
        EXPECT_EQ(ListFiles(scratch.Path()),
            (Lines { "c\\/" + result.captureFolder + "/www.example.com/index.htm" }));
    }

    TEST_F(CaptureDriver, ErrorPageIsRejectedWithoutTouchingTheDisk)
    {
        engine.Fail("http://nowhere.invalid/page.htm");

        EXPECT_FALSE(Capture(engine).accepted);

        EXPECT_EQ(frontEnd.lines,
            (Lines { std::string("result: ") + kPageNotFound, std::string("status:  ") + kPageNotFound }));
        // No page was taken: no capture folder, and the save folder as it was given.
        EXPECT_EQ(result.captureFolder, "");
        EXPECT_EQ(result.CapturePath(), "");
        EXPECT_EQ(result.saveDir, scratch.Path().string() + "/pages");
        EXPECT_FALSE(fs::exists(settings.saveDir));
        EXPECT_EQ(result.saved.size(), 0u);
        EXPECT_EQ(result.failures.size(), 0u);
        EXPECT_FALSE(frontEnd.CaptureRunning());
    }

    TEST_F(CaptureDriver, EngineWithoutDocumentIsRejectedSilently)
    {
        EXPECT_FALSE(Capture(engine).accepted);
        EXPECT_EQ(frontEnd.lines, Lines {});
        EXPECT_EQ(result.captureFolder, "");
        EXPECT_FALSE(fs::exists(settings.saveDir));
        EXPECT_FALSE(frontEnd.CaptureRunning());
    }

    TEST_F(CaptureDriver, DocumentWithoutBodyRaisesAndLeavesNoCaptureRunning)
    {
        auto page = DocumentBuilder("http://www.example.com/").Build();
        page->body = -1;
        engine.Load(page);
        std::string message;
        try {
            Capture(engine);
        } catch (const engine::EngineError& error) {
            message = error.what();
        }
        EXPECT_EQ(message, "The document has no body element");
        EXPECT_FALSE(frontEnd.CaptureRunning());
        EXPECT_EQ(frontEnd.lines, Lines {});

        engine.Load(DocumentBuilder("http://www.example.com/").Build());
        EXPECT_TRUE(Capture(engine).accepted);
    }

    TEST_F(CaptureDriver, FolderNameThatExistsIsDrawnAgain)
    {
        // Seeded from 0, the first name of a run ends in 272 and the second in 425. A folder of the
        // first name, this minute or the next, is already there.
        std::time_t now = std::time(nullptr);
        fs::create_directories(settings.saveDir);
        for (std::time_t moment : { now, now + 60 })
            fs::create_directories(settings.saveDir + "/" + MinutePrefix(moment) + "272");
        mapping::SetRuntimeRandomSeed(0);
        engine.Load(DocumentBuilder("http://www.example.com/").Build());

        EXPECT_TRUE(Capture(engine).accepted);

        const std::string& folder = result.captureFolder;
        EXPECT_EQ(folder.size(), 18u);
        EXPECT_EQ(folder.substr(15), "425");
        EXPECT_TRUE(
            folder.substr(0, 15) == MinutePrefix(now) || folder.substr(0, 15) == MinutePrefix(now + 60))
            << folder;
        EXPECT_TRUE(fs::is_regular_file(Root() + "/www.example.com/index.htm"));
        EXPECT_EQ(ListFiles(settings.saveDir), Lines { folder + "/www.example.com/index.htm" });
    }

    // The capture lets the front end's events run, and a page may complete meanwhile: a capture asked
    // for then, on the same front end, is refused and leaves the running one alone.
    TEST_F(CaptureDriver, CaptureNeverStartsInsideARunningOne)
    {
        LoadedEngine second;
        second.Load(DocumentBuilder("http://second.example.org/").Build());
        engine.Load(DocumentBuilder("http://www.example.com/").Build());

        std::vector<bool> innerResults;
        CaptureResult inner;
        // The save folder's content while the inner capture is asked for, and right after.
        std::vector<std::string> foldersBefore, foldersAfter;
        auto folders = [this] {
            std::vector<std::string> names;
            for (const auto& entry : fs::directory_iterator(settings.saveDir))
                names.push_back(entry.path().filename().string());
            std::sort(names.begin(), names.end());
            return names;
        };
        frontEnd.onPump = [&] {
            if (!innerResults.empty())
                return;
            foldersBefore = folders();
            innerResults.push_back(frontEnd.CaptureRunning());
            inner = CapturePage(second.Document().get(), settings, frontEnd);
            innerResults.push_back(inner.accepted);
            foldersAfter = folders();
            innerResults.push_back(frontEnd.CaptureRunning());
        };

        EXPECT_TRUE(Capture(engine).accepted);

        EXPECT_EQ(innerResults, (std::vector<bool> { true, false, true }));
        EXPECT_EQ(inner.captureFolder, "");
        EXPECT_EQ(inner.saved.size(), 0u);
        // The outer capture had claimed its folder by then, the one it ends with; the inner one made
        // none.
        EXPECT_EQ(foldersBefore, Lines { result.captureFolder });
        EXPECT_EQ(foldersAfter, Lines { result.captureFolder });
        EXPECT_EQ(frontEnd.lines,
            (Lines { Saved("www.example.com/index.htm"), SavedStatus("www.example.com/index.htm") }));
        EXPECT_EQ(ListFiles(settings.saveDir), Lines { result.captureFolder + "/www.example.com/index.htm" });
        EXPECT_EQ(result.saved.size(), 1u);
        EXPECT_EQ(result.PageFile(), Root() + "/www.example.com/index.htm");
        EXPECT_FALSE(frontEnd.CaptureRunning());

        // Once it has ended, the next capture runs.
        frontEnd.onPump = nullptr;
        EXPECT_TRUE(Capture(second).accepted);
        EXPECT_TRUE(fs::is_regular_file(Root() + "/second.example.org/index.htm"));
    }

    TEST_F(CaptureDriver, SameResourceInTwoFramesIsCopiedOnceAndTheListEndsWithTheCapture)
    {
        CacheResource("http://www.example.com/shared.css", "CSS");
        DocumentBuilder a("http://www.example.com/a.htm");
        a.Add("link", { { "href", "/shared.css" } });
        DocumentBuilder b("http://www.example.com/b/b.htm");
        b.Add("link", { { "href", "../shared.css" } });
        DocumentBuilder top("http://www.example.com/");
        top.Frameset().Frame(a.Build()).Frame(b.Build());
        engine.Load(top.Build());

        EXPECT_TRUE(Capture(engine).accepted);

        EXPECT_EQ(frontEnd.lines,
            (Lines { Saved("www.example.com/index.htm"), SavedStatus("www.example.com/index.htm"),
                Saved("www.example.com/a.htm"), SavedStatus("www.example.com/a.htm"), "log: link:相对地址",
                "result: 保存CSS文件：" + Root() + "/www.example.com/shared.css",
                "status: 保存CSS文件：" + Root() + "/www.example.com/shared.css",
                Saved("www.example.com/b/b.htm"), SavedStatus("www.example.com/b/b.htm"),
                "log: link:相对地址" }));

        // A second capture has a list of its own: the same resource is copied again.
        frontEnd.lines.clear();
        std::string first = result.captureFolder;
        EXPECT_TRUE(Capture(engine).accepted);
        EXPECT_NE(result.captureFolder, first);
        EXPECT_EQ(ReadBytes(Root() + "/www.example.com/shared.css"), "CSS");
    }

} // namespace
} // namespace pagestow::capture::testing

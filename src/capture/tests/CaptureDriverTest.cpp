#include "capture/Capture.h"
#include "capture/tests/SnapshotBuilder.h"
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
        void SetUp() override
        {
            CaptureTest::SetUp();
            SavedFiles.reset();
            CaptureFolder.clear();
            SaveDir = scratch.Path().string() + "/pages";
        }

        std::string Saved(const std::string& file) const
        {
            return "result: 网页文件“" + Root() + "/" + file + "”保存完成。";
        }
        std::string SavedStatus(const std::string& file) const
        {
            return "status:  网页文件“" + Root() + "/" + file + "”保存完成。";
        }

        LoadedEngine engine;
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

        EXPECT_TRUE(CapturePage(engine));

        EXPECT_TRUE(IsCaptureFolderName(CaptureFolder)) << CaptureFolder;
        EXPECT_EQ(SaveDir, scratch.Path().string() + "/pages/");
        EXPECT_EQ(frontEnd.lines,
            (Lines { Saved("www.example.com/news/today.html"), SavedStatus("www.example.com/news/today.html"),
                "result: 保存图片文件：" + Root() + "/www.example.com/news/a.gif",
                "status: 保存图片文件：" + Root() + "/www.example.com/news/a.gif" }));
        EXPECT_EQ(ListFiles(SaveDir),
            (Lines { CaptureFolder + "/www.example.com/news/a.gif",
                CaptureFolder + "/www.example.com/news/today.html" }));
        EXPECT_EQ(SavedFiles, nullptr);
        EXPECT_FALSE(CaptureRunning());
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
            SaveDir = c.saveDir;
            engine.Load(DocumentBuilder("http://www.example.com/").Build());
            EXPECT_TRUE(CapturePage(engine));
            EXPECT_EQ(SaveDir, c.afterwards);
            EXPECT_TRUE(fs::is_regular_file(c.afterwards + CaptureFolder + "/www.example.com/index.htm"))
                << c.saveDir;
            // Over many captures the folder keeps its one separator.
            EXPECT_TRUE(CapturePage(engine));
            EXPECT_EQ(SaveDir, c.afterwards);
        }
        EXPECT_EQ(ListFiles(scratch.Path()).size(), 6u);
    }

    TEST_F(CaptureDriver, SaveFolderEndingInBackslashGetsTheSeparatorAndHoldsTheCapture)
    {
        // A Linux file name may hold "\\": the save folder is the one so named, and the capture goes
        // inside it; nothing is made beside it.
        SaveDir = scratch.Path().string() + "/c\\";
        engine.Load(DocumentBuilder("http://www.example.com/").Build());
        EXPECT_TRUE(CapturePage(engine));
        EXPECT_EQ(SaveDir, scratch.Path().string() + "/c\\/");
        EXPECT_EQ(frontEnd.lines,
            (Lines { Saved("www.example.com/index.htm"), SavedStatus("www.example.com/index.htm") }));
        EXPECT_EQ(
            ListFiles(scratch.Path()), (Lines { "c\\/" + CaptureFolder + "/www.example.com/index.htm" }));
    }

    TEST_F(CaptureDriver, ErrorPageIsRejectedWithoutTouchingTheDisk)
    {
        CaptureFolder = "qzwd_2612080445123";
        engine.Fail("http://nowhere.invalid/page.htm");

        EXPECT_FALSE(CapturePage(engine));

        EXPECT_EQ(frontEnd.lines,
            (Lines { std::string("result: ") + kPageNotFound, std::string("status:  ") + kPageNotFound }));
        EXPECT_EQ(CaptureFolder, "qzwd_2612080445123");
        EXPECT_EQ(SaveDir, scratch.Path().string() + "/pages");
        EXPECT_FALSE(fs::exists(SaveDir));
        EXPECT_EQ(SavedFiles, nullptr);
        EXPECT_FALSE(CaptureRunning());
    }

    TEST_F(CaptureDriver, EngineWithoutDocumentIsRejectedSilently)
    {
        EXPECT_FALSE(CapturePage(engine));
        EXPECT_EQ(frontEnd.lines, Lines {});
        EXPECT_EQ(CaptureFolder, "");
        EXPECT_FALSE(fs::exists(SaveDir));
    }

    TEST_F(CaptureDriver, DocumentWithoutBodyRaisesAndLeavesNoCaptureRunning)
    {
        auto page = DocumentBuilder("http://www.example.com/").Build();
        page->body = -1;
        engine.Load(page);
        EXPECT_THROW(CapturePage(engine), engine::EngineError);
        EXPECT_FALSE(CaptureRunning());
        EXPECT_EQ(SavedFiles, nullptr);
        EXPECT_EQ(frontEnd.lines, Lines {});

        engine.Load(DocumentBuilder("http://www.example.com/").Build());
        EXPECT_TRUE(CapturePage(engine));
    }

    TEST_F(CaptureDriver, FolderNameThatExistsIsDrawnAgain)
    {
        // Seeded from 0, the first name of a run ends in 272 and the second in 425. A folder of the
        // first name, this minute or the next, is already there.
        std::time_t now = std::time(nullptr);
        fs::create_directories(SaveDir);
        for (std::time_t moment : { now, now + 60 })
            fs::create_directories(SaveDir + "/" + MinutePrefix(moment) + "272");
        mapping::SetRuntimeRandomSeed(0);
        engine.Load(DocumentBuilder("http://www.example.com/").Build());

        EXPECT_TRUE(CapturePage(engine));

        EXPECT_EQ(CaptureFolder.size(), 18u);
        EXPECT_EQ(CaptureFolder.substr(15), "425");
        EXPECT_TRUE(CaptureFolder.substr(0, 15) == MinutePrefix(now)
            || CaptureFolder.substr(0, 15) == MinutePrefix(now + 60))
            << CaptureFolder;
        EXPECT_TRUE(fs::is_regular_file(Root() + "/www.example.com/index.htm"));
        EXPECT_EQ(ListFiles(SaveDir), Lines { CaptureFolder + "/www.example.com/index.htm" });
    }

    TEST_F(CaptureDriver, CaptureNeverStartsInsideARunningOne)
    {
        LoadedEngine second;
        second.Load(DocumentBuilder("http://second.example.org/").Build());
        engine.Load(DocumentBuilder("http://www.example.com/").Build());

        std::vector<bool> innerResults;
        const SavedFileList* listSeen = nullptr;
        std::string folderSeen;
        frontEnd.onPump = [&] {
            if (!innerResults.empty())
                return;
            listSeen = SavedFiles.get();
            folderSeen = CaptureFolder;
            innerResults.push_back(CaptureRunning());
            innerResults.push_back(CapturePage(second));
            EXPECT_EQ(SavedFiles.get(), listSeen);
            EXPECT_EQ(CaptureFolder, folderSeen);
        };

        EXPECT_TRUE(CapturePage(engine));

        EXPECT_EQ(innerResults, (std::vector<bool> { true, false }));
        EXPECT_NE(listSeen, nullptr);
        EXPECT_EQ(folderSeen, CaptureFolder);
        EXPECT_EQ(frontEnd.lines,
            (Lines { Saved("www.example.com/index.htm"), SavedStatus("www.example.com/index.htm") }));
        EXPECT_EQ(ListFiles(SaveDir), Lines { CaptureFolder + "/www.example.com/index.htm" });
        EXPECT_FALSE(CaptureRunning());

        // Once it has ended, the next capture runs.
        frontEnd.onPump = nullptr;
        EXPECT_TRUE(CapturePage(second));
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

        EXPECT_TRUE(CapturePage(engine));

        EXPECT_EQ(frontEnd.lines,
            (Lines { Saved("www.example.com/index.htm"), SavedStatus("www.example.com/index.htm"),
                Saved("www.example.com/a.htm"), SavedStatus("www.example.com/a.htm"), "log: link:相对地址",
                "result: 保存CSS文件：" + Root() + "/www.example.com/shared.css",
                "status: 保存CSS文件：" + Root() + "/www.example.com/shared.css",
                Saved("www.example.com/b/b.htm"), SavedStatus("www.example.com/b/b.htm"),
                "log: link:相对地址" }));

        // A second capture has a list of its own: the same resource is copied again.
        frontEnd.lines.clear();
        std::string first = CaptureFolder;
        EXPECT_TRUE(CapturePage(engine));
        EXPECT_NE(CaptureFolder, first);
        EXPECT_EQ(ReadBytes(Root() + "/www.example.com/shared.css"), "CSS");
    }

} // namespace
} // namespace pagestow::capture::testing

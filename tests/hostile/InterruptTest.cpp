// A person who presses Ctrl-C gets control back at once, at every step of a capture, and nothing of
// the abandoned page is left looking saved: in-process over every engine (the interrupt flag set
// during the walk and before the offline copy), and pagestow-cli sent a real SIGINT while it loads,
// while it walks, and while two workers walk.

#include "../cli/ChildProcess.h"
#include "hostile/HostileCapture.h"
#include "support/TemporaryFolder.h"
#include "support/TestServer.h"

#include <filesystem>
#include <iostream>
#include <thread>

namespace pagestow::hostile {
namespace {
    namespace fs = std::filesystem;
    using testing::TestServer;

    const std::string kGif
        = "GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00,\x00\x00\x00\x00\x01\x00"
          "\x01\x00\x00\x02\x02\x44\x01\x00;";

    // A page of count images, each its own file.
    void ServeImagePage(TestServer& server, int count)
    {
        std::string page = "<html><body>";
        for (int i = 0; i < count; ++i) {
            std::string name = "/i" + std::to_string(i) + ".gif";
            server.Serve(name, kGif + std::to_string(i), "image/gif");
            page += "<img src=\"" + name.substr(1) + "\">";
        }
        server.Serve("/p.htm", page + "</body></html>");
    }

    std::size_t CaptureFolders(const std::string& saveDir)
    {
        std::size_t found = 0;
        std::error_code error;
        for (fs::directory_iterator it(saveDir, error), end; !error && it != end; it.increment(error))
            found += it->path().filename().string().rfind("qzwd_", 0) == 0;
        return found;
    }

    // The engine cache folders left under root, once what removes them in the background is done
    // (waited for generously).
    std::size_t RunFoldersOnceSettled(const fs::path& root)
    {
        std::size_t left = 0;
        for (int wait = 0; wait < 600; ++wait) {
            left = 0;
            std::error_code error;
            for (fs::directory_iterator it(root, error), end; !error && it != end; it.increment(error))
                left += it->path().filename().string().rfind("run-", 0) == 0;
            if (left == 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return left;
    }

    class Interrupt : public ::testing::TestWithParam<EngineKind> {
    protected:
        void SetUp() override
        {
            if (!EngineAvailable(GetParam()))
                GTEST_SKIP() << GetParam() << " is not installed";
        }
    };

    TEST_P(Interrupt, FlagSetDuringTheWalkOrBeforeTheOfflineCopyAbandonsThePage)
    {
        TestServer server;
        ServeImagePage(server, 60);
        CaptureHarness harness(GetParam());

        // During the walk: the 20th pump of the capture sets the flag.
        int pumps = 0;
        harness.FrontEnd().onPump = [&] {
            if (++pumps == 20)
                harness.interrupted = true;
        };
        CaptureResult walk = harness.Capture(server.Url("/p.htm"));
        ASSERT_TRUE(walk.completed);
        EXPECT_TRUE(harness.LastResult().interrupted);
        EXPECT_FALSE(harness.LastResult().saved.empty()) << "the flag was set before the walk began";
        EXPECT_LT(harness.LastResult().saved.size(), 61u) << "the walk went on to its end";
        EXPECT_FALSE(fs::exists(harness.Root())) << "the abandoned capture's folder is left";
        EXPECT_EQ(CaptureFolders(harness.SaveFolder()), 0u);

        // Once every resource is saved, the offline copy is the next step: the flag set by the last
        // resource's report stops it there.
        harness.interrupted = false;
        harness.FrontEnd().onPump = nullptr;
        harness.SetOfflineCopy(true);
        std::string lastReport = std::string("result: ") + kImageReport;
        harness.FrontEnd().onLine = [&](const std::string& line) {
            if (line.rfind(lastReport, 0) == 0 && line.find("/i59.gif") != std::string::npos)
                harness.interrupted = true;
        };
        CaptureResult copy = harness.Capture(server.Url("/p.htm"));
        ASSERT_TRUE(copy.completed);
        EXPECT_TRUE(harness.LastResult().interrupted);
        EXPECT_EQ(harness.LastResult().saved.size(), 61u);
        EXPECT_TRUE(harness.LastResult().offlineCopy.empty());
        EXPECT_FALSE(fs::exists(harness.Root()));

        // Without the flag the same capture ends whole.
        harness.interrupted = false;
        harness.FrontEnd().onLine = nullptr;
        harness.Capture(server.Url("/p.htm"));
        EXPECT_FALSE(harness.LastResult().interrupted);
        EXPECT_FALSE(harness.LastResult().offlineCopy.empty());
        EXPECT_TRUE(fs::exists(harness.LastResult().offlineCopy));
    }

    INSTANTIATE_TEST_SUITE_P(Engines, Interrupt,
        ::testing::Values(EngineKind::Static, EngineKind::Chromium, EngineKind::WebKit), EngineName);

    // pagestow-cli itself, sent SIGINT at a step it has announced.
    TEST(InterruptedRun, SigintAtAnyStepExitsWith130AndLeavesNoCaptureBehind)
    {
        TestServer server;
        // Enough result lines after the walk's start to fill a pipe that is not read: the signal
        // finds the walk under way.
        ServeImagePage(server, 1500);
        testing::SilentServer silent;
        struct Case {
            const char* name;
            std::vector<std::string> args;
            const char* marker;
        } cases[] = {
            { "while loading", { silent.Origin() + "/never.htm" }, "开始下载页面..." },
            { "during the walk", { server.Url("/p.htm") }, "开始解析页面..." },
            { "during the walk, with the offline copy", { "--offline-copy", server.Url("/p.htm") },
                "开始解析页面..." },
            // The workers report a page once it is done; signalled while they load, the parent
            // passes the signal on.
            { "while two workers load",
                { "--jobs", "2", silent.Origin() + "/a.htm", silent.Origin() + "/b.htm" }, "" },
        };
        for (const Case& item : cases) {
            SCOPED_TRACE(item.name);
            testing::TemporaryFolder save;
            testing::TemporaryFolder scratch;
            std::vector<std::string> args = { "--timeout", "30", "--save-dir", save.Path().string() };
            args.insert(args.end(), item.args.begin(), item.args.end());
            testing::ChildResult run = testing::RunProgram(PAGESTOW_CLI_PROGRAM, args, save.Path().string(),
                { { "XDG_CACHE_HOME", scratch.Path().string() }, { "http_proxy", "" }, { "all_proxy", "" } },
                std::chrono::seconds(60),
                { item.marker, SIGINT, std::chrono::milliseconds(*item.marker ? 300 : 3000) });

            ASSERT_TRUE(run.signalSent) << run.err;
            EXPECT_EQ(run.status, 130) << run.err;
            EXPECT_EQ(run.out.find("双击打开保存的目录！"), std::string::npos);
            EXPECT_NE(run.err.find("pagestow-cli: interrupted"), std::string::npos) << run.err;
            EXPECT_EQ(CaptureFolders(save.Path().string()), 0u);
            // The run's engine cache goes too, in the background for the walk's 1,500 files.
            EXPECT_EQ(RunFoldersOnceSettled(scratch.Path() / "pagestow"), 0u);
            // A figure for the reader, not a bound: a busy machine may take longer.
            std::cout << "[ figure ] SIGINT " << item.name << ": ended " << run.secondsAfterSignal
                      << " s after the signal\n";
        }
    }

} // namespace
} // namespace pagestow::hostile

// Captures into file systems that refuse: names longer than a file system allows, names that differ
// only in letter case, read-only folders and a full disk (a small tmpfs, where this process may mount
// one).

#include "engine/EngineCache.h"
#include "hostile/HostileCapture.h"
#include "support/TestServer.h"

#include <linux/capability.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace pagestow::hostile {
namespace {
    using namespace std::chrono_literals;
    using testing::ListFiles;
    using testing::ReadFileBytes;
    using testing::TestServer;
    namespace fs = std::filesystem;

    // While it lives, this thread obeys file permissions even as root: the capabilities that override
    // them are dropped from its effective set and raised again at the end.
    class FilePermissionsApply {
    public:
        FilePermissionsApply()
        {
            if (geteuid() != 0 || !Get(m_saved))
                return;
            __user_cap_data_struct lowered[2] = { m_saved[0], m_saved[1] };
            for (int capability : { CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER })
                lowered[capability / 32].effective &= ~(1u << (capability % 32));
            m_lowered = Set(lowered);
        }
        ~FilePermissionsApply()
        {
            if (m_lowered)
                Set(m_saved);
        }
        FilePermissionsApply(const FilePermissionsApply&) = delete;
        FilePermissionsApply& operator=(const FilePermissionsApply&) = delete;

    private:
        static bool Get(__user_cap_data_struct (&data)[2])
        {
            __user_cap_header_struct header { _LINUX_CAPABILITY_VERSION_3, 0 };
            return syscall(SYS_capget, &header, data) == 0;
        }
        static bool Set(__user_cap_data_struct (&data)[2])
        {
            __user_cap_header_struct header { _LINUX_CAPABILITY_VERSION_3, 0 };
            return syscall(SYS_capset, &header, data) == 0;
        }

        __user_cap_data_struct m_saved[2] {};
        bool m_lowered = false;
    };

    // Whether a file can be created in folder from this thread.
    bool CanCreateIn(const fs::path& folder)
    {
        fs::path probe = folder / ".probe";
        bool created = bool(std::ofstream(probe));
        std::error_code ignored;
        fs::remove(probe, ignored);
        return created;
    }

    // A tmpfs of a few hundred kilobytes mounted on a folder of its own, unmounted at the end.
    class SmallDisk {
    public:
        SmallDisk(const fs::path& folder, const char* size)
            : m_folder(folder)
        {
            fs::create_directories(folder);
            std::string options = std::string("size=") + size + ",mode=0755";
            m_mounted = ::mount("tmpfs", folder.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0;
        }
        ~SmallDisk()
        {
            if (m_mounted)
                ::umount2(m_folder.c_str(), MNT_DETACH);
        }
        SmallDisk(const SmallDisk&) = delete;
        SmallDisk& operator=(const SmallDisk&) = delete;

        bool Mounted() const { return m_mounted; }

    private:
        fs::path m_folder;
        bool m_mounted = false;
    };

    class HostileFileSystem : public ::testing::TestWithParam<EngineKind> {
    protected:
        void SetUp() override
        {
            if (!EngineAvailable(GetParam()))
                GTEST_SKIP() << GetParam() << " is not installed";
        }
    };

    // A name over 255 bytes, a folder name over 255 bytes and a path over 4,096 bytes cannot be
    // created: such an image is skipped without a report, and a frame document with such a name gets
    // one message. Everything else is saved.
    TEST_P(HostileFileSystem, NamesLongerThanTheFileSystemAllowsAreSkippedAndTheCaptureGoesOn)
    {
        const std::string longName(300, 'n');
        const std::string longFolder(300, 'd');
        std::string deep;
        for (int level = 0; level < 17; ++level)
            deep += "/" + std::string(250, char('a' + level));
        TestServer server;
        server.Serve("/long.htm",
            "<html><body><img src='" + server.Url("/" + longName + ".gif") + "'><img src='"
                + server.Url("/" + longFolder + "/x.gif") + "'><img src='" + server.Url(deep + "/x.gif")
                + "'><img src=ok.gif><iframe src='" + server.Url("/" + longName + ".htm")
                + "'></iframe><iframe src=fine.htm></iframe></body></html>");
        for (const std::string& path :
            { "/" + longName + ".gif", "/" + longFolder + "/x.gif", deep + "/x.gif" })
            server.Serve(path, "GIF89a-long", "image/gif");
        server.Serve("/ok.gif", "GIF89a-ok", "image/gif");
        server.Serve("/" + longName + ".htm", "<html><body><img src=ok.gif></body></html>");
        server.Serve("/fine.htm", "<html><body><img src=ok.gif></body></html>");
        CaptureHarness harness(GetParam());

        CaptureResult result = harness.Capture(server.Url("/long.htm"));

        ASSERT_TRUE(result.completed);
        EXPECT_TRUE(result.accepted);
        EXPECT_TRUE(SameLines(result.lines,
            harness.Expand(Join({ DocumentLines("{R}/127.0.0.1/long.htm"),
                ResourceLines(kImageReport, "{R}/127.0.0.1/ok.gif"),
                { "message: FileCreateError: Cannot create file \"{R}/127.0.0.1/" + longName
                    + ".htm\". File name too long" },
                DocumentLines("{R}/127.0.0.1/fine.htm") }))));
        EXPECT_EQ(harness.Written(),
            (std::vector<std::string> { "127.0.0.1/fine.htm", "127.0.0.1/long.htm", "127.0.0.1/ok.gif" }));
    }

    // Letter case is ignored when the capture decides whether it has saved a file already, so of two
    // images that differ only in case the first is kept. Documents are not in that list: on a file
    // system that keeps case, both are written.
    TEST_P(HostileFileSystem, NamesThatDifferOnlyInLetterCaseKeepTheFirstImage)
    {
        TestServer server;
        server.Serve("/case.htm",
            "<html><body><img src=img/Logo.gif><img src=img/logo.gif><img src=IMG/a.gif><img src=img/a.gif>"
            "<iframe src=CASE.htm></iframe></body></html>");
        server.Serve("/CASE.htm", "<html><body><img src=img/LOGO.gif></body></html>");
        for (const char* path :
            { "/img/Logo.gif", "/img/logo.gif", "/IMG/a.gif", "/img/a.gif", "/img/LOGO.gif" })
            server.Serve(path, std::string("GIF89a") + path, "image/gif");
        CaptureHarness harness(GetParam());

        CaptureResult result = harness.Capture(server.Url("/case.htm"));

        ASSERT_TRUE(result.completed);
        EXPECT_TRUE(result.accepted);
        EXPECT_TRUE(SameLines(result.lines,
            harness.Expand(Join({ DocumentLines("{R}/127.0.0.1/case.htm"),
                ResourceLines(kImageReport, "{R}/127.0.0.1/img/Logo.gif"),
                ResourceLines(kImageReport, "{R}/127.0.0.1/IMG/a.gif"),
                DocumentLines("{R}/127.0.0.1/CASE.htm") }))));
        EXPECT_EQ(harness.Written(),
            (std::vector<std::string> { "127.0.0.1/CASE.htm", "127.0.0.1/IMG/a.gif", "127.0.0.1/case.htm",
                "127.0.0.1/img/Logo.gif" }));
        EXPECT_EQ(ReadFileBytes(harness.Root() + "/127.0.0.1/img/Logo.gif"), "GIF89a/img/Logo.gif");
    }

    // A save folder nobody may write to: the page's document cannot be created, which is shown once,
    // and its resources and frames are not walked.
    TEST_P(HostileFileSystem, ReadOnlySaveFolderGivesOneMessage)
    {
        TestServer server;
        server.Serve("/page.htm", "<html><body><img src=a.gif><iframe src=f.htm></iframe></body></html>");
        server.Serve("/f.htm", "<html><body></body></html>");
        server.Serve("/a.gif", "GIF89a", "image/gif");
        CaptureHarness harness(GetParam());
        fs::path readOnly = harness.Scratch() / "read-only";
        fs::create_directories(readOnly);
        ::chmod(readOnly.c_str(), 0555);
        harness.SetSaveDir(readOnly.string() + "/");
        FilePermissionsApply permissions;
        if (CanCreateIn(readOnly))
            GTEST_SKIP() << "this process may write to a read-only folder";

        CaptureResult result = harness.Capture(server.Url("/page.htm"));

        ASSERT_TRUE(result.completed);
        EXPECT_TRUE(result.accepted);
        EXPECT_TRUE(SameLines(result.lines,
            harness.Expand({ "message: FileCreateError: Cannot create file \"{R}/127.0.0.1/page.htm\". "
                             "Permission denied" })));
        EXPECT_EQ(ListFiles(readOnly), std::vector<std::string> {});
    }

    // A frame whose folder is read-only: one message for that document; the page and the next frame
    // are saved.
    TEST_P(HostileFileSystem, ReadOnlyFolderOfOneFrameGivesOneMessageForThatFrame)
    {
        TestServer server;
        TestServer other("127.0.0.2");
        server.Serve("/page.htm",
            "<html><body><img src=a.gif><iframe src='" + other.Url("/frame.htm")
                + "'></iframe><iframe src=f.htm></iframe></body></html>");
        server.Serve("/f.htm", "<html><body><img src=a.gif></body></html>");
        server.Serve("/a.gif", "GIF89a", "image/gif");
        other.Serve("/frame.htm", "<html><body><img src=b.gif></body></html>");
        other.Serve("/b.gif", "GIF89a-b", "image/gif");
        CaptureHarness harness(GetParam());
        // Once the capture folder exists, the other host's folder is made read-only ahead of its frame.
        harness.FrontEnd().onPump = [&] {
            fs::path root = harness.Root();
            if (!harness.FrontEnd().captureFolder.empty() && fs::exists(root)
                && !fs::exists(root / "127.0.0.2")) {
                fs::create_directories(root / "127.0.0.2");
                ::chmod((root / "127.0.0.2").c_str(), 0555);
            }
        };
        FilePermissionsApply permissions;
        {
            fs::path probe = harness.Scratch() / "probe";
            fs::create_directories(probe);
            ::chmod(probe.c_str(), 0555);
            if (CanCreateIn(probe))
                GTEST_SKIP() << "this process may write to a read-only folder";
        }

        CaptureResult result = harness.Capture(server.Url("/page.htm"));

        ASSERT_TRUE(result.completed);
        EXPECT_TRUE(result.accepted);
        EXPECT_TRUE(SameLines(result.lines,
            harness.Expand(Join(
                { DocumentLines("{R}/127.0.0.1/page.htm"), ResourceLines(kImageReport, "{R}/127.0.0.1/a.gif"),
                    { "message: FileCreateError: Cannot create file \"{R}/127.0.0.2/frame.htm\". Permission "
                      "denied" },
                    DocumentLines("{R}/127.0.0.1/f.htm") }))));
        EXPECT_EQ(harness.Written(),
            (std::vector<std::string> { "127.0.0.1/a.gif", "127.0.0.1/f.htm", "127.0.0.1/page.htm" }));
    }

    // A disk that fills up: a document that does not fit gets one message and leaves no part of itself
    // behind, so the documents after it still fit.
    TEST(HostileDisk, DocumentThatDoesNotFitGivesOneMessageAndLeavesNothingBehind)
    {
        const std::string big = "<html><body><!--" + std::string(1 << 20, 'b') + "--></body></html>";
        TestServer server;
        server.Serve("/page.htm",
            "<html><body><img src=small.gif><iframe src=big.htm></iframe><iframe "
            "src=small.htm></iframe></body></html>");
        server.Serve("/big.htm", big);
        server.Serve("/small.htm", "<html><body>small</body></html>");
        server.Serve("/small.gif", "GIF89a-small", "image/gif");
        CaptureHarness harness(EngineKind::Static);
        SmallDisk disk(harness.Scratch() / "disk", "256k");
        if (!disk.Mounted())
            GTEST_SKIP() << "this process may not mount a tmpfs";
        harness.SetSaveDir((harness.Scratch() / "disk").string() + "/");

        CaptureResult result = harness.Capture(server.Url("/page.htm"));
        ASSERT_TRUE(result.completed);
        EXPECT_TRUE(result.accepted);
        EXPECT_TRUE(SameLines(result.lines,
            harness.Expand(Join({ DocumentLines("{R}/127.0.0.1/page.htm"),
                ResourceLines(kImageReport, "{R}/127.0.0.1/small.gif"),
                { "message: FileCreateError: Cannot write file \"{R}/127.0.0.1/big.htm\". No space left on "
                  "device" },
                DocumentLines("{R}/127.0.0.1/small.htm") }))));
        EXPECT_EQ(harness.Written(),
            (std::vector<std::string> {
                "127.0.0.1/page.htm", "127.0.0.1/small.gif", "127.0.0.1/small.htm" }));

        // A page that does not fit at all: one message, nothing written.
        CaptureResult page = harness.Capture(server.Url("/big.htm"));
        ASSERT_TRUE(page.completed);
        EXPECT_TRUE(page.accepted);
        EXPECT_TRUE(SameLines(page.lines,
            harness.Expand(
                { "message: FileCreateError: Cannot write file \"{R}/127.0.0.1/big.htm\". No space "
                  "left on device" })));
        EXPECT_EQ(harness.Written(), std::vector<std::string> {});
    }

    // An engine cache on a full disk records what fits; a body that does not fit is not recorded,
    // leaves no file behind, and the page still completes.
    TEST(HostileDisk, EngineCacheOnAFullDiskRecordsOnlyWhatFits)
    {
        testing::TemporaryFolder scratch;
        SmallDisk disk(scratch.Path() / "disk", "256k");
        if (!disk.Mounted())
            GTEST_SKIP() << "this process may not mount a tmpfs";
        TestServer server;
        server.Serve("/page.htm", "<html><body><img src=big.gif><img src=small.gif></body></html>");
        server.Serve("/big.gif", std::string(1 << 20, 'g'), "image/gif");
        server.Serve("/small.gif", "GIF89a-small", "image/gif");
        {
            engine::EngineCache cache(scratch.Path() / "disk" / "cache");
            engine::StaticEngineOptions options;
            options.cache = &cache;
            auto engine = engine::CreateStaticEngine(options);
            bool completed = false;
            engine->SetDocumentCompleteHandler(
                [&](const engine::SnapshotDocument&, engine::PageEngine::Completion completion) {
                    completed = completion == engine::PageEngine::Completion::TopLevel;
                });
            engine->SetLoadTimeout(20s);
            engine->Navigate(server.Url("/page.htm"));
            for (int round = 0; round < 1000 && !completed; ++round)
                engine->ProcessEvents(50ms);

            ASSERT_TRUE(completed);
            EXPECT_TRUE(cache.Lookup(server.Url("/page.htm")).has_value());
            EXPECT_TRUE(cache.Lookup(server.Url("/small.gif")).has_value());
            EXPECT_FALSE(cache.Lookup(server.Url("/big.gif")).has_value());
            EXPECT_EQ(ListFiles(scratch.Path() / "disk" / "cache").size(), 2u);
        }
    }

    INSTANTIATE_TEST_SUITE_P(
        Engines, HostileFileSystem, ::testing::Values(EngineKind::Static, EngineKind::Chromium), EngineName);

} // namespace
} // namespace pagestow::hostile

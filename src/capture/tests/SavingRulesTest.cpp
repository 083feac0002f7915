// What the capture saves beyond the plain address rules: the engine's own resolution, the loaded
// srcset candidate, documents without an address of their own, one path per address, and files that
// are complete or not claimed at all.

#include "capture/Capture.h"
#include "capture/CaptureRecord.h"
#include "capture/FileWriting.h"
#include "capture/tests/SnapshotBuilder.h"
#include "mapping/FileUtils.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace pagestow::capture::testing {
namespace {
    namespace fs = std::filesystem;
    using engine::DocumentOrigin;
    using Lines = std::vector<std::string>;

    class SavingRules : public CaptureTest {
    protected:
        void Save(const std::shared_ptr<engine::SnapshotDocument>& top)
        {
            capture->SaveDocument(top.get(), DocumentPass::Document);
        }
        std::string Page(const std::string& file) const
        {
            return "result: 网页文件“" + Root() + "/" + file + "”保存完成。";
        }
        std::string PageStatus(const std::string& file) const
        {
            return "status:  网页文件“" + Root() + "/" + file + "”保存完成。";
        }
        Lines Image(const std::string& file) const
        {
            return { "result: 保存图片文件：" + Root() + "/" + file,
                "status: 保存图片文件：" + Root() + "/" + file };
        }
        static Lines Join(std::initializer_list<Lines> parts)
        {
            Lines all;
            for (const Lines& part : parts)
                all.insert(all.end(), part.begin(), part.end());
            return all;
        }
    };

    TEST_F(SavingRules, EngineResolutionFindsWhatTheAddressRuleMissesAndNamesTheTarget)
    {
        // An extensionless page address and a base element: the address rule resolves below
        // /news/article/, the engine against the base.
        CacheResource("http://cdn.example.net/base/img/x.gif", "BASE");
        CacheResource("http://www.example.com/news/list.php?page=2", "QUERY-ONLY");
        CacheResource("http://www.example.com/news/%D6%D0.gif?q=%D6%D0", "GBK");
        CacheResource("http://www.example.com/news/article/own.gif", "RULE");
        DocumentBuilder page("http://www.example.com/news/article");
        page.Add("img", { { "src", "img/x.gif", "http://cdn.example.net/base/img/x.gif" } });
        page.Add("script", { { "src", "?page=2", "http://www.example.com/news/list.php?page=2" } });
        page.Add("img", { { "src", "中.gif?q=中", "http://www.example.com/news/%D6%D0.gif?q=%D6%D0" } });
        // The rule's own address wins when the cache has it.
        page.Add("img", { { "src", "./own.gif", "http://www.example.com/news/elsewhere.gif" } });
        // Nothing in the cache under either address: nothing at all.
        page.Add("img", { { "src", "gone.gif", "http://www.example.com/news/gone.gif" } });
        Save(page.Build());

        EXPECT_EQ(frontEnd.lines,
            Join({ { Page("www.example.com/news/article/index.htm"),
                       PageStatus("www.example.com/news/article/index.htm") },
                Image("cdn.example.net/base/img/x.gif"),
                { "result: 保存JS文件：" + Root() + "/www.example.com/news/list.php",
                    "status: 保存JS文件：" + Root() + "/www.example.com/news/list.php" },
                Image("www.example.com/news/%D6%D0.gif"), Image("www.example.com/news/article/own.gif") }));
        EXPECT_EQ(ReadBytes(Root() + "/cdn.example.net/base/img/x.gif"), "BASE");
        EXPECT_EQ(ReadBytes(Root() + "/www.example.com/news/%D6%D0.gif"), "GBK");
        EXPECT_EQ(ReadBytes(Root() + "/www.example.com/news/article/own.gif"), "RULE");
    }

    TEST_F(SavingRules, BareFileNameIsLookedUpBesideTheDocumentOnlyWithoutAnEngineResolution)
    {
        // Beside the document is where a browser loads a bare name, unless a base element says
        // otherwise: with the engine's own address at hand, that one alone is looked up.
        CacheResource("http://www.example.com/news/logo.gif", "BESIDE");
        CacheResource("http://www.example.com/news/app.js", "APP");
        DocumentBuilder page("http://www.example.com/news/page.htm");
        page.Add("img", { { "src", "logo.gif", "http://cdn.example.net/logo.gif" } });
        page.Add("script", { { "src", "app.js" } });
        page.Add("img", { { "src", "mailto:x.gif" } });
        Save(page.Build());

        EXPECT_EQ(frontEnd.lines,
            (Lines { Page("www.example.com/news/page.htm"), PageStatus("www.example.com/news/page.htm"),
                "result: 保存JS文件：" + Root() + "/www.example.com/news/app.js",
                "status: 保存JS文件：" + Root() + "/www.example.com/news/app.js" }));
    }

    TEST_F(SavingRules, LoadedSrcsetCandidateComesWithTheImageRowAfterSrcAndRealSrc)
    {
        CacheResource("http://www.example.com/news/small.png", "SMALL");
        CacheResource("http://www.example.com/news/real.png", "REAL");
        CacheResource("http://www.example.com/news/wide-1280.png", "WIDE");
        DocumentBuilder page("http://www.example.com/news/page.htm");
        int img = page.Add("img",
            { { "srcset", "wide-640.png 640w, wide-1280.png 1280w" },
                { "src", "small.png", "http://www.example.com/news/small.png" },
                { "real_src", "real.png", "http://www.example.com/news/real.png" } });
        int picture = page.Add("picture");
        page.Add("source", { { "srcset", "wide-1280.png" } }, picture);
        int inner
            = page.Add("img", { { "src", "small.png", "http://www.example.com/news/small.png" } }, picture);
        auto document = page.Build();
        document->elements[size_t(img)].currentSource = "http://www.example.com/news/wide-1280.png";
        document->elements[size_t(inner)].currentSource = "http://www.example.com/news/wide-1280.png";
        Save(document);

        EXPECT_EQ(frontEnd.lines,
            Join({ { Page("www.example.com/news/page.htm"), PageStatus("www.example.com/news/page.htm") },
                Image("www.example.com/news/small.png"), Image("www.example.com/news/real.png"),
                Image("www.example.com/news/wide-1280.png") }));
        EXPECT_EQ(ReadBytes(Root() + "/www.example.com/news/wide-1280.png"), "WIDE");
    }

    TEST_F(SavingRules, FramesWithoutAnAddressOfTheirOwnAreWalkedButNeverWritten)
    {
        CacheResource("http://www.example.com/ads/banner.gif", "AD");
        CacheResource("http://www.example.com/ads/blank.gif", "BLANK");
        // A frame written by script reports its parent's address; it must not replace the page.
        DocumentBuilder written("http://www.example.com/ads/page.htm");
        written.Add("img", { { "src", "banner.gif", "http://www.example.com/ads/banner.gif" } });
        written.Serialization("WRITTEN BY SCRIPT");
        auto writtenDocument = written.Build();
        writtenDocument->origin = DocumentOrigin::Inherited;
        DocumentBuilder blank("http://www.example.com/ads/page.htm");
        blank.Add("img", { { "src", "blank.gif", "http://www.example.com/ads/blank.gif" } });
        auto blankDocument = blank.Build();
        blankDocument->origin = DocumentOrigin::Inherited;
        auto failed = DocumentBuilder("http://unreachable.example.org/frame.htm").Build();
        failed->origin = DocumentOrigin::Failed;
        DocumentBuilder page("http://www.example.com/ads/page.htm");
        page.Frame(writtenDocument).Frame(blankDocument).Frame(failed);
        Save(page.Build());

        EXPECT_EQ(frontEnd.lines,
            Join({ { Page("www.example.com/ads/page.htm"), PageStatus("www.example.com/ads/page.htm") },
                Image("www.example.com/ads/banner.gif"), Image("www.example.com/ads/blank.gif") }));
        EXPECT_EQ(ReadBytes(Root() + "/www.example.com/ads/page.htm"),
            DefaultSerialization("http://www.example.com/ads/page.htm"));
        EXPECT_EQ(Written(),
            (Lines { "www.example.com/ads/banner.gif", "www.example.com/ads/blank.gif",
                "www.example.com/ads/page.htm" }));
    }

    TEST_F(SavingRules, NoResourceReplacesADocumentAndNoDocumentReplacesAResource)
    {
        // An image at "?page=2" maps to the page's own path once its query is dropped.
        CacheResource("http://www.example.com/list.php?page=2", "IMAGE BYTES");
        CacheResource("http://www.example.com/frame/x.htm", "AS A SCRIPT");
        DocumentBuilder frame("http://www.example.com/frame/x.htm");
        DocumentBuilder page("http://www.example.com/list.php");
        page.Add("img", { { "src", "?page=2", "http://www.example.com/list.php?page=2" } });
        page.Add("script", { { "src", "http://www.example.com/frame/x.htm" } });
        page.Frame(frame.Build());
        Save(page.Build());

        EXPECT_EQ(frontEnd.lines,
            (Lines { Page("www.example.com/list.php"), PageStatus("www.example.com/list.php"),
                "result: 保存JS文件：" + Root() + "/www.example.com/frame/x.htm",
                "status: 保存JS文件：" + Root() + "/www.example.com/frame/x.htm" }));
        EXPECT_EQ(ReadBytes(Root() + "/www.example.com/list.php"),
            DefaultSerialization("http://www.example.com/list.php"));
        EXPECT_EQ(ReadBytes(Root() + "/www.example.com/frame/x.htm"), "AS A SCRIPT");
    }

    TEST_F(SavingRules, DocumentsAndResourcesShareOneMappingOfHostsAndEscapedNames)
    {
        CacheResource("http://xn--fsqu00a.xn--fiqs8s/%E5%9B%BE.gif", "IDN");
        CacheResource("http://www.example.com/my%20docs/a%C3%A4c.gif", "ESCAPED");
        CacheResource("http://www.example.com/my%20docs/a%C3%A4c.GIF", "SECOND SPELLING");
        DocumentBuilder frame("http://[::1]:8931/x.htm");
        DocumentBuilder page("http://www.example.com/my%20docs/%E9%A1%B5.htm");
        page.Add("img", { { "src", "http://例子.中国/图.gif" } });
        page.Add("img", { { "src", "a%C3%A4c.gif", "http://www.example.com/my%20docs/a%C3%A4c.gif" } });
        page.Add("img", { { "src", "aäc.GIF", "http://www.example.com/my%20docs/a%C3%A4c.GIF" } });
        page.Frame(frame.Build());
        Save(page.Build());

        EXPECT_EQ(frontEnd.lines,
            Join({ { Page("www.example.com/my_docs/页.htm"), PageStatus("www.example.com/my_docs/页.htm") },
                Image("例子.中国/图.gif"), Image("www.example.com/my_docs/aäc.gif"),
                { Page("[__1]/x.htm"), PageStatus("[__1]/x.htm") } }));
        EXPECT_EQ(Written(),
            (Lines { "[__1]/x.htm", "www.example.com/my_docs/aäc.gif", "www.example.com/my_docs/页.htm",
                "例子.中国/图.gif" }));
    }

    TEST_F(SavingRules, RecordsEveryFileWrittenWithItsAddressReferrerAndSize)
    {
        CacheResource("http://www.example.com/s.css", "CSS!");
        CacheResource("http://other.example.org/i.gif", "GIF");
        DocumentBuilder frame("http://other.example.org/f.htm");
        frame.Add("img", { { "src", "i.gif", "http://other.example.org/i.gif" } });
        frame.Serialization("FRAME");
        DocumentBuilder page("http://www.example.com/");
        page.Add("link", { { "href", "/s.css" } });
        page.Serialization("PAGE!!");
        page.Frame(frame.Build());
        Save(page.Build());

        using Kind = SavedEntry::Kind;
        struct Expected {
            Kind kind;
            std::string address, referrer, file;
            std::uint64_t bytes;
        } expected[] = {
            { Kind::Document, "http://www.example.com/", "", "www.example.com/index.htm", 6 },
            { Kind::Stylesheet, "http://www.example.com/s.css", "http://www.example.com/",
                "www.example.com/s.css", 4 },
            { Kind::Document, "http://other.example.org/f.htm", "http://www.example.com/",
                "other.example.org/f.htm", 5 },
            { Kind::Image, "http://other.example.org/i.gif", "http://other.example.org/f.htm",
                "other.example.org/i.gif", 3 },
        };
        const auto& saved = capture->Result().saved;
        ASSERT_EQ(saved.size(), std::size(expected));
        for (size_t i = 0; i < saved.size(); ++i) {
            EXPECT_EQ(saved[i].kind, expected[i].kind) << i;
            EXPECT_EQ(saved[i].address, expected[i].address) << i;
            EXPECT_EQ(saved[i].referrer, expected[i].referrer) << i;
            EXPECT_EQ(saved[i].path, Root() + "/" + expected[i].file) << i;
            EXPECT_EQ(saved[i].bytes, expected[i].bytes) << i;
        }
        EXPECT_TRUE(capture->Result().failures.empty());
    }

    TEST_F(SavingRules, CopiesAreWholeByLinkOrByCopyAndReplaceAnEarlierFile)
    {
        for (CopyMethod method : { CopyMethod::HardLink, CopyMethod::Copy }) {
            SCOPED_TRACE(method == CopyMethod::HardLink ? "hard link" : "copy");
            settings.copies = method;
            NewCapture();
            fs::create_directories(Root() + "/www.example.com");
            std::ofstream(Root() + "/www.example.com/big.bin") << "an older file";
            std::string bytes;
            for (int i = 0; i < 300000; ++i)
                bytes += char('a' + i % 26);
            CacheResource("http://www.example.com/big.bin", bytes);
            DocumentBuilder page("http://www.example.com/p.htm");
            page.Add("script", { { "src", "/big.bin" } });
            Save(page.Build());
            EXPECT_EQ(ReadBytes(Root() + "/www.example.com/big.bin"), bytes);
            EXPECT_EQ(Written(), (Lines { "www.example.com/big.bin", "www.example.com/p.htm" }));
            fs::remove_all(Root());
        }
    }

    TEST_F(SavingRules, FailedFolderCopyOrWriteIsRecordedWithItsCauseAndNeverClaimed)
    {
        // A file where the page's folder should be, and one where an image's folder should be.
        fs::create_directories(Root());
        std::ofstream(Root() + "/blocked.example.org") << "a file";
        std::ofstream(Root() + "/www.example.com") << "a file";
        CacheResource("http://www.example.com/a.gif", "A");
        DocumentBuilder frame("http://www.example.com/f.htm");
        frame.Add("img", { { "src", "/a.gif" } });
        DocumentBuilder page("http://blocked.example.org/p.htm");
        page.Add("img", { { "src", "http://www.example.com/a.gif" } });
        page.Frame(frame.Build());
        Save(page.Build());

        EXPECT_EQ(frontEnd.lines,
            (Lines { "message: FileCreateError: Cannot create file \"" + Root()
                + "/blocked.example.org/p.htm\". Not a directory" }));
        const auto& failures = capture->Result().failures;
        ASSERT_EQ(failures.size(), 1u);
        EXPECT_EQ(failures[0].path, Root() + "/blocked.example.org/p.htm");
        EXPECT_EQ(failures[0].reason, "Not a directory");
        EXPECT_TRUE(capture->Result().saved.empty());
        EXPECT_TRUE(capture->SavedFiles.Paths().empty());
    }

    TEST_F(SavingRules, FullDiskLeavesNoPartialFileAndClaimsNothing)
    {
        fs::path disk = scratch.Path() / "small-disk";
        fs::create_directories(disk);
        if (::mount("pagestow-test", disk.c_str(), "tmpfs", 0, "size=128k") != 0)
            GTEST_SKIP() << "no small file system can be mounted here: " << std::strerror(errno);
        struct Unmount {
            fs::path path;
            ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
        } unmount { disk };

        capture->SaveDir = disk.string() + "/";
        std::string big(400 * 1024, 'x');
        CacheResource("http://www.example.com/small.js", "SMALL");
        CacheResource("http://www.example.com/big.js", big);
        DocumentBuilder frame("http://www.example.com/huge.htm");
        frame.Serialization(big);
        DocumentBuilder page("http://www.example.com/p.htm");
        page.Add("script", { { "src", "/big.js" } });
        page.Add("script", { { "src", "/small.js" } });
        page.Frame(frame.Build());
        Save(page.Build());

        EXPECT_EQ(frontEnd.lines,
            (Lines { Page("www.example.com/p.htm"), PageStatus("www.example.com/p.htm"),
                "result: 保存JS文件：" + Root() + "/www.example.com/small.js",
                "status: 保存JS文件：" + Root() + "/www.example.com/small.js",
                "message: FileCreateError: Cannot write file \"" + Root()
                    + "/www.example.com/huge.htm\". No space left on device" }));
        EXPECT_EQ(Written(), (Lines { "www.example.com/p.htm", "www.example.com/small.js" }));
        const auto& failures = capture->Result().failures;
        ASSERT_EQ(failures.size(), 2u);
        EXPECT_EQ(failures[0].path, Root() + "/www.example.com/big.js");
        EXPECT_EQ(failures[0].reason, "No space left on device");
        EXPECT_EQ(failures[1].path, Root() + "/www.example.com/huge.htm");
        EXPECT_EQ(capture->SavedFiles.Paths(), (Lines { Root() + "/www.example.com/small.js" }));
    }

    TEST_F(SavingRules, FileSizeLimitGivesNoTruncatedFile)
    {
        // In a child, so the limit ends with it.
        fs::create_directories(Root());
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            rlimit limit { 1000, 1000 };
            setrlimit(RLIMIT_FSIZE, &limit);
            std::uint64_t bytes = 0;
            int copyError = CopyWholeFile("/proc/self/exe", Root() + "/exe.copy", bytes, CopyMethod::Copy);
            int writeError = WriteWholeFile(Root() + "/page.htm", std::string(5000, 'p')).error;
            bool clean = fs::is_empty(Root());
            _exit(copyError == EFBIG && writeError == EFBIG && clean ? 0 : 1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    TEST_F(SavingRules, SaveFolderIsUsedExactlyAsGiven)
    {
        for (const char* name : { "out ", " out", "out\t" }) {
            settings.saveDir = scratch.Folder() + name;
            LoadedEngine engine;
            engine.Load(DocumentBuilder("http://www.example.com/a.htm").Build());
            CaptureResult result = CapturePage(engine.Document().get(), settings, frontEnd);
            EXPECT_TRUE(result.accepted);
            EXPECT_EQ(result.saveDir, scratch.Folder() + name + "/");
            EXPECT_EQ(ListFiles(scratch.Path()),
                (Lines { std::string(name) + "/" + result.captureFolder + "/www.example.com/a.htm" }));
            EXPECT_EQ(result.saved.size(), 1u);
            fs::remove_all(scratch.Path() / name);
        }
    }

    TEST(CaptureFolderClaim, EightRunsStartedTogetherEachGetAFolderOfTheirOwn)
    {
        ScratchFolder scratch;
        std::string saveDir = scratch.Folder() + "save/";
        // Every run draws the same numbers in the same minute: only the claim keeps them apart.
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        std::vector<pid_t> children;
        for (int run = 0; run < 8; ++run) {
            pid_t child = fork();
            ASSERT_GE(child, 0);
            if (child == 0) {
                mapping::SetRuntimeRandomSeed(0);
                std::vector<WriteFailure> failures;
                std::string folder = ClaimCaptureFolder(saveDir, failures) + "\n";
                ssize_t written = write(pipeFds[1], folder.data(), folder.size());
                _exit(written == ssize_t(folder.size()) ? 0 : 1);
            }
            children.push_back(child);
        }
        close(pipeFds[1]);
        for (pid_t child : children) {
            int status = 0;
            waitpid(child, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        }
        std::string names;
        char buffer[256];
        for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
            names.append(buffer, size_t(n));
        close(pipeFds[0]);
        std::set<std::string> distinct;
        size_t lines = 0;
        for (size_t start = 0, end; (end = names.find('\n', start)) != std::string::npos; start = end + 1) {
            distinct.insert(names.substr(start, end - start));
            ++lines;
        }
        EXPECT_EQ(lines, 8u);
        EXPECT_EQ(distinct.size(), 8u);
        size_t folders = 0;
        for (const auto& entry : fs::directory_iterator(saveDir)) {
            EXPECT_TRUE(distinct.count(entry.path().filename().string())) << entry.path();
            ++folders;
        }
        EXPECT_EQ(folders, 8u);
    }

} // namespace
} // namespace pagestow::capture::testing

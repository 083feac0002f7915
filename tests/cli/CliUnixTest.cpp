// pagestow-cli as a Unix tool: version, address lists, JSON results, worker processes, closed
// pipes, save folders taken as given, and what it maps.

#include "CliRunFixture.h"

#include "support/TestServer.h"

#include <sys/mount.h>
#include <unistd.h>

#include <fstream>

namespace pagestow::testing {
namespace {

    std::string Json(const std::string& text)
    {
        std::string quoted = "\"";
        for (char c : text)
            quoted += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
        return quoted + "\"";
    }

    // The JSON line of a saved page of one file and no failures, up to its seconds.
    std::string SavedJsonPrefix(
        const std::string& address, const std::string& captureFolder, const std::string& page)
    {
        return "{\"address\":" + Json(address) + ",\"final_address\":" + Json(address)
            + ",\"status\":\"saved\",\"capture_folder\":" + Json(captureFolder)
            + ",\"page_file\":" + Json(captureFolder + page) + ",";
    }

    void WriteText(const fs::path& path, const std::string& text)
    {
        std::ofstream(path, std::ios::binary) << text;
    }

    class CliUnix : public CliRun {
    protected:
        // Capture folders of the save folder, in name order.
        std::vector<std::string> CaptureFolders(const fs::path& folder) const
        {
            std::vector<std::string> found;
            for (const auto& entry : fs::directory_iterator(folder))
                found.push_back(entry.path().filename().string());
            std::sort(found.begin(), found.end());
            return found;
        }
    };

    TEST_F(CliUnix, VersionAndHelpGoToStandardOutput)
    {
        ChildResult version = Run({ "--version" });
        EXPECT_EQ(version.status, 0);
        EXPECT_EQ(version.out, "pagestow-cli " PAGESTOW_VERSION "\n");
        EXPECT_EQ(version.err, "");
    }

    TEST_F(CliUnix, AddressListsSkipBlankLinesAndCommentsAndKeepTheirOrder)
    {
        TestServer server;
        for (const char* name : { "/a.htm", "/b.htm", "/c.htm" })
            server.Serve(name, "<p>x</p>");
        WriteText(m_scratch.Path() / "list.txt",
            "# pages to keep\r\n" + server.Url("/b.htm") + "\r\n\n   \n  # " + server.Url("/a.htm") + "\n"
                + server.Url("/c.htm"));
        ChildResult result
            = Run({ "--json", "-q", server.Url("/a.htm"), "-i", (m_scratch.Path() / "list.txt").string() });
        ASSERT_EQ(result.status, 0) << result.err;
        std::vector<std::string> lines = Lines(result.out);
        ASSERT_EQ(lines.size(), 3u) << result.out;
        EXPECT_EQ(lines[0].rfind("{\"address\":" + Json(server.Url("/a.htm")), 0), 0u) << lines[0];
        EXPECT_EQ(lines[1].rfind("{\"address\":" + Json(server.Url("/b.htm")), 0), 0u) << lines[1];
        EXPECT_EQ(lines[2].rfind("{\"address\":" + Json(server.Url("/c.htm")), 0), 0u) << lines[2];
        EXPECT_EQ(result.err, "");

        ChildResult missing = Run({ "-i", (m_scratch.Path() / "none.txt").string() });
        EXPECT_EQ(missing.status, 1);
        EXPECT_EQ(missing.err,
            "pagestow-cli: cannot read " + (m_scratch.Path() / "none.txt").string()
                + ": No such file or directory\n");
    }

    TEST_F(CliUnix, JsonGivesOneObjectALineAndMovesTheResultLinesToStandardError)
    {
        TestServer server;
        server.Serve("/p.htm", "<p>x</p>");
        int refused = RefusedPort();
        std::string unreachable = "http://127.0.0.1:" + std::to_string(refused) + "/";
        ChildResult result = Run({ "--json", server.Url("/p.htm"), unreachable });
        EXPECT_EQ(result.status, 1);
        std::vector<std::string> lines = Lines(result.out);
        ASSERT_EQ(lines.size(), 2u) << result.out;
        std::string root = CaptureRoot();
        EXPECT_EQ(lines[0].rfind(SavedJsonPrefix(server.Url("/p.htm"), root, "/127.0.0.1/p.htm"), 0), 0u)
            << lines[0];
        EXPECT_EQ(lines[1].rfind("{\"address\":" + Json(unreachable)
                          + ",\"final_address\":\"\",\"status\":\"rejected\",\"capture_folder\":\"\",\"page_"
                            "file\":\"\","
                            "\"files_saved\":0,\"bytes\":0,\"failures\":[],\"error\":\"",
                      0),
            0u)
            << lines[1];
        // The human lines, in order, on standard error; the rejection's message is not repeated.
        std::vector<std::string> err = Lines(result.err);
        ASSERT_EQ(err.size(), 13u) << result.err;
        EXPECT_EQ(err[0], "保存到：" + SaveDir());
        EXPECT_EQ(err[4], "网页文件“" + root + "/127.0.0.1/p.htm”保存完成。");
        EXPECT_EQ(err[6], "双击打开保存的目录！");
        EXPECT_EQ(err[11], "网页不存在，或是网址不符合标准，停止下载。");
        EXPECT_EQ(err[12].rfind("pagestow-cli: " + unreachable + ": ", 0), 0u) << err[12];
    }

    TEST_F(CliUnix, AnHttpErrorPageIsSavedAsThePageAndExitsZero)
    {
        TestServer server;
        server.Serve("/gone.htm", "<p>not here</p>", "text/html", 404);
        ChildResult result = Run({ server.Url("/gone.htm") });
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(ReadFileBytes(CaptureRoot() + "/127.0.0.1/gone.htm"), "<p>not here</p>");
    }

    TEST_F(CliUnix, JobsCaptureInWorkerProcessesAndReportInInputOrder)
    {
        TestServer server;
        std::vector<std::string> args { "--jobs", "3", "--json", "-q" };
        for (int i = 0; i < 7; ++i) {
            std::string path = "/p" + std::to_string(i) + ".htm";
            server.Serve(path, "<img src=i" + std::to_string(i) + ".gif>");
            server.Serve("/i" + std::to_string(i) + ".gif", "GIF" + std::to_string(i), "image/gif");
            args.push_back(server.Url(path));
        }
        args.push_back("");
        ChildResult result = Run(args);
        EXPECT_EQ(result.status, 1) << result.err;
        std::vector<std::string> lines = Lines(result.out);
        ASSERT_EQ(lines.size(), 8u) << result.out;
        for (int i = 0; i < 7; ++i) {
            std::string address = server.Url("/p" + std::to_string(i) + ".htm");
            EXPECT_EQ(lines[i].rfind("{\"address\":" + Json(address) + ",\"final_address\":" + Json(address)
                              + ",\"status\":\"saved\"",
                          0),
                0u)
                << lines[i];
        }
        EXPECT_EQ(lines[7].rfind("{\"address\":\"\",\"final_address\":\"\",\"status\":\"rejected\"", 0), 0u);
        EXPECT_EQ(result.err, "请输入要保存的网址...\npagestow-cli: \"\": the address is blank\n");
        // Every page went into a capture folder of its own, with its image.
        size_t pages = 0;
        for (const std::string& folder : CaptureFolders(m_save.Path())) {
            std::vector<std::string> files = ListFiles(m_save.Path() / folder);
            ASSERT_EQ(files.size(), 2u) << folder;
            ++pages;
        }
        EXPECT_EQ(pages, 7u);
        EXPECT_TRUE(CacheRemoved());
    }

    TEST_F(CliUnix, ResultLinesOfJobsReadAsThoseOfOneProcess)
    {
        TestServer server;
        server.Serve("/a.htm", "<p>a</p>");
        server.Serve("/b.htm", "<p>b</p>");
        ChildResult result = Run({ "-j", "2", server.Url("/a.htm"), server.Url("/b.htm") });
        ASSERT_EQ(result.status, 0) << result.err;
        std::vector<std::string> lines = Lines(result.out);
        ASSERT_EQ(lines.size(), 14u) << result.out;
        EXPECT_EQ(lines[0], "保存到：" + SaveDir());
        EXPECT_NE(lines[4].find("/127.0.0.1/a.htm”保存完成。"), std::string::npos) << lines[4];
        EXPECT_EQ(lines[7], "保存到：" + SaveDir());
        EXPECT_NE(lines[11].find("/127.0.0.1/b.htm”保存完成。"), std::string::npos) << lines[11];
    }

    TEST_F(CliUnix, ClosedStandardOutputLosesNoCaptureAndSaysSo)
    {
        TestServer server;
        server.Serve("/p.htm", "<link rel=stylesheet href=s.css>");
        server.Serve("/s.css", "p{}", "text/css");
        // The reader is gone before the first line: every write to standard output fails.
        const char* script = "import os, subprocess, sys\n"
                             "r, w = os.pipe()\n"
                             "os.close(r)\n"
                             "sys.exit(subprocess.run(sys.argv[1:], stdout=w).returncode)\n";
        ChildResult result
            = RunOther("/usr/bin/python3", { "-c", script, PAGESTOW_CLI_PROGRAM, server.Url("/p.htm") });
        EXPECT_FALSE(result.signalled);
        EXPECT_EQ(result.status, 3) << result.err;
        EXPECT_EQ(result.err,
            "pagestow-cli: standard output could not be written (Broken pipe); the captures went on\n");
        EXPECT_EQ(
            ListFiles(CaptureRoot()), (std::vector<std::string> { "127.0.0.1/p.htm", "127.0.0.1/s.css" }));
        EXPECT_TRUE(CacheRemoved());
    }

    TEST_F(CliUnix, SaveFolderIsUsedExactlyAsGiven)
    {
        TestServer server;
        server.Serve("/p.htm", "<p>x</p>");
        for (const std::string name : { "out ", " out", "out\t" }) {
            TemporaryFolder parent;
            std::string folder = (parent.Path() / name).string();
            ChildResult result = Run({ "--save-dir", folder, server.Url("/p.htm") });
            ASSERT_EQ(result.status, 0) << result.err;
            EXPECT_EQ(Lines(result.out)[0], "保存到：" + folder);
            // Nothing beside it; the page inside it.
            EXPECT_EQ(CaptureFolders(parent.Path()), std::vector<std::string> { name });
            std::vector<std::string> files = ListFiles(folder);
            ASSERT_EQ(files.size(), 1u);
            EXPECT_EQ(files[0].substr(18), "/127.0.0.1/p.htm");
        }
    }

    TEST_F(CliUnix, UnwritableSaveFolderIsReportedWithTheSystemsReason)
    {
        if (geteuid() == 0)
            GTEST_SKIP() << "root writes into any folder";
        TemporaryFolder parent;
        fs::create_directory(parent.Path() / "locked");
        fs::permissions(parent.Path() / "locked", fs::perms::owner_read | fs::perms::owner_exec);
        ChildResult result = Run({ "--save-dir", (parent.Path() / "locked").string(), "127.0.0.1:1" });
        fs::permissions(parent.Path() / "locked", fs::perms::owner_all);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.err,
            "pagestow-cli: cannot write into the save folder " + (parent.Path() / "locked").string()
                + ": Permission denied\n");
    }

    TEST_F(CliUnix, PageThatCannotBeWrittenOnAFullDiskFailsWithThePath)
    {
        // A tmpfs of 64 KiB as the save folder, where this process may mount one.
        TemporaryFolder parent;
        fs::path disk = parent.Path() / "disk";
        fs::create_directory(disk);
        if (::mount("tmpfs", disk.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0)
            GTEST_SKIP() << "no tmpfs can be mounted here";
        TestServer server;
        server.Serve("/big.htm", "<p>" + std::string(256 * 1024, 'x') + "</p>");
        ChildResult result = Run({ "--json", "--save-dir", disk.string(), server.Url("/big.htm") });
        std::vector<std::string> folders = CaptureFolders(disk);
        ::umount2(disk.c_str(), MNT_DETACH);
        EXPECT_EQ(result.status, 1) << result.err;
        ASSERT_EQ(folders.size(), 1u);
        std::string page = disk.string() + "/" + folders[0] + "/127.0.0.1/big.htm";
        std::vector<std::string> err = Lines(result.err);
        ASSERT_FALSE(err.empty());
        EXPECT_EQ(err.back().rfind(
                      "pagestow-cli: " + server.Url("/big.htm") + ": could not write " + page + ": ", 0),
            0u)
            << err.back();
        EXPECT_NE(result.out.find("\"status\":\"incomplete\""), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("\"failures\":[{\"path\":" + Json(page)), std::string::npos) << result.out;
    }

    TEST_F(CliUnix, ExplainWorksAnywhereAndGivesTheTargetPath)
    {
        ChildResult result = Run({ "--save-dir", "/srv/pages", "--explain", "img/a.gif", "--base",
            "http://www.example.com/news/" });
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out,
            "absolute=http://www.example.com/news/img/a.gif\n"
            "url=http://www.example.com/news/img/a.gif\n"
            "ifabsoluteadd=1\n"
            "protocol=http\n"
            "hostmess=www.example.com\n"
            "host=www.example.com\n"
            "post=\n"
            "path=/news/img/a.gif\n"
            "filename=a.gif\n"
            "directory=/news/img\n"
            "target=/srv/pages/qzwd_YYMMDDhhmmRRR/www.example.com/news/img/a.gif\n");
        ChildResult bare = Run({ "http://h.example", "--explain" });
        EXPECT_EQ(Lines(bare.out).back(), "target=" + SaveDir() + "/qzwd_YYMMDDhhmmRRR/h.example/index.htm");
    }

    TEST_F(CliUnix, TheBuiltInEngineMapsNoBrowserLibrary)
    {
        ChildResult ldd = RunOther("/usr/bin/ldd", { PAGESTOW_CLI_PROGRAM });
        ASSERT_EQ(ldd.status, 0) << ldd.err;
        for (const char* library : { "libgtk", "libgdk", "libwebkit", "libjavascriptcore", "libsoup" })
            EXPECT_EQ(ldd.out.find(library), std::string::npos) << library;
    }

    TEST_F(CliUnix, ShardsUnderGnuParallelSaveEveryAddress)
    {
        if (access("/usr/bin/parallel", X_OK) != 0)
            GTEST_SKIP() << "GNU parallel is not installed";
        TestServer server;
        std::string list;
        for (int i = 0; i < 6; ++i) {
            server.Serve("/s" + std::to_string(i) + ".htm", "<p>" + std::to_string(i) + "</p>");
            list += server.Url("/s" + std::to_string(i) + ".htm") + "\n";
        }
        WriteText(m_scratch.Path() / "list.txt", list);
        // Two addresses a shard, at most three shards at once, each shard in a save folder of its own,
        // results kept in input order.
        std::string command = "parallel --will-cite --pipe -N 2 -j 3 --keep-order '"
            + std::string(PAGESTOW_CLI_PROGRAM) + "' --save-dir shard{#} --json -q -i - < '"
            + (m_scratch.Path() / "list.txt").string() + "'";
        ChildResult result = RunOther("/bin/sh", { "-c", command });
        ASSERT_EQ(result.status, 0) << result.err;
        std::vector<std::string> lines = Lines(result.out);
        ASSERT_EQ(lines.size(), 6u) << result.out;
        for (int i = 0; i < 6; ++i) {
            std::string address = server.Url("/s" + std::to_string(i) + ".htm");
            EXPECT_EQ(lines[i].rfind("{\"address\":" + Json(address) + ",\"final_address\":" + Json(address)
                              + ",\"status\":\"saved\"",
                          0),
                0u)
                << lines[i];
        }
        EXPECT_EQ(CaptureFolders(m_save.Path()), (std::vector<std::string> { "shard1", "shard2", "shard3" }));
        for (const char* shard : { "shard1", "shard2", "shard3" })
            EXPECT_EQ(CaptureFolders(m_save.Path() / shard).size(), 2u) << shard;
    }

} // namespace
} // namespace pagestow::testing

#include "engine/EngineCache.h"
#include "engine/tests/ScratchFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace pagestow::engine {
namespace {
    namespace fs = std::filesystem;

    using testing::ReadBytes;
    using testing::ScratchFolder;

    std::vector<std::string> Names(const fs::path& folder)
    {
        std::vector<std::string> names;
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
            names.push_back(it->path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    // The pid of a process that has ended and been reaped.
    pid_t DeadPid()
    {
        pid_t child = fork();
        if (child == 0)
            _exit(0);
        int status = 0;
        waitpid(child, &status, 0);
        return child;
    }

    TEST(EngineCache, FindsAStoredBodyUnderEveryFormOfItsAddresses)
    {
        ScratchFolder scratch;
        EngineCache cache(scratch.Path() / "cache");
        cache.Store({ "http://www.example.com:80/news/../img/a.gif", "http://cdn.example.net/a.gif" },
            std::string("GIF89a\0\x01\xFF", 9));

        for (const char* address : { "http://WWW.EXAMPLE.COM/img/a.gif", "http://www.example.com/img/a.gif#x",
                 "http://www.example.com/x/../img/a.gif", "http://cdn.example.net:80/a.gif" }) {
            auto file = cache.Lookup(address);
            ASSERT_TRUE(file) << address;
            EXPECT_EQ(ReadBytes(*file), std::string("GIF89a\0\x01\xFF", 9)) << address;
            EXPECT_EQ(file->parent_path(), scratch.Path() / "cache");
        }
        for (const char* address : { "www.example.com/img/a.gif", "http://www.example.com/img/A.gif",
                 "https://www.example.com/img/a.gif", "http://www.example.com:8080/img/a.gif",
                 "http://www.example.com/img/a.gif?v=1", "" })
            EXPECT_FALSE(cache.Lookup(address)) << address;
    }

    TEST(EngineCache, EntryStreamsItsBodyAndIsFoundOnlyAfterCommit)
    {
        ScratchFolder scratch;
        EngineCache cache(scratch.Path());
        auto entry = cache.BeginEntry();
        EXPECT_TRUE(entry->Write("first part, "));
        EXPECT_TRUE(entry->Write(std::string(100000, 'x')));
        EXPECT_TRUE(entry->Write(""));
        EXPECT_EQ(entry->Size(), 12u + 100000u);
        EXPECT_FALSE(cache.Lookup("http://h/big.js"));

        entry->Commit({ "http://h/big.js?v=1", "http://h/big.js" });
        entry.reset();
        auto file = cache.Lookup("http://h/big.js");
        ASSERT_TRUE(file);
        EXPECT_EQ(ReadBytes(*file), "first part, " + std::string(100000, 'x'));
        EXPECT_EQ(cache.Lookup("http://h/big.js?v=1"), file);
    }

    TEST(EngineCache, EntryAbandonedBeforeCommitLeavesNothing)
    {
        ScratchFolder scratch;
        EngineCache cache(scratch.Path() / "c");
        {
            // A small body is only held until it is committed.
            auto entry = cache.BeginEntry();
            EXPECT_TRUE(entry->Write("partial body"));
            EXPECT_EQ(Names(scratch.Path() / "c"), std::vector<std::string> {});
        }
        {
            auto entry = cache.BeginEntry();
            EXPECT_TRUE(entry->Write(std::string(EngineCache::kHeldBodyBytes + 1, 'x')));
            EXPECT_EQ(Names(scratch.Path() / "c").size(), 1u);
        }
        EXPECT_EQ(Names(scratch.Path() / "c"), std::vector<std::string> {});
    }

    TEST(EngineCache, BodiesWrittenBehindTheLoadAreFoundWholeAndInOrderOfTheirStores)
    {
        ScratchFolder scratch;
        // More held bytes than may wait for the writer: the later commits wait for room.
        const int count = int(EngineCache::kQueuedBodyBytes / EngineCache::kHeldBodyBytes) * 2;
        auto body
            = [](int i) { return std::to_string(i) + std::string(EngineCache::kHeldBodyBytes - 8, 'b'); };
        {
            EngineCache cache(scratch.Path() / "c");
            for (int i = 0; i < count; ++i) {
                auto entry = cache.BeginEntry();
                ASSERT_TRUE(entry->Write(body(i)));
                entry->Commit({ "http://h/" + std::to_string(i) + ".png", "http://h/last.png" });
            }
            for (int i = 0; i < count; i += 7) {
                auto file = cache.Lookup("http://h/" + std::to_string(i) + ".png");
                ASSERT_TRUE(file) << i;
                EXPECT_EQ(ReadBytes(*file), body(i)) << i;
            }
            EXPECT_EQ(ReadBytes(*cache.Lookup("http://h/last.png")), body(count - 1));
            EXPECT_EQ(Names(scratch.Path() / "c").size(), std::size_t(count));
            // Destroyed with bodies still queued: nothing is left behind.
            cache.Store({ "http://h/late.png" }, "late");
        }
        EXPECT_FALSE(fs::exists(scratch.Path() / "c"));
    }

    TEST(EngineCache, FewSmallBodiesAreWrittenWhenTheyAreLookedUp)
    {
        // Fewer bodies than wake the writer: the lookup has it write them.
        ScratchFolder scratch;
        EngineCache cache(scratch.Path() / "c");
        cache.Store({ "http://h/0.png" }, "0");
        std::this_thread::sleep_for(std::chrono::milliseconds(50)); // the writer now waits for more
        for (int i = 1; i < 4; ++i)
            cache.Store({ "http://h/" + std::to_string(i) + ".png" }, std::to_string(i));
        for (int i = 3; i >= 0; --i) {
            auto file = cache.Lookup("http://h/" + std::to_string(i) + ".png");
            ASSERT_TRUE(file) << i;
            EXPECT_EQ(ReadBytes(*file), std::to_string(i));
        }
    }

    TEST(EngineCache, FolderRemovedUnderTheCacheIsMadeAgainForTheNextBody)
    {
        ScratchFolder scratch;
        EngineCache cache(scratch.Path() / "c");
        cache.Store({ "http://h/1.gif" }, "one");
        ASSERT_TRUE(cache.Lookup("http://h/1.gif"));
        fs::remove_all(scratch.Path() / "c");
        cache.Store({ "http://h/2.gif" }, "two");
        auto file = cache.Lookup("http://h/2.gif");
        ASSERT_TRUE(file);
        EXPECT_EQ(ReadBytes(*file), "two");
        EXPECT_EQ(Names(scratch.Path() / "c").size(), 1u);
    }

    TEST(EngineCache, EmptyBodyIsCachedAsAnEmptyFile)
    {
        ScratchFolder scratch;
        EngineCache cache(scratch.Path());
        cache.Store({ "http://h/empty.css" }, "");
        auto file = cache.Lookup("http://h/empty.css");
        ASSERT_TRUE(file);
        EXPECT_TRUE(fs::is_regular_file(*file));
        EXPECT_EQ(fs::file_size(*file), 0u);
    }

    TEST(EngineCache, LaterBodyForAnAddressReplacesTheEarlier)
    {
        ScratchFolder scratch;
        EngineCache cache(scratch.Path());
        cache.Store({ "http://h/a.css" }, "old");
        cache.Store({ "http://h/a.css" }, "new");
        EXPECT_EQ(ReadBytes(*cache.Lookup("http://h/a.css")), "new");
    }

    TEST(EngineCache, ClearRemovesEntriesAndFilesAndDestructionTheFolder)
    {
        ScratchFolder scratch;
        fs::path folder = scratch.Path() / "nested" / "cache";
        {
            EngineCache cache(folder);
            EXPECT_TRUE(fs::is_directory(folder));
            cache.Store({ "http://h/a.css" }, "a");
            cache.Store({ "http://h/b.css" }, "b");
            cache.Clear();
            EXPECT_FALSE(cache.Lookup("http://h/a.css"));
            EXPECT_EQ(Names(folder), std::vector<std::string> {});
            cache.Store({ "http://h/c.css" }, "c");
            EXPECT_EQ(ReadBytes(*cache.Lookup("http://h/c.css")), "c");
        }
        EXPECT_FALSE(fs::exists(folder));
        EXPECT_TRUE(fs::exists(scratch.Path() / "nested"));
    }

    // Waits, generously, until folder holds only expected (a remover works in the background).
    std::vector<std::string> NamesOnceSettled(const fs::path& folder, std::vector<std::string> expected)
    {
        std::sort(expected.begin(), expected.end());
        for (int wait = 0; wait < 600 && Names(folder) != expected; ++wait)
            usleep(100 * 1000);
        return Names(folder);
    }

    void FillCache(const fs::path& folder)
    {
        EngineCache cache(folder);
        for (std::uint64_t i = 0; i < EngineCache::kBackgroundRemovalFiles; ++i)
            cache.Store({ "http://h/" + std::to_string(i) + ".gif" }, "GIF");
    }

    TEST(EngineCache, LargeCacheIsRemovedAfterTheProgramByAProcessOfItsOwn)
    {
        ScratchFolder scratch;
        fs::path folder = scratch.Path() / ("run-" + std::to_string(getpid()) + "-big");
        FillCache(folder);
        // The folder's own name is gone at once; what is left aside goes within a generous time.
        EXPECT_FALSE(fs::exists(folder));
        EXPECT_EQ(NamesOnceSettled(scratch.Path(), {}), std::vector<std::string> {});

        // The remover is out of the program's process group: a Ctrl-C or a closed terminal that ends
        // the program's group the moment it has left does not stop the removal.
        pid_t child = fork();
        if (child == 0) {
            setpgid(0, 0);
            FillCache(scratch.Path() / "run-1-group");
            kill(0, SIGKILL);
            _exit(1);
        }
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_EQ(NamesOnceSettled(scratch.Path(), {}), std::vector<std::string> {});
    }

    TEST(EngineCache, RemovesOnlyFoldersOfRunsThatEnded)
    {
        ScratchFolder scratch;
        std::string dead = "run-" + std::to_string(DeadPid()) + "-k3x9";
        std::string mine = "run-" + std::to_string(getpid()) + "-aaaa";
        std::string parent = "run-" + std::to_string(getppid()) + "-bbbb";
        // A run of this version that lives holds its lock, whatever its pid says; one whose remover
        // was killed left its folder set aside and its lock free.
        std::string living = "run-" + std::to_string(DeadPid()) + "-live";
        std::string abandoned = "run-" + std::to_string(getppid()) + "-gone-removing";
        for (const std::string& name : { dead, mine, parent, living, abandoned, std::string("run-abc-x"),
                 std::string("run--x"), std::string("run-12"), std::string("other") })
            fs::create_directories(scratch.Path() / name / "inner");
        std::ofstream(scratch.Path() / dead / "inner" / "body-0") << "x";
        std::ofstream(scratch.Path() / abandoned / "inner" / "body-0") << "x";
        std::ofstream(scratch.Path() / (living + ".lock"));
        std::ofstream(scratch.Path() / "run-" / "x");
        int held = ::open((scratch.Path() / (living + ".lock")).c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(held, 0);
        ASSERT_EQ(::flock(held, LOCK_EX), 0);
        // A lock file whose remover ended before it could remove it.
        std::ofstream(scratch.Path() / ("run-" + std::to_string(DeadPid()) + "-left.lock"));

        EngineCache::RemoveFoldersOfDeadRuns(scratch.Path());

        std::vector<std::string> expected
            = { mine, parent, living, living + ".lock", "other", "run--x", "run-12", "run-abc-x" };
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(NamesOnceSettled(scratch.Path(), expected), expected);
        ::close(held);
    }

    // Opens two caches of one run in a child process with the given environment, and
    // returns what the child saw, one line each: the cache folder, the lookup result, the cache file.
    std::vector<std::string> RunChildCache(
        const std::vector<std::pair<std::string, std::string>>& environment)
    {
        int pipeEnds[2];
        if (pipe(pipeEnds) != 0)
            return {};
        pid_t child = fork();
        if (child == 0) {
            close(pipeEnds[0]);
            for (const char* name : { "PAGESTOW_CACHE_DIR", "XDG_CACHE_HOME" })
                unsetenv(name);
            for (const auto& [name, value] : environment)
                setenv(name.c_str(), value.c_str(), 1);
            std::unique_ptr<EngineCache> cache = EngineCache::OpenForRun();
            cache->Store({ "http://h/a.gif" }, "GIF");
            std::string before = "untouched";
            std::string found = before;
            std::uint32_t missing = GetCachedFileName(*cache, "http://h/none.gif", before);
            std::uint32_t hit = GetCachedFileName(*cache, "HTTP://H:80/a.gif#f", found);
            std::unique_ptr<EngineCache> second = EngineCache::OpenForRun();
            std::string report = cache->Folder().string() + "\n" + std::to_string(missing) + " " + before
                + "\n" + std::to_string(hit) + " " + ReadBytes(found) + "\n"
                + (second->Folder() != cache->Folder()
                            && second->Folder().parent_path() == cache->Folder().parent_path()
                        ? "apart"
                        : "shared")
                + "\n";
            if (write(pipeEnds[1], report.data(), report.size()) != ssize_t(report.size()))
                _exit(3);
            close(pipeEnds[1]);
            // Each cache removes its folder when it goes.
            second.reset();
            cache.reset();
            std::exit(0);
        }
        close(pipeEnds[1]);
        std::string report;
        char buffer[512];
        for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
            report.append(buffer, size_t(n));
        close(pipeEnds[0]);
        int status = 0;
        waitpid(child, &status, 0);
        std::vector<std::string> lines;
        std::istringstream stream(report);
        for (std::string line; std::getline(stream, line);)
            lines.push_back(line);
        lines.push_back(WIFEXITED(status) ? "exit " + std::to_string(WEXITSTATUS(status)) : "crashed");
        return lines;
    }

    TEST(EngineCacheOpenForRun, UsesAFolderOfItsOwnUnderTheChosenRootAndRemovesItWhenItGoes)
    {
        ScratchFolder scratch;
        struct Case {
            std::vector<std::pair<std::string, std::string>> environment;
            fs::path root;
        } cases[] = {
            { { { "PAGESTOW_CACHE_DIR", (scratch.Path() / "own").string() },
                  { "XDG_CACHE_HOME", (scratch.Path() / "xdg").string() } },
                scratch.Path() / "own" },
            { { { "XDG_CACHE_HOME", (scratch.Path() / "xdg").string() } },
                scratch.Path() / "xdg" / "pagestow" },
            { { { "HOME", (scratch.Path() / "home").string() }, { "XDG_CACHE_HOME", "relative" } },
                scratch.Path() / "home" / ".cache" / "pagestow" },
            { { { "HOME", (scratch.Path() / "home2").string() } },
                scratch.Path() / "home2" / ".cache" / "pagestow" },
        };
        for (const Case& c : cases) {
            std::string deadRun = "run-" + std::to_string(DeadPid()) + "-zzzz";
            fs::create_directories(c.root / deadRun);
            fs::create_directories(c.root / "keep");

            std::vector<std::string> lines = RunChildCache(c.environment);

            ASSERT_EQ(lines.size(), 5u) << c.root;
            fs::path folder = lines[0];
            EXPECT_EQ(folder.parent_path(), c.root);
            EXPECT_EQ(folder.filename().string().rfind("run-", 0), 0u) << folder;
            EXPECT_EQ(lines[1], "2 untouched");
            EXPECT_EQ(lines[2], "0 GIF");
            EXPECT_EQ(lines[3], "apart");
            EXPECT_EQ(lines[4], "exit 0");
            EXPECT_FALSE(fs::exists(folder)) << folder;
            EXPECT_EQ(Names(c.root), std::vector<std::string> { "keep" }) << c.root;
        }
    }

} // namespace
} // namespace pagestow::engine

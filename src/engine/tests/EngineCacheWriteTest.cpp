#include "engine/EngineCache.h"
#include "engine/tests/ScratchFolder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace pagestow::engine {
namespace {
    namespace fs = std::filesystem;

    using testing::ReadBytes;
    using testing::ScratchFolder;

    // Every byte value, in a pattern that does not repeat at any block size.
    std::string Pattern(size_t size, unsigned seed)
    {
        std::string bytes(size, '\0');
        unsigned value = seed;
        for (char& c : bytes) {
            value = value * 1103515245u + 12345u;
            c = char(value >> 16);
        }
        return bytes;
    }

    TEST(EngineCacheWrite, BodyInPiecesOfEverySizeIsStoredByteForByte)
    {
        ScratchFolder scratch;
        EngineCache cache(scratch.Path());
        const size_t pieces[] = { 1, 4095, 4097, 0, 16384, 65539, 1 << 20, 7 };
        auto entry = cache.BeginEntry();
        std::string whole;
        unsigned seed = 1;
        for (size_t size : pieces) {
            std::string piece = Pattern(size, seed++);
            ASSERT_TRUE(entry->Write(piece)) << size;
            whole += piece;
        }
        EXPECT_EQ(entry->Size(), whole.size());
        entry->Commit({ "http://h/pieces.bin" });
        entry.reset();
        auto file = cache.Lookup("http://h/pieces.bin");
        ASSERT_TRUE(file);
        EXPECT_EQ(fs::file_size(*file), whole.size());
        EXPECT_TRUE(ReadBytes(*file) == whole);
    }

    TEST(EngineCacheWrite, BodyFileIsReadableByOthersUnderTheUsualMask)
    {
        ScratchFolder scratch;
        mode_t previous = umask(022);
        EngineCache cache(scratch.Path());
        cache.Store({ "http://h/a.gif" }, "GIF89a");
        umask(previous);
        auto file = cache.Lookup("http://h/a.gif");
        ASSERT_TRUE(file);
        struct stat status { };
        ASSERT_EQ(::stat(file->c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0644u);
    }

    // The body's file leads to /dev/full, so that its writes fail as on a full disk.
    TEST(EngineCacheWrite, BodyThatMeetsAFullDiskIsNeverIndexedAndLeavesNoFile)
    {
        if (!fs::exists("/dev/full"))
            GTEST_SKIP() << "no /dev/full";
        ScratchFolder scratch;
        EngineCache cache(scratch.Path() / "c");
        fs::create_symlink("/dev/full", scratch.Path() / "c" / "body-0");

        // A body too large to be held goes to its file as it comes, and fails there.
        auto entry = cache.BeginEntry();
        EXPECT_FALSE(entry->Write(std::string(EngineCache::kHeldBodyBytes + 1, 'x')));
        EXPECT_FALSE(entry->Write("more")) << "a body stays failed once a write failed";
        EXPECT_EQ(entry->Size(), 0u);
        entry->Commit({ "http://h/full.png" });
        EXPECT_FALSE(cache.Lookup("http://h/full.png"));
        entry.reset();
        EXPECT_FALSE(fs::exists(fs::symlink_status(scratch.Path() / "c" / "body-0")));

        // Store reports nothing either; the next body goes to a file of its own and is whole.
        cache.Store({ "http://h/next.png" }, "next body");
        auto next = cache.Lookup("http://h/next.png");
        ASSERT_TRUE(next);
        EXPECT_EQ(next->filename(), "body-1");
        EXPECT_EQ(ReadBytes(*next), "next body");
        EXPECT_FALSE(cache.Lookup("http://h/full.png"));
    }

    TEST(EngineCacheWrite, StoreOfABodyThatCannotBeWrittenIndexesNothing)
    {
        if (!fs::exists("/dev/full"))
            GTEST_SKIP() << "no /dev/full";
        ScratchFolder scratch;
        EngineCache cache(scratch.Path() / "c");
        cache.Store({ "http://h/old.css" }, "old");
        fs::create_symlink("/dev/full", scratch.Path() / "c" / "body-1");
        cache.Store({ "http://h/old.css", "http://h/new.css" }, "replacement");
        // The earlier whole body is still what the address finds.
        auto file = cache.Lookup("http://h/old.css");
        ASSERT_TRUE(file);
        EXPECT_EQ(ReadBytes(*file), "old");
        EXPECT_FALSE(cache.Lookup("http://h/new.css"));
    }

} // namespace
} // namespace pagestow::engine

// How a resource goes from the engine cache into the capture tree: whole at once, the same bytes
// whether linked or copied, an earlier file replaced, nothing left at a temporary name.

#include "capture/FileWriting.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sys/stat.h>
#include <vector>

namespace pagestow::capture::testing {
namespace {
    namespace fs = std::filesystem;

    class FileCopy : public ::testing::TestWithParam<CopyMethod> {
    protected:
        void SetUp() override
        {
            std::string pattern = (fs::temp_directory_path() / "pagestow-copy-XXXXXX").string();
            ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
            m_root = pattern;
        }
        void TearDown() override
        {
            std::error_code error;
            fs::remove_all(m_root, error);
        }
        std::string At(const std::string& name) const { return (m_root / name).string(); }
        // CopyWholeFile by the method under test.
        static int CopyWhole(const std::string& source, const std::string& target, std::uint64_t& bytes)
        {
            return CopyWholeFile(source, target, bytes, GetParam());
        }
        static void Put(const std::string& file, const std::string& bytes)
        {
            std::ofstream(file, std::ios::binary) << bytes;
        }
        static std::string Read(const std::string& file)
        {
            std::ifstream in(file, std::ios::binary);
            return { std::istreambuf_iterator<char>(in), {} };
        }
        std::set<std::string> Names() const
        {
            std::set<std::string> names;
            for (const auto& entry : fs::directory_iterator(m_root))
                names.insert(entry.path().filename().string());
            return names;
        }
        static ino_t Inode(const std::string& file)
        {
            struct stat info { };
            return ::stat(file.c_str(), &info) == 0 ? info.st_ino : 0;
        }

        fs::path m_root;
    };

    TEST_P(FileCopy, NewFileHoldsTheBytesAndTheirCount)
    {
        std::string body("\x89PNG\r\n\x1a\n\0 a body with a NUL", 27);
        Put(At("body-1"), body);
        std::uint64_t bytes = 0;
        ASSERT_EQ(CopyWhole(At("body-1"), At("p.png"), bytes), 0);
        EXPECT_EQ(bytes, body.size());
        EXPECT_EQ(Read(At("p.png")), body);
        EXPECT_EQ(Names(), (std::set<std::string> { "body-1", "p.png" }));
        // A link shares the cache file's inode; a copy is a file of its own.
        EXPECT_EQ(Inode(At("p.png")) == Inode(At("body-1")), GetParam() == CopyMethod::HardLink);
        // The cache file goes when the run ends; the saved file stays whole.
        fs::remove(At("body-1"));
        EXPECT_EQ(Read(At("p.png")), body);
    }

    TEST_P(FileCopy, EmptyBodyGivesEmptyFile)
    {
        Put(At("body-1"), "");
        std::uint64_t bytes = 99;
        ASSERT_EQ(CopyWhole(At("body-1"), At("empty.js"), bytes), 0);
        EXPECT_EQ(bytes, 0u);
        EXPECT_TRUE(fs::is_regular_file(At("empty.js")));
        EXPECT_EQ(fs::file_size(At("empty.js")), 0u);
    }

    TEST_P(FileCopy, EarlierFileIsReplacedWithoutTraces)
    {
        Put(At("body-1"), "the new bytes");
        Put(At("a.css"), "an older and longer file at the target");
        std::uint64_t bytes = 0;
        ASSERT_EQ(CopyWhole(At("body-1"), At("a.css"), bytes), 0);
        EXPECT_EQ(bytes, 13u);
        EXPECT_EQ(Read(At("a.css")), "the new bytes");
        EXPECT_EQ(Names(), (std::set<std::string> { "a.css", "body-1" }));
    }

    TEST_P(FileCopy, FailuresLeaveNothingAndKeepWhatWasThere)
    {
        Put(At("body-1"), "bytes");
        fs::create_directory(At("folder"));
        Put(At("folder/inside.txt"), "kept");
        std::uint64_t bytes = 7;

        // A folder where the file should go stays as it is.
        EXPECT_EQ(CopyWhole(At("body-1"), At("folder"), bytes), EISDIR);
        EXPECT_EQ(Read(At("folder/inside.txt")), "kept");
        // No source, or a source that is no regular file.
        EXPECT_EQ(CopyWhole(At("body-missing"), At("x.gif"), bytes), ENOENT);
        EXPECT_EQ(CopyWhole(At("folder"), At("y.gif"), bytes), EINVAL);
        // A target folder that does not exist.
        EXPECT_EQ(CopyWhole(At("body-1"), At("nowhere/z.gif"), bytes), ENOENT);

        EXPECT_EQ(bytes, 7u);
        EXPECT_EQ(Names(), (std::set<std::string> { "body-1", "folder" }));
        EXPECT_EQ(fs::directory_iterator(At("folder")) == fs::directory_iterator(), false);
    }

    TEST_P(FileCopy, CopiesMadeInTheBackgroundAreReportedInTheOrderAskedFor)
    {
        Put(At("body-1"), "bytes");
        Put(At("existing.gif"), "old");
        fs::create_directory(At("folder"));
        constexpr int kCopies = 3000;
        auto expectedError = [](int i) {
            return i == 50 ? EISDIR : (i % 100 == 7 || i % 100 == 13) ? ENOENT : 0;
        };
        std::vector<std::pair<int, int>> reports;
        {
            BackgroundCopies copies(GetParam());
            for (int i = 0; i < kCopies; ++i) {
                std::string source = At(i % 100 == 13 ? "body-missing" : "body-1");
                std::string target = i == 50 ? At("folder")
                    : i == 60                ? At("existing.gif")
                    : i % 100 == 7           ? At("nowhere/" + std::to_string(i) + ".gif")
                                             : At("c" + std::to_string(i) + ".gif");
                copies.Submit(source, 5, target, [&reports, i](int error, std::uint64_t bytes) {
                    reports.emplace_back(i, error);
                    EXPECT_EQ(bytes, error ? 0u : 5u) << i;
                });
                if (i % 500 == 0)
                    copies.Report();
            }
            // Until reported, a copy is held under its target in any letter case.
            EXPECT_TRUE(copies.Holds(At("C2999.GIF")));
            EXPECT_FALSE(copies.Holds(At("c2999.gif.part")));
            copies.Finish();
            EXPECT_FALSE(copies.Holds(At("c2999.gif")));
        }
        ASSERT_EQ(reports.size(), std::size_t(kCopies));
        for (int i = 0; i < kCopies; ++i) {
            EXPECT_EQ(reports[std::size_t(i)].first, i);
            EXPECT_EQ(reports[std::size_t(i)].second, expectedError(i)) << i;
        }
        EXPECT_EQ(Read(At("existing.gif")), "bytes");
        EXPECT_EQ(Read(At("c2999.gif")), "bytes");
        // Every copy that succeeded is there, and nothing else: no temporary names.
        std::size_t succeeded = 0;
        for (int i = 0; i < kCopies; ++i)
            succeeded += expectedError(i) == 0 && i != 60 ? 1 : 0;
        EXPECT_EQ(Names().size(), succeeded + 3); // body-1, existing.gif, folder
    }

    INSTANTIATE_TEST_SUITE_P(LinkOrCopy, FileCopy, ::testing::Values(CopyMethod::HardLink, CopyMethod::Copy),
        [](const ::testing::TestParamInfo<CopyMethod>& param) {
            return param.param == CopyMethod::HardLink ? "HardLink" : "Copy";
        });

} // namespace
} // namespace pagestow::capture::testing

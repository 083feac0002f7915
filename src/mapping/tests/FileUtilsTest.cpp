#include "mapping/FileUtils.h"
#include "mapping/AddressRecord.h"
#include "mapping/LocalPath.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace pagestow::mapping {
namespace {

    namespace fs = std::filesystem;

    // A fresh folder below the test's temporary folder, removed with everything in it.
    class TempFolder {
    public:
        TempFolder()
        {
            std::string pattern = testing::TempDir() + "pagestow-mapping-XXXXXX";
            if (!::mkdtemp(pattern.data()))
                throw std::runtime_error("mkdtemp failed");
            m_path = pattern;
        }
        ~TempFolder()
        {
            std::error_code ignored;
            fs::remove_all(m_path, ignored);
        }
        TempFolder(const TempFolder&) = delete;
        TempFolder& operator=(const TempFolder&) = delete;

        const fs::path& Path() const { return m_path; }
        std::string Text() const { return m_path.string(); }

    private:
        fs::path m_path;
    };

    // Every entry below root, as paths relative to it, sorted.
    std::vector<std::string> TreeOf(const fs::path& root)
    {
        std::vector<std::string> entries;
        for (const auto& entry : fs::recursive_directory_iterator(root))
            entries.push_back(fs::relative(entry.path(), root).string());
        std::sort(entries.begin(), entries.end());
        return entries;
    }

    TEST(SplitString, CutsAtEverySeparatorAndDropsOnlyATrailingEmptyPiece)
    {
        const struct {
            const char* text;
            std::vector<std::string> pieces;
        } cases[] = {
            { "C:\\a\\\\b/c\\", { "C:", "a", "", "b", "c" } },
            { "", {} },
            { "/", { "" } },
            { "//", { "", "" } },
            { "a", { "a" } },
            { "/a/b", { "", "a", "b" } },
        };
        for (const auto& c : cases) {
            SCOPED_TRACE(c.text);
            std::vector<std::string> pieces;
            EXPECT_TRUE(SplitString(c.text, "/\\", pieces));
            EXPECT_EQ(pieces, c.pieces);
        }
    }

    TEST(SplitString, AppendsToTheListWithoutClearingIt)
    {
        std::vector<std::string> pieces { "kept" };
        EXPECT_TRUE(SplitString("x;y", ";", pieces));
        EXPECT_EQ(pieces, (std::vector<std::string> { "kept", "x", "y" }));
    }

    TEST(ForceDirectoryPath, CreatesEveryMissingLevelAcrossMixedAndDoubledSeparators)
    {
        TempFolder temp;
        EXPECT_TRUE(ForceDirectoryPath(
            std::string(" ") + temp.Text() + "/Pages\\\\qzwd_2612080445123\\www.example.com/news/img\t"));
        EXPECT_EQ(TreeOf(temp.Path()),
            (std::vector<std::string> { "Pages", "Pages/qzwd_2612080445123",
                "Pages/qzwd_2612080445123/www.example.com", "Pages/qzwd_2612080445123/www.example.com/news",
                "Pages/qzwd_2612080445123/www.example.com/news/img" }));

        // Forcing it again finds everything in place.
        EXPECT_TRUE(ForceDirectoryPath(temp.Text() + "/Pages/qzwd_2612080445123/www.example.com/news/img"));
        EXPECT_EQ(TreeOf(temp.Path()).size(), 5u);
    }

    TEST(ForceDirectoryPath, CreatesLevelsWithoutTheirSurroundingBlanks)
    {
        TempFolder temp;
        EXPECT_TRUE(ForceDirectoryPath(temp.Text() + "/ spaced \t/ x"));
        EXPECT_EQ(TreeOf(temp.Path()), (std::vector<std::string> { "spaced", "spaced/x" }));
    }

    TEST(ForceDirectoryPath, IgnoresALevelThatCannotBeCreated)
    {
        TempFolder temp;
        std::ofstream(temp.Path() / "file") << "data";
        EXPECT_TRUE(ForceDirectoryPath(temp.Text() + "/file/x/y"));
        EXPECT_EQ(TreeOf(temp.Path()), (std::vector<std::string> { "file" }));
        EXPECT_TRUE(fs::is_regular_file(temp.Path() / "file"));
    }

    TEST(ForceDirectoryPath, RootOrEmptyPathCreatesNothing)
    {
        EXPECT_TRUE(ForceDirectoryPath("/"));
        EXPECT_FALSE(ForceDirectoryPath(""));
        EXPECT_FALSE(ForceDirectoryPath(" \t "));
    }

    TEST(ForceDirectoryPath, StaysInsideTheCaptureFolderForHostileAddresses)
    {
        TempFolder temp;
        const std::string saveDir = temp.Text() + "/outer/inner/";
        ASSERT_TRUE(ForceDirectoryPath(saveDir));
        const char* addresses[] = {
            "http://x.example/../../../../../evil/a.gif",
            "http://a@../../evil/a.gif",
            "http://x.example/\t..\t/\t..\t/\t..\t/\t..\t/evil/a.gif",
        };
        for (const char* address : addresses) {
            SCOPED_TRACE(address);
            AddressRecord record;
            SplitAddress(address, record);
            EXPECT_TRUE(ForceDirectoryPath(TargetFolder(saveDir, "qzwd_1", record)));
        }
        EXPECT_EQ(fs::directory_iterator(temp.Path())->path().filename(), "outer");
        EXPECT_EQ(std::distance(fs::directory_iterator(temp.Path()), fs::directory_iterator()), 1);
        EXPECT_EQ(TreeOf(temp.Path() / "outer"),
            (std::vector<std::string> { "inner", "inner/qzwd_1", "inner/qzwd_1/__", "inner/qzwd_1/__/__",
                "inner/qzwd_1/__/__/evil", "inner/qzwd_1/x.example", "inner/qzwd_1/x.example/__",
                "inner/qzwd_1/x.example/__/__", "inner/qzwd_1/x.example/__/__/__",
                "inner/qzwd_1/x.example/__/__/__/__", "inner/qzwd_1/x.example/__/__/__/__/__",
                "inner/qzwd_1/x.example/__/__/__/__/__/evil", "inner/qzwd_1/x.example/__/__/__/__/evil" }));
    }

    TEST(RuntimeRandom, FollowsTheRuntimeGeneratorFromSeedZero)
    {
        SetRuntimeRandomSeed(0);
        std::vector<int> values;
        for (int i = 0; i < 15; ++i)
            values.push_back(RuntimeRandom(999));
        EXPECT_EQ(values,
            (std::vector<int> { 0, 31, 860, 202, 272, 670, 318, 161, 371, 425, 81, 474, 70, 840, 59 }));
        SetRuntimeRandomSeed(0xFFFFFFFFu);
        EXPECT_EQ(RuntimeRandom(1000), 968); // The seed wraps modulo 2^32.
    }

    TEST(MakeTimeStampName, WritesTwentyDigitsWithTheFifthDraw)
    {
        SetRuntimeRandomSeed(0);
        const LocalTime december { 2026, 12, 8, 4, 45, 12, 34 };
        const LocalTime february { 2026, 2, 3, 9, 5, 7, 4 };
        const LocalTime late { 2031, 10, 31, 23, 59, 59, 999 };
        EXPECT_EQ(MakeTimeStampName(december), "20261208044512034272");
        EXPECT_EQ(MakeTimeStampName(february), "20260203090507004425");
        EXPECT_EQ(MakeTimeStampName(late), "20311031235959999059");
    }

    TEST(CurrentLocalTime, ReadsAPlausibleClock)
    {
        const LocalTime now = CurrentLocalTime();
        EXPECT_GE(now.year, 2024);
        EXPECT_TRUE(now.month >= 1 && now.month <= 12);
        EXPECT_TRUE(now.day >= 1 && now.day <= 31);
        EXPECT_TRUE(now.hour >= 0 && now.hour <= 23);
        EXPECT_TRUE(now.millisecond >= 0 && now.millisecond <= 999);
        SetRuntimeRandomSeed(0);
        EXPECT_EQ(MakeTimeStampName().size(), 20u);
    }

    TEST(GetSpecialFolderPath, KnowsOnlyTheDocumentsFolder)
    {
        EXPECT_EQ(GetSpecialFolderPath(0), "");
        EXPECT_EQ(GetSpecialFolderPath(6), "");
        EXPECT_EQ(GetSpecialFolderPath(-1), "");
        const std::string documents = GetSpecialFolderPath(5);
        ASSERT_FALSE(documents.empty());
        EXPECT_EQ(documents.front(), '/');
    }

    TEST(GetExeBaseName, IsEmptyForAFileNameWithoutDot)
    {
        EXPECT_EQ(GetExeBaseName(), "");
        EXPECT_EQ(GetExeDirectory(), fs::read_symlink("/proc/self/exe").parent_path().string() + "/");
    }

    // Runs a copy of the probe program as folder/name with the given environment and returns its output.
    std::string RunProbe(const fs::path& folder, const std::string& name, const std::string& environment)
    {
        const fs::path probe = fs::path(GetExeDirectory()) / "mapping_probe";
        const fs::path copy = folder / name;
        fs::copy_file(probe, copy, fs::copy_options::overwrite_existing);
        const std::string command = "env -i " + environment + " '" + copy.string() + "'";
        std::string output;
        if (FILE* pipe = ::popen(command.c_str(), "r")) {
            char buffer[512];
            while (std::fgets(buffer, sizeof buffer, pipe))
                output += buffer;
            ::pclose(pipe);
        }
        return output;
    }

    TEST(ExecutableFacts, ComeFromTheRunningProgramAndTheUsersFolders)
    {
        TempFolder temp;
        const fs::path home = temp.Path() / "home";
        const fs::path bin = temp.Path() / "my bin";
        fs::create_directories(home / "config");
        fs::create_directories(bin);

        // Without a user-dirs file the documents folder is the home folder.
        EXPECT_EQ(RunProbe(bin, "saver.old.exe",
                      "HOME='" + home.string() + "' XDG_CONFIG_HOME='" + (home / "config").string() + "'"),
            "dir=" + bin.string() + "/\nbase=saver\ndocuments=" + home.string() + "\n");

        std::ofstream(home / "config" / "user-dirs.dirs") << "XDG_DOCUMENTS_DIR=\"$HOME/Dokumente\"\n";
        EXPECT_EQ(RunProbe(bin, "pagestow.bin",
                      "HOME='" + home.string() + "' XDG_CONFIG_HOME='" + (home / "config").string() + "'"),
            "dir=" + bin.string() + "/\nbase=pagestow\ndocuments=" + (home / "Dokumente").string() + "\n");
    }

} // namespace
} // namespace pagestow::mapping

#include "app/IniFile.h"

#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

namespace pagestow::app {
namespace {

    using pagestow::testing::ReadFileBytes;
    using pagestow::testing::TemporaryFolder;
    using pagestow::testing::WriteFileBytes;

    class IniFileTest : public ::testing::Test {
    protected:
        std::string Path() const { return (m_folder.Path() / "saver.ini").string(); }
        IniFile File(const std::string& content)
        {
            WriteFileBytes(Path(), content);
            return IniFile(Path());
        }
        TemporaryFolder m_folder;
    };

    struct ReadCase {
        const char* name;
        std::string content;
        const char* section;
        const char* key;
        std::string expected;
    };

    class IniFileReadTest : public IniFileTest, public ::testing::WithParamInterface<ReadCase> { };

    TEST_P(IniFileReadTest, ReadsValuesAsPrivateProfilesDo)
    {
        const ReadCase& c = GetParam();
        EXPECT_EQ(File(c.content).ReadString(c.section, c.key, "(none)"), c.expected);
    }

    INSTANTIATE_TEST_SUITE_P(Cases, IniFileReadTest,
        ::testing::Values(ReadCase { "Plain", "[setup]\nsavedir=/home/a\n", "setup", "savedir", "/home/a" },
            ReadCase { "NamesIgnoreLetterCase", "[SetUp]\nSAVEDIR=/x\n", "setup", "savedir", "/x" },
            ReadCase { "BlanksAroundAreDropped", "  [ setup ]  \n  savedir  =  /x y  \n", "setup", "savedir",
                "/x y" },
            ReadCase { "OnePairOfQuotesIsDropped", "[s]\nk=\"a b\"\n", "s", "k", "a b" },
            ReadCase { "UnmatchedQuotesStay", "[s]\nk=\"a b'\n", "s", "k", "\"a b'" },
            ReadCase { "WindowsLineEnds", "[s]\r\nk=v\r\n", "s", "k", "v" },
            ReadCase { "FirstMatchCounts", "[s]\nk=1\nk=2\n[s]\nk=3\n", "s", "k", "1" },
            ReadCase { "KeyOfAnotherSectionIsNotSeen", "[form]\nsavedir=/x\n[setup]\n", "setup", "savedir",
                "(none)" },
            ReadCase {
                "KeyBeforeAnySectionIsNotSeen", "savedir=/x\n[setup]\n", "setup", "savedir", "(none)" },
            ReadCase { "CommentIsNoKey", "[s]\n;k=1\n", "s", ";k", "(none)" },
            ReadCase { "EmptyValueIsEmpty", "[s]\nk=\n", "s", "k", "" },
            ReadCase { "EqualsInsideTheValueStays", "[s]\nk=a=b\n", "s", "k", "a=b" },
            ReadCase { "LongValueIsCut", "[s]\nk=" + std::string(3000, 'x') + "\n", "s", "k",
                std::string(2047, 'x') }),
        [](const auto& testCase) { return std::string(testCase.param.name); });

    TEST_F(IniFileTest, AMissingFileReadsAsTheFallback)
    {
        IniFile file(Path());
        EXPECT_FALSE(file.Exists());
        EXPECT_EQ(file.ReadString("setup", "savedir"), "");
        EXPECT_EQ(file.ReadInteger("form", "top"), 0);
        EXPECT_EQ(file.ReadInteger("form", "top", 7), 7);
    }

    TEST(ParseIniInteger, ReadsDecimalAndHexadecimalWholeTextsOnly)
    {
        const std::pair<const char*, int> numbers[]
            = { { "0", 0 }, { "131", 131 }, { "-20", -20 }, { "+5", 5 }, { "0x1F", 31 }, { "0X1f", 31 },
                  { "0xFFFFFFFF", -1 }, { "2147483647", 2147483647 }, { "-2147483648", -2147483647 - 1 } };
        for (const auto& [text, expected] : numbers) {
            int value = 12345;
            EXPECT_TRUE(ParseIniInteger(text, value)) << text;
            EXPECT_EQ(value, expected) << text;
        }
        for (const char* text :
            { "", "-", "abc", "12px", "1 2", "0x", "0xG", "2147483648", "99999999999", "1.5" }) {
            int value = 12345;
            EXPECT_FALSE(ParseIniInteger(text, value)) << text;
            EXPECT_EQ(value, 12345) << text;
        }
    }

    TEST_F(IniFileTest, WritingChangesOnlyTheOneValue)
    {
        IniFile file = File("; kept\n[form]\ntop=1\n\n[setup]\nsavedir=/old\n");
        file.WriteInteger("FORM", "Top", 99);
        EXPECT_EQ(ReadFileBytes(Path()), "; kept\n[form]\nTop=99\n\n[setup]\nsavedir=/old\n");
        file.WriteInteger("form", "left", -4);
        EXPECT_EQ(ReadFileBytes(Path()), "; kept\n[form]\nTop=99\nleft=-4\n\n[setup]\nsavedir=/old\n");
        file.WriteString("other", "k", "v");
        EXPECT_EQ(ReadFileBytes(Path()),
            "; kept\n[form]\nTop=99\nleft=-4\n\n[setup]\nsavedir=/old\n[other]\nk=v\n");
        EXPECT_EQ(file.ReadInteger("form", "top"), 99);
        EXPECT_EQ(file.ReadString("setup", "savedir"), "/old");
    }

    TEST_F(IniFileTest, TheFirstWriteMakesTheFile)
    {
        IniFile file(Path());
        file.WriteString("setup", "savedir", "/home/u/网页");
        EXPECT_TRUE(file.Exists());
        EXPECT_EQ(ReadFileBytes(Path()), "[setup]\nsavedir=/home/u/网页\n");
        EXPECT_EQ(file.ReadString("setup", "savedir"), "/home/u/网页");
    }

    TEST_F(IniFileTest, AFailedWriteNamesTheFileAndLeavesNothingBehind)
    {
        std::string path = (m_folder.Path() / "no-such-folder" / "saver.ini").string();
        IniFile file(path);
        try {
            file.WriteInteger("form", "top", 1);
            FAIL() << "no error";
        } catch (const IniFileError& error) {
            EXPECT_EQ(std::string(error.what()), "Unable to write to " + path);
        }
        EXPECT_TRUE(pagestow::testing::ListFiles(m_folder.Path()).empty());
    }

} // namespace
} // namespace pagestow::app

#include "engine/CharacterSet.h"

#include <gtest/gtest.h>

namespace pagestow::engine {
namespace {

    struct EncodingCase {
        const char* name;
        const char* characterSet;
        std::string utf8;
        std::string bytes;
    };

    class EncodeInCharacterSetTest : public ::testing::TestWithParam<EncodingCase> { };

    TEST_P(EncodeInCharacterSetTest, WritesTheTextInTheDocumentsOwnSet)
    {
        const EncodingCase& c = GetParam();
        bool converted = false;
        EXPECT_EQ(EncodeInCharacterSet(c.utf8, c.characterSet, &converted), c.bytes);
        EXPECT_TRUE(converted);
    }

    INSTANTIATE_TEST_SUITE_P(Sets, EncodeInCharacterSetTest,
        ::testing::Values(EncodingCase { "Gbk", "GBK", "<p>中文</p>", "<p>\xD6\xD0\xCE\xC4</p>" },
            EncodingCase {
                "GbkInLowerCase", "gbk", "你好，世界", "\xC4\xE3\xBA\xC3\xA3\xAC\xCA\xC0\xBD\xE7" },
            EncodingCase { "GbkEuroIsItsOneByte", "GBK", "€", "\x80" },
            EncodingCase { "ShiftJis", "Shift_JIS", "日本", "\x93\xFA\x96\x7B" },
            // Browsers read 0x8160 as U+301C and 0x8740 (an extension of windows-31j) as U+2460.
            EncodingCase { "ShiftJisWaveDashAndCircledDigit", "Shift_JIS", "〜①", "\x81\x60\x87\x40" },
            EncodingCase { "Windows1252", "windows-1252", "caf\xC3\xA9", "caf\xE9" },
            EncodingCase { "Big5", "Big5", "中文", "\xA4\xA4\xA4\xE5" },
            // Characters of the Hong Kong set a Big5 page holds (0x8840, and 0x8862 which is a letter
            // with a combining mark) come back as their own two bytes.
            EncodingCase {
                "Big5KeepsHongKongCharacters", "big5", "\xE3\x87\x80\xC3\x8A\xCC\x84", "\x88\x40\x88\x62" },
            EncodingCase { "EucKrExtendedHangul", "EUC-KR", "각갂", "\xB0\xA2\x81\x41" },
            EncodingCase { "HebrewLogicalName", "ISO-8859-8-I", "\xD7\x90", "\xE0" },
            EncodingCase { "Utf16", "UTF-16LE", "a中", std::string("a\0\x2D\x4E", 4) },
            EncodingCase {
                "Utf16Surrogates", "UTF-16LE", "\xF0\x9F\x98\x80", std::string("\x3D\xD8\x00\xDE", 4) },
            EncodingCase { "GbkLacksEmoji", "GBK", "中\xF0\x9F\x98\x80文", "\xD6\xD0&#x1F600;\xCE\xC4" },
            EncodingCase { "LatinLacksChinese", "windows-1252", "a中b", "a&#x4E2D;b" },
            EncodingCase { "Latin2LacksEuro", "ISO-8859-2", "\xC3\xA9\xE2\x82\xAC", "\xE9&#x20AC;" },
            EncodingCase { "ShortCodePointsArePaddedToFourDigits", "ISO-8859-1", "\xC4\x80", "&#x0100;" },
            EncodingCase { "MalformedByteBecomesReplacement", "GBK",
                "a\xFF"
                "b",
                "a&#xFFFD;b" },
            EncodingCase {
                "CutSequenceAtTheEndBecomesReplacement", "windows-1252", "a\xE4\xB8", "a&#xFFFD;&#xFFFD;" },
            EncodingCase { "WideSetWritesTheReferenceInItsOwnUnits", "UCS-2LE", "\xF0\x9F\x98\x80",
                std::string("&\0#\0x\0"
                            "1\0F\0"
                            "6\0"
                            "0\0"
                            "0\0;\0",
                    18) }),
        [](const auto& testCase) { return std::string(testCase.param.name); });

    TEST(EncodeInCharacterSet, UnknownSetOrUtf8LeavesTextAsItIs)
    {
        for (const char* characterSet : { "UTF-8", "utf-8", "", "x-user-defined-nonsense" }) {
            SCOPED_TRACE(characterSet);
            bool converted = true;
            EXPECT_EQ(EncodeInCharacterSet("中文 é\xFF", characterSet, &converted), "中文 é\xFF");
            EXPECT_FALSE(converted);
        }
    }

    TEST(EncodeInCharacterSet, LongTextCrossesTheConverterBuffer)
    {
        std::string utf8;
        std::string gbk;
        for (int i = 0; i < 5000; ++i) {
            utf8 += i % 1000 == 999 ? "\xF0\x9F\x98\x80" : "网";
            gbk += i % 1000 == 999 ? "&#x1F600;" : "\xCD\xF8";
        }
        EXPECT_EQ(EncodeInCharacterSet(utf8, "GBK"), gbk);
    }

    TEST(CanEncodeCharacterSet, KnowsTheSetsPagesAreReadIn)
    {
        for (const char* characterSet :
            { "UTF-8", "", "GBK", "gb18030", "Big5", "Shift_JIS", "EUC-KR", "windows-1252", "windows-874",
                "ISO-8859-8-I", "x-mac-cyrillic", "macintosh", "KOI8-R", "EUC-JP", "ISO-2022-JP" }) {
            SCOPED_TRACE(characterSet);
            EXPECT_TRUE(CanEncodeCharacterSet(characterSet));
        }
        EXPECT_FALSE(CanEncodeCharacterSet("x-no-such-set"));
    }

} // namespace
} // namespace pagestow::engine

#include "engine/webkit/CharsetEncoding.h"

#include <gtest/gtest.h>

namespace pagestow::engine::webkit {
namespace {

    struct EncodingCase {
        const char* name;
        std::string utf8;
        std::string charset;
        std::string expected;
    };

    class EncodeForCharsetTest : public ::testing::TestWithParam<EncodingCase> { };

    TEST_P(EncodeForCharsetTest, WritesTheTextInTheDocumentsOwnSet)
    {
        const EncodingCase& c = GetParam();
        EXPECT_EQ(EncodeForCharset(c.utf8, c.charset), c.expected);
    }

    INSTANTIATE_TEST_SUITE_P(Cases, EncodeForCharsetTest,
        ::testing::Values(EncodingCase { "Utf8StaysAsItIs", "<p>网址 €</p>", "UTF-8", "<p>网址 €</p>" },
            EncodingCase { "EmptySetMeansUtf8", "网址", "", "网址" },
            EncodingCase { "GbkGetsItsOwnBytes", "<p>网址</p>", "GBK", "<p>\xCD\xF8\xD6\xB7</p>" },
            EncodingCase { "GbkLacksEmojiWhichBecomesAReference",
                "a\xF0\x9F\x98\x80"
                "b",
                "GBK", "a&#x1F600;b" },
            EncodingCase { "LatinLacksChineseWhichBecomesReferences", "caf\xC3\xA9 网", "windows-1252",
                "caf\xE9 &#x7F51;" },
            EncodingCase { "ShortCodePointsArePaddedToFourDigits", "\xC4\x80", "ISO-8859-1", "&#x0100;" },
            EncodingCase { "UnknownSetLeavesUtf8", "网址", "x-no-such-set", "网址" },
            EncodingCase { "HebrewLogicalNameIsKnown", "\xD7\x90", "ISO-8859-8-I", "\xE0" },
            EncodingCase { "MalformedByteBecomesReplacement",
                "a\xFF"
                "b",
                "GBK", "a&#xFFFD;b" },
            EncodingCase { "WideSetWritesTheReferenceInItsOwnUnits", "\xF0\x9F\x98\x80", "UCS-2LE",
                std::string("&\0#\0x\0"
                            "1\0F\0"
                            "6\0"
                            "0\0"
                            "0\0;\0",
                    18) }),
        [](const auto& testCase) { return std::string(testCase.param.name); });

    TEST(CanEncodeCharset, KnowsTheSetsPagesAreReadIn)
    {
        EXPECT_TRUE(CanEncodeCharset("UTF-8"));
        EXPECT_TRUE(CanEncodeCharset("GBK"));
        EXPECT_TRUE(CanEncodeCharset("Shift_JIS"));
        EXPECT_TRUE(CanEncodeCharset("windows-1252"));
        EXPECT_FALSE(CanEncodeCharset("x-no-such-set"));
    }

    TEST(EncodeForCharset, LongTextCrossesTheConverterBuffer)
    {
        std::string utf8;
        std::string gbk;
        for (int i = 0; i < 5000; ++i) {
            utf8 += "网";
            gbk += "\xCD\xF8";
        }
        EXPECT_EQ(EncodeForCharset(utf8, "GBK"), gbk);
    }

} // namespace
} // namespace pagestow::engine::webkit

#include "TestPictures.h"

#include "banner/Banner.h"
#include "banner/BannerRecord.h"

#include <gtest/gtest.h>

#include <array>
#include <optional>

namespace pagestow::banner {
namespace {

    using testing::Bytes;
    using testing::MakeRecord;
    using testing::ToBytes;

    // Two blanks, "广告位招商", CR LF, "QQ:0123456789", in GBK.
    const std::string kDefaultHintGbk = "  \xB9\xE3\xB8\xE6\xCE\xBB\xD5\xD0\xC9\xCC\r\nQQ:0123456789";

    std::optional<std::uint64_t> Parse(std::string_view header)
    {
        std::array<std::uint8_t, kLengthHeaderSize> bytes {};
        std::copy(header.begin(), header.end(), bytes.begin());
        return ParseLengthHeader(bytes);
    }

    TEST(ReadBannerRecord, DefaultRecordHoldsHintNoLinkKindOneAndTheJpeg)
    {
        std::span<const std::uint8_t> record = DefaultBannerRecord();
        ASSERT_EQ(record.size(), 6937u);
        BannerRecord fields;
        ASSERT_EQ(ReadBannerRecord(record, fields), RecordError::None);
        EXPECT_EQ(fields.hint, kDefaultHintGbk);
        EXPECT_EQ(fields.hint.size(), 27u);
        EXPECT_EQ(fields.link, "");
        EXPECT_EQ(fields.kind, 1);
        ASSERT_EQ(fields.image.size(), 6869u);
        EXPECT_EQ(fields.image[0], 0xFF);
        EXPECT_EQ(fields.image[1], 0xD8);
        EXPECT_EQ(fields.end, 6937u);
    }

    TEST(ReadBannerRecord, DefaultRecordHeadersAreDigitsFollowedByNul)
    {
        std::span<const std::uint8_t> record = DefaultBannerRecord();
        struct Header {
            std::size_t offset;
            std::string digits;
        };
        for (const Header& header :
            { Header { 0, "27" }, Header { 37, "0" }, Header { 47, "1" }, Header { 58, "6869" } }) {
            std::string text(record.begin() + std::ptrdiff_t(header.offset),
                record.begin() + std::ptrdiff_t(header.offset + header.digits.size() + 1));
            EXPECT_EQ(text, header.digits + '\0') << "at " << header.offset;
        }
    }

    TEST(ParseLengthHeader, ReadsDigitsUpToNulAfterOptionalBlanks)
    {
        struct Case {
            std::string header;
            std::optional<std::uint64_t> length;
        };
        const Case cases[] = {
            { std::string("6869\0\x7f\xff"
                          "ab9",
                  10),
                6869 },
            { "0000000027", 27 },
            { "9999999999", 9999999999ull },
            { std::string("   42\0    ", 10), 42 },
            { std::string("0\0\0\0\0\0\0\0\0\0", 10), 0 },
            { std::string("\0"
                          "123456789",
                  10),
                std::nullopt },
            { "          ", std::nullopt },
            { std::string("12a4\0\0\0\0\0\0", 10), std::nullopt },
            { std::string("-5\0\0\0\0\0\0\0\0", 10), std::nullopt },
            { std::string("4 2\0\0\0\0\0\0\0", 10), std::nullopt },
            { std::string("27 \0\0\0\0\0\0\0", 10), std::nullopt },
            { "abcdefghij", std::nullopt },
        };
        for (const Case& test : cases)
            EXPECT_EQ(Parse(test.header), test.length) << "header " << ::testing::PrintToString(test.header);
    }

    TEST(ReadBannerRecord, TextFieldsEndAtTheirFirstNul)
    {
        Bytes record = MakeRecord(std::string_view("tip\0hidden", 10), std::string_view("http://a/\0b", 11),
            std::string_view("2\0zz", 4), ToBytes("GIF"));
        BannerRecord fields;
        ASSERT_EQ(ReadBannerRecord(record, fields), RecordError::None);
        EXPECT_EQ(fields, (BannerRecord { "tip", "http://a/", 2, ToBytes("GIF"), record.size() }));
    }

    TEST(ReadBannerRecord, BytesAfterTheImageAreNotRead)
    {
        Bytes record = MakeRecord("h", "l", "1", ToBytes("img"));
        std::size_t size = record.size();
        record.insert(record.end(), { 'm', 'o', 'r', 'e' });
        BannerRecord fields;
        ASSERT_EQ(ReadBannerRecord(record, fields), RecordError::None);
        EXPECT_EQ(fields.image, ToBytes("img"));
        EXPECT_EQ(fields.end, size);
    }

    TEST(ReadBannerRecord, KindIsADecimalNumberAfterOptionalBlanks)
    {
        struct Case {
            std::string kind;
            int expected;
        };
        for (const Case& test : { Case { "1", 1 }, Case { "  2", 2 }, Case { "3", 3 }, Case { "+2", 2 },
                 Case { "-1", -1 }, Case { "0010", 10 } }) {
            BannerRecord fields;
            ASSERT_EQ(ReadBannerRecord(MakeRecord("", "", test.kind, {}), fields), RecordError::None)
                << test.kind;
            EXPECT_EQ(fields.kind, test.expected) << test.kind;
        }
    }

    Bytes WithHeader(Bytes record, std::size_t offset, std::string_view header)
    {
        std::copy(header.begin(), header.end(), record.begin() + std::ptrdiff_t(offset));
        return record;
    }

    TEST(ReadBannerRecord, MalformedRecordIsRefusedAndLeavesTheFieldsAsTheyWere)
    {
        Bytes good = MakeRecord("hint", "link", "1", ToBytes("abcdef"));
        std::span<const std::uint8_t> defaultRecord = DefaultBannerRecord();
        struct Case {
            const char* name;
            Bytes record;
            RecordError error;
        };
        const Case cases[] = {
            { "empty", {}, RecordError::HeaderPastEnd },
            { "cut inside the first header", Bytes(good.begin(), good.begin() + 5),
                RecordError::HeaderPastEnd },
            { "three fields", Bytes(good.begin(), good.begin() + 10 + 4 + 10 + 4 + 10 + 1),
                RecordError::HeaderPastEnd },
            { "length of letters", WithHeader(good, 0, std::string_view("abc\0", 4)),
                RecordError::LengthNotANumber },
            { "empty length", WithHeader(good, 14, std::string_view("\0", 1)),
                RecordError::LengthNotANumber },
            { "hint past the end", WithHeader(good, 0, std::string_view("100\0", 4)),
                RecordError::FieldPastEnd },
            { "huge length", WithHeader(good, 0, "9999999999"), RecordError::FieldPastEnd },
            { "image one byte short", Bytes(defaultRecord.begin(), defaultRecord.end() - 1),
                RecordError::FieldPastEnd },
            { "kind of letters", MakeRecord("h", "l", "x", ToBytes("i")), RecordError::KindNotANumber },
            { "empty kind", MakeRecord("h", "l", "", ToBytes("i")), RecordError::KindNotANumber },
            { "kind with a trailing blank", MakeRecord("h", "l", "1 ", ToBytes("i")),
                RecordError::KindNotANumber },
            { "kind past int", MakeRecord("h", "l", "99999999999", ToBytes("i")),
                RecordError::KindNotANumber },
        };
        const BannerRecord before { "old hint", "old link", 2, ToBytes("old"), 42 };
        for (const Case& test : cases) {
            BannerRecord fields = before;
            EXPECT_EQ(ReadBannerRecord(test.record, fields), test.error) << test.name;
            EXPECT_EQ(fields, before) << test.name;
        }
    }

    TEST(GbkToUtf8, ConvertsGbkAndMarksBytesThatAreNot)
    {
        struct Case {
            std::string gbk;
            std::string utf8;
        };
        const Case cases[] = {
            { kDefaultHintGbk, "  广告位招商\r\nQQ:0123456789" },
            { "plain ascii", "plain ascii" },
            { "", "" },
            { "a\xFF"
              "b",
                "a\xEF\xBF\xBD"
                "b" },
            { "\xB9\xE3\xB9", "广\xEF\xBF\xBD" },
        };
        for (const Case& test : cases)
            EXPECT_EQ(GbkToUtf8(test.gbk), test.utf8);
    }

} // namespace
} // namespace pagestow::banner

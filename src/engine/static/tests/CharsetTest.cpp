#include "engine/static/Charset.h"

#include <gtest/gtest.h>

namespace pagestow::engine::static_engine {
namespace {

    struct DetectCase {
        const char* name;
        std::string bytes;
        const char* contentType;
        const char* charset;
        size_t bomLength;
    };

    const std::string kPadding(1100, ' ');

    TEST(DetectCharset, FollowsBomThenHeaderThenMetaThenContent)
    {
        const DetectCase cases[] = {
            { "utf8 bom", "\xEF\xBB\xBF<p>x", "text/html; charset=gbk", "UTF-8", 3 },
            { "utf16le bom", "\xFF\xFE<\0p\0", "text/html", "UTF-16LE", 2 },
            { "utf16be bom", "\xFE\xFF\0<\0p", "", "UTF-16BE", 2 },
            { "header", "<meta charset=big5>", "text/html; charset=gbk", "GBK", 0 },
            { "quoted header label", "<p>", "text/html;charset=\"GB2312\"", "GBK", 0 },
            { "header latin1", "<p>", "text/html; charset=ISO-8859-1", "windows-1252", 0 },
            { "unknown header label falls to meta", "<meta charset=gbk>", "text/html; charset=bogus", "GBK",
                0 },
            { "meta charset", "<html><head><meta charset=\"gb2312\">", "text/html", "GBK", 0 },
            { "meta pragma", "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=gbk\">",
                "text/html", "GBK", 0 },
            { "meta content without pragma is ignored", "<meta content=\"text/html; charset=gbk\">", "",
                "UTF-8", 0 },
            { "meta in a comment is ignored", "<!-- <meta charset=gbk> --><p>", "", "UTF-8", 0 },
            { "meta after 1024 bytes is ignored", kPadding + "<meta charset=gbk>", "", "UTF-8", 0 },
            { "meta utf-16 reads as utf-8", "<meta charset=utf-16>", "", "UTF-8", 0 },
            { "meta after other tags", "<html lang=zh><head><title>t</title><meta charset=shift_jis>", "",
                "Shift_JIS", 0 },
            { "attribute value holding a meta", "<div title='<meta charset=gbk>'><meta charset=koi8-r>", "",
                "KOI8-R", 0 },
            { "undeclared utf-8", "<p>\xE4\xBD\xA0</p>", "text/html", "UTF-8", 0 },
            { "undeclared other bytes", "<p>\xC4\xE3</p>", "text/html", "windows-1252", 0 },
        };
        for (const auto& c : cases) {
            DetectedCharset detected = DetectCharset(c.bytes, c.contentType);
            EXPECT_EQ(detected.name, c.charset) << c.name;
            EXPECT_EQ(detected.bomLength, c.bomLength) << c.name;
        }
    }

    TEST(CharsetParameter, ReadsTheCharsetParameterOnly)
    {
        const std::pair<const char*, const char*> cases[] = {
            { "text/html; charset=gbk", "gbk" },
            { "text/html;charset=\"utf-8\"; q=1", "utf-8" },
            { "text/html; format=flowed; CHARSET=big5", "big5" },
            { "text/html", "" },
            { "text/html; charset", "" },
            { "", "" },
        };
        for (const auto& [type, expected] : cases)
            EXPECT_EQ(CharsetParameter(type), expected) << type;
    }

    TEST(DecodeToUtf8, DecodesEachSetAndReplacesInvalidBytes)
    {
        const std::tuple<const char*, std::string, std::string> cases[] = {
            { "GBK", "\xC4\xE3\xBA\xC3", "你好" },
            { "GBK",
                "a\xFF"
                "b",
                "a\xEF\xBF\xBD"
                "b" },
            { "gb18030", "\x81\x30\x81\x30", "\xC2\x80" },
            { "Big5", "\xA4\xA4", "中" },
            { "Shift_JIS", "\x93\xFA\x96\x7B", "日本" },
            { "windows-1252", "\x80\x81\xE9", "€\xC2\x81\xC3\xA9" },
            { "UTF-8", "ok\xC3", "ok\xEF\xBF\xBD" },
            { "UTF-8", "\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD" },
            { "UTF-16LE", std::string("a\0\x60\x4F", 4), "a你" },
            { "GBK", "plain ascii", "plain ascii" },
        };
        for (const auto& [charset, bytes, expected] : cases)
            EXPECT_EQ(DecodeToUtf8(bytes, charset), expected) << charset;
    }

    TEST(IsValidUtf8, RejectsOverlongSurrogateAndTruncatedForms)
    {
        EXPECT_TRUE(IsValidUtf8("abc \xE4\xBD\xA0 \xF0\x9F\x98\x80"));
        EXPECT_FALSE(IsValidUtf8("\xC0\xAF"));
        EXPECT_FALSE(IsValidUtf8("\xED\xA0\x80"));
        EXPECT_FALSE(IsValidUtf8("\xE4\xBD"));
        EXPECT_FALSE(IsValidUtf8("\xF4\x90\x80\x80"));
    }

} // namespace
} // namespace pagestow::engine::static_engine

#include "engine/chromium/CharacterSet.h"

#include <gtest/gtest.h>

namespace pagestow::engine::chromium {
namespace {

    TEST(CharacterSet, TextIsWrittenInTheDocumentsOwnSet)
    {
        struct Case {
            const char* characterSet;
            std::string utf8;
            std::string bytes;
        } cases[] = {
            { "GBK", "<p>中文</p>", "<p>\xD6\xD0\xCE\xC4</p>" },
            { "gbk", "你好，世界", "\xC4\xE3\xBA\xC3\xA3\xAC\xCA\xC0\xBD\xE7" },
            { "Shift_JIS", "日本", "\x93\xFA\x96\x7B" },
            { "windows-1252", "caf\xC3\xA9", "caf\xE9" },
            { "Big5", "中文", "\xA4\xA4\xA4\xE5" },
            { "UTF-16LE", "a中", std::string("a\0\x2D\x4E", 4) },
        };
        for (const auto& item : cases) {
            SCOPED_TRACE(item.characterSet);
            bool converted = false;
            EXPECT_EQ(EncodeInCharacterSet(item.utf8, item.characterSet, &converted), item.bytes);
            EXPECT_TRUE(converted);
        }
    }

    TEST(CharacterSet, CharactersTheSetLacksBecomeReferences)
    {
        struct Case {
            const char* characterSet;
            std::string utf8;
            std::string bytes;
        } cases[] = {
            { "GBK", "中\xF0\x9F\x98\x80文", "\xD6\xD0&#x1F600;\xCE\xC4" },
            { "windows-1252", "a中b", "a&#x4E2D;b" },
            { "ISO-8859-2", "\xC3\xA9\xE2\x82\xAC", "\xE9&#x20AC;" },
            { "UTF-16LE", "\xF0\x9F\x98\x80", std::string("\x3D\xD8\x00\xDE", 4) },
        };
        for (const auto& item : cases) {
            SCOPED_TRACE(item.characterSet);
            EXPECT_EQ(EncodeInCharacterSet(item.utf8, item.characterSet), item.bytes);
        }
    }

    TEST(CharacterSet, UnknownSetOrUtf8LeavesTextAsItIs)
    {
        for (const char* characterSet : { "UTF-8", "utf-8", "", "x-user-defined-nonsense" }) {
            SCOPED_TRACE(characterSet);
            bool converted = true;
            EXPECT_EQ(EncodeInCharacterSet("中文 é", characterSet, &converted), "中文 é");
            EXPECT_FALSE(converted);
        }
    }

} // namespace
} // namespace pagestow::engine::chromium

#include "url/Escapes.h"

#include <gtest/gtest.h>

#include <string>

namespace pagestow::url {
namespace {

    TEST(DecodeNameEscapes, DecodesOnlyToSafeUtf8)
    {
        const std::pair<const char*, const char*> cases[] = {
            { "plain.gif", "plain.gif" },
            { "a%c3%a4c.gif", "aäc.gif" },
            { "%F0%9F%98%80", "😀" },
            { "%ED%A0%80", "%ED%A0%80" }, // a surrogate
            { "%F4%90%80%80", "%F4%90%80%80" }, // past U+10FFFF
            { "%E0%80%AF", "%E0%80%AF" }, // overlong
            { "%C3", "%C3" },
            { "a%7Fb", "a%7Fb" },
            { "100%", "100%" },
            { "%25C3%25A4", "%C3%A4" },
        };
        for (const auto& [name, expected] : cases)
            EXPECT_EQ(DecodeNameEscapes(name), expected) << name;
    }

    TEST(UpperCaseEscapes, OnlyTheDigitsOfWholeEscapes)
    {
        std::string text = "http://h/%e4%b8%ad/a%2fb%zz%a";
        UpperCaseEscapes(text);
        EXPECT_EQ(text, "http://h/%E4%B8%AD/a%2Fb%zz%a");
    }

} // namespace
} // namespace pagestow::url

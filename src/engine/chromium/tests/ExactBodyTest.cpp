#include "engine/chromium/ExactBody.h"

#include <gtest/gtest.h>

namespace pagestow::engine::chromium {
namespace {

    struct BodyCase {
        const char* name;
        std::string body;
        bool base64;
        std::uint64_t size;
        std::optional<std::string> expected;
    };

    std::string CaseName(const ::testing::TestParamInfo<BodyCase>& param)
    {
        return param.param.name;
    }

    class ExactBodyTest : public ::testing::TestWithParam<BodyCase> { };

    TEST_P(ExactBodyTest, GivesTheReceivedBytesOrNothing)
    {
        const BodyCase& item = GetParam();
        EXPECT_EQ(ExactBody(item.body, item.base64, item.size), item.expected);
    }

    INSTANTIATE_TEST_SUITE_P(Bodies, ExactBodyTest,
        ::testing::Values(
            // "GIF8" and a NUL byte, in base64.
            BodyCase { "Base64", "R0lGOAA=", true, 5, std::string("GIF8\0", 5) },
            BodyCase { "Base64OfAnotherSize", "R0lGOAA=", true, 6, std::nullopt },
            BodyCase { "MalformedBase64", "R0l*OAA=", true, 5, std::nullopt },
            BodyCase { "EmptyBody", "", true, 0, std::string() },
            // An image the renderer dropped after it failed to decode comes back empty.
            BodyCase { "EmptyBase64OfANonEmptyBody", "", true, 62, std::nullopt },
            // UTF-8 bytes as they are, a byte order mark and U+FFFD of the body's own included.
            BodyCase { "Utf8Text", "\xEF\xBB\xBF<svg>\xC3\xA9\xEF\xBF\xBD</svg>", false, 19,
                "\xEF\xBB\xBF<svg>\xC3\xA9\xEF\xBF\xBD</svg>" },
            BodyCase { "ShorterText", "abc", false, 4, std::nullopt },
            BodyCase { "LongerText", "abcde", false, 4, std::nullopt }),
        CaseName);

} // namespace
} // namespace pagestow::engine::chromium

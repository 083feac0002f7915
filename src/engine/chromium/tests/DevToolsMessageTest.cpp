#include "engine/chromium/DevToolsMessage.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace pagestow::engine::chromium {
namespace {

    using nlohmann::json;

    std::vector<std::string> Reassemble(const std::string& stream, std::size_t pieceSize)
    {
        MessageFramer framer;
        std::vector<std::string> messages;
        for (std::size_t at = 0; at < stream.size(); at += pieceSize) {
            framer.Append(std::string_view(stream).substr(at, pieceSize));
            while (auto message = framer.Next())
                messages.push_back(*message);
        }
        return messages;
    }

    TEST(DevToolsMessage, NulInsideAStringIsEscapedAndOnlyTheEndIsNul)
    {
        json command = { { "id", 7 }, { "method", "Runtime.evaluate" },
            { "params", { { "expression", std::string("a\0b", 3) } } } };
        std::string bytes = EncodeMessage(command);

        EXPECT_EQ(std::count(bytes.begin(), bytes.end(), '\0'), 1);
        EXPECT_EQ(bytes.back(), '\0');
        EXPECT_NE(bytes.find("a\\u0000b"), std::string::npos);
        auto messages = Reassemble(bytes, bytes.size());
        ASSERT_EQ(messages.size(), 1u);
        auto parsed = ParseMessage(messages[0]);
        ASSERT_TRUE(parsed);
        EXPECT_EQ((*parsed)["params"]["expression"].get<std::string>(), std::string("a\0b", 3));
    }

    TEST(DevToolsMessage, MessagesSplitAnywhereAreReassembledInOrder)
    {
        std::string stream = EncodeMessage({ { "id", 1 }, { "result", json::object() } })
            + EncodeMessage({ { "method", "Page.loadEventFired" }, { "params", { { "timestamp", 1.5 } } } })
            + EncodeMessage({ { "id", 2 }, { "result", { { "body", std::string(70000, 'x') } } } });
        for (std::size_t pieceSize :
            { std::size_t(1), std::size_t(2), std::size_t(7), std::size_t(4096), stream.size() }) {
            SCOPED_TRACE("pieces of " + std::to_string(pieceSize));
            auto messages = Reassemble(stream, pieceSize);
            ASSERT_EQ(messages.size(), 3u);
            EXPECT_EQ(ParseMessage(messages[0])->at("id"), 1);
            EXPECT_EQ(ParseMessage(messages[1])->at("method"), "Page.loadEventFired");
            EXPECT_EQ(ParseMessage(messages[2])->at("result").at("body").get<std::string>().size(), 70000u);
        }
    }

    TEST(DevToolsMessage, AMessageOfMegabytesBetweenSmallOnesComesOutWholeAndInOrder)
    {
        // A body of megabytes is moved out of the framer rather than copied; what came before and
        // after it must survive that.
        const std::string body(3 << 20, 'b');
        std::string stream = EncodeMessage({ { "id", 1 } }) + EncodeMessage({ { "id", 2 }, { "body", body } })
            + EncodeMessage({ { "id", 3 } }) + EncodeMessage({ { "id", 4 }, { "body", body + "c" } });
        for (std::size_t pieceSize :
            { std::size_t(7), std::size_t(65536), std::size_t(5 << 20), stream.size() }) {
            SCOPED_TRACE("pieces of " + std::to_string(pieceSize));
            auto messages = Reassemble(stream, pieceSize);
            ASSERT_EQ(messages.size(), 4u);
            for (int i = 0; i < 4; ++i)
                EXPECT_EQ(ParseMessage(messages[i])->at("id"), i + 1);
            EXPECT_EQ(ParseMessage(messages[1])->at("body"), body);
            EXPECT_EQ(ParseMessage(messages[3])->at("body"), body + "c");
        }
    }

    TEST(DevToolsMessage, UnfinishedMessageIsHeldBack)
    {
        MessageFramer framer;
        framer.Append("{\"id\":1}");
        EXPECT_FALSE(framer.Next());
        EXPECT_EQ(framer.Pending(), 8u);
        framer.Append(std::string("\0{\"id\"", 6));
        EXPECT_EQ(framer.Next(), "{\"id\":1}");
        EXPECT_FALSE(framer.Next());
        EXPECT_EQ(framer.Pending(), 5u);
    }

    TEST(DevToolsMessage, LoneSurrogatesBecomeReplacementCharacters)
    {
        struct Case {
            const char* text;
            std::string value;
        } cases[] = {
            { R"({"v":"a\ud800b"})",
                "a\xEF\xBF\xBD"
                "b" },
            { R"({"v":"\udc00"})", "\xEF\xBF\xBD" },
            { R"({"v":"x\ud83d"})", "x\xEF\xBF\xBD" },
            // A pair stays one character; an escaped backslash before "u" is no escape at all.
            { R"({"v":"\ud83d\ude00"})", "\xF0\x9F\x98\x80" },
            { R"({"v":"\\ud800\ud800"})", "\\ud800\xEF\xBF\xBD" },
        };
        for (const auto& item : cases) {
            SCOPED_TRACE(item.text);
            auto parsed = ParseMessage(item.text);
            ASSERT_TRUE(parsed);
            EXPECT_EQ((*parsed)["v"].get<std::string>(), item.value);
        }
    }

    TEST(DevToolsMessage, AMessageOfMegabytesIsReadAsTheParserReadsItEscapesAndAll)
    {
        // Every kind of escape, a character outside the BMP, NUL and a lone surrogate (which the
        // browser writes for text a script made up), spread through 1.5 MB.
        std::string piece = std::string("a\"b\\c/d\be\ff\ng\rh\ti", 18) + std::string("\0", 1) + "\x01"
            + "\xC3\xA9\xE6\xBC\xA2\xF0\x9F\x98\x80" + "x";
        std::string big;
        while (big.size() < 1500000)
            big += piece;
        const json body = { { "id", 9 },
            { "result", { { "base64Encoded", false }, { "list", { "small", big, 3 } }, { "k\"ey", "v" } } },
            { "sessionId", "S" } };
        std::string text = EncodeMessage(body);
        text.pop_back();
        auto parsed = ParseMessage(text);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(*parsed, body);

        // A lone surrogate in the large string becomes U+FFFD, as in a small message.
        std::string lone
            = R"({"id":1,"result":{"body":")" + std::string(1 << 20, 'A') + R"(\ud800\ud83d\ude00"}})";
        parsed = ParseMessage(lone);
        ASSERT_TRUE(parsed);
        EXPECT_EQ((*parsed)["result"]["body"].get<std::string>(),
            std::string(1 << 20, 'A') + "\xEF\xBF\xBD\xF0\x9F\x98\x80");

        // Cut short, or with a malformed escape inside the large string, it is refused whole.
        std::string cut = text.substr(0, text.size() - 10);
        EXPECT_FALSE(ParseMessage(cut));
        std::string badEscape = R"({"id":1,"result":{"body":")" + std::string(1 << 20, 'A') + R"(\q"}})";
        EXPECT_FALSE(ParseMessage(badEscape));
    }

    TEST(DevToolsMessage, TextThatIsNoObjectIsRefused)
    {
        for (const char* text : { "", "[1,2]", "\"text\"", "{\"id\":", "{\"v\":\"\\x\"}" }) {
            SCOPED_TRACE(text);
            EXPECT_FALSE(ParseMessage(text));
        }
    }

    TEST(DevToolsMessage, Base64DecodesWithAndWithoutPadding)
    {
        struct Case {
            const char* text;
            std::optional<std::string> bytes;
        } cases[] = {
            { "", std::string() },
            { "Zg==", std::string("f") },
            { "Zm8=", std::string("fo") },
            { "Zm9v", std::string("foo") },
            { "Zm9vYg", std::string("foob") },
            { "Zm9v\nYmFy", std::string("foobar") },
            { "AP8A/w==", std::string("\0\xFF\0\xFF", 4) },
            { "Z", std::nullopt },
            { "Zm9v!", std::nullopt },
            { "Zg==Zg", std::nullopt },
        };
        for (const auto& item : cases) {
            SCOPED_TRACE(item.text);
            EXPECT_EQ(DecodeBase64(item.text), item.bytes);
        }
    }

} // namespace
} // namespace pagestow::engine::chromium

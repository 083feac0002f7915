// Feeds arbitrary bytes to the framing of the browser's debugging pipe, to the message parser and to
// the base64 decoder of resource bodies. Aborts when the framer loses, adds or reorders a byte, when
// a message it hands out holds a NUL, when a parsed message is no object or does not survive being
// encoded and read again, when a large message reads otherwise than a small one, or when base64
// does not give back what was encoded.
//
// Input: one byte giving the size of the pieces the stream arrives in, then the stream.

#include "engine/chromium/DevToolsMessage.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

using namespace pagestow::engine::chromium;

// Stops the run at a broken expectation, naming its line.
void Require(bool condition, int line)
{
    if (condition)
        return;
    std::fprintf(stderr, "expectation broken at line %d\n", line);
    std::abort();
}
#define REQUIRE(condition) Require((condition), __LINE__)

std::string EncodeBase64(std::string_view bytes)
{
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        unsigned bits
            = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8 | (unsigned char)bytes[i + 2];
        text += kAlphabet[(bits >> 18) & 63];
        text += kAlphabet[(bits >> 12) & 63];
        text += kAlphabet[(bits >> 6) & 63];
        text += kAlphabet[bits & 63];
    }
    if (bytes.size() - i == 1) {
        unsigned bits = (unsigned char)bytes[i] << 16;
        text += kAlphabet[(bits >> 18) & 63];
        text += kAlphabet[(bits >> 12) & 63];
        text += "==";
    } else if (bytes.size() - i == 2) {
        unsigned bits = (unsigned char)bytes[i] << 16 | (unsigned char)bytes[i + 1] << 8;
        text += kAlphabet[(bits >> 18) & 63];
        text += kAlphabet[(bits >> 12) & 63];
        text += kAlphabet[(bits >> 6) & 63];
        text += '=';
    }
    return text;
}

// A parsed message, encoded and read again, is the same message.
void CheckMessage(std::string_view text)
{
    auto message = ParseMessage(std::string(text));
    if (!message)
        return;
    REQUIRE(message->is_object());
    std::string encoded = EncodeMessage(*message);
    REQUIRE(!encoded.empty() && encoded.back() == kMessageEnd);
    REQUIRE(encoded.find(kMessageEnd) == encoded.size() - 1);
    auto again = ParseMessage(encoded.substr(0, encoded.size() - 1));
    REQUIRE(again.has_value());
    REQUIRE(EncodeMessage(*again) == encoded);
}

// The text inside a body string of a megabyte takes the large-message path, and reads as it does
// in a small message: the same escapes, the same structure around it. (The large path lets through
// raw control characters and invalid UTF-8 that the JSON parser refuses, so only texts the small
// path reads are compared; and a second "body" key would make the two read different strings.)
void CheckLargeMessage(std::string_view text)
{
    if (text.find("body") != std::string_view::npos)
        return;
    const std::string head = R"({"id":1,"result":{"body":")";
    const std::string tail = R"("}})";
    auto small = ParseMessage(head + std::string(text) + tail);
    if (!small)
        return;
    const std::string pad(1u << 20, 'A');
    auto large = ParseMessage(head + pad + std::string(text) + tail);
    REQUIRE(large.has_value());
    nlohmann::json& smallBody = (*small)["result"]["body"];
    nlohmann::json& largeBody = (*large)["result"]["body"];
    REQUIRE(smallBody.is_string() && largeBody.is_string());
    REQUIRE(largeBody.get<std::string>() == pad + smallBody.get<std::string>());
    largeBody = smallBody;
    REQUIRE(*large == *small);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const size_t piece = size_t(data[0]) + 1;
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);

    // The stream in pieces: every message comes out whole and in order, the rest stays pending.
    MessageFramer framer;
    std::string rebuilt;
    for (size_t at = 0; at < stream.size(); at += piece) {
        framer.Append(stream.substr(at, piece));
        while (auto message = framer.Next()) {
            REQUIRE(message->find(kMessageEnd) == std::string::npos);
            rebuilt += *message;
            rebuilt += kMessageEnd;
            CheckMessage(*message);
        }
    }
    REQUIRE(rebuilt.size() + framer.Pending() == stream.size());
    REQUIRE(std::string_view(rebuilt) == stream.substr(0, rebuilt.size()));
    REQUIRE(rebuilt.empty() || rebuilt.back() == kMessageEnd);
    REQUIRE(stream.substr(rebuilt.size()).find(kMessageEnd) == std::string_view::npos);

    // The whole stream as one message text, inside a large message, and as base64.
    CheckMessage(stream);
    CheckLargeMessage(stream);
    auto decoded = DecodeBase64(EncodeBase64(stream));
    REQUIRE(decoded && *decoded == stream);
    if (auto bytes = DecodeBase64(stream))
        REQUIRE(bytes->size() <= stream.size() / 4 * 3 + 3);
    return 0;
}

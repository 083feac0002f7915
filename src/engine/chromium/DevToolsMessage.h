#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace pagestow::engine::chromium {

// The browser's debugging pipe carries JSON messages, each ended by one NUL byte. A NUL inside a
// message can only appear escaped (as \u0000 in a string), so the first NUL always ends a message.
inline constexpr char kMessageEnd = '\0';

// Reassembles the messages of a byte stream that arrives in pieces of any size.
class MessageFramer {
public:
    // Adds bytes read from the pipe.
    void Append(std::string_view bytes);
    // The next complete message (without its NUL), if one has arrived.
    std::optional<std::string> Next();
    // Bytes of an unfinished message held back.
    std::size_t Pending() const { return m_buffer.size() - m_start; }

private:
    std::string m_buffer;
    std::size_t m_start = 0;
    std::size_t m_scanned = 0;
};

// The bytes that carry message on the pipe: compact JSON (NUL and control characters escaped) and
// the closing NUL.
std::string EncodeMessage(const nlohmann::json& message);

// Parses one message. The browser writes a lone UTF-16 surrogate (text a page made up in script) as a
// \uD8xx escape that strict JSON parsers refuse; such an escape is read as U+FFFD instead of losing
// the whole message. Empty for a text that is no JSON object.
//
// A message of a megabyte or more (a response body) has its longest string value cut out and
// unescaped where it lies, in the text's own buffer; only the rest goes through the JSON parser,
// which would copy such a string character by character.
std::optional<nlohmann::json> ParseMessage(std::string text);

// Decodes standard base64 (padding optional, whitespace skipped); empty on a malformed text.
std::optional<std::string> DecodeBase64(std::string_view text);

} // namespace pagestow::engine::chromium

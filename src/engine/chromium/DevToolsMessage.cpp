#include "engine/chromium/DevToolsMessage.h"

#include "base/Ascii.h"

#include <array>
#include <cstdint>
#include <vector>

namespace pagestow::engine::chromium {
namespace {

    // The code unit of a \uXXXX escape at position i of text, or -1.
    int EscapedUnit(std::string_view text, std::size_t i)
    {
        if (i + 6 > text.size() || text[i] != '\\' || text[i + 1] != 'u')
            return -1;
        int value = 0;
        for (std::size_t k = i + 2; k < i + 6; ++k) {
            int digit = base::HexDigitValue(text[k]);
            if (digit < 0)
                return -1;
            value = value * 16 + digit;
        }
        return value;
    }

    bool IsHighSurrogate(int unit)
    {
        return unit >= 0xD800 && unit <= 0xDBFF;
    }
    bool IsLowSurrogate(int unit)
    {
        return unit >= 0xDC00 && unit <= 0xDFFF;
    }

    // Replaces every \u escape of a surrogate without its partner by \uFFFD.
    std::string RepairLoneSurrogates(std::string_view text)
    {
        std::string repaired;
        repaired.reserve(text.size());
        std::size_t i = 0;
        while (i < text.size()) {
            if (text[i] != '\\' || i + 1 >= text.size()) {
                repaired += text[i++];
                continue;
            }
            int unit = EscapedUnit(text, i);
            if (IsHighSurrogate(unit) && IsLowSurrogate(EscapedUnit(text, i + 6))) {
                repaired.append(text.substr(i, 12));
                i += 12;
            } else if (IsHighSurrogate(unit) || IsLowSurrogate(unit)) {
                repaired += "\\uFFFD";
                i += 6;
            } else {
                // Any other escape is copied whole, so that "\\" never pairs with what follows it.
                repaired.append(text.substr(i, 2));
                i += 2;
            }
        }
        return repaired;
    }

    std::optional<nlohmann::json> ParseObject(std::string_view text)
    {
        auto value = nlohmann::json::parse(text.begin(), text.end(), nullptr, false);
        if (value.is_discarded() || !value.is_object())
            return std::nullopt;
        return value;
    }

    std::optional<nlohmann::json> ParseText(std::string_view text)
    {
        if (auto value = ParseObject(text))
            return value;
        if (text.find("\\u") == std::string_view::npos)
            return std::nullopt;
        return ParseObject(RepairLoneSurrogates(text));
    }

    constexpr std::size_t kLargeMessage = 1u << 20;

    void AppendUtf8(std::string& out, std::size_t& at, std::uint32_t code)
    {
        if (code < 0x80) {
            out[at++] = char(code);
        } else if (code < 0x800) {
            out[at++] = char(0xC0 | (code >> 6));
            out[at++] = char(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out[at++] = char(0xE0 | (code >> 12));
            out[at++] = char(0x80 | ((code >> 6) & 0x3F));
            out[at++] = char(0x80 | (code & 0x3F));
        } else {
            out[at++] = char(0xF0 | (code >> 18));
            out[at++] = char(0x80 | ((code >> 12) & 0x3F));
            out[at++] = char(0x80 | ((code >> 6) & 0x3F));
            out[at++] = char(0x80 | (code & 0x3F));
        }
    }

    // Replaces the escapes of a JSON string's content by what they stand for, in place (no escape is
    // shorter than its UTF-8), a lone surrogate by U+FFFD. False on a malformed escape.
    bool UnescapeInPlace(std::string& text)
    {
        std::size_t from = text.find('\\');
        if (from == std::string::npos)
            return true;
        std::size_t to = from;
        while (from < text.size()) {
            const char c = text[from];
            if (c != '\\') {
                text[to++] = c;
                ++from;
                continue;
            }
            if (from + 1 >= text.size())
                return false;
            const char kind = text[from + 1];
            if (kind != 'u') {
                static constexpr std::string_view kFrom = "\"\\/bfnrt";
                static constexpr std::string_view kTo = "\"\\/\b\f\n\r\t";
                const std::size_t which = kFrom.find(kind);
                if (which == std::string_view::npos)
                    return false;
                text[to++] = kTo[which];
                from += 2;
                continue;
            }
            const int unit = EscapedUnit(text, from);
            if (unit < 0)
                return false;
            from += 6;
            std::uint32_t code = std::uint32_t(unit);
            if (IsHighSurrogate(unit)) {
                const int low = EscapedUnit(text, from);
                if (IsLowSurrogate(low)) {
                    code = 0x10000 + ((std::uint32_t(unit) - 0xD800) << 10) + (std::uint32_t(low) - 0xDC00);
                    from += 6;
                } else {
                    code = 0xFFFD;
                }
            } else if (IsLowSurrogate(unit)) {
                code = 0xFFFD;
            }
            AppendUtf8(text, to, code);
        }
        text.resize(to);
        return true;
    }

    // Where a message's longest string value lies (its content, without the quotes) and the path of
    // keys and indexes that leads to it.
    struct LongestString {
        std::size_t begin = 0;
        std::size_t end = 0;
        nlohmann::json::json_pointer path;
    };

    // The end of the string whose content starts at i: the position of its closing quote, or npos.
    std::size_t StringEnd(std::string_view text, std::size_t i)
    {
        while (true) {
            const std::size_t stop = text.find_first_of("\"\\", i);
            if (stop == std::string_view::npos)
                return stop;
            if (text[stop] == '"')
                return stop;
            i = stop + 2;
        }
    }

    // One pass over the text's structure, each string skipped by a search for its closing quote.
    // nullopt when the text is not a well-formed object the pass can follow (the JSON parser then
    // decides).
    std::optional<LongestString> FindLongestString(std::string_view text)
    {
        struct Level {
            bool object = false;
            std::string key;
            std::size_t index = 0;
        };
        std::vector<Level> levels;
        LongestString longest;
        bool expectKey = false;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const char c = text[i];
            if (c == '{' || c == '[') {
                levels.push_back({ c == '{', {}, 0 });
                expectKey = c == '{';
            } else if (c == '}' || c == ']') {
                if (levels.empty() || levels.back().object != (c == '}'))
                    return std::nullopt;
                levels.pop_back();
                expectKey = false;
            } else if (c == ',') {
                if (levels.empty())
                    return std::nullopt;
                ++levels.back().index;
                expectKey = levels.back().object;
            } else if (c == '"') {
                const std::size_t end = StringEnd(text, i + 1);
                if (end == std::string_view::npos || levels.empty())
                    return std::nullopt;
                if (expectKey) {
                    std::string& key = levels.back().key;
                    key.assign(text.substr(i + 1, end - i - 1));
                    if (!UnescapeInPlace(key))
                        return std::nullopt;
                    expectKey = false;
                } else if (end - (i + 1) > longest.end - longest.begin) {
                    longest.begin = i + 1;
                    longest.end = end;
                    longest.path = nlohmann::json::json_pointer();
                    for (const Level& level : levels) {
                        if (level.object)
                            longest.path.push_back(level.key);
                        else
                            longest.path.push_back(std::to_string(level.index));
                    }
                }
                i = end;
            }
        }
        if (!levels.empty() || longest.end == longest.begin)
            return std::nullopt;
        return longest;
    }

    // Parses the text with its longest string left empty, then puts that string, unescaped in the
    // text's own buffer, back where it was.
    std::optional<nlohmann::json> ParseAroundString(std::string text, const LongestString& longest)
    {
        std::string rest;
        rest.reserve(text.size() - (longest.end - longest.begin));
        rest.append(text, 0, longest.begin);
        rest.append(text, longest.end, std::string::npos);
        std::optional<nlohmann::json> value = ParseText(rest);
        if (!value)
            return std::nullopt;
        text.resize(longest.end);
        text.erase(0, longest.begin);
        if (!UnescapeInPlace(text))
            return std::nullopt;
        nlohmann::json* slot = nullptr;
        try {
            slot = &value->at(longest.path);
        } catch (const nlohmann::json::exception&) {
            return std::nullopt;
        }
        if (!slot->is_string())
            return std::nullopt;
        *slot = std::move(text);
        return value;
    }

} // namespace

void MessageFramer::Append(std::string_view bytes)
{
    // Drop the messages already handed out before the buffer grows again.
    if (m_start > 0 && m_start == m_buffer.size()) {
        m_buffer.clear();
        m_scanned = m_start = 0;
    } else if (m_start > (1u << 20) && m_start > m_buffer.size() / 2) {
        m_buffer.erase(0, m_start);
        m_scanned -= m_start;
        m_start = 0;
    }
    m_buffer.append(bytes);
}

std::optional<std::string> MessageFramer::Next()
{
    // Scanning resumes where the last search stopped, so a large message arriving in many pieces is
    // searched once, not once per piece.
    std::size_t end = m_buffer.find(kMessageEnd, m_scanned);
    if (end == std::string::npos) {
        m_scanned = m_buffer.size();
        return std::nullopt;
    }
    // A large message (a body of many megabytes) is moved out of the buffer, not copied: only what
    // follows it is copied back, and before it only messages already handed out.
    constexpr std::size_t kMoveFrom = 1u << 20;
    if (end - m_start >= kMoveFrom) {
        std::string rest = m_buffer.substr(end + 1);
        std::string message = std::move(m_buffer);
        message.resize(end);
        message.erase(0, m_start);
        m_buffer = std::move(rest);
        m_start = m_scanned = 0;
        return message;
    }
    std::string message = m_buffer.substr(m_start, end - m_start);
    m_start = m_scanned = end + 1;
    return message;
}

std::string EncodeMessage(const nlohmann::json& message)
{
    // dump() writes every control character, NUL included, as a \u escape; invalid UTF-8 in a string
    // becomes U+FFFD rather than an exception.
    std::string bytes = message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    bytes += kMessageEnd;
    return bytes;
}

std::optional<nlohmann::json> ParseMessage(std::string text)
{
    if (text.size() >= kLargeMessage) {
        if (std::optional<LongestString> longest = FindLongestString(text);
            longest && longest->end - longest->begin >= kLargeMessage / 2)
            return ParseAroundString(std::move(text), *longest);
    }
    return ParseText(text);
}

std::optional<std::string> DecodeBase64(std::string_view text)
{
    static const std::array<signed char, 256> kTable = [] {
        std::array<signed char, 256> table {};
        table.fill(-1);
        const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i)
            table[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
        return table;
    }();

    // Written through an index into a buffer sized up front: a body of megabytes decodes at memory
    // speed.
    std::string bytes(text.size() / 4 * 3 + 3, '\0');
    std::size_t at = 0;
    unsigned int bits = 0;
    int count = 0;
    std::size_t padding = 0;
    for (char c : text) {
        const int value = kTable[static_cast<unsigned char>(c)];
        if (value >= 0 && padding == 0) {
            bits = (bits << 6) | unsigned(value);
            if (++count == 4) {
                bytes[at++] = char((bits >> 16) & 0xFF);
                bytes[at++] = char((bits >> 8) & 0xFF);
                bytes[at++] = char(bits & 0xFF);
                bits = 0;
                count = 0;
            }
            continue;
        }
        if (c == '=') {
            ++padding;
            continue;
        }
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t')
            continue;
        return std::nullopt;
    }
    if (count == 1 || padding > 2)
        return std::nullopt;
    if (count == 2) {
        bytes[at++] = char((bits >> 4) & 0xFF);
    } else if (count == 3) {
        bytes[at++] = char((bits >> 10) & 0xFF);
        bytes[at++] = char((bits >> 2) & 0xFF);
    }
    bytes.resize(at);
    return bytes;
}

} // namespace pagestow::engine::chromium

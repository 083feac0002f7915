#include "engine/chromium/DevToolsMessage.h"

#include "base/Ascii.h"

#include <array>

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

std::optional<nlohmann::json> ParseMessage(std::string_view text)
{
    if (auto value = ParseObject(text))
        return value;
    if (text.find("\\u") == std::string_view::npos)
        return std::nullopt;
    return ParseObject(RepairLoneSurrogates(text));
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

    std::string bytes;
    bytes.reserve(text.size() / 4 * 3 + 3);
    unsigned int bits = 0;
    int count = 0;
    std::size_t padding = 0;
    for (char c : text) {
        if (c == '=') {
            ++padding;
            continue;
        }
        if (c == '\r' || c == '\n' || c == ' ' || c == '\t')
            continue;
        int value = kTable[static_cast<unsigned char>(c)];
        if (value < 0 || padding > 0)
            return std::nullopt;
        bits = (bits << 6) | unsigned(value);
        if (++count == 4) {
            bytes += char((bits >> 16) & 0xFF);
            bytes += char((bits >> 8) & 0xFF);
            bytes += char(bits & 0xFF);
            bits = 0;
            count = 0;
        }
    }
    if (count == 1 || padding > 2)
        return std::nullopt;
    if (count == 2) {
        bytes += char((bits >> 4) & 0xFF);
    } else if (count == 3) {
        bytes += char((bits >> 10) & 0xFF);
        bytes += char((bits >> 2) & 0xFF);
    }
    return bytes;
}

} // namespace pagestow::engine::chromium

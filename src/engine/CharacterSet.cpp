#include "engine/CharacterSet.h"

#include "base/Ascii.h"
#include "base/Owned.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <utility>

namespace pagestow::engine {
namespace {

    bool IsUtf8(std::string_view characterSet)
    {
        std::string name = base::LowerAscii(characterSet);
        return name.empty() || name == "utf-8" || name == "utf8";
    }

    // One iconv conversion from UTF-8, closed with its owner.
    class Encoder {
    public:
        explicit Encoder(std::string_view characterSet)
            : m_handle(EncoderName(characterSet).c_str(), "UTF-8")
        {
        }

        bool Valid() const { return m_handle.Valid(); }

        // Converts input from its start and appends the bytes to output; stops at a character the
        // set cannot write (or a malformed one), leaving input at it. True when all of it went.
        bool Convert(std::string_view& input, std::string& output)
        {
            char* in = const_cast<char*>(input.data());
            std::size_t inLeft = input.size();
            bool ok = true;
            while (inLeft > 0) {
                char* out = m_buffer.data();
                std::size_t outLeft = m_buffer.size();
                std::size_t result = iconv(m_handle.Get(), &in, &inLeft, &out, &outLeft);
                output.append(m_buffer.data(), std::size_t(out - m_buffer.data()));
                if (result == std::size_t(-1) && errno != E2BIG) {
                    ok = false;
                    break;
                }
            }
            input = std::string_view(in, inLeft);
            return ok;
        }

        // Writes what a stateful set still holds (a shift back, a pending combining sequence).
        void Finish(std::string& output)
        {
            char* out = m_buffer.data();
            std::size_t outLeft = m_buffer.size();
            iconv(m_handle.Get(), nullptr, nullptr, &out, &outLeft);
            output.append(m_buffer.data(), std::size_t(out - m_buffer.data()));
        }

    private:
        base::Iconv m_handle;
        std::array<char, 4096> m_buffer {};
    };

    // The code point of the UTF-8 sequence at the start of text and its length; a malformed byte
    // counts as one byte holding U+FFFD.
    std::pair<char32_t, std::size_t> DecodeOne(std::string_view text)
    {
        auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
        unsigned lead = byte(0);
        std::size_t length = lead < 0x80 ? 1
            : (lead >> 5) == 0x6         ? 2
            : (lead >> 4) == 0xE         ? 3
            : (lead >> 3) == 0x1E        ? 4
                                         : 0;
        if (length == 0 || length > text.size())
            return { 0xFFFD, 1 };
        char32_t point = length == 1 ? lead : lead & (0x7Fu >> length);
        for (std::size_t i = 1; i < length; ++i) {
            if ((byte(i) & 0xC0) != 0x80)
                return { 0xFFFD, 1 };
            point = (point << 6) | (byte(i) & 0x3F);
        }
        return { point, length };
    }

} // namespace

std::string EncoderName(std::string_view characterSet)
{
    // The sets browsers read as a superset, and the names iconv spells otherwise.
    static constexpr std::pair<std::string_view, std::string_view> kNames[] = {
        { "big5", "BIG5-HKSCS" },
        { "shift_jis", "CP932" },
        { "euc-kr", "CP949" },
        { "windows-874", "CP874" },
        { "iso-8859-8-i", "ISO-8859-8" },
        { "x-mac-cyrillic", "MAC-CYRILLIC" },
        { "macintosh", "MACINTOSH" },
        { "x-mac-roman", "MACINTOSH" },
    };
    std::string name = base::LowerAscii(characterSet);
    for (const auto& [label, iconvName] : kNames)
        if (name == label)
            return std::string(iconvName);
    return std::string(characterSet);
}

bool CanEncodeCharacterSet(std::string_view characterSet)
{
    return IsUtf8(characterSet) || Encoder(characterSet).Valid();
}

std::string EncodeInCharacterSet(std::string_view utf8, std::string_view characterSet, bool* converted)
{
    if (converted)
        *converted = false;
    if (IsUtf8(characterSet))
        return std::string(utf8);
    Encoder encoder(characterSet);
    if (!encoder.Valid())
        return std::string(utf8);

    std::string output;
    output.reserve(utf8.size());
    std::string_view rest = utf8;
    while (!encoder.Convert(rest, output)) {
        // The reference is written through the encoder too, so that it comes out right in a set
        // that is not ASCII-compatible (UTF-16); a set without ASCII at all gets it as it is.
        auto [point, length] = DecodeOne(rest);
        rest.remove_prefix(length);
        char reference[16];
        int written = std::snprintf(reference, sizeof reference, "&#x%04X;", unsigned(point));
        std::string_view text(reference, std::size_t(written));
        if (!encoder.Convert(text, output))
            output.append(text);
    }
    encoder.Finish(output);
    if (converted)
        *converted = true;
    return output;
}

} // namespace pagestow::engine

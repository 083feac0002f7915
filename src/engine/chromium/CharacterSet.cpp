#include "engine/chromium/CharacterSet.h"

#include <iconv.h>

#include <cerrno>
#include <cstdio>
#include <memory>

namespace pagestow::engine::chromium {
namespace {

    std::string Lower(std::string_view text)
    {
        std::string lower(text);
        for (char& c : lower)
            if (c >= 'A' && c <= 'Z')
                c = char(c - 'A' + 'a');
        return lower;
    }

    struct IconvCloser {
        void operator()(void* handle) const { iconv_close(static_cast<iconv_t>(handle)); }
    };
    using IconvHandle = std::unique_ptr<void, IconvCloser>;

    // The code point of the UTF-8 sequence at the start of text and its length (1 for a stray byte).
    std::pair<unsigned, std::size_t> DecodeUtf8(std::string_view text)
    {
        auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
        unsigned first = byte(0);
        std::size_t length = first < 0x80 ? 1
            : (first >> 5) == 0x6         ? 2
            : (first >> 4) == 0xE         ? 3
            : (first >> 3) == 0x1E        ? 4
                                          : 1;
        if (length == 1 || length > text.size())
            return { first, 1 };
        unsigned point = first & (0xFF >> (length + 1));
        for (std::size_t i = 1; i < length; ++i) {
            if ((byte(i) & 0xC0) != 0x80)
                return { first, 1 };
            point = (point << 6) | (byte(i) & 0x3F);
        }
        return { point, length };
    }

    // Converts all of input; false when iconv stops at a character it cannot write.
    bool Convert(iconv_t handle, std::string_view& input, std::string& output)
    {
        char* in = const_cast<char*>(input.data());
        std::size_t inLeft = input.size();
        char buffer[4096];
        bool ok = true;
        while (inLeft > 0) {
            char* out = buffer;
            std::size_t outLeft = sizeof buffer;
            std::size_t result = iconv(handle, &in, &inLeft, &out, &outLeft);
            output.append(buffer, std::size_t(out - buffer));
            if (result == std::size_t(-1) && errno != E2BIG) {
                ok = false;
                break;
            }
        }
        // Flush any shift state of a stateful set.
        char* out = buffer;
        std::size_t outLeft = sizeof buffer;
        iconv(handle, nullptr, nullptr, &out, &outLeft);
        output.append(buffer, std::size_t(out - buffer));
        input = std::string_view(in, inLeft);
        return ok;
    }

} // namespace

std::string IconvName(std::string_view characterSet)
{
    std::string name = Lower(characterSet);
    // WHATWG names whose iconv spelling differs, or whose iconv set is a smaller one.
    if (name == "big5")
        return "BIG5-HKSCS";
    if (name == "iso-8859-8-i")
        return "ISO-8859-8";
    if (name == "x-mac-cyrillic")
        return "MAC-CYRILLIC";
    if (name == "macintosh" || name == "x-mac-roman")
        return "MACINTOSH";
    if (name == "windows-874")
        return "CP874";
    return std::string(characterSet);
}

std::string EncodeInCharacterSet(std::string_view utf8, std::string_view characterSet, bool* converted)
{
    std::string name = Lower(characterSet);
    if (converted)
        *converted = false;
    if (name.empty() || name == "utf-8" || name == "utf8")
        return std::string(utf8);
    iconv_t raw = iconv_open(IconvName(characterSet).c_str(), "UTF-8");
    if (raw == reinterpret_cast<iconv_t>(-1))
        return std::string(utf8);
    IconvHandle handle(raw);

    std::string output;
    output.reserve(utf8.size());
    std::string_view rest = utf8;
    while (!rest.empty()) {
        if (Convert(raw, rest, output))
            break;
        // The reference itself is written through iconv too, so that it is right also in a set that
        // is not ASCII-compatible (UTF-16).
        auto [point, length] = DecodeUtf8(rest);
        rest.remove_prefix(length);
        char reference[16];
        std::snprintf(reference, sizeof reference, "&#x%04X;", point);
        std::string_view text(reference);
        Convert(raw, text, output);
    }
    if (converted)
        *converted = true;
    return output;
}

} // namespace pagestow::engine::chromium

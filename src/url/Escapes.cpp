#include "url/Escapes.h"

#include "base/Ascii.h"

#include <algorithm>
#include <cstddef>

namespace pagestow::url {

void AppendEscape(std::string& out, unsigned char byte)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    out += '%';
    out += kHex[byte >> 4];
    out += kHex[byte & 0x0F];
}

void UpperCaseEscapes(std::string& text)
{
    for (std::size_t i = 0; i + 2 < text.size(); ++i) {
        if (text[i] == '%' && base::IsHexDigit(text[i + 1]) && base::IsHexDigit(text[i + 2])) {
            text[i + 1] = base::UpperAscii(text[i + 1]);
            text[i + 2] = base::UpperAscii(text[i + 2]);
            i += 2;
        }
    }
}

bool IsValidUtf8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t length = 0;
        char32_t code = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
            code = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            code = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            code = c & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size())
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF)))
            || (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
            return false;
        i += length;
    }
    return true;
}

std::string DecodeNameEscapes(std::string_view name)
{
    if (name.find('%') == std::string_view::npos)
        return std::string(name);
    std::string decoded;
    decoded.reserve(name.size());
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '%' && i + 2 < name.size() && base::HexDigitValue(name[i + 1]) >= 0
            && base::HexDigitValue(name[i + 2]) >= 0) {
            decoded += static_cast<char>(
                base::HexDigitValue(name[i + 1]) * 16 + base::HexDigitValue(name[i + 2]));
            i += 2;
        } else {
            decoded += name[i];
        }
    }
    const bool safe = IsValidUtf8(decoded) && std::none_of(decoded.begin(), decoded.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F || c == '/' || c == '\\';
    });
    return safe ? decoded : std::string(name);
}

} // namespace pagestow::url

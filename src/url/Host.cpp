#include "url/Host.h"

#include "base/Ascii.h"
#include "base/Owned.h"

#include <idn2.h>

#include <algorithm>

namespace pagestow::url {
namespace {

    constexpr auto npos = std::string_view::npos;

    using IdnText = base::Owned<char, idn2_free>;

    bool IsLetter(char c)
    {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    }

    bool HasNonAscii(std::string_view text)
    {
        return std::any_of(
            text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    }

    bool HasPunycodeLabel(std::string_view host)
    {
        std::size_t start = 0;
        while (start <= host.size()) {
            std::size_t end = host.find('.', start);
            if (end == npos)
                end = host.size();
            const std::string_view label = host.substr(start, end - start);
            if (label.size() > 4 && (label[0] == 'x' || label[0] == 'X')
                && (label[1] == 'n' || label[1] == 'N') && label[2] == '-' && label[3] == '-')
                return true;
            start = end + 1;
        }
        return false;
    }

} // namespace

std::string AsciiHost(std::string_view host)
{
    if (HasNonAscii(host)) {
        const std::string text(host);
        char* converted = nullptr;
        const int result = idn2_to_ascii_8z(text.c_str(), &converted, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
        IdnText owner(converted);
        if (result == IDN2_OK && converted)
            return converted;
    }
    return base::LowerAscii(host);
}

std::string UnicodeHost(std::string_view host)
{
    const std::string text(host);
    char* ascii = nullptr;
    const int toAscii = idn2_to_ascii_8z(text.c_str(), &ascii, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
    IdnText asciiOwner(ascii);
    if (toAscii != IDN2_OK || !ascii)
        return {};
    char* unicode = nullptr;
    const int toUnicode = idn2_to_unicode_8z8z(ascii, &unicode, 0);
    IdnText unicodeOwner(unicode);
    if (toUnicode != IDN2_OK || !unicode)
        return {};
    return unicode;
}

std::optional<SpecialHost> FindSpecialHost(std::string_view text)
{
    const std::size_t schemeEnd = text.find("://");
    if (schemeEnd == npos || schemeEnd == 0 || schemeEnd > 9)
        return std::nullopt;
    for (std::size_t i = 0; i < schemeEnd; ++i) {
        if (!IsLetter(text[i]))
            return std::nullopt;
    }
    const std::size_t start = schemeEnd + 3;
    std::size_t end = text.find_first_of("/?#", start);
    if (end == npos)
        end = text.size();
    std::string_view part = text.substr(start, end - start);
    const std::size_t at = part.rfind('@');
    SpecialHost host;
    host.start = start + (at == npos ? 0 : at + 1);
    part = text.substr(host.start, end - host.start);
    if (part.empty())
        return std::nullopt;

    if (part.front() == '[') {
        const std::size_t close = part.find(']');
        if (close == npos || close < 2)
            return std::nullopt;
        host.end = host.start + close + 1;
        host.name = std::string(part.substr(0, close + 1));
        host.literal = true;
        return host;
    }
    const std::string_view name = part.substr(0, part.find(':'));
    if (!HasNonAscii(name) && !HasPunycodeLabel(name))
        return std::nullopt;
    host.name = UnicodeHost(name);
    if (host.name.empty() || host.name.find_first_of("/\\") != std::string::npos)
        return std::nullopt;
    host.end = host.start + name.size();
    return host;
}

} // namespace pagestow::url

#include "mapping/LocalPath.h"

#include "base/Ascii.h"
#include "base/Owned.h"
#include "mapping/AddressScan.h"

#include <idn2.h>

#include <algorithm>
#include <cstddef>
#include <memory>

namespace pagestow::mapping {

namespace {

    constexpr auto npos = std::string_view::npos;
    // Stands for a host the scanner cannot read while the rest of the address is split.
    constexpr std::string_view kHostStandIn = "pagestow-host.invalid";

    using IdnText = base::Owned<char, idn2_free>;

    // Whether text is well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
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

    // The parts of an absolute address's authority the scanner would misread.
    struct Authority {
        std::size_t hostStart = 0; // in the address, after any user information
        std::size_t hostEnd = 0; // the host, without a port
        std::string folder; // the host as a folder names it; "" when the scanner's own reading stands
    };

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

    // An international host name in its one Unicode spelling: to ASCII first (which folds case and
    // normalises), then back. "" when the name is not a valid international name.
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

    // "[::1]" as "[__1]": the characters a file name may not hold become "_", as everywhere else.
    std::string BracketedFolder(std::string_view literal)
    {
        std::string folder = SanitizeFileName(literal);
        std::replace(folder.begin(), folder.end(), '/', '_');
        std::replace(folder.begin(), folder.end(), '\\', '_');
        return folder;
    }

    // Finds the host of an address "scheme://[user@]host[:port]..." whose host the scanner cannot
    // read: an IPv6 literal, or a name with non-ASCII characters or punycode labels.
    bool FindSpecialHost(std::string_view text, Authority& authority)
    {
        const std::size_t schemeEnd = text.find("://");
        if (schemeEnd == npos || schemeEnd == 0 || schemeEnd > 9)
            return false;
        for (std::size_t i = 0; i < schemeEnd; ++i) {
            if (!IsLetter(text[i]))
                return false;
        }
        const std::size_t start = schemeEnd + 3;
        std::size_t end = text.find_first_of("/?#", start);
        if (end == npos)
            end = text.size();
        std::string_view part = text.substr(start, end - start);
        const std::size_t at = part.rfind('@');
        authority.hostStart = start + (at == npos ? 0 : at + 1);
        part = text.substr(authority.hostStart, end - authority.hostStart);
        if (part.empty())
            return false;

        if (part.front() == '[') {
            const std::size_t close = part.find(']');
            if (close == npos || close < 2)
                return false;
            authority.hostEnd = authority.hostStart + close + 1;
            authority.folder = BracketedFolder(part.substr(0, close + 1));
            return true;
        }
        const std::size_t colon = part.find(':');
        const std::string_view host = part.substr(0, colon);
        if (!HasNonAscii(host) && !HasPunycodeLabel(host))
            return false;
        const std::string unicode = UnicodeHost(host);
        if (unicode.empty() || unicode.find_first_of("/\\") != std::string::npos)
            return false;
        authority.hostEnd = authority.hostStart + host.size();
        authority.folder = SanitizeFileName(unicode);
        return true;
    }

    // The record with the value of every line named key replaced.
    AddressRecord WithValue(const AddressRecord& record, std::string_view key, std::string_view value)
    {
        AddressRecord result;
        for (const std::string& line : record.Lines()) {
            const std::size_t equals = line.find('=');
            const std::string_view name = std::string_view(line).substr(0, equals);
            if (name == key)
                result.Add(name, value);
            else
                result.Add(name, std::string_view(line).substr(equals + 1));
        }
        return result;
    }

    // The segments of a directory or file name value, each decoded where that is safe.
    std::string DecodeSegments(std::string_view value)
    {
        std::string result;
        std::size_t start = 0;
        while (start <= value.size()) {
            std::size_t end = value.find('/', start);
            if (end == npos)
                end = value.size();
            result += SanitizeFileName(DecodeNameEscapes(value.substr(start, end - start)));
            if (end < value.size())
                result += '/';
            start = end + 1;
        }
        return result;
    }

} // namespace

std::string DecodeNameEscapes(std::string_view name)
{
    if (name.find('%') == npos)
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

AddressRecord PathRecord(std::string_view address)
{
    const std::string text = NormaliseAddress(address);
    AddressRecord record;
    Authority authority;
    if (!IsRelativeText(text) && FindSpecialHost(text, authority)) {
        std::string standIn = text;
        standIn.replace(authority.hostStart, authority.hostEnd - authority.hostStart, kHostStandIn);
        AddressRecord scanned;
        SplitAddress(standIn, scanned);
        const std::string hostPart = scanned.Value("hostmess");
        record = WithValue(WithValue(WithValue(scanned, "url", text), "host", authority.folder), "hostmess",
            authority.folder + hostPart.substr(std::min(hostPart.size(), kHostStandIn.size())));
    } else {
        SplitAddress(text, record);
    }
    if (record.Has("directory"))
        record = WithValue(record, "directory", DecodeSegments(record.Value("directory")));
    if (record.Has("filename"))
        record = WithValue(record, "filename", DecodeSegments(record.Value("filename")));
    return record;
}

} // namespace pagestow::mapping

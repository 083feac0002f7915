#include "mapping/AddressRecord.h"
#include "mapping/AddressScan.h"

#include <algorithm>
#include <cstddef>
#include <string>

namespace pagestow::mapping {

namespace {

    // Colon, asterisk, question mark, blank, double quote, blank, less-than, greater-than, blank, bar.
    constexpr std::string_view kDefaultForbidden = ":*? \" <> |";
    constexpr auto npos = std::string::npos;

    bool Contains(const std::string& text, char c)
    {
        return text.find(c) != npos;
    }

    bool IsSeparator(char c)
    {
        return c == '/' || c == '\\';
    }

    // 3. The scheme: letters up to the first non-letter, then everything up to the first alphanumeric.
    void TakeProtocol(std::string& text, AddressRecord& record)
    {
        const std::size_t schemeEnd = text.find(":/");
        // Positions are counted from 1: the ":" must stand at position 1 to 10.
        if (schemeEnd == npos || schemeEnd > 9)
            return;
        std::string protocol;
        std::size_t cut = 0;
        while (text.find(":/", cut) != npos) {
            const char c = text[cut++];
            if (!IsLetter(c))
                break;
            protocol.push_back(c);
        }
        while (cut < text.size() && !IsAlphanumeric(text[cut]))
            ++cut;
        text.erase(0, cut);
        record.Add("protocol", protocol);
    }

    // 4. User information: everything up to the last "@", keeping only the address characters.
    void TakeUserInformation(std::string& text, AddressRecord& record)
    {
        const std::size_t at = text.find('@');
        const std::size_t slash = text.find('/');
        if (at == npos || (slash != npos && slash < at))
            return;
        const std::size_t lastAt = text.rfind('@');
        std::string user;
        for (std::size_t i = 0; i <= lastAt; ++i) {
            if (IsAddressCharacter(text[i]))
                user.push_back(text[i]);
        }
        text.erase(0, lastAt + 1);
        if (user.empty())
            return;
        record.Add("usemess", user);
        const std::size_t colon = user.find(':');
        if (colon == npos) {
            record.Add("username", user);
            record.Add("password", "");
        } else {
            record.Add("username", std::string_view(user).substr(0, colon));
            record.Add("password", std::string_view(user).substr(colon + 1));
        }
    }

    // 5. The host part: address characters after any leading separators. It ends at a separator, which
    // stays for the path, or at any other character, which stays for the fragment and query steps.
    void TakeHost(std::string& text, AddressRecord& record)
    {
        std::string host;
        std::size_t cut = 0;
        while (cut < text.size()) {
            const char c = text[cut];
            if (IsAddressCharacter(c)) {
                host.push_back(c);
                ++cut;
            } else if (IsSeparator(c) && host.empty()) {
                ++cut;
            } else {
                break;
            }
        }
        text.erase(0, cut);
        record.Add("hostmess", host);
        if (host.empty())
            return;
        const std::size_t colon = host.find(':');
        if (colon == npos) {
            record.Add("host", host);
            record.Add("post", "");
        } else {
            record.Add("host", std::string_view(host).substr(0, colon));
            record.Add("post", std::string_view(host).substr(colon + 1));
        }
    }

    // 6. The fragment: from the first "#" to the end, keeping only the fragment characters.
    void TakeFragment(std::string& text, AddressRecord& record)
    {
        const std::size_t hash = text.find('#');
        if (hash == npos)
            return;
        std::string fragment;
        for (std::size_t i = hash + 1; i < text.size(); ++i) {
            if (IsFragmentCharacter(text[i]))
                fragment.push_back(text[i]);
        }
        text.erase(hash);
        record.Add("fragment", fragment);
    }

    // 7. The query: everything after the first "?", as it stands.
    void TakeQuery(std::string& text, AddressRecord& record)
    {
        const std::size_t question = text.find('?');
        if (question == npos)
            return;
        record.Add("query", std::string_view(text).substr(question + 1));
        text.erase(question);
    }

    // 9. The file name: a "." anywhere in the path makes its last segment the file name.
    void TakeFileName(std::string& text, AddressRecord& record)
    {
        if (!Contains(text, '.'))
            return;
        const std::size_t lastSeparator = text.find_last_of("/\\");
        const std::size_t start = lastSeparator == npos ? 0 : lastSeparator + 1;
        record.Add("filename", SanitizeFileName(std::string_view(text).substr(start)));
        text.erase(start);
    }

    // 10. The directory: what is left, beginning with "/" and without one trailing separator.
    void TakeDirectory(std::string& text, AddressRecord& record)
    {
        if (text.empty())
            return;
        if (!IsSeparator(text.front()))
            text.insert(text.begin(), '/');
        if (IsSeparator(text.back()))
            text.pop_back();
        record.Add("directory", SanitizeFileName(text));
    }

} // namespace

bool IsLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsAlphanumeric(char c)
{
    return IsLetter(c) || (c >= '0' && c <= '9');
}

bool IsAddressCharacter(char c)
{
    return IsAlphanumeric(c) || c == '-' || c == '.' || c == ':' || c == '_';
}

bool IsFragmentCharacter(char c)
{
    return IsAlphanumeric(c) || c == '-' || c == '.' || c == '_';
}

std::string NormaliseAddress(std::string_view address)
{
    std::string text(TrimControls(address));
    std::replace(text.begin(), text.end(), '\\', '/');
    return text;
}

bool IsRelativeText(std::string_view text)
{
    if (text.empty())
        return true; // It has neither "/" nor ".".
    if (text.front() == '.' || text.front() == '/')
        return true;
    const std::size_t slash = text.find('/');
    const std::size_t dot = text.find('.');
    if (dot == npos)
        return true; // Neither "/" nor ".", or "/" without ".".
    if (slash == npos)
        return false; // "." without "/".
    // The first "/" comes before the first "." and is not the "/" of a scheme's ":/".
    return slash < dot && slash > 0 && text[slash - 1] != ':';
}

std::string_view TrimControls(std::string_view text)
{
    auto isControl = [](char c) { return static_cast<unsigned char>(c) <= 32; };
    while (!text.empty() && isControl(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isControl(text.back()))
        text.remove_suffix(1);
    return text;
}

std::string SanitizeFileName(std::string_view name, std::string_view forbidden)
{
    if (forbidden.empty())
        forbidden = kDefaultForbidden;
    std::string result(name);
    for (char& c : result) {
        if (forbidden.find(c) != std::string_view::npos)
            c = '_';
    }
    return result;
}

void SplitAddress(std::string_view address, AddressRecord& record)
{
    // 1. Trim, and read "\" as "/".
    std::string text = NormaliseAddress(address);
    record.Add("url", text);

    // 2. Relative or absolute, by the position of the first "/" and the first ".".
    const bool relative = IsRelativeText(text);
    record.Add("ifabsoluteadd", relative ? "0" : "1");

    if (!relative) {
        TakeProtocol(text, record);
        TakeUserInformation(text, record);
        TakeHost(text, record);
    }
    TakeFragment(text, record);
    TakeQuery(text, record);

    // 8. The path is whatever is left at this point.
    if (!text.empty())
        record.Add("path", text);

    TakeFileName(text, record);
    TakeDirectory(text, record);
}

} // namespace pagestow::mapping

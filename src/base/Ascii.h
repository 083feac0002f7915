#pragma once

// ASCII-only text helpers: protocol names, HTML and CSS keywords, header fields and host names are
// compared and folded in ASCII whatever the locale; everything beyond ASCII is left as it is.

#include <string>
#include <string_view>

namespace pagestow::base {

constexpr char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

constexpr char UpperAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

inline std::string LowerAscii(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = LowerAscii(c);
    return out;
}

constexpr bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
            return false;
    }
    return true;
}

constexpr bool StartsWithIgnoringAsciiCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

// The value of a hexadecimal digit, or -1 for any other character.
constexpr int HexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

constexpr bool IsHexDigit(char c)
{
    return HexDigitValue(c) >= 0;
}

// HTML's white space: tab, line feed, form feed, carriage return and space.
constexpr bool IsHtmlSpace(char c)
{
    return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

constexpr std::string_view TrimHtmlSpace(std::string_view text)
{
    while (!text.empty() && IsHtmlSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsHtmlSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

} // namespace pagestow::base

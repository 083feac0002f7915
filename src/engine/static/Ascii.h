#pragma once

#include <algorithm>
#include <string>
#include <string_view>

// The few ASCII helpers the built-in engine's readers share (HTML's notion of white space).
namespace pagestow::engine::static_engine::ascii {

inline char Lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

inline std::string Lower(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) { return Lower(c); });
    return out;
}

inline bool IsSpace(char c)
{
    return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' ';
}

inline std::string_view Trim(std::string_view text)
{
    while (!text.empty() && IsSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

} // namespace pagestow::engine::static_engine::ascii

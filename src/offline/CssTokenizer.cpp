#include "offline/CssTokenizer.h"

namespace pagestow::offline {
namespace {

    constexpr int kEnd = -1;

    bool IsNewline(int c)
    {
        return c == '\n' || c == '\r' || c == '\f';
    }

    bool IsWhitespace(int c)
    {
        return c == ' ' || c == '\t' || IsNewline(c);
    }

    bool IsDigit(int c)
    {
        return c >= '0' && c <= '9';
    }

    bool IsHexDigit(int c)
    {
        return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }

    int HexValue(int c)
    {
        if (IsDigit(c))
            return c - '0';
        return (c | 0x20) - 'a' + 10;
    }

    bool IsNameStart(int c)
    {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 0x80 || c == 0;
    }

    bool IsName(int c)
    {
        return IsNameStart(c) || IsDigit(c) || c == '-';
    }

    bool IsNonPrintable(int c)
    {
        return (c >= 0 && c <= 8) || c == 0x0B || (c >= 0x0E && c <= 0x1F) || c == 0x7F;
    }

    void AppendUtf8(std::string& out, unsigned long codePoint)
    {
        if (codePoint == 0 || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            codePoint = 0xFFFD;
        if (codePoint < 0x80) {
            out += char(codePoint);
        } else if (codePoint < 0x800) {
            out += char(0xC0 | (codePoint >> 6));
            out += char(0x80 | (codePoint & 0x3F));
        } else if (codePoint < 0x10000) {
            out += char(0xE0 | (codePoint >> 12));
            out += char(0x80 | ((codePoint >> 6) & 0x3F));
            out += char(0x80 | (codePoint & 0x3F));
        } else {
            out += char(0xF0 | (codePoint >> 18));
            out += char(0x80 | ((codePoint >> 12) & 0x3F));
            out += char(0x80 | ((codePoint >> 6) & 0x3F));
            out += char(0x80 | (codePoint & 0x3F));
        }
    }

    bool EqualsAsciiIgnoringCase(std::string_view a, std::string_view b)
    {
        if (a.size() != b.size())
            return false;
        for (size_t i = 0; i < a.size(); ++i) {
            char x = (a[i] >= 'A' && a[i] <= 'Z') ? char(a[i] + 32) : a[i];
            if (x != b[i])
                return false;
        }
        return true;
    }

} // namespace

int CssTokenizer::Peek(std::size_t ahead) const
{
    std::size_t at = m_position + ahead;
    return at < m_input.size() ? (unsigned char)m_input[at] : kEnd;
}

void CssTokenizer::SkipComments()
{
    while (Peek() == '/' && Peek(1) == '*') {
        std::size_t close = m_input.find("*/", m_position + 2);
        m_position = close == std::string_view::npos ? m_input.size() : close + 2;
    }
}

bool CssTokenizer::StartsEscape(std::size_t at) const
{
    return at < m_input.size() && m_input[at] == '\\'
        && !(at + 1 < m_input.size() && IsNewline((unsigned char)m_input[at + 1]));
}

bool CssTokenizer::StartsIdentifier(std::size_t at) const
{
    auto c = [&](std::size_t i) { return at + i < m_input.size() ? (unsigned char)m_input[at + i] : kEnd; };
    if (c(0) == '-')
        return IsNameStart(c(1)) || c(1) == '-' || StartsEscape(at + 1);
    if (IsNameStart(c(0)))
        return true;
    return StartsEscape(at);
}

bool CssTokenizer::StartsNumber(std::size_t at) const
{
    auto c = [&](std::size_t i) { return at + i < m_input.size() ? (unsigned char)m_input[at + i] : kEnd; };
    if (c(0) == '+' || c(0) == '-')
        return IsDigit(c(1)) || (c(1) == '.' && IsDigit(c(2)));
    if (c(0) == '.')
        return IsDigit(c(1));
    return IsDigit(c(0));
}

void CssTokenizer::ConsumeEscape(std::string& out)
{
    // The backslash is already consumed.
    int c = Peek();
    if (c == kEnd) {
        AppendUtf8(out, 0xFFFD);
        return;
    }
    if (!IsHexDigit(c)) {
        out += char(c);
        ++m_position;
        return;
    }
    unsigned long codePoint = 0;
    for (int digits = 0; digits < 6 && IsHexDigit(Peek()); ++digits) {
        codePoint = codePoint * 16 + unsigned(HexValue(Peek()));
        ++m_position;
    }
    // One whitespace after the digits belongs to the escape; "\r\n" counts as one.
    if (Peek() == '\r' && Peek(1) == '\n')
        m_position += 2;
    else if (IsWhitespace(Peek()))
        ++m_position;
    AppendUtf8(out, codePoint);
}

std::string CssTokenizer::ConsumeName()
{
    std::string name;
    for (;;) {
        int c = Peek();
        if (c != kEnd && IsName(c)) {
            name += char(c);
            ++m_position;
        } else if (StartsEscape(m_position)) {
            ++m_position;
            ConsumeEscape(name);
        } else {
            return name;
        }
    }
}

void CssTokenizer::ConsumeNumber()
{
    if (Peek() == '+' || Peek() == '-')
        ++m_position;
    while (IsDigit(Peek()))
        ++m_position;
    if (Peek() == '.' && IsDigit(Peek(1))) {
        m_position += 1;
        while (IsDigit(Peek()))
            ++m_position;
    }
    if ((Peek() == 'e' || Peek() == 'E')
        && (IsDigit(Peek(1)) || ((Peek(1) == '+' || Peek(1) == '-') && IsDigit(Peek(2))))) {
        m_position += 2;
        while (IsDigit(Peek()))
            ++m_position;
    }
}

void CssTokenizer::ConsumeString(char quote, CssToken& token)
{
    // The opening quote is already consumed.
    token.type = CssTokenType::String;
    for (;;) {
        int c = Peek();
        if (c == kEnd)
            return;
        if (c == quote) {
            ++m_position;
            return;
        }
        if (IsNewline(c)) {
            // The newline is not part of the bad string; it starts the next token.
            token.type = CssTokenType::BadString;
            return;
        }
        ++m_position;
        if (c == '\\') {
            int next = Peek();
            if (next == kEnd)
                continue;
            if (IsNewline(next)) {
                // A line continuation.
                m_position += (next == '\r' && Peek(1) == '\n') ? 2 : 1;
                continue;
            }
            ConsumeEscape(token.value);
            continue;
        }
        token.value += char(c);
    }
}

void CssTokenizer::ConsumeBadUrlRemnants()
{
    for (;;) {
        int c = Peek();
        if (c == kEnd)
            return;
        ++m_position;
        if (c == ')')
            return;
        if (c == '\\' && Peek() != kEnd && !IsNewline(Peek())) {
            std::string ignored;
            ConsumeEscape(ignored);
        }
    }
}

void CssTokenizer::ConsumeUrl(CssToken& token)
{
    // "url(" is already consumed, and the whitespace after it.
    token.type = CssTokenType::Url;
    for (;;) {
        int c = Peek();
        if (c == kEnd)
            return;
        if (c == ')') {
            ++m_position;
            return;
        }
        if (IsWhitespace(c)) {
            while (IsWhitespace(Peek()))
                ++m_position;
            if (Peek() == ')') {
                ++m_position;
                return;
            }
            if (Peek() == kEnd)
                return;
            token.type = CssTokenType::BadUrl;
            token.value.clear();
            ConsumeBadUrlRemnants();
            return;
        }
        if (c == '"' || c == '\'' || c == '(' || IsNonPrintable(c)) {
            ++m_position;
            token.type = CssTokenType::BadUrl;
            token.value.clear();
            ConsumeBadUrlRemnants();
            return;
        }
        if (c == '\\') {
            if (StartsEscape(m_position)) {
                ++m_position;
                ConsumeEscape(token.value);
                continue;
            }
            ++m_position;
            token.type = CssTokenType::BadUrl;
            token.value.clear();
            ConsumeBadUrlRemnants();
            return;
        }
        token.value += char(c);
        ++m_position;
    }
}

void CssTokenizer::ConsumeIdentLike(CssToken& token)
{
    std::string name = ConsumeName();
    if (EqualsAsciiIgnoringCase(name, "url") && Peek() == '(') {
        ++m_position;
        std::size_t afterParen = m_position;
        while (IsWhitespace(Peek()))
            ++m_position;
        if (Peek() == '"' || Peek() == '\'') {
            // url("...") is a function whose argument is a string; the whitespace before the string
            // is left for the next token.
            m_position = afterParen;
            while (IsWhitespace(Peek()) && IsWhitespace(Peek(1)))
                ++m_position;
            token.type = CssTokenType::Function;
            token.value = std::move(name);
            return;
        }
        ConsumeUrl(token);
        return;
    }
    if (Peek() == '(') {
        ++m_position;
        token.type = CssTokenType::Function;
    } else {
        token.type = CssTokenType::Ident;
    }
    token.value = std::move(name);
}

CssToken CssTokenizer::Next()
{
    SkipComments();
    CssToken token;
    token.start = m_position;
    int c = Peek();
    auto single = [&](CssTokenType type) {
        ++m_position;
        token.type = type;
    };
    if (c == kEnd) {
        token.type = CssTokenType::EndOfFile;
    } else if (IsWhitespace(c)) {
        while (IsWhitespace(Peek()))
            ++m_position;
        token.type = CssTokenType::Whitespace;
    } else if (c == '"' || c == '\'') {
        ++m_position;
        ConsumeString(char(c), token);
    } else if (c == '#') {
        ++m_position;
        if (IsName(Peek()) || StartsEscape(m_position)) {
            token.type = CssTokenType::Hash;
            token.value = ConsumeName();
        } else {
            token.type = CssTokenType::Delim;
            token.value = "#";
        }
    } else if (c == '(') {
        single(CssTokenType::OpenParen);
    } else if (c == ')') {
        single(CssTokenType::CloseParen);
    } else if (c == '[') {
        single(CssTokenType::OpenSquare);
    } else if (c == ']') {
        single(CssTokenType::CloseSquare);
    } else if (c == '{') {
        single(CssTokenType::OpenCurly);
    } else if (c == '}') {
        single(CssTokenType::CloseCurly);
    } else if (c == ',') {
        single(CssTokenType::Comma);
    } else if (c == ':') {
        single(CssTokenType::Colon);
    } else if (c == ';') {
        single(CssTokenType::Semicolon);
    } else if (StartsNumber(m_position)) {
        ConsumeNumber();
        if (StartsIdentifier(m_position)) {
            token.type = CssTokenType::Dimension;
            token.value = ConsumeName();
        } else if (Peek() == '%') {
            ++m_position;
            token.type = CssTokenType::Percentage;
        } else {
            token.type = CssTokenType::Number;
        }
    } else if (c == '-' && Peek(1) == '-' && Peek(2) == '>') {
        m_position += 3;
        token.type = CssTokenType::Cdc;
    } else if (c == '<' && Peek(1) == '!' && Peek(2) == '-' && Peek(3) == '-') {
        m_position += 4;
        token.type = CssTokenType::Cdo;
    } else if (c == '@') {
        ++m_position;
        if (StartsIdentifier(m_position)) {
            token.type = CssTokenType::AtKeyword;
            token.value = ConsumeName();
        } else {
            token.type = CssTokenType::Delim;
            token.value = "@";
        }
    } else if (StartsIdentifier(m_position)) {
        ConsumeIdentLike(token);
    } else if (c == '\\') {
        // A backslash before a newline is no escape: a delim.
        single(CssTokenType::Delim);
        token.value = "\\";
    } else {
        single(CssTokenType::Delim);
        token.value = std::string(1, char(c));
    }
    token.end = m_position;
    return token;
}

} // namespace pagestow::offline

#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pagestow::offline {

enum class CssTokenType {
    Ident,
    Function,
    AtKeyword,
    Hash,
    String,
    BadString,
    Url,
    BadUrl,
    Delim,
    Number,
    Percentage,
    Dimension,
    Whitespace,
    Cdo,
    Cdc,
    Colon,
    Semicolon,
    Comma,
    OpenSquare,
    CloseSquare,
    OpenParen,
    CloseParen,
    OpenCurly,
    CloseCurly,
    EndOfFile,
};

struct CssToken {
    CssTokenType type = CssTokenType::EndOfFile;
    // The bytes of the token in the input: [start, end).
    std::size_t start = 0;
    std::size_t end = 0;
    // Escapes resolved: the name of an ident, function, at-keyword or hash, the value of a string or
    // url, the character of a delim.
    std::string value;
};

// Splits a stylesheet into tokens by the CSS Syntax Level 3 rules, one token at a time, so that a
// stylesheet of any size is read in bounded memory. Comments are skipped; an unterminated comment,
// string or url ends at the end of the input. Works on bytes: anything from 0x80 up is part of a name.
class CssTokenizer {
public:
    explicit CssTokenizer(std::string_view input)
        : m_input(input)
    {
    }

    // The next token; EndOfFile (again and again) once the input is used up.
    CssToken Next();

    std::size_t Position() const { return m_position; }

private:
    int Peek(std::size_t ahead = 0) const;
    void SkipComments();
    bool StartsEscape(std::size_t at) const;
    bool StartsIdentifier(std::size_t at) const;
    bool StartsNumber(std::size_t at) const;
    void ConsumeEscape(std::string& out);
    std::string ConsumeName();
    void ConsumeNumber();
    void ConsumeString(char quote, CssToken& token);
    void ConsumeIdentLike(CssToken& token);
    void ConsumeUrl(CssToken& token);
    void ConsumeBadUrlRemnants();

    std::string_view m_input;
    std::size_t m_position = 0;
};

} // namespace pagestow::offline

#pragma once

#include <string>
#include <string_view>

namespace pagestow::url {

// Appends "%" and the byte's two upper-case hex digits.
void AppendEscape(std::string& out, unsigned char byte);

// The text with the hex digits of every percent-escape in upper case ("%e4" and "%E4" are the same
// byte; the upper-case form is the one browsers write).
void UpperCaseEscapes(std::string& text);

// Whether text is well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool IsValidUtf8(std::string_view text);

// The name with its percent-escapes decoded when the decoded bytes are valid UTF-8 and hold no "/",
// "\\", NUL or other control character; otherwise the name as it is ("a%C3%A4c.gif" gives "aäc.gif").
std::string DecodeNameEscapes(std::string_view name);

} // namespace pagestow::url

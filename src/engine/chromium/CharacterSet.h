#pragma once

#include <string>
#include <string_view>

namespace pagestow::engine::chromium {

// The name iconv knows a document character set by (as document.characterSet gives it): mostly the
// same name, a few WHATWG names mapped to their iconv counterparts.
std::string IconvName(std::string_view characterSet);

// Writes UTF-8 text in characterSet. A character the set lacks becomes a character reference
// "&#xHHHH;" (upper-case hexadecimal, at least four digits). Text in a set iconv does not know, or in
// UTF-8 itself, is returned as it is; `converted` says whether it was written in characterSet.
std::string EncodeInCharacterSet(
    std::string_view utf8, std::string_view characterSet, bool* converted = nullptr);

} // namespace pagestow::engine::chromium

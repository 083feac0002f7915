#pragma once

#include <string>
#include <string_view>

namespace pagestow::engine {

// The name iconv writes a document character set under (the name as document.characterSet gives
// it). Browsers read a few sets as a larger one (Big5 as Big5-HKSCS, Shift_JIS as windows-31j,
// EUC-KR as windows-949); writing them in that larger set gives the page's own bytes back.
std::string EncoderName(std::string_view characterSet);

// Whether EncodeInCharacterSet can write the set (UTF-8 itself counts).
bool CanEncodeCharacterSet(std::string_view characterSet);

// Writes UTF-8 text in characterSet. A character the set lacks becomes the character reference
// "&#xHHHH;" (upper-case hexadecimal, at least four digits); a malformed UTF-8 byte becomes
// "&#xFFFD;". Text in a set iconv does not know, or in UTF-8 itself, is returned as it is;
// `converted` says whether it was written in characterSet.
std::string EncodeInCharacterSet(
    std::string_view utf8, std::string_view characterSet, bool* converted = nullptr);

} // namespace pagestow::engine

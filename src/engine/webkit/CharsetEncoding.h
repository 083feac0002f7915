#pragma once

#include <string>
#include <string_view>

namespace pagestow::engine::webkit {

// The UTF-8 text written in the character set a document was read in (a name such as "GBK" or
// "windows-1252", as document.characterSet gives it). A character the set lacks becomes the
// character reference "&#xHHHH;" (at least four upper-case hex digits). A set the converter does
// not know leaves the text in UTF-8.
std::string EncodeForCharset(std::string_view utf8, std::string_view charset);

// Whether EncodeForCharset can write the set (UTF-8 itself counts).
bool CanEncodeCharset(std::string_view charset);

} // namespace pagestow::engine::webkit

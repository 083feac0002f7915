#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pagestow::engine::static_engine {

// The character set a document is read in, found the way a browser finds it.
struct DetectedCharset {
    // The set's name as a document reports it ("UTF-8", "GBK", "windows-1252").
    std::string name;
    // Bytes of a byte-order mark at the start, which are not part of the text.
    size_t bomLength = 0;
};

// The character set of a document: its byte-order mark, then the charset parameter of contentType,
// then a <meta> declaration in the first 1024 bytes; a document that declares none is read as
// UTF-8 when its bytes are valid UTF-8, otherwise as windows-1252.
DetectedCharset DetectCharset(std::string_view bytes, std::string_view contentType);

// The set's name for a label ("gb2312" -> "GBK", "latin1" -> "windows-1252"), nullopt for a label
// that names no set a browser knows.
std::optional<std::string> CharsetForLabel(std::string_view label);

// The charset parameter of a Content-Type value ("text/html; charset=gbk" -> "gbk"), "" when none.
std::string CharsetParameter(std::string_view contentType);

// The set named by a <meta> declaration in the first 1024 bytes, nullopt when there is none.
std::optional<std::string> PrescanForMetaCharset(std::string_view bytes);

// The text as UTF-8; bytes that are not valid in the set become U+FFFD.
std::string DecodeToUtf8(std::string_view bytes, const std::string& charsetName);

// Whether bytes are well-formed UTF-8.
bool IsValidUtf8(std::string_view bytes);

} // namespace pagestow::engine::static_engine

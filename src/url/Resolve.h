#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pagestow::url {

// A reference as a browser reads it before resolving it: what it may not carry raw (controls,
// blanks, non-ASCII bytes and " < > ` { } | ^) percent-encoded, and "\" read as "/" before the query
// or fragment, as for http and https.
std::string EncodeReference(std::string_view value);

// Writes UTF-8 text in a character set; converted says whether it was written in that set (false for
// a set it does not know). The engines' character-set layer is one.
using CharsetEncoder = std::string (*)(std::string_view utf8, std::string_view characterSet, bool* converted);

// The character set a document writes the queries of its references in, and how to write text in it.
// The empty name is UTF-8, which needs no encoder.
struct QueryCharset {
    std::string_view name;
    CharsetEncoder encode = nullptr;
};

// The http or https address an attribute value names, read against base (an absolute address) as a
// browser reads it: surrounding blanks dropped, line breaks and tabs inside dropped, "\" read as "/",
// dot segments removed, the fragment dropped, in the canonical form. Nullopt for an empty value,
// another scheme (data:, javascript:, mailto:) or a malformed address. The query is written in the
// document's character set, its bytes outside ASCII percent-encoded, as browsers write it; the path
// stays UTF-8.
std::optional<std::string> Resolve(
    std::string_view base, std::string_view value, QueryCharset queryCharset = {});

// relative (a reference already encoded, no fragment) joined to base (an absolute address) by the
// address parser, as it stands after the join (not yet canonical); nullopt when either cannot be read.
std::optional<std::string> Join(const std::string& base, const std::string& relative);

} // namespace pagestow::url

#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pagestow::engine::static_engine {

// The lower-case scheme of an address ("http"), "" when the text starts with none.
std::string SchemeOf(std::string_view address);

// The http or https address an attribute value names, read against base (an absolute address) as a
// browser reads it: surrounding blanks dropped, line breaks and tabs inside dropped, "\" read as
// "/", dot segments removed, the fragment dropped, in the engine cache's canonical form. Nullopt
// for an empty value, another scheme (data:, javascript:, mailto:) or a malformed address. The
// query is written in queryCharset (the document's character set; "" means UTF-8), as browsers do.
std::optional<std::string> ResolveHttpUrl(
    std::string_view base, std::string_view value, std::string_view queryCharset = {});

// "scheme://host[:port]" of a canonical address, "" when it has none.
std::string OriginOf(std::string_view address);

// The Referer a browser sends from document to target (strict-origin-when-cross-origin): the
// document's address without fragment for the same origin, its origin for another one, nothing from
// https to http.
std::optional<std::string> ReferrerFor(std::string_view document, std::string_view target);

// The port of a canonical address (80 or 443 when it names none), 0 when it cannot be read.
int PortOf(std::string_view address);

// Ports browsers never connect to (the fetch standard's "bad ports").
bool IsBlockedPort(int port);

} // namespace pagestow::engine::static_engine

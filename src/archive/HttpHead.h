#pragma once

#include "archive/Exchange.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace pagestow::archive {

// Whether text is an HTTP token (a header name, a method).
bool IsHttpToken(std::string_view text);

// A header value made safe for one line: CR, LF and NUL become a blank.
std::string OneLineValue(std::string_view value);

// The request target of an absolute address: its path and query ("/a/b?c"), "/" when it has none;
// blanks, control characters and bytes beyond ASCII percent-encoded.
std::string RequestTarget(std::string_view url);

// The request as an HTTP/1.1 head: request line, header lines, blank line. nullopt when the method is
// no token.
std::optional<std::string> RequestHead(const Exchange& exchange);

// The response as an HTTP/1.1 head that matches the body written after it (bodySize bytes, nullopt
// for none): the codings that no longer apply removed and Content-Length set, each original value
// kept as X-Archive-Orig-<name>. nullopt when the status is outside 100..999.
std::optional<std::string> ResponseHead(const Exchange& exchange, std::optional<std::uint64_t> bodySize);

} // namespace pagestow::archive

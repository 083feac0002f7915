#pragma once

#include <string>
#include <string_view>

namespace pagestow::engine {

// A reference as a browser reads it before resolving it: what it may not carry raw (controls,
// blanks, non-ASCII bytes and " < > ` { } | ^) percent-encoded, and "\" read as "/" before the query
// or fragment, as for http and https.
std::string EncodeReference(std::string_view value);

} // namespace pagestow::engine

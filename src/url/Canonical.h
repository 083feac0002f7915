#pragma once

#include <string>
#include <string_view>

namespace pagestow::url {

// The address as the engine fetches it, which is also the key of the engine cache: scheme and host in
// lower case (an international host in its ASCII form), default port dropped, dot segments removed,
// fragment and user information dropped, blanks and non-ASCII bytes percent-encoded, escapes in upper
// case. Empty for a text that is no absolute address with a scheme.
std::string Canonicalize(std::string_view address);

// Whether address is an http or https address that Canonicalize gives back as it is. A quick look at
// the text: it says no to some canonical addresses (those that need a closer look), and never yes to
// one that is not.
bool IsCanonical(std::string_view address);

} // namespace pagestow::url

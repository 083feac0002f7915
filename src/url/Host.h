#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace pagestow::url {

// A host name as the engines request it and compare it: an international name in its ASCII
// (punycode) form, NFC and case folded; any other name in lower case.
std::string AsciiHost(std::string_view host);

// An international host name in its one Unicode spelling: to ASCII first (which folds case and
// normalises), then back. "" when the name is not a valid international name.
std::string UnicodeHost(std::string_view host);

// A host of an absolute address that the address record cannot read: where it lies in the address
// and how a local folder names it.
struct SpecialHost {
    std::size_t start = 0; // after any user information
    std::size_t end = 0; // the host, without a port
    // An IPv6 literal with its brackets ("[::1]"), or an international name in its Unicode spelling.
    std::string name;
    bool literal = false;
};

// The host of an address "scheme://[user@]host[:port]..." (a scheme of one to nine letters, the
// address already trimmed and with "/" for "\") when it is an IPv6 literal or a name with non-ASCII
// characters or punycode labels; nullopt for any other host, and for a name that is no valid
// international name or whose Unicode spelling holds a separator.
std::optional<SpecialHost> FindSpecialHost(std::string_view address);

} // namespace pagestow::url

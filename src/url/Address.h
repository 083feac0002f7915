#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace pagestow::url {

// The lower-case scheme of an address ("http"), "" when the text starts with none: a letter, then
// letters, digits, "+", "-" or ".", up to the first ":" ("www.example.com:8080/" names the scheme
// "www.example.com", as a browser reads it).
std::string SchemeOf(std::string_view address);

// Whether scheme (in lower case) is one the engines fetch: http or https.
bool IsHttpScheme(std::string_view scheme);

// The text of an address as a browser takes it before reading it: the blanks and controls around it
// dropped, and the tabs and line breaks inside it.
std::string TrimAddress(std::string_view text);

// An absolute address in the canonical form (Canonicalize) and where its parts lie in that text.
class Address {
public:
    // The text read as an address; nullopt for a text that is no absolute address with a scheme. An
    // address already in the canonical form is taken as it stands, without the parser.
    static std::optional<Address> Parse(std::string_view text);

    // The whole address in the canonical form.
    const std::string& Text() const { return m_text; }
    // "http", in lower case.
    std::string_view Scheme() const { return std::string_view(m_text).substr(0, m_schemeEnd); }
    // "www.example.com", "127.0.0.1", "[::1]", "xn--bcher-kva.example".
    std::string_view Host() const;
    // The port as written, "" when the address names none (the scheme's default).
    std::string_view Port() const;
    // The port, or 80 or 443 for http or https when it names none; 0 for another scheme without one.
    int PortNumber() const;
    // "scheme://host[:port]": the text before the path.
    std::string_view Origin() const { return std::string_view(m_text).substr(0, m_pathStart); }
    // Where the path starts: the "/" after the authority.
    std::size_t PathStart() const { return m_pathStart; }
    bool IsHttp() const { return IsHttpScheme(Scheme()); }

private:
    explicit Address(std::string text);

    std::string m_text;
    std::size_t m_schemeEnd = 0;
    std::size_t m_hostStart = 0;
    std::size_t m_hostEnd = 0;
    std::size_t m_pathStart = 0;
};

// "scheme://host[:port]" of address in the canonical form, "" when it is no absolute address.
std::string OriginOf(std::string_view address);

// The port of address (80 or 443 when an http or https address names none), 0 when it cannot be read.
int PortOf(std::string_view address);

// Ports browsers never connect to (the Fetch standard's "bad ports").
bool IsBlockedPort(int port);

} // namespace pagestow::url

#include "url/Address.h"

#include "base/Ascii.h"
#include "url/Canonical.h"

#include <algorithm>

namespace pagestow::url {

std::string SchemeOf(std::string_view address)
{
    size_t colon = address.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return {};
    std::string scheme;
    for (size_t i = 0; i < colon; ++i) {
        char c = address[i];
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        bool allowed = letter || (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'));
        if (!allowed)
            return {};
        scheme += base::LowerAscii(c);
    }
    return scheme;
}

bool IsHttpScheme(std::string_view scheme)
{
    return scheme == "http" || scheme == "https";
}

std::optional<Address> Address::Parse(std::string_view text)
{
    if (IsCanonical(text))
        return Address(std::string(text));
    std::string canonical = Canonicalize(text);
    if (canonical.empty())
        return std::nullopt;
    return Address(std::move(canonical));
}

// The canonical form is "scheme://authority/path[?query]", without user information.
Address::Address(std::string text)
    : m_text(std::move(text))
{
    std::string_view view(m_text);
    m_schemeEnd = std::min(view.find(':'), view.size());
    m_hostStart = view.compare(m_schemeEnd, 3, "://") == 0 ? m_schemeEnd + 3 : m_schemeEnd + 1;
    m_pathStart = std::min(view.find('/', m_hostStart), view.size());
    std::string_view authority = view.substr(m_hostStart, m_pathStart - m_hostStart);
    size_t hostLength = authority.rfind(':');
    if (hostLength == std::string_view::npos || (!authority.empty() && authority.back() == ']'))
        hostLength = authority.size();
    m_hostEnd = m_hostStart + hostLength;
}

std::string_view Address::Host() const
{
    return std::string_view(m_text).substr(m_hostStart, m_hostEnd - m_hostStart);
}

std::string_view Address::Port() const
{
    if (m_hostEnd >= m_pathStart)
        return {};
    return std::string_view(m_text).substr(m_hostEnd + 1, m_pathStart - m_hostEnd - 1);
}

int Address::PortNumber() const
{
    std::string_view port = Port();
    if (port.empty()) {
        std::string_view scheme = Scheme();
        return scheme == "https" ? 443 : scheme == "http" ? 80 : 0;
    }
    int number = 0;
    for (char c : port) {
        if (c < '0' || c > '9' || number > 65535)
            return 0;
        number = number * 10 + (c - '0');
    }
    return number;
}

std::string OriginOf(std::string_view address)
{
    auto parsed = Address::Parse(address);
    return parsed ? std::string(parsed->Origin()) : std::string();
}

int PortOf(std::string_view address)
{
    auto parsed = Address::Parse(address);
    return parsed ? parsed->PortNumber() : 0;
}

} // namespace pagestow::url

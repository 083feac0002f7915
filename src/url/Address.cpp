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

std::string TrimAddress(std::string_view text)
{
    while (!text.empty() && (unsigned char)text.front() <= 0x20)
        text.remove_prefix(1);
    while (!text.empty() && (unsigned char)text.back() <= 0x20)
        text.remove_suffix(1);
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        if (c != '\t' && c != '\n' && c != '\r')
            out += c;
    }
    return out;
}

namespace {

    // Where the parts of an address in the canonical form lie: "scheme://authority/path[?query]",
    // without user information.
    struct Layout {
        size_t schemeEnd = 0;
        size_t hostStart = 0;
        size_t hostEnd = 0;
        size_t pathStart = 0;
    };

    Layout LayoutOf(std::string_view canonical)
    {
        Layout layout;
        layout.schemeEnd = std::min(canonical.find(':'), canonical.size());
        layout.hostStart = layout.schemeEnd + (canonical.compare(layout.schemeEnd, 3, "://") == 0 ? 3 : 1);
        layout.pathStart = std::min(canonical.find('/', layout.hostStart), canonical.size());
        std::string_view authority = canonical.substr(layout.hostStart, layout.pathStart - layout.hostStart);
        // An IPv6 literal holds colons of its own, inside its brackets.
        size_t hostLength = authority.rfind(':');
        if (hostLength == std::string_view::npos || (!authority.empty() && authority.back() == ']'))
            hostLength = authority.size();
        layout.hostEnd = layout.hostStart + hostLength;
        return layout;
    }

    std::string_view PortIn(std::string_view canonical, const Layout& layout)
    {
        if (layout.hostEnd >= layout.pathStart)
            return {};
        return canonical.substr(layout.hostEnd + 1, layout.pathStart - layout.hostEnd - 1);
    }

    int PortNumberIn(std::string_view canonical, const Layout& layout)
    {
        std::string_view port = PortIn(canonical, layout);
        if (port.empty()) {
            std::string_view scheme = canonical.substr(0, layout.schemeEnd);
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

} // namespace

std::optional<Address> Address::Parse(std::string_view text)
{
    if (IsCanonical(text))
        return Address(std::string(text));
    std::string canonical = Canonicalize(text);
    if (canonical.empty())
        return std::nullopt;
    return Address(std::move(canonical));
}

Address::Address(std::string text)
    : m_text(std::move(text))
{
    Layout layout = LayoutOf(m_text);
    m_schemeEnd = layout.schemeEnd;
    m_hostStart = layout.hostStart;
    m_hostEnd = layout.hostEnd;
    m_pathStart = layout.pathStart;
}

std::string_view Address::Host() const
{
    return std::string_view(m_text).substr(m_hostStart, m_hostEnd - m_hostStart);
}

std::string_view Address::Port() const
{
    return PortIn(m_text, { m_schemeEnd, m_hostStart, m_hostEnd, m_pathStart });
}

int Address::PortNumber() const
{
    return PortNumberIn(m_text, { m_schemeEnd, m_hostStart, m_hostEnd, m_pathStart });
}

// An address already in the canonical form (every address the engines request) is read where it
// stands, without a copy of its text.
std::string OriginOf(std::string_view address)
{
    if (IsCanonical(address))
        return std::string(address.substr(0, LayoutOf(address).pathStart));
    auto parsed = Address::Parse(address);
    return parsed ? std::string(parsed->Origin()) : std::string();
}

int PortOf(std::string_view address)
{
    if (IsCanonical(address))
        return PortNumberIn(address, LayoutOf(address));
    auto parsed = Address::Parse(address);
    return parsed ? parsed->PortNumber() : 0;
}

bool IsBlockedPort(int port)
{
    static constexpr int kBlocked[] = { 1, 7, 9, 11, 13, 15, 17, 19, 20, 21, 22, 23, 25, 37, 42, 43, 53, 69,
        77, 79, 87, 95, 101, 102, 103, 104, 109, 110, 111, 113, 115, 117, 119, 123, 135, 137, 139, 143, 161,
        179, 389, 427, 465, 512, 513, 514, 515, 526, 530, 531, 532, 540, 548, 554, 556, 563, 587, 601, 636,
        989, 990, 993, 995, 1719, 1720, 1723, 2049, 3659, 4045, 4190, 5060, 5061, 6000, 6566, 6665, 6666,
        6667, 6668, 6669, 6679, 6697, 10080 };
    return std::binary_search(std::begin(kBlocked), std::end(kBlocked), port);
}

} // namespace pagestow::url

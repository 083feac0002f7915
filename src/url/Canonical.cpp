#include "url/Canonical.h"

#include "base/Ascii.h"
#include "url/Address.h"
#include "url/CurlUrl.h"
#include "url/Escapes.h"
#include "url/Host.h"

#include <algorithm>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace pagestow::url {
namespace {

    // Addresses longer than this always take the parser, which bounds what it accepts.
    constexpr size_t kFastCanonicalLength = 64 * 1024;

    using base::IsHexDigit;

    // The schemes whose "\" a browser reads as "/".
    bool IsSpecialScheme(std::string_view scheme)
    {
        static constexpr std::string_view kSpecial[] = { "http", "https", "ftp", "ws", "wss", "file" };
        for (std::string_view special : kSpecial) {
            if (scheme.size() == special.size()
                && std::equal(scheme.begin(), scheme.end(), special.begin(),
                    [](char a, char b) { return base::LowerAscii(a) == b; }))
                return true;
        }
        return false;
    }

    // A character that may stand as it is in the path or query of a canonical address: the
    // unreserved and sub-delimiter characters, ":" and "@" (RFC 3986 "pchar"), and "/".
    bool IsPlainAddressCharacter(char c)
    {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
            return true;
        return std::string_view("-._~!$&'()*+,;=:@/").find(c) != std::string_view::npos;
    }

    // A host name the canonical form writes as it is: labels of lower-case letters, digits and
    // hyphens. A name whose last label starts with a digit is an IPv4 address, which the canonical
    // form writes as four decimal numbers ("127.1" and "0x7f.0.0.1" are other forms of it).
    bool IsPlainHost(std::string_view host)
    {
        if (host.empty() || host.size() > 253)
            return false;
        size_t lastLabel = host.rfind('.');
        lastLabel = lastLabel == std::string_view::npos ? 0 : lastLabel + 1;
        bool numeric = lastLabel < host.size() && host[lastLabel] >= '0' && host[lastLabel] <= '9';
        if (!numeric) {
            size_t labelStart = 0;
            for (size_t i = 0; i <= host.size(); ++i) {
                if (i == host.size() || host[i] == '.') {
                    size_t length = i - labelStart;
                    if (length == 0 || length > 63 || host[labelStart] == '-' || host[i - 1] == '-')
                        return false;
                    labelStart = i + 1;
                    continue;
                }
                char c = host[i];
                if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'))
                    return false;
            }
            return true;
        }
        int parts = 0;
        size_t start = 0;
        for (size_t i = 0; i <= host.size(); ++i) {
            if (i < host.size() && host[i] != '.') {
                if (host[i] < '0' || host[i] > '9' || i - start >= 3)
                    return false;
                continue;
            }
            std::string_view part = host.substr(start, i - start);
            if (part.empty() || (part.size() > 1 && part[0] == '0') || std::stoi(std::string(part)) > 255)
                return false;
            ++parts;
            start = i + 1;
        }
        return parts == 4;
    }

    // Prepares a text the way a browser does before parsing it as an address: surrounding blanks and
    // controls go, tabs and line breaks inside go, "\" becomes "/" in the path of a special scheme,
    // and blanks, controls and non-ASCII bytes after the authority are percent-encoded. The
    // authority is left alone so that an international host name reaches the IDN conversion.
    std::string PrepareAddress(std::string_view address)
    {
        std::string text = TrimAddress(address);
        size_t colon = text.find(':');
        size_t authorityEnd = 0;
        bool special = false;
        if (colon != std::string::npos) {
            special = IsSpecialScheme(std::string_view(text).substr(0, colon));
            size_t start = colon + 1;
            auto isSlash = [&](size_t i) {
                return i < text.size() && (text[i] == '/' || (special && text[i] == '\\'));
            };
            if (isSlash(start) && isSlash(start + 1)) {
                authorityEnd = text.find_first_of(special ? "/\\?#" : "/?#", start + 2);
                if (authorityEnd == std::string::npos)
                    authorityEnd = text.size();
                if (special) {
                    text[start] = '/';
                    text[start + 1] = '/';
                }
            } else {
                authorityEnd = start;
            }
        }

        std::string out = text.substr(0, authorityEnd);
        bool inPath = true;
        for (size_t i = authorityEnd; i < text.size(); ++i) {
            unsigned char c = (unsigned char)text[i];
            if (c == '?' || c == '#')
                inPath = false;
            if (c <= 0x20 || c >= 0x7F)
                AppendEscape(out, c);
            else if (special && inPath && c == '\\')
                out += '/';
            else
                out += char(c);
        }
        return out;
    }

    // The canonical form by the parser: curl's URL API with the steps browsers take around it.
    std::string CanonicalForm(std::string_view address)
    {
        std::string prepared = PrepareAddress(address);
        if (prepared.empty())
            return {};

        UrlHandle url(curl_url());
        if (!url)
            return {};
        // 1. Parse without guessing a scheme: a text without one is no address of the cache. Dot
        //    segments are removed here and the scheme is lower-cased.
        if (curl_url_set(url.get(), CURLUPART_URL, prepared.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
            return {};
        // 2. Host names compare without regard to letter case (curl keeps the case it was given), and
        //    an international name in its ASCII form, as the engines put it on the wire.
        if (auto host = GetPart(url.get(), CURLUPART_HOST, 0)) {
            std::string canonicalHost = AsciiHost(*host);
            if (canonicalHost != *host
                && curl_url_set(url.get(), CURLUPART_HOST, canonicalHost.c_str(), 0) != CURLUE_OK)
                return {};
        }
        // 3. The fragment never reaches the server, and user information never names another resource
        //    (browsers send it as a header, if at all; the address they request is without it).
        curl_url_set(url.get(), CURLUPART_FRAGMENT, nullptr, 0);
        curl_url_set(url.get(), CURLUPART_USER, nullptr, 0);
        curl_url_set(url.get(), CURLUPART_PASSWORD, nullptr, 0);
        // 4. Without the default port.
        auto canonical = GetPart(url.get(), CURLUPART_URL, CURLU_NO_DEFAULT_PORT);
        if (!canonical)
            return {};
        UpperCaseEscapes(*canonical);
        return *canonical;
    }

    // The canonical forms worked out so far, by the exact text asked about: an address is
    // canonicalised when it is resolved, requested, indexed and looked up again by the capture, and
    // each time the parse costs more than the look-up here.
    class CanonicalMemo {
    public:
        std::optional<std::string> Find(std::string_view address)
        {
            std::lock_guard lock(m_mutex);
            auto it = m_forms.find(address);
            if (it == m_forms.end())
                return std::nullopt;
            return it->second;
        }
        void Remember(std::string_view address, const std::string& canonical)
        {
            std::lock_guard lock(m_mutex);
            if (m_forms.size() >= kLimit)
                m_forms.clear();
            m_forms.emplace(std::string(address), canonical);
        }
        static CanonicalMemo& Shared()
        {
            // Never destroyed: a cache torn down at exit may still ask.
            static CanonicalMemo* memo = new CanonicalMemo;
            return *memo;
        }

    private:
        struct Hash {
            using is_transparent = void;
            size_t operator()(std::string_view text) const { return std::hash<std::string_view>()(text); }
        };
        static constexpr size_t kLimit = 1 << 16;
        std::mutex m_mutex;
        std::unordered_map<std::string, std::string, Hash, std::equal_to<>> m_forms;
    };

} // namespace

// Already in the canonical form, so that parsing it would give it back as it is: http or https in
// lower case, a plain host, a port other than the scheme's default, a path, no user information, no
// fragment, no dot segment, and only plain characters and upper-case escapes in the path and query.
// Most addresses a page names are; anything else takes the parser.
bool IsCanonical(std::string_view address)
{
    if (address.size() > kFastCanonicalLength)
        return false;
    std::string_view rest;
    std::string_view defaultPort;
    if (address.rfind("http://", 0) == 0) {
        rest = address.substr(7);
        defaultPort = "80";
    } else if (address.rfind("https://", 0) == 0) {
        rest = address.substr(8);
        defaultPort = "443";
    } else {
        return false;
    }
    size_t pathStart = rest.find('/');
    if (pathStart == std::string_view::npos)
        return false;
    std::string_view authority = rest.substr(0, pathStart);
    size_t colon = authority.find(':');
    if (colon != std::string_view::npos) {
        std::string_view port = authority.substr(colon + 1);
        if (port.empty() || port.size() > 5 || port[0] == '0' || port == defaultPort
            || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })
            || std::stoi(std::string(port)) > 65535)
            return false;
        authority = authority.substr(0, colon);
    }
    if (!IsPlainHost(authority))
        return false;

    bool inQuery = false;
    size_t segmentStart = pathStart;
    for (size_t i = pathStart; i <= rest.size(); ++i) {
        bool end = i == rest.size();
        char c = end ? '/' : rest[i];
        if (!inQuery && (c == '/' || c == '?')) {
            // The segment that ends here: "." and ".." are removed by the parser.
            std::string_view segment = rest.substr(segmentStart + 1, i - segmentStart - 1);
            if (i > pathStart && (segment == "." || segment == ".."))
                return false;
            segmentStart = i;
            inQuery = c == '?';
            continue;
        }
        if (end)
            break;
        if (c == '%') {
            // An upper-case escape, and none of a dot (which the parser may read as one).
            if (i + 2 >= rest.size() || !IsHexDigit(rest[i + 1]) || !IsHexDigit(rest[i + 2])
                || (rest[i + 1] >= 'a' && rest[i + 1] <= 'f') || (rest[i + 2] >= 'a' && rest[i + 2] <= 'f')
                || (rest[i + 1] == '2' && rest[i + 2] == 'E'))
                return false;
            i += 2;
            continue;
        }
        if (!IsPlainAddressCharacter(c) && !(inQuery && c == '?'))
            return false;
    }
    // The parser drops an empty query.
    if (address.back() == '?' && inQuery && address.find('?') == address.size() - 1)
        return false;
    return true;
}

std::string Canonicalize(std::string_view address)
{
    if (IsCanonical(address))
        return std::string(address);
    CanonicalMemo& memo = CanonicalMemo::Shared();
    if (auto known = memo.Find(address))
        return std::move(*known);
    std::string canonical = CanonicalForm(address);
    memo.Remember(address, canonical);
    return canonical;
}

} // namespace pagestow::url

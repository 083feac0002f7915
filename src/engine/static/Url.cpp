#include "engine/static/Url.h"

#include "base/Ascii.h"
#include "engine/CharacterSet.h"
#include "engine/EngineCache.h"
#include "engine/ReferenceText.h"
#include "engine/static/Handles.h"

#include <curl/curl.h>

#include <algorithm>
#include <memory>

namespace pagestow::engine::static_engine {
namespace {

    using UrlHandle = CurlUrl;

    std::optional<std::string> GetPart(CURLU* url, CURLUPart part, unsigned int flags = 0)
    {
        char* text = nullptr;
        if (curl_url_get(url, part, &text, flags) != CURLUE_OK || !text)
            return std::nullopt;
        std::string result(text);
        curl_free(text);
        return result;
    }

    bool IsUtf8Name(std::string_view charset)
    {
        std::string lower;
        for (char c : charset)
            lower += base::LowerAscii(c);
        return lower.empty() || lower == "utf-8" || lower == "utf8";
    }

    // The query written in the document's character set, its bytes outside ASCII percent-encoded, as
    // browsers write it; the path and the fragment stay UTF-8.
    std::string WithQueryInCharset(const std::string& text, std::string_view charset)
    {
        size_t question = text.find('?');
        size_t hash = text.find('#');
        if (question == std::string::npos || (hash != std::string::npos && hash < question))
            return text;
        size_t end = hash == std::string::npos ? text.size() : hash;
        std::string_view query = std::string_view(text).substr(question + 1, end - question - 1);
        if (std::all_of(query.begin(), query.end(), [](char c) { return (unsigned char)c < 0x80; }))
            return text;
        bool converted = false;
        std::string bytes = EncodeInCharacterSet(query, charset, &converted);
        if (!converted)
            return text;
        static constexpr char kHex[] = "0123456789ABCDEF";
        std::string out = text.substr(0, question + 1);
        for (char ch : bytes) {
            unsigned char c = (unsigned char)ch;
            if (c >= 0x80) {
                out += '%';
                out += kHex[c >> 4];
                out += kHex[c & 0x0F];
            } else {
                out += ch;
            }
        }
        return out + text.substr(end);
    }

    bool IsHttpScheme(std::string_view scheme)
    {
        return scheme == "http" || scheme == "https";
    }

    // Where the path of an address with an authority starts ("http://host:81/p": the "/" before "p"),
    // or npos.
    size_t PathStart(std::string_view address)
    {
        size_t scheme = address.find("://");
        return scheme == std::string_view::npos ? scheme : address.find('/', scheme + 3);
    }

    // A reference that is a path (and query) joined to a canonical base, as text: the common case of
    // a page's references. Only a join whose result is canonical as it stands is taken; anything
    // else (dot segments, escapes to look at, a reference that is only a query) goes to the parser.
    std::optional<std::string> JoinPlainReference(const std::string& canonicalBase, std::string_view relative)
    {
        if (relative.empty() || relative[0] == '?' || relative.find_first_of("\\#") != std::string_view::npos)
            return std::nullopt;
        // A colon before the first slash could be read as a scheme.
        size_t firstSlash = relative.find_first_of("/?");
        if (relative.substr(0, firstSlash).find(':') != std::string_view::npos)
            return std::nullopt;
        size_t pathStart = PathStart(canonicalBase);
        if (pathStart == std::string::npos)
            return std::nullopt;
        std::string joined;
        if (relative[0] == '/') {
            joined.reserve(pathStart + relative.size());
            joined.append(canonicalBase, 0, pathStart).append(relative);
        } else {
            size_t query = canonicalBase.find('?', pathStart);
            size_t lastSlash = canonicalBase.rfind('/', query);
            joined.reserve(lastSlash + 1 + relative.size());
            joined.append(canonicalBase, 0, lastSlash + 1).append(relative);
        }
        if (!EngineCache::IsCanonical(joined))
            return std::nullopt;
        return joined;
    }

} // namespace

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

std::optional<std::string> ResolveHttpUrl(
    std::string_view base, std::string_view value, std::string_view queryCharset)
{
    // 1. Strip the blanks around the value and the tabs and line breaks inside it.
    while (!value.empty() && ((unsigned char)value.front() <= 0x20))
        value.remove_prefix(1);
    while (!value.empty() && ((unsigned char)value.back() <= 0x20))
        value.remove_suffix(1);
    std::string text;
    for (char c : value) {
        if (c != '\t' && c != '\n' && c != '\r')
            text += c;
    }
    if (text.empty())
        return std::nullopt;
    if (!IsUtf8Name(queryCharset))
        text = WithQueryInCharset(text, queryCharset);

    // 2. An absolute address stands as it is; only http and https are fetched.
    std::string scheme = SchemeOf(text);
    if (!scheme.empty()) {
        if (!IsHttpScheme(scheme))
            return std::nullopt;
        // "http:foo" without slashes is relative to a base of the same scheme.
        std::string_view rest = std::string_view(text).substr(scheme.size() + 1);
        bool slashes = rest.size() >= 1 && (rest[0] == '/' || rest[0] == '\\');
        if (slashes || SchemeOf(base) != scheme) {
            std::string canonical = EngineCache::Canonicalize(text);
            if (canonical.empty() || !IsHttpScheme(SchemeOf(canonical)))
                return std::nullopt;
            return canonical;
        }
        text = std::string(rest);
    }

    // 3. A relative reference, joined to the base by curl's resolver. A page resolves all its
    //    references against one base: it is read once, not once a reference.
    struct ParsedBase {
        std::string text;
        std::string canonical;
        UrlHandle url;
    };
    thread_local ParsedBase last;
    if (!last.url || last.text != base) {
        last.text = std::string(base);
        last.canonical = EngineCache::Canonicalize(base);
        last.url.reset(curl_url());
        if (last.url && !last.canonical.empty()
            && curl_url_set(last.url.get(), CURLUPART_URL, last.canonical.c_str(), 0) != CURLUE_OK)
            last.url.reset();
    }
    const std::string& canonicalBase = last.canonical;
    if (canonicalBase.empty())
        return std::nullopt;
    std::string relative = engine::EncodeReference(text);
    // A reference made of slashes and backslashes only up to the host ("\\host\x") is protocol-relative.
    if (relative.rfind("//", 0) == 0) {
        std::string canonical = EngineCache::Canonicalize(SchemeOf(canonicalBase) + ":" + text);
        if (canonical.empty())
            return std::nullopt;
        return canonical;
    }
    if (relative[0] == '#')
        return canonicalBase;
    if (auto joined = JoinPlainReference(canonicalBase, relative))
        return joined;
    if (!last.url)
        return std::nullopt;
    UrlHandle url(curl_url_dup(last.url.get()));
    if (!url || curl_url_set(url.get(), CURLUPART_URL, relative.c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    auto joined = GetPart(url.get(), CURLUPART_URL);
    if (!joined)
        return std::nullopt;
    std::string canonical = EngineCache::Canonicalize(*joined);
    if (canonical.empty() || !IsHttpScheme(SchemeOf(canonical)))
        return std::nullopt;
    return canonical;
}

namespace {

    std::string ParseOrigin(std::string_view address)
    {
        // A canonical address has its origin written out before its path.
        if (EngineCache::IsCanonical(address))
            return std::string(address.substr(0, PathStart(address)));
        UrlHandle url(curl_url());
        std::string text(address);
        if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK)
            return {};
        auto scheme = GetPart(url.get(), CURLUPART_SCHEME);
        auto host = GetPart(url.get(), CURLUPART_HOST);
        if (!scheme || !host)
            return {};
        std::string origin = *scheme + "://" + *host;
        if (auto port = GetPart(url.get(), CURLUPART_PORT, CURLU_NO_DEFAULT_PORT))
            origin += ":" + *port;
        return origin;
    }

    // Every request of a page asks for the origin of the same document: the last answer is kept.
    std::string DocumentOrigin(std::string_view document)
    {
        thread_local std::string lastDocument;
        thread_local std::string lastOrigin;
        thread_local bool known = false;
        if (known && document == lastDocument)
            return lastOrigin;
        lastOrigin = ParseOrigin(document);
        lastDocument.assign(document);
        known = true;
        return lastOrigin;
    }

} // namespace

std::string OriginOf(std::string_view address)
{
    return ParseOrigin(address);
}

std::optional<std::string> ReferrerFor(std::string_view document, std::string_view target)
{
    if (!IsHttpScheme(SchemeOf(document)))
        return std::nullopt;
    if (SchemeOf(document) == "https" && SchemeOf(target) == "http")
        return std::nullopt;
    std::string origin = DocumentOrigin(document);
    if (origin.empty())
        return std::nullopt;
    if (origin == OriginOf(target)) {
        std::string full(document.substr(0, document.find('#')));
        return full;
    }
    return origin + "/";
}

int PortOf(std::string_view address)
{
    if (EngineCache::IsCanonical(address)) {
        std::string_view origin = address.substr(0, PathStart(address));
        size_t colon = origin.find(':', origin.find("://") + 3);
        if (colon == std::string_view::npos)
            return SchemeOf(address) == "https" ? 443 : 80;
        return std::stoi(std::string(origin.substr(colon + 1)));
    }
    UrlHandle url(curl_url());
    std::string text(address);
    if (!url || curl_url_set(url.get(), CURLUPART_URL, text.c_str(), 0) != CURLUE_OK)
        return 0;
    auto port = GetPart(url.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    if (!port || port->empty() || port->size() > 5)
        return 0;
    return std::stoi(*port);
}

bool IsBlockedPort(int port)
{
    static constexpr int kBlocked[] = { 1, 7, 9, 11, 13, 15, 17, 19, 20, 21, 22, 23, 25, 37, 42, 43, 53, 69,
        77, 79, 87, 95, 101, 102, 103, 104, 109, 110, 111, 113, 115, 117, 119, 123, 135, 137, 139, 143, 161,
        179, 389, 427, 465, 512, 513, 514, 515, 526, 530, 531, 532, 540, 548, 554, 556, 563, 587, 601, 636,
        989, 990, 993, 995, 1719, 1720, 1723, 2049, 3659, 4045, 4190, 5060, 5061, 6000, 6566, 6665, 6666,
        6667, 6668, 6669, 6679, 6697, 10080 };
    return std::find(std::begin(kBlocked), std::end(kBlocked), port) != std::end(kBlocked);
}

} // namespace pagestow::engine::static_engine

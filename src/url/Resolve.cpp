#include "url/Resolve.h"

#include "base/Ascii.h"
#include "url/Address.h"
#include "url/Canonical.h"
#include "url/CurlUrl.h"
#include "url/Escapes.h"

#include <algorithm>

namespace pagestow::url {
namespace {

    bool IsUtf8Name(std::string_view charset)
    {
        std::string lower = base::LowerAscii(charset);
        return lower.empty() || lower == "utf-8" || lower == "utf8";
    }

    // The query written in the document's character set, its bytes outside ASCII percent-encoded, as
    // browsers write it; the path and the fragment stay UTF-8.
    std::string WithQueryInCharset(const std::string& text, QueryCharset charset)
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
        std::string bytes = charset.encode(query, charset.name, &converted);
        if (!converted)
            return text;
        std::string out = text.substr(0, question + 1);
        for (char ch : bytes) {
            unsigned char c = (unsigned char)ch;
            if (c >= 0x80)
                AppendEscape(out, c);
            else
                out += ch;
        }
        return out + text.substr(end);
    }

    // A reference that is a path (and query) joined to a canonical base, as text: the common case of
    // a page's references. Only a join whose result is canonical as it stands is taken; anything
    // else (dot segments, escapes to look at, a reference that is only a query) goes to the parser.
    std::optional<std::string> JoinPlainReference(const Address& base, std::string_view relative)
    {
        if (relative.empty() || relative[0] == '?' || relative.find_first_of("\\#") != std::string_view::npos)
            return std::nullopt;
        // A colon before the first slash could be read as a scheme.
        size_t firstSlash = relative.find_first_of("/?");
        if (relative.substr(0, firstSlash).find(':') != std::string_view::npos)
            return std::nullopt;
        const std::string& canonicalBase = base.Text();
        size_t pathStart = base.PathStart();
        if (pathStart == canonicalBase.size())
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
        if (!IsCanonical(joined))
            return std::nullopt;
        return joined;
    }

} // namespace

std::string EncodeReference(std::string_view value)
{
    std::string out;
    bool inPath = true;
    for (char ch : value) {
        unsigned char c = (unsigned char)ch;
        if (c == '?' || c == '#')
            inPath = false;
        if (c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '`' || c == '{' || c == '}'
            || c == '|' || c == '^') {
            AppendEscape(out, c);
        } else if (inPath && c == '\\') {
            out += '/';
        } else {
            out += ch;
        }
    }
    return out;
}

std::optional<std::string> Resolve(std::string_view base, std::string_view value, QueryCharset queryCharset)
{
    // 1. Strip the blanks around the value and the tabs and line breaks inside it.
    std::string text = TrimAddress(value);
    if (text.empty())
        return std::nullopt;
    if (queryCharset.encode && !IsUtf8Name(queryCharset.name))
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
            std::string canonical = Canonicalize(text);
            if (canonical.empty() || !IsHttpScheme(SchemeOf(canonical)))
                return std::nullopt;
            return canonical;
        }
        text = std::string(rest);
    }

    // 3. A relative reference, joined to the base by the parser. A page resolves all its references
    //    against one base: it is read once, not once a reference.
    struct ParsedBase {
        std::string text;
        std::optional<Address> address;
        UrlHandle url;
    };
    thread_local ParsedBase last;
    if (!last.url || last.text != base) {
        last.text = std::string(base);
        last.address = Address::Parse(base);
        last.url.reset(curl_url());
        if (last.url && last.address
            && curl_url_set(last.url.get(), CURLUPART_URL, last.address->Text().c_str(), 0) != CURLUE_OK)
            last.url.reset();
    }
    if (!last.address)
        return std::nullopt;
    const std::string& canonicalBase = last.address->Text();
    std::string relative = EncodeReference(text);
    // A reference made of slashes and backslashes only up to the host ("\\host\x") is protocol-relative.
    if (relative.rfind("//", 0) == 0) {
        std::string canonical = Canonicalize(std::string(last.address->Scheme()) + ":" + text);
        if (canonical.empty())
            return std::nullopt;
        return canonical;
    }
    if (relative[0] == '#')
        return canonicalBase;
    if (auto joined = JoinPlainReference(*last.address, relative))
        return joined;
    if (!last.url)
        return std::nullopt;
    UrlHandle url(curl_url_dup(last.url.get()));
    if (!url || curl_url_set(url.get(), CURLUPART_URL, relative.c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    auto joined = GetPart(url.get(), CURLUPART_URL);
    if (!joined)
        return std::nullopt;
    std::string canonical = Canonicalize(*joined);
    if (canonical.empty() || !IsHttpScheme(SchemeOf(canonical)))
        return std::nullopt;
    return canonical;
}

std::optional<std::string> Join(const std::string& base, const std::string& relative)
{
    UrlHandle url(curl_url());
    if (!url || curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    if (curl_url_set(url.get(), CURLUPART_URL, relative.c_str(), 0) != CURLUE_OK)
        return std::nullopt;
    return GetPart(url.get(), CURLUPART_URL);
}

} // namespace pagestow::url

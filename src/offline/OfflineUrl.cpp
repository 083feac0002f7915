#include "offline/OfflineUrl.h"

#include "base/Ascii.h"
#include "base/Owned.h"
#include "engine/EngineCache.h"
#include "engine/ReferenceText.h"

#include <curl/curl.h>

#include <memory>
#include <vector>

namespace pagestow::offline {
namespace {

    using UrlHandle = base::Owned<CURLU, curl_url_cleanup>;

    std::string SchemeOf(std::string_view address)
    {
        size_t colon = address.find(':');
        if (colon == std::string_view::npos || colon == 0)
            return {};
        std::string scheme;
        for (size_t i = 0; i < colon; ++i) {
            char c = address[i];
            bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            if (!(letter || (i > 0 && ((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.'))))
                return {};
            scheme += (c >= 'A' && c <= 'Z') ? char(c + 32) : c;
        }
        return scheme;
    }

    // A path segment written as "%2e%2e", ".%2E" or "%2e" is ".." or "." to a browser.
    std::string DecodeDotSegments(const std::string& reference)
    {
        size_t pathEnd = reference.find_first_of("?#");
        if (pathEnd == std::string::npos)
            pathEnd = reference.size();
        std::string out;
        size_t start = 0;
        while (start <= pathEnd) {
            size_t end = reference.find('/', start);
            if (end == std::string::npos || end > pathEnd)
                end = pathEnd;
            const std::string_view segment = std::string_view(reference).substr(start, end - start);
            const std::string lower = base::LowerAscii(segment);
            if (lower == "%2e")
                out += '.';
            else if (lower == "%2e%2e" || lower == ".%2e" || lower == "%2e.")
                out += "..";
            else
                out += segment;
            if (end == pathEnd)
                break;
            out += '/';
            start = end + 1;
        }
        return out + reference.substr(pathEnd);
    }

    bool IsHttp(std::string_view scheme)
    {
        return scheme == "http" || scheme == "https";
    }

    std::optional<std::string> Joined(const std::string& base, const std::string& relative)
    {
        UrlHandle url(curl_url());
        if (!url || curl_url_set(url.get(), CURLUPART_URL, base.c_str(), 0) != CURLUE_OK)
            return std::nullopt;
        if (curl_url_set(url.get(), CURLUPART_URL, relative.c_str(), 0) != CURLUE_OK)
            return std::nullopt;
        char* text = nullptr;
        if (curl_url_get(url.get(), CURLUPART_URL, &text, 0) != CURLUE_OK || !text)
            return std::nullopt;
        std::string joined(text);
        curl_free(text);
        return joined;
    }

} // namespace

std::optional<ResolvedReference> ResolveReference(std::string_view base, std::string_view value)
{
    // 1. Blanks around the value, tabs and line breaks inside it, go.
    while (!value.empty() && (unsigned char)value.front() <= 0x20)
        value.remove_prefix(1);
    while (!value.empty() && (unsigned char)value.back() <= 0x20)
        value.remove_suffix(1);
    std::string text;
    for (char c : value) {
        if (c != '\t' && c != '\n' && c != '\r')
            text += c;
    }
    if (text.empty() || text[0] == '#')
        return std::nullopt;

    // 2. The fragment stays with the address but takes no part in finding the file.
    std::string fragment;
    if (size_t hash = text.find('#'); hash != std::string::npos) {
        fragment = text.substr(hash);
        text.erase(hash);
    }

    // 3. Only http and https addresses name something the engine loaded.
    std::string scheme = SchemeOf(text);
    std::string baseScheme = SchemeOf(base);
    std::string joined;
    if (!scheme.empty()) {
        if (!IsHttp(scheme))
            return std::nullopt;
        std::string_view rest = std::string_view(text).substr(scheme.size() + 1);
        bool slashes = !rest.empty() && (rest[0] == '/' || rest[0] == '\\');
        if (slashes || baseScheme != scheme)
            joined = engine::EncodeReference(text);
        else
            text = std::string(rest);
    }
    if (joined.empty()) {
        std::string canonicalBase = engine::EngineCache::Canonicalize(base);
        if (canonicalBase.empty() || !IsHttp(SchemeOf(canonicalBase)))
            return std::nullopt;
        std::string relative = DecodeDotSegments(engine::EncodeReference(text));
        if (relative.rfind("//", 0) == 0) {
            joined = SchemeOf(canonicalBase) + ":" + relative;
        } else if (relative.empty()) {
            joined = canonicalBase;
        } else {
            auto result = Joined(canonicalBase, relative);
            if (!result)
                return std::nullopt;
            joined = *result;
        }
    }
    std::string canonical = engine::EngineCache::Canonicalize(joined);
    if (canonical.empty() || !IsHttp(SchemeOf(canonical)))
        return std::nullopt;
    return ResolvedReference { canonical, canonical + fragment, fragment };
}

const std::optional<ResolvedReference>& ReferenceResolver::Resolve(std::string_view value)
{
    // Bounded for stylesheets of countless different addresses.
    constexpr size_t kMaxKnown = 65'536;
    std::string key(value);
    if (auto found = m_known.find(key); found != m_known.end())
        return found->second;
    if (m_known.size() >= kMaxKnown)
        m_known.clear();
    return m_known.emplace(std::move(key), ResolveReference(m_base, value)).first->second;
}

bool IsInside(const std::filesystem::path& root, const std::filesystem::path& path)
{
    auto normalRoot = root.lexically_normal();
    auto normalPath = path.lexically_normal();
    auto rel = normalPath.lexically_relative(normalRoot);
    if (rel.empty())
        return false;
    for (const auto& part : rel) {
        if (part == "..")
            return false;
    }
    return true;
}

std::optional<std::string> RelativeAddress(const std::filesystem::path& root,
    const std::filesystem::path& folder, const std::filesystem::path& target)
{
    if (!IsInside(root, target)
        || !(IsInside(root, folder) || folder.lexically_normal() == root.lexically_normal()))
        return std::nullopt;
    std::filesystem::path rel = target.lexically_normal().lexically_relative(folder.lexically_normal());
    if (rel.empty())
        return std::nullopt;
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : rel.generic_string()) {
        unsigned char c = (unsigned char)ch;
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
            || c == '.' || c == '_' || c == '~' || c == '/' || c == '!' || c == '$' || c == '&' || c == '\''
            || c == '*' || c == '+' || c == ',' || c == ';' || c == '=' || c == '@';
        if (plain) {
            out += ch;
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

} // namespace pagestow::offline

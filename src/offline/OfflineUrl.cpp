#include "offline/OfflineUrl.h"

#include "base/Ascii.h"
#include "url/Address.h"
#include "url/Canonical.h"
#include "url/Escapes.h"
#include "url/Resolve.h"

namespace pagestow::offline {
namespace {

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

} // namespace

std::optional<ResolvedReference> ResolveReference(std::string_view base, std::string_view value)
{
    // 1. Blanks around the value, tabs and line breaks inside it, go.
    std::string text = url::TrimAddress(value);
    if (text.empty() || text[0] == '#')
        return std::nullopt;

    // 2. The fragment stays with the address but takes no part in finding the file.
    std::string fragment;
    if (size_t hash = text.find('#'); hash != std::string::npos) {
        fragment = text.substr(hash);
        text.erase(hash);
    }

    // 3. Only http and https addresses name something the engine loaded.
    std::string scheme = url::SchemeOf(text);
    std::string baseScheme = url::SchemeOf(base);
    std::string joined;
    if (!scheme.empty()) {
        if (!url::IsHttpScheme(scheme))
            return std::nullopt;
        std::string_view rest = std::string_view(text).substr(scheme.size() + 1);
        bool slashes = !rest.empty() && (rest[0] == '/' || rest[0] == '\\');
        if (slashes || baseScheme != scheme)
            joined = url::EncodeReference(text);
        else
            text = std::string(rest);
    }
    if (joined.empty()) {
        auto baseAddress = url::Address::Parse(base);
        if (!baseAddress || !baseAddress->IsHttp())
            return std::nullopt;
        const std::string& canonicalBase = baseAddress->Text();
        std::string relative = DecodeDotSegments(url::EncodeReference(text));
        if (relative.rfind("//", 0) == 0) {
            joined = std::string(baseAddress->Scheme()) + ":" + relative;
        } else if (relative.empty()) {
            joined = canonicalBase;
        } else {
            auto result = url::Join(canonicalBase, relative);
            if (!result)
                return std::nullopt;
            joined = *result;
        }
    }
    std::string canonical = url::Canonicalize(joined);
    if (canonical.empty() || !url::IsHttpScheme(url::SchemeOf(canonical)))
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
    std::string out;
    for (char ch : rel.generic_string()) {
        unsigned char c = (unsigned char)ch;
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-'
            || c == '.' || c == '_' || c == '~' || c == '/' || c == '!' || c == '$' || c == '&' || c == '\''
            || c == '*' || c == '+' || c == ',' || c == ';' || c == '=' || c == '@';
        if (plain)
            out += ch;
        else
            url::AppendEscape(out, c);
    }
    return out;
}

} // namespace pagestow::offline

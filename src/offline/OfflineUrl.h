#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace pagestow::offline {

// An address found in a page, read against its base as a browser reads it.
struct ResolvedReference {
    // The http or https address in the engine cache's canonical form (no fragment).
    std::string canonical;
    // The absolute address with the fragment the value carried ("" when it carried none).
    std::string absolute;
    std::string fragment;
};

// Reads value against base (an absolute address): blanks around it and line breaks inside dropped,
// "\" read as "/" in the path. Nullopt for an empty value, a fragment alone, another scheme (data:,
// javascript:, mailto:) or a malformed address.
std::optional<ResolvedReference> ResolveReference(std::string_view base, std::string_view value);

// ResolveReference against one base, remembering the answers: a stylesheet names the same few
// addresses again and again.
class ReferenceResolver {
public:
    explicit ReferenceResolver(std::string base)
        : m_base(std::move(base))
    {
    }
    const std::optional<ResolvedReference>& Resolve(std::string_view value);
    const std::string& Base() const { return m_base; }

private:
    std::string m_base;
    std::unordered_map<std::string, std::optional<ResolvedReference>> m_known;
};

// The address of target as seen from a file in folder, both inside one capture folder: "/"-separated,
// with every byte a browser would misread in a file address percent-encoded. Nullopt when either path
// leaves root.
std::optional<std::string> RelativeAddress(const std::filesystem::path& root,
    const std::filesystem::path& folder, const std::filesystem::path& target);

// Whether path lies inside root (after "." and ".." are resolved lexically).
bool IsInside(const std::filesystem::path& root, const std::filesystem::path& path);

} // namespace pagestow::offline

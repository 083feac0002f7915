#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::crawl {

// A reference longer than this is dropped: no site links a page by an address of that length.
inline constexpr std::size_t kMaxLinkBytes = 32 * 1024;

// A link a crawl follows out of a page.
struct PageLink {
    enum class Kind { Anchor, Area, Frame, Relation };
    Kind kind = Kind::Anchor;
    // Absolute and canonical (url::Canonicalize), without the fragment.
    std::string address;

    bool operator==(const PageLink&) const = default;
};

// The links of an HTML document a crawl follows, in document order, each address once, at most maxLinks.
std::vector<PageLink> ExtractLinks(
    std::string_view html, std::string_view documentAddress, std::size_t maxLinks);

// Whether a response of this Content-Type is an HTML document whose links a crawl reads.
bool IsHtmlType(std::string_view contentType);

// Whether the address's path ends in the extension of a file that is no page (.pdf, .zip, .png ...).
bool LooksLikeFile(std::string_view address);

} // namespace pagestow::crawl

#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace pagestow::offline {

// What a stylesheet address loads.
enum class CssReferenceKind { Import, Font, Image };

// How the address is written: as a url token (url(a.png)) or as a string ("a.png" in url("a.png"),
// @import "a.css" or image-set("a.png" 1x)).
enum class CssReferenceForm { UrlToken, String };

struct CssReference {
    CssReferenceKind kind = CssReferenceKind::Image;
    CssReferenceForm form = CssReferenceForm::UrlToken;
    // The address with its escapes resolved.
    std::string value;
    // The bytes of the url token or string in the stylesheet: [start, end).
    std::size_t start = 0;
    std::size_t end = 0;
};

// A whole stylesheet (a file or a <style> element), or the declarations of a style attribute.
enum class CssSource { Stylesheet, Declarations };

// Calls visit for every address the stylesheet loads, in order: @import rules that a browser honours
// (at the top, before any other rule), url() and src() anywhere (in an @font-face rule a font, elsewhere
// an image), and the plain strings of image-set().
void ScanCssReferences(
    std::string_view css, CssSource source, const std::function<void(const CssReference&)>& visit);

// The stylesheet with the addresses replaced: map returns the new address for a reference, or nullopt
// to keep it as written. Every other byte stays as it is.
std::string RewriteCss(std::string_view css, CssSource source,
    const std::function<std::optional<std::string>(const CssReference&)>& map);

// The stylesheet with each reference's token or string (its bytes [start, end)) replaced by what map
// returns, written as it stands; nullopt keeps it as written.
std::string RewriteCssTokens(std::string_view css, CssSource source,
    const std::function<std::optional<std::string>(const CssReference&)>& map);

// A CSS string holding text: "..." with quotes, backslashes and line breaks escaped.
std::string QuoteCssString(std::string_view text);

} // namespace pagestow::offline

#pragma once

#include "offline/CssReferences.h"
#include "offline/OfflineUrl.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace pagestow::offline {

// What a document's styles load from: its linked stylesheets and its own CSS.
struct DocumentStyles {
    // The address relative addresses are read against: the first <base href>, else the document's.
    std::string baseUrl;
    // The canonical addresses of <link rel=stylesheet href>, in document order, each once.
    std::vector<std::string> stylesheets;
    // The contents of <style> elements (Stylesheet) and style attributes (Declarations), in order.
    std::vector<std::pair<std::string, CssSource>> inlineCss;
};

DocumentStyles ReadDocumentStyles(std::string_view html, const std::string& documentUrl);

// What an address in a page is used as: a document (frames, links), a stylesheet to apply, or any
// other file (images, scripts, fonts, icons).
enum class AddressUse { Document, Stylesheet, File };

// The local address (relative to the copy) of what an address names, or nullopt when it was not saved.
using LocalAddressMap = std::function<std::optional<std::string>(const ResolvedReference&, AddressUse)>;

// The document with every address it uses pointed at the saved file (through map) or, when nothing
// was saved for it, made absolute; <base href> is dropped so that relative addresses read against the
// copy's own place. Every other byte stays as it is.
std::string RewriteDocument(
    std::string_view html, const std::string& documentUrl, const LocalAddressMap& map);

// A stylesheet read from baseUrl with its addresses pointed the same way.
std::string RewriteStylesheet(
    std::string_view css, CssSource source, const std::string& baseUrl, const LocalAddressMap& map);

} // namespace pagestow::offline

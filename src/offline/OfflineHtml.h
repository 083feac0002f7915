#pragma once

#include "offline/CssReferences.h"
#include "offline/OfflineUrl.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

struct GumboInternalOutput;

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

// The same read from tree, the caller's gumbo parse (max_errors 0) of the very buffer html views; the
// answer is also what the next ReadDocumentStyles of the same html and address gives, without
// parsing again.
DocumentStyles ReadDocumentStyles(
    const GumboInternalOutput& tree, std::string_view html, const std::string& documentUrl);

// What an address in a page is used as: a document (frames, links), a stylesheet to apply, the
// picture of an <img>, or any other file (scripts, fonts, icons, the candidates of a srcset).
enum class AddressUse { Document, Stylesheet, Image, File };

// The local address (relative to the copy) of what an address names, or nullopt when it was not saved.
using LocalAddressMap = std::function<std::optional<std::string>(const ResolvedReference&, AddressUse)>;

// What a rewrite does beyond pointing addresses at the saved files.
struct DocumentRules {
    // Drop <script> elements, on* attributes and javascript: addresses.
    bool removeScripts = false;
    // The single file: addresses of unsaved files become "data:," (so that nothing is fetched), <base>
    // and resource hints (preload, modulepreload, prefetch, preconnect, dns-prefetch) are dropped, and
    // a srcset keeps only its first candidate that map knows.
    bool selfContained = false;
    // The text of a <style> element that takes the place of a <link rel=stylesheet>, nullopt to keep
    // the link (rewritten as usual).
    std::function<std::optional<std::string>(const ResolvedReference&, std::string_view media)>
        inlineStylesheet;
    // The CSS of a <style> element or style attribute, in place of RewriteStylesheet's.
    std::function<std::string(std::string_view css, CssSource source, const std::string& baseUrl)> rewriteCss;
    // The document that becomes an <iframe>'s srcdoc in place of its src, nullopt to keep the src.
    std::function<std::optional<std::string>(const ResolvedReference&)> frameDocument;
};

// The document with every address it uses pointed at the saved file (through map) or, when nothing
// was saved for it, made absolute; <base href> is dropped so that relative addresses read against the
// copy's own place. Every other byte stays as it is, but for what rules ask.
std::string RewriteDocument(std::string_view html, const std::string& documentUrl, const LocalAddressMap& map,
    const DocumentRules& rules = {});

// A stylesheet read from baseUrl with its addresses pointed the same way.
std::string RewriteStylesheet(
    std::string_view css, CssSource source, const std::string& baseUrl, const LocalAddressMap& map);

} // namespace pagestow::offline

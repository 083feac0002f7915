#pragma once

#include "engine/Snapshot.h"

#include <string>
#include <string_view>
#include <vector>

namespace pagestow::engine::static_engine {

// What kind of request a browser makes for a subresource; it decides the request's Accept header.
enum class ResourceKind { Stylesheet, Script, Image, Icon, Preload };

struct ResourceReference {
    // Canonical http or https address.
    std::string url;
    ResourceKind kind;
};

// What a frame or iframe element shows.
struct FrameReference {
    enum class Kind {
        // No address, or about:blank: an empty document.
        Blank,
        // An http or https document to load.
        Address,
        // An address the engine does not load (another scheme, malformed).
        Unreachable,
    };
    Kind kind = Kind::Blank;
    std::string url;
};

// Whether a document is the page itself or shown in a frame (only the page's icons are loaded).
enum class DocumentRole { TopLevel, Frame };

// A document read from its bytes: its elements and what a browser loads for it.
struct ParsedPage {
    // The set the document was read in ("UTF-8", "GBK").
    std::string characterSet;
    // Every element and comment in source order.
    std::vector<SnapshotElement> elements;
    int body = -1;
    // The address relative references are read against (the <base href>, or the document's own).
    std::string baseUrl;
    // The subresources in document order, each address once.
    std::vector<ResourceReference> resources;
    // The frames in index order.
    std::vector<FrameReference> frames;
};

// Reads a document served with contentType from url. HTML (and XML) documents are parsed as a
// browser parses them; an image becomes a document showing that image, and any other type a document
// without content.
ParsedPage ParsePage(
    std::string_view bytes, std::string_view contentType, const std::string& url, DocumentRole role);

// The elements of the empty document about:blank.
std::vector<SnapshotElement> BlankDocumentElements();

// The one address a browser at 1x density takes from an img's srcset, sizes and src ("" when none).
// viewportWidth is the width "vw" lengths and media conditions are read against.
std::string PickSrcsetCandidate(
    std::string_view srcset, std::string_view sizes, std::string_view src, int viewportWidth);

// Whether a media query holds on a screen viewportWidth pixels wide (the common forms only:
// all, screen, print, min-width and max-width in pixels, joined by "and").
bool MediaMatches(std::string_view media, int viewportWidth);

} // namespace pagestow::engine::static_engine

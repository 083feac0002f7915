#pragma once

#include "engine/Snapshot.h"
#include "engine/static/BoundedParse.h"
#include "engine/static/Srcset.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::offline {
struct DocumentStyles;
}

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
        // No address of its own (none, about:blank, javascript:, data:): an empty document whose
        // address is its parent's.
        Blank,
        // An iframe's srcdoc: the document is the attribute's markup, read against the parent's
        // address.
        Srcdoc,
        // An http or https document to load.
        Address,
        // An address the engine does not load (another scheme, malformed).
        Unreachable,
    };
    Kind kind = Kind::Blank;
    std::string url;
    // For Srcdoc: the markup, in UTF-8.
    std::string markup;
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
    // Why the parse ended early (the elements are then those read so far, or an empty document).
    ParseStop stop = ParseStop::None;
    // About how many bytes the elements hold.
    std::uint64_t heldBytes = 0;
    // With withStyles, for a document whose bytes are the parser's text (UTF-8, nothing bounded):
    // what its styles load from, read from the same tree.
    std::shared_ptr<const offline::DocumentStyles> styles;
};

// Reads a document served with contentType from url. HTML (and XML) documents are parsed as a
// browser parses them; an image becomes a document showing that image, and any other type a document
// without content. The decoded text, the parser's tree and the elements together stay within
// bounds.memoryBytes; address attributes carry the address the engine resolved them to, and an img
// whose srcset or <picture> candidate was chosen carries it as its current source.
ParsedPage ParsePage(std::string_view bytes, std::string_view contentType, const std::string& url,
    DocumentRole role, const ParseBounds& bounds = {}, bool withStyles = false);

} // namespace pagestow::engine::static_engine

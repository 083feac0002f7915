#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::engine {

// The immutable document model every backend fills once a page has loaded: plain data, read directly
// by the capture. The capture walks it synchronously, so nothing the engine does afterwards can
// change a document under a capture.

struct SnapshotAttribute {
    std::string name;
    std::string value;
    // For an address attribute the capture harvests (href, src, real_src, background): the absolute
    // address the engine itself resolved the value to and would request (base element, query in the
    // document's character set, user information kept as the engine keeps it); empty when the engine
    // resolved none. The walk looks it up when the value's own resolution is not in the cache.
    std::string resolved;
};

struct SnapshotElement {
    // The tag name as the engine reports it ("IMG", "img"); "!" for a comment.
    std::string tagName;
    // In the element's own order.
    std::vector<SnapshotAttribute> attributes;
    // Position of the parent element in the document's element list; -1 at the root.
    int parent = -1;
    // For an img: the absolute address of the candidate the engine chose and loaded from srcset (or
    // from a <picture> source); empty when the image has none or the engine chose its src.
    std::string currentSource;
};

struct SnapshotDocument;

struct SnapshotFrame {
    // The document shown in the frame; null when the frame cannot be reached.
    std::shared_ptr<const SnapshotDocument> document;
};

// Where a document's content came from. Only a document loaded from an address of its own is
// written as a file; the others are still walked, against their url.
enum class DocumentOrigin {
    // Loaded from its own address (after redirects), possibly an HTTP error page.
    Loaded,
    // No address of its own: about:blank, srcdoc, written by script, javascript:, data:. Its url is
    // the address its content is resolved against (the parent's, as browsers do).
    Inherited,
    // A frame whose load failed (no response, refused, blocked); its url is the address it tried.
    Failed,
};

struct SnapshotDocument {
    // The document's address after redirects.
    std::string url;
    DocumentOrigin origin = DocumentOrigin::Loaded;
    // The character set the document was read in ("UTF-8", "GBK").
    std::string characterSet;
    // What the engine writes for the document: the bytes as served, or the serialised DOM in the
    // document's own character set.
    std::string serialization;
    // Every element in source order; an element's source index is its position here.
    std::vector<SnapshotElement> elements;
    // Position of the body (or frameset) element; -1 when there is none.
    int body = -1;
    std::vector<SnapshotFrame> frames;
};

// The page an engine shows where it has no document of its own (about:blank, a frame whose content
// it cannot read): html, head and body, in UTF-8, with no serialisation of its own.
std::vector<SnapshotElement> BlankDocumentElements();
// How a browser engine serialises that page.
inline constexpr std::string_view kBlankDocumentMarkup = "<html><head></head><body></body></html>";
std::shared_ptr<SnapshotDocument> MakeBlankDocument(
    std::string url = "about:blank", DocumentOrigin origin = DocumentOrigin::Loaded);

// Finds the body position of a document by the usual rule: the first "body" element, otherwise the
// first "frameset" element (letter case ignored); -1 when neither exists.
int FindBodyElement(const SnapshotDocument& document);

} // namespace pagestow::engine

#pragma once

#include "engine/Snapshot.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::engine::chromium {

// The frame dump script (engine/FrameDump.js) called for this engine, run in an isolated world of our
// own in that frame (the page's script cannot stand in for what it reads), reading each element's
// first kMaxAttributes attributes. It answers one JSON text: see ReadFrameDump.
const std::string& FrameDumpExpression();

// One frame's document as the browser shows it.
struct FrameDump {
    // The frame's place: the index of its window among its parent's frames, for each level from the
    // top; empty for the page itself.
    std::vector<int> path;
    // document.URL: the address the document was loaded from, or the one it inherited (a frame
    // written by script reports its parent's; about:blank, about:srcdoc).
    std::string url;
    std::string characterSet;
    // The document's serialisation: the doctype and the top-level nodes, each as the browser writes
    // it, with nothing between them.
    std::string html;
    // Elements and comments ("!") in document order, attributes in their own order, each address
    // attribute with the address the browser resolves it to, each image with the candidate it chose.
    std::vector<SnapshotElement> elements;
    // For each frame or iframe element, in document order: the index of its window among this
    // document's frames, -1 when it shows none.
    std::vector<int> frames;
};

// Reads the script's answer; nullopt when it is not a well-formed dump (the page broke the frame
// while it was read, or the text was cut).
std::optional<FrameDump> ReadFrameDump(std::string_view text);

} // namespace pagestow::engine::chromium

#pragma once

#include "engine/Snapshot.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace pagestow::engine::chromium {

// One document as the browser's DOM tree shows it.
struct DomDocument {
    std::string url;
    // The document node's id, for DOM.getOuterHTML in the same session.
    int nodeId = 0;
    // The frame that shows the document, for evaluating script in it.
    std::string frameId;
    // Elements and comments ("!") in document order, with their parents.
    std::vector<SnapshotElement> elements;

    // A frame or iframe element, in document order.
    struct Frame {
        // The frame's id; an out-of-process frame's document is in the session of the target with
        // this id.
        std::string frameId;
        // Position of the frame's document in the same list when it is in this tree; -1 otherwise.
        int document = -1;
    };
    std::vector<Frame> frames;
};

// The documents of one DOM.getDocument {depth: -1, pierce: true} answer: the session's own document
// first, then every frame document the tree holds (same-process frames, to any depth), each after the
// document that holds its frame. topFrameId is the frame of the session's own document.
std::vector<DomDocument> ReadDomTree(const nlohmann::json& root, const std::string& topFrameId);

} // namespace pagestow::engine::chromium

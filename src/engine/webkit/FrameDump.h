#pragma once

#include "engine/Snapshot.h"

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace pagestow::engine::webkit {

// One frame's document as the web-process extension reports it.
struct FrameDump {
    // Index path from the top-level document (empty for the top itself); absent when the frame
    // could not tell where it sits (a frame that was removed from its parent).
    std::optional<std::vector<int>> path;
    // How many frames the document has.
    int frameCount = 0;
    // The document without its frames; the serialisation already in the document's character set.
    SnapshotDocument document;
};

// Reads one dump (the extension's JSON text); nothing for a text that is no dump.
std::optional<FrameDump> ParseFrameDump(std::string_view json);

// Builds the snapshot tree from the dumps of every frame of a page: the top-level document (path [])
// with, at each level, frame i holding the dump whose path extends its parent's by i, or no
// document when no frame reported that path. Null when no dump is the top-level document.
std::shared_ptr<SnapshotDocument> AssembleSnapshot(const std::vector<FrameDump>& dumps);

} // namespace pagestow::engine::webkit

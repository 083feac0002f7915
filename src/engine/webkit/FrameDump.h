#pragma once

#include "engine/Snapshot.h"

#include <memory>
#include <optional>
#include <set>
#include <string>
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
    // For each frame: the address its frame element asks for ("" when it names none, or srcdoc).
    std::vector<std::string> frameSources;
    // The document without its frames; the serialisation already in the document's character set.
    // Its origin is Inherited when the document reports no address of its own (blank, srcdoc,
    // javascript:, data:).
    SnapshotDocument document;
};

// Reads one dump (the extension's JSON text); nothing for a text that is no dump.
std::optional<FrameDump> ParseFrameDump(std::string_view json);

// Builds the snapshot tree from the dumps of every frame of a page: the top-level document (path [])
// with, at each level, frame i holding the dump whose path extends its parent's by i, or no
// document when no frame reported that path; no deeper than the frame-depth limit. A frame without
// an address of its own, or one reporting an ancestor's address (a document its parent's script
// wrote), is Inherited and takes its parent's address; a blank frame whose element asks for an
// address is Failed at that address. Null when no dump is the top-level document.
// A frame document at one of the unanswered addresses (a load that failed before any answer, whose
// frame shows an empty document at that address) is Failed too.
std::shared_ptr<SnapshotDocument> AssembleSnapshot(
    const std::vector<FrameDump>& dumps, const std::set<std::string>& unanswered = {});

} // namespace pagestow::engine::webkit

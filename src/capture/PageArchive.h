#pragma once

#include "archive/Warc.h"
#include "engine/PageEngine.h"
#include "engine/Snapshot.h"

#include <filesystem>
#include <string>
#include <vector>

namespace pagestow::capture {

// The documents of a page as the engine saved them, for the archive: the top-level document and
// every frame document loaded from an address of its own, in the order of the walk.
std::vector<archive::SavedDocument> SavedDocumentsOf(const engine::SnapshotDocument& top);

// Writes what the engine recorded while it loaded the page (every exchange, taken from its log) and
// the page's documents into warc, then lets the log's bodies go. Without a page (the load gave none)
// only the exchanges are written. False when the archive could not be written (warc.Error() says why).
bool ArchivePage(archive::WarcWriter& warc, engine::PageEngine& engine, const engine::SnapshotDocument* top);

// Writes the page's archive to a file of its own (warcinfo, then the page as ArchivePage writes it);
// "" when it was written whole, otherwise what went wrong, and no file is left.
std::string WritePageArchive(const std::filesystem::path& file, const archive::WarcInfo& info,
    engine::PageEngine& engine, const engine::SnapshotDocument* top);

// Lets what the engine recorded of a page go unwritten (the page was abandoned).
void DropPageExchanges(engine::PageEngine& engine);

} // namespace pagestow::capture

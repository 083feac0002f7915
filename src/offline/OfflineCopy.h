#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace pagestow::offline {

// A file a capture saved, as the offline copy sees it.
struct CapturedFile {
    // Documents and stylesheets get a copy of their own; other files are pointed at as they are.
    enum class Role { Document, Stylesheet, File };
    Role role = Role::File;
    // The address it was loaded from (any form the engine cache accepts).
    std::string address;
    // The saved original.
    std::filesystem::path path;
    // Other addresses that lead to the same file (one a redirect started from): links by them point
    // at it too.
    std::vector<std::string> otherAddresses;
};

struct OfflineCopyFailure {
    std::filesystem::path path;
    std::string reason;
};

struct OfflineCopyResult {
    // The copies written, in the order of the files given.
    std::vector<std::filesystem::path> copies;
    // The copy of the first document given (the page): the file to open; empty when it has none.
    std::filesystem::path page;
    std::vector<OfflineCopyFailure> failures;
};

// What the copies do with the page's scripts: keep them, or drop <script> elements, on* attributes and
// javascript: addresses (a DOM that scripts built breaks when they run again from disk).
enum class CopyScripts { Keep, Remove };

// The name of an original's copy, beside it: "index.htm" gives "index.offline.htm", "run" gives
// "run.offline".
std::filesystem::path OfflineCopyPath(const std::filesystem::path& original);

// Writes the copy of every document and stylesheet among files, in which every address that names a
// saved file points at it (at its copy for documents and stylesheets) relative to the copy, and every
// other address is absolute. Originals are left as they are; nothing is written outside captureFolder.
// beforeEachCopy, when given, is called before each copy is written; what it throws ends the writing
// and passes to the caller (a copy is whole or absent then).
OfflineCopyResult WriteOfflineCopy(const std::filesystem::path& captureFolder,
    const std::vector<CapturedFile>& files, const std::function<void()>& beforeEachCopy = {},
    CopyScripts scripts = CopyScripts::Keep);

} // namespace pagestow::offline

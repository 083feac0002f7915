#pragma once

#include "offline/OfflineCopy.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <vector>

namespace pagestow::offline {

struct SingleFileResult {
    // The file written; empty when none was (no page, or it could not be written whole).
    std::filesystem::path file;
    std::uint64_t bytes = 0;
    // The sum of the sizes of the saved files it holds, each counted once (the page's own included).
    std::uint64_t partsBytes = 0;
    std::vector<OfflineCopyFailure> failures;
};

// The name of a page's single file, beside it: "index.htm" gives "index.single.htm", "index.html"
// "index.single.html", any other name "<stem>.single.htm" (so that it opens as HTML).
std::filesystem::path SingleFilePath(const std::filesystem::path& page);

// Writes the first document among files as one HTML file that fetches nothing: its stylesheets (with
// what they import) as <style> elements, its frames as srcdoc, every saved file it uses as a data:
// address written once per document, addresses of files not saved made "data:," (links stay absolute).
// The saved files are streamed into it in pieces; nothing is written outside captureFolder, and the
// file takes its name only once complete. beforeEachPart, when given, is called before each document
// or stylesheet is read; what it throws passes to the caller and leaves no file behind.
SingleFileResult WriteSingleFile(const std::filesystem::path& captureFolder,
    const std::vector<CapturedFile>& files, CopyScripts scripts,
    const std::function<void()>& beforeEachPart = {});

} // namespace pagestow::offline

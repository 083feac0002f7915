#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

namespace pagestow::engine {
class EngineCache;
}

namespace pagestow::capture {

// How a resource's bytes reach the capture: a hard link to the engine cache's file where both lie on
// one file system (the cache never changes a file once stored), or always a copy.
enum class CopyMethod { HardLink, Copy };

// What one capture is asked to do. Everything beyond the plain capture is off by default, and with it
// off every file, byte and result line of a capture stays as it always was.
struct CaptureSettings {
    // The save folder as chosen; the capture makes it end with a separator.
    std::string saveDir;
    // The engine cache the capture copies what the engine loaded from (required).
    const engine::EngineCache* cache = nullptr;
    // Also save what stylesheets load and write an offline copy that opens from disk.
    bool offlineCopy = false;
    // Also write the page as one HTML file that holds everything it shows (data: addresses), and as
    // one MHTML file (multipart/related); both need what stylesheets load, as the offline copy does.
    bool singleFile = false;
    bool mhtml = false;
    // What becomes of the page's scripts in the offline copy and the single file. By the engine: kept
    // when the DOM is the server's (the built-in engine), removed when it is what the scripts built
    // (scriptsRan, the browser engines: running them again from disk breaks what they built).
    enum class Scripts { ByEngine, Keep, Remove };
    Scripts scripts = Scripts::ByEngine;
    bool scriptsRan = false;
    // Also save what stylesheets load without writing the offline copy: a crawl writes the copies of
    // all its pages at its end, when it knows which pages were saved.
    bool stylesheetResources = false;
    // Whether the capture saves what stylesheets load (every output beyond the folder tree needs it).
    bool SavesStylesheetResources() const { return offlineCopy || singleFile || mhtml || stylesheetResources; }
    // Whether the copies keep the page's scripts.
    bool KeepsScripts() const { return scripts == Scripts::Keep || (scripts == Scripts::ByEngine && !scriptsRan); }
    CopyMethod copies = CopyMethod::HardLink;
    // The name of a capture folder of saveDir that earlier captures made, to add this page to (the pages
    // of a crawl share one), instead of a fresh one. A file found at its target there was saved by an
    // earlier page: it is taken as this page's without a copy or a result line, and an interrupted
    // capture removes only the files it wrote itself.
    std::string captureFolder;
    // When given and set (by a signal handler, say), the capture stops at its next step, removes its
    // capture folder and reports itself interrupted: an abandoned page leaves no files that look saved.
    const std::atomic<bool>* interrupted = nullptr;
};

// A file of the capture that could not be written completely: its path and the system's reason
// ("Permission denied", "No space left on device").
struct WriteFailure {
    std::string path;
    std::string reason;
};

// One file the capture wrote.
struct SavedEntry {
    enum class Kind { Document, Stylesheet, Script, Image, Other };
    Kind kind = Kind::Other;
    // The address the file was found under in the engine cache.
    std::string address;
    // The address of the document it was found in ("" for the page itself).
    std::string referrer;
    // The local path written.
    std::string path;
    std::uint64_t bytes = 0;
    // Found whole at its target in a shared capture folder, written by an earlier capture.
    bool earlier = false;
};

// What one capture did, for the front ends (the window's folder to open, the command line's exit
// status and --json) and for the offline copy.
struct CaptureResult {
    // The page was taken and handed to the document saving, whatever became of its files.
    bool accepted = false;
    // The save folder as the capture left it: ending with a separator once a page was taken.
    std::string saveDir;
    // The capture folder's name, "qzwd_" and 13 digits; "" when no page was taken.
    std::string captureFolder;
    // The file the offline copy of the page went to; "" without one.
    std::string offlineCopy;
    // The single file and the MHTML file of the page, "" without them; the single file's size and the
    // sum of the sizes of the files it holds.
    std::string singleFile;
    std::uint64_t singleFileBytes = 0;
    std::uint64_t singleFilePartsBytes = 0;
    std::string mhtml;
    std::vector<SavedEntry> saved;
    // The saved stylesheets that were read as such (canonical addresses): the offline copy writes a
    // copy of each.
    std::vector<std::string> stylesheets;
    std::vector<WriteFailure> failures;
    // The capture was stopped by its interrupt flag: its capture folder has been removed, and saved
    // lists what had been written before (and is gone with the folder).
    bool interrupted = false;

    // The capture folder's path without a separator at the end ("" when no page was taken).
    std::string CapturePath() const
    {
        return captureFolder.empty() ? std::string() : saveDir + captureFolder;
    }
    // The page's own file: the first document saved for no referrer ("" when none was written).
    std::string PageFile() const
    {
        for (const SavedEntry& entry : saved) {
            if (entry.kind == SavedEntry::Kind::Document && entry.referrer.empty())
                return entry.path;
        }
        return {};
    }
};

} // namespace pagestow::capture

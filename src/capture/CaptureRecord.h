#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pagestow::capture {

// Options beyond the plain capture; all off by default, and with them off every file, byte and
// result line of a capture stays as it always was.
struct CaptureOptions {
    // Also save what stylesheets load and write an offline copy that opens from disk.
    bool offlineCopy = false;
};

// The options of the captures this process runs (UI thread only).
CaptureOptions& Options();

// A file of the capture that could not be written completely: its path and the system's reason
// ("Permission denied", "No space left on device").
struct WriteFailure {
    std::string path;
    std::string reason;
};

// What one capture saved, for front ends that report more than the result lines (the command
// line's exit status and --json) and for the offline copy.
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
};

struct CaptureRecord {
    std::vector<SavedEntry> saved;
    std::vector<WriteFailure> failures;
    void Clear()
    {
        saved.clear();
        failures.clear();
    }
};

// The record of the last capture (or of the running one); cleared when a capture starts.
CaptureRecord& LastCapture();

} // namespace pagestow::capture

#pragma once

#include "capture/CaptureRecord.h"
#include "capture/CaptureState.h"
#include "engine/Snapshot.h"
#include "mapping/AddressRecord.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::engine {
struct CachedBody;
}

namespace pagestow::capture {

// A document file that could not be created or written; no part of it is left behind.
class FileCreateError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Thrown at a step of the capture once its interrupt flag is set, and caught by CapturePage. Not a
// std::exception: the guards that report a document's error and go on must let it pass.
struct CaptureInterrupted { };

// Which pass SaveDocument runs.
enum class DocumentPass { Document, FramesOnly };

// Captures the page an engine has finished loading into a fresh capture folder of settings.saveDir,
// reporting to frontEnd. Not accepted when there is no document, when it is the engine's built-in
// error page (its load failed), or when a capture already reports to frontEnd (that capture is left
// alone). An error in reaching the page document (no body) passes to the caller; errors while the
// documents are saved are reported by the document saving.
CaptureResult CapturePage(
    const engine::SnapshotDocument* document, const CaptureSettings& settings, FrontEnd& frontEnd);

// Makes the save folder's missing levels, then claims a fresh capture folder in it by creating it:
// its name ("qzwd_" and 13 digits). Two runs never get the same folder. A folder that cannot be
// made is entered in failures.
std::string ClaimCaptureFolder(const std::string& saveDir, std::vector<WriteFailure>& failures);

// Appends the document's serialisation to stream: 1 and nothing written for a null document,
// otherwise 0.
std::int32_t SaveDocumentToStream(const engine::SnapshotDocument* document, std::string& stream);

// What the offline copy of several captures' files wrote.
struct SharedOfflineCopy {
    std::vector<std::string> copies;
    // The copy of the first document of the files: the file to open.
    std::string page;
    std::vector<WriteFailure> failures;
};

// Writes the offline copy of what captures saved into one capture folder (a crawl's pages): a copy of
// each document and of each stylesheet among stylesheets (canonical addresses), in which every
// address that names a saved file points at it, relative. redirects pairs an address asked for with
// the page file it landed on, so that a link by that address leads to the landed page's copy.
// beforeEachCopy is called before each copy; what it throws ends the writing and passes on.
SharedOfflineCopy WriteSharedOfflineCopy(const std::string& capturePath, const std::vector<SavedEntry>& saved,
    const std::vector<std::string>& stylesheets, const std::vector<std::pair<std::string, std::string>>& redirects,
    bool keepScripts, const std::function<void()>& beforeEachCopy);

// The document shown in a frame, or null when it cannot be reached.
const engine::SnapshotDocument* GetFrameDocument(const engine::SnapshotFrame& frame);

// "type: message" for an error that reached a report.
std::string DescribeError(const std::exception& error);
std::string DescribeError(std::exception_ptr error);

// The state of one capture and the routines that share it: the document saving, the element walk
// and, with the offline copy, what stylesheets load. CapturePage makes one per page; tests make one
// to run a routine on its own.
class PageCapture {
public:
    PageCapture(const CaptureSettings& settings, FrontEnd& frontEnd);
    PageCapture(const PageCapture&) = delete;
    PageCapture& operator=(const PageCapture&) = delete;

    // The save folder, ending with a separator, and the capture folder's name: every file of the
    // capture goes below SaveDir + CaptureFolder.
    std::string SaveDir;
    std::string CaptureFolder;
    // The local paths the capture has written, shared by the page and all its frames.
    SavedFileList SavedFiles;

    // Writes a document (or, for FramesOnly, the documents of its frames) and walks its resources.
    // Reports its own errors; always true.
    bool SaveDocument(const engine::SnapshotDocument* document, DocumentPass pass);
    // Copies the cached resources of a document's elements into the capture.
    void SaveDocumentResources(
        const engine::SnapshotDocument& document, const mapping::AddressRecord& record);
    // Handles the element at sourceIndex of the document (see SaveDocumentResources).
    void SaveElementResources(const engine::SnapshotDocument& document, const mapping::AddressRecord& record,
        std::int32_t sourceIndex);
    // With the offline copy on: saves from the engine cache what the document's stylesheets loaded
    // (@import, url() and image-set() in linked stylesheets, <style> elements and style attributes)
    // and reports each file. serialization is the document as it was written.
    void SaveStylesheetResources(const std::string& documentUrl, const std::string& serialization);
    // With the offline copy on: writes the copy of every saved document and stylesheet, reports each,
    // and remembers the page's copy as the file to open.
    void WriteOfflineCopyOfCapture();
    // With the single file on: writes the page as one HTML file beside the saved page and reports it.
    void WriteSingleFileOfCapture();
    // With MHTML on: writes the page and what it loaded as one multipart/related file and reports it.
    void WriteMhtmlOfCapture();

    const CaptureSettings& Settings() const { return m_settings; }
    // What the capture has written and failed to write so far.
    CaptureResult& Result() { return m_result; }

    // The engine cache's body for address, when it holds one.
    bool FindCached(const std::string& address, engine::CachedBody& body) const;
    // Makes folder with every missing level, as mapping::MakeFolders does, once per capture: a folder
    // the capture has made already is not looked at again. 0 or the errno.
    int MakeCaptureFolders(const std::string& folder);
    // With a shared capture folder: when a complete file is at target already, enters it as found from
    // an earlier capture and says true; the caller then neither copies nor reports it.
    bool EnterEarlierFile(SavedEntry entry);
    // Enters a file of the capture that could not be written, with the system's text for error
    // (once per path).
    void RecordFailure(const std::string& path, int error);
    // Once a resource's copy has ended: its path is entered as saved once it names a complete file
    // (0 for error), and reported with reportText; a copy that failed is recorded and not claimed.
    void EnterCopy(const SavedEntry& entry, std::string_view reportText, int error);

    // The progress outputs of the capture's front end.
    void AddResultLine(const std::string& message) { m_frontEnd.AddResultLine(message); }
    void SetStatusText(const std::string& message) { m_frontEnd.SetStatusText(message); }
    void AddLogLine(const std::string& message) { m_frontEnd.AddLogLine(message); }
    // Lets the front end process its events, then ends the capture (CaptureInterrupted) when its
    // interrupt flag is set: every loop of the capture passes here.
    void PumpMessages()
    {
        m_frontEnd.PumpMessages();
        StopWhenInterrupted();
    }
    // Whether the interrupt flag of the settings is set.
    bool Interrupted() const { return m_settings.interrupted && m_settings.interrupted->load(); }
    void StopWhenInterrupted() const
    {
        if (Interrupted())
            throw CaptureInterrupted();
    }
    void ShowMessage(const std::string& message) { m_frontEnd.ShowMessage(message); }

private:
    struct OfflineState;
    void SaveOneDocument(const engine::SnapshotDocument& document);
    void SaveFrameDocuments(const engine::SnapshotDocument& document);
    void WriteDocument(const engine::SnapshotDocument& document, const std::string& url);

    const CaptureSettings& m_settings;
    FrontEnd& m_frontEnd;
    CaptureResult m_result;
    // The addresses of the documents being saved, outermost first.
    std::vector<std::string> m_openDocuments;
    // Made once the offline copy first needs it (shared only so that its type may stay incomplete here).
    std::shared_ptr<OfflineState> m_offline;
};

// Marks a capture as reporting to a front end for as long as it lives.
class RunningCapture {
public:
    explicit RunningCapture(FrontEnd& frontEnd)
        : m_frontEnd(frontEnd)
    {
        m_frontEnd.m_captureRunning = true;
    }
    ~RunningCapture() { m_frontEnd.m_captureRunning = false; }
    RunningCapture(const RunningCapture&) = delete;
    RunningCapture& operator=(const RunningCapture&) = delete;

private:
    FrontEnd& m_frontEnd;
};

} // namespace pagestow::capture

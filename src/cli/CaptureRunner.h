#pragma once

#include "capture/CaptureRecord.h"
#include "cli/TerminalFrontEnd.h"
#include "engine/PageEngine.h"
#include "engine/Snapshot.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pagestow::cli {

enum class AddressOutcome {
    // The page and everything found of it was written.
    Captured,
    // The page was taken, but a file of it could not be written whole.
    Incomplete,
    // A blank address, an address that could not be reached, a blank page.
    Rejected,
    // The engine failed, or did not report the page in time.
    Failed,
    Interrupted,
};

// What became of one address, for the exit status, the error line and --json.
struct AddressResult {
    // As given.
    std::string address;
    AddressOutcome outcome = AddressOutcome::Failed;
    // The page's own address after redirects ("" when no page was taken).
    std::string finalAddress;
    // The capture folder's path and the page's file ("" when no page was taken).
    std::string captureFolder;
    std::string pageFile;
    std::size_t filesSaved = 0;
    std::uint64_t bytes = 0;
    std::vector<capture::WriteFailure> failures;
    // The files of the page (those an earlier page of a shared capture folder wrote included) and the
    // stylesheets read as such, for a crawl's offline copy.
    std::vector<capture::SavedEntry> saved;
    std::vector<std::string> stylesheets;
    // The page's HTTP status and Retry-After header, where the engine knows them (0 and "" otherwise).
    int httpStatus = 0;
    std::string retryAfter;
    // What went wrong, in the user's words ("" when nothing did).
    std::string reason;
    double seconds = 0;
};

// "saved", "incomplete", "rejected", "failed", "interrupted".
const char* OutcomeName(AddressOutcome outcome);

// The one line on standard error that says what went wrong with an address, "" when nothing did:
// "pagestow-cli: http://x.invalid/: host not found (Could not resolve host: x.invalid)".
std::string ErrorLine(const AddressResult& result);

// The result as one line of JSON (without the line end).
std::string ResultJson(const AddressResult& result);

// Captures addresses one after the other the way the window's Save does, with the same texts:
// blank addresses refused, the page loaded by the engine, the capture run once the top-level
// document has completed.
class CaptureRunner {
public:
    // interrupted, when given, is checked while a page loads and between addresses. Every capture
    // goes by settings (kept by the runner), and copies from the engine's cache.
    CaptureRunner(engine::PageEngine& engine, TerminalFrontEnd& frontEnd, capture::CaptureSettings settings,
        std::chrono::milliseconds loadTimeout, const std::atomic<bool>* interrupted = nullptr);
    ~CaptureRunner();
    CaptureRunner(const CaptureRunner&) = delete;
    CaptureRunner& operator=(const CaptureRunner&) = delete;

    engine::PageEngine& Engine() const { return m_engine; }

    // Captures one address; what went wrong is also reported in one line on the error stream.
    AddressResult CaptureAddress(const std::string& address);
    // The address to be captured next and those after it, for the engine to ask for ahead.
    void Prefetch(const std::vector<std::string>& addresses) { m_engine.Prefetch(addresses); }

    // Called once an address is done, with the page its load completed with (null when none did) and
    // whether that page is kept (not when the run was interrupted); what it returns, when not "", is
    // what went wrong, and a captured page is then incomplete.
    using PageDoneHandler = std::function<std::string(const engine::SnapshotDocument* page, bool keep)>;
    void SetPageDoneHandler(PageDoneHandler handler) { m_pageDone = std::move(handler); }

    // Which pictures the engine draws of each captured page, beside its saved file (index.htm gives
    // index.png and index.pdf); none by default.
    void SetPictures(bool screenshot, bool pdf)
    {
        m_screenshot = screenshot;
        m_pdf = pdf;
    }

    // Captures every address, handing each result to onResult when given; the program's exit status
    // (see ExitStatus).
    int Run(const std::vector<std::string>& addresses,
        const std::function<void(const AddressResult&)>& onResult = nullptr);

private:
    // Processes engine events until the top-level completion of the current navigation.
    enum class LoadEnd { Completed, Blank, NoCompletion, Interrupted };
    LoadEnd WaitForCompletion();
    AddressOutcome Capture(const std::string& typed, AddressResult& result);
    // Loads address until its top-level completion; the outcome when the address ends there.
    std::optional<AddressOutcome> Load(const std::string& address, AddressResult& result);
    // What an accepted capture wrote, and what could not be written, into result.
    AddressOutcome Written(const capture::CaptureResult& record, AddressResult& result) const;
    // Has the engine draw the pictures wanted beside the saved page, each reported in a result line;
    // one that could not be made leaves the address incomplete.
    AddressOutcome SavePictures(AddressOutcome written, AddressResult& result);

    engine::PageEngine& m_engine;
    TerminalFrontEnd& m_frontEnd;
    // The save folder in it takes the separator the first accepted capture gives it.
    capture::CaptureSettings m_settings;
    std::chrono::milliseconds m_loadTimeout;
    const std::atomic<bool>* m_interrupted;
    bool m_pending = false;
    bool m_completed = false;
    std::shared_ptr<const engine::SnapshotDocument> m_completedDocument;
    // The page the last load completed with, for the page-done handler.
    std::shared_ptr<const engine::SnapshotDocument> m_loadedPage;
    PageDoneHandler m_pageDone;
    bool m_screenshot = false;
    bool m_pdf = false;
};

// Where a picture of the saved page goes: the page file with extension instead of its own
// (".../index.htm" gives ".../index.png"), or with extension added when that is the page file itself.
std::string PicturePath(const std::string& pageFile, const std::string& extension);

// Folds the outcomes of a run into its exit status: 130 when interrupted, 1 when any address was not
// captured whole, 0 otherwise.
class ExitStatus {
public:
    void Add(AddressOutcome outcome);
    int Value() const;

private:
    bool m_interrupted = false;
    bool m_allCaptured = true;
};

} // namespace pagestow::cli

#pragma once

#include <string>
#include <unordered_set>
#include <vector>

namespace pagestow::capture {

// The local paths written by the element walk during one capture, in order of addition, looked up
// without regard to letter case.
class SavedFileList {
public:
    bool Contains(const std::string& path) const;
    void Add(const std::string& path);
    const std::vector<std::string>& Paths() const { return m_paths; }
    // The files of the capture's documents, kept apart: no resource is copied over one of them.
    bool IsDocument(const std::string& path) const;
    void AddDocument(const std::string& path);
    // The folders the capture has made or found whole, so that each is looked at once.
    bool HasFolder(const std::string& folder) const { return m_folders.contains(folder); }
    void AddFolder(const std::string& folder) { m_folders.insert(folder); }

private:
    std::unordered_set<std::string> m_folders;
    std::vector<std::string> m_paths;
    std::unordered_set<std::string> m_folded;
    std::unordered_set<std::string> m_documents;
};

// What a front end (the window or the command line) shows of a capture.
class FrontEnd {
public:
    virtual ~FrontEnd() = default;
    // Appends one item to the result list.
    virtual void AddResultLine(const std::string& message) = 0;
    // Replaces the status text.
    virtual void SetStatusText(const std::string& message) = 0;
    // Appends one line to the log.
    virtual void AddLogLine(const std::string& message) = 0;
    // Processes the events that are pending on the calling thread, then returns.
    virtual void PumpMessages() = 0;
    // Shows a message to the user (the standard message dialog for an error).
    virtual void ShowMessage(const std::string& message) = 0;

    // Told where an accepted page is captured (the save folder with its separator, and the capture
    // folder's name), before anything is written, so that the front end can show that folder
    // while the capture runs.
    virtual void CaptureFolderClaimed(const std::string& saveDir, const std::string& captureFolder)
    {
        (void)saveDir;
        (void)captureFolder;
    }

    // Whether a capture reports to this front end right now. The capture lets the front end's
    // events run while it works, and a page may complete again meanwhile: one front end shows one
    // capture at a time.
    bool CaptureRunning() const { return m_captureRunning; }

private:
    friend class RunningCapture;
    bool m_captureRunning = false;
};

} // namespace pagestow::capture

#pragma once

#include <memory>
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

// The capture-wide state: one set for the whole process, used on the UI thread only.
// The save folder; it ends with a separator once a capture has started.
extern std::string SaveDir;
// The current capture's folder name, "qzwd_" and 13 digits; empty before the first accepted page.
extern std::string CaptureFolder;
// The saved-files list; it exists only while a capture runs.
extern std::unique_ptr<SavedFileList> SavedFiles;

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
};

// Binds the front end the capture reports to (null unbinds; nothing is shown then).
void BindFrontEnd(FrontEnd* frontEnd);

void AddResultLine(const std::string& message);
void SetStatusText(const std::string& message);
void AddLogLine(const std::string& message);
void PumpMessages();
void ShowMessage(const std::string& message);

} // namespace pagestow::capture

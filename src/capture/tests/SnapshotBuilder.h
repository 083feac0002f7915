#pragma once

#include "capture/CaptureState.h"
#include "engine/PageEngine.h"
#include "engine/Snapshot.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace pagestow::capture::testing {

// Builds one snapshot document: html, head and body first, then the elements added, each below the
// body unless a parent is given. Its serialisation names its address, so every saved page differs.
class DocumentBuilder {
public:
    explicit DocumentBuilder(std::string url);

    // Appends an element; returns its source index.
    int Add(std::string tag, std::vector<engine::SnapshotAttribute> attributes = {}, int parent = kBody);
    // Appends a comment element (tag "!").
    int Comment(int parent = kBody);
    // Gives the body element attributes.
    DocumentBuilder& BodyAttributes(std::vector<engine::SnapshotAttribute> attributes);
    // Makes the document a frameset document (the body element becomes "frameset").
    DocumentBuilder& Frameset();
    // Appends a frame showing document, or a frame that cannot be reached (null).
    DocumentBuilder& Frame(std::shared_ptr<const engine::SnapshotDocument> document);
    DocumentBuilder& Serialization(std::string bytes);

    std::shared_ptr<engine::SnapshotDocument> Build() const;

    static constexpr int kBody = 2;

private:
    std::shared_ptr<engine::SnapshotDocument> m_document;
};

// The serialisation DocumentBuilder gives a document at url.
std::string DefaultSerialization(const std::string& url);

// A page engine holding a finished snapshot.
class LoadedEngine : public engine::SnapshotEngine {
public:
    void Navigate(const std::string&) override { }
    void ProcessEvents(std::chrono::milliseconds) override { }
    void SetLoadTimeout(std::chrono::milliseconds) override { }
    engine::LoadProgress Progress() const override { return {}; }
    void Load(std::shared_ptr<const engine::SnapshotDocument> top) { CompleteWithSnapshot(std::move(top)); }
    void Fail(const std::string& address) { CompleteWithErrorPage(address); }
};

// A front end that records everything the capture shows, in order: "result: ...", "status: ...",
// "log: ...", "message: ...". Pumps are counted, and can run an action.
class RecordingFrontEnd : public FrontEnd {
public:
    void AddResultLine(const std::string& message) override { lines.push_back("result: " + message); }
    void SetStatusText(const std::string& message) override { lines.push_back("status: " + message); }
    void AddLogLine(const std::string& message) override { lines.push_back("log: " + message); }
    void PumpMessages() override
    {
        ++pumps;
        if (onPump)
            onPump();
    }
    void ShowMessage(const std::string& message) override { lines.push_back("message: " + message); }

    std::vector<std::string> lines;
    int pumps = 0;
    std::function<void()> onPump;
};

// A fresh folder under the temporary folder, removed with its content.
class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::filesystem::path& Path() const { return m_path; }
    // The path as text with "/" at the end.
    std::string Folder() const { return m_path.string() + "/"; }

private:
    std::filesystem::path m_path;
};

std::string ReadBytes(const std::filesystem::path& file);
// Every regular file below folder as a path relative to it, sorted.
std::vector<std::string> ListFiles(const std::filesystem::path& folder);

// Stores bytes in this run's engine cache under address.
void CacheResource(const std::string& address, const std::string& bytes);
// Empties this run's engine cache. The cache lives below a scratch root of the test program.
void ClearCache();

} // namespace pagestow::capture::testing

#include "mapping/AddressRecord.h"

#include <gtest/gtest.h>

namespace pagestow::capture::testing {

// The capture state of one test: a save folder in a scratch folder, a fixed capture folder, a fresh
// saved-files list, an empty engine cache and a recording front end.
class CaptureTest : public ::testing::Test {
protected:
    static constexpr const char* kCaptureFolder = "qzwd_2612080445123";

    void SetUp() override
    {
        ClearCache();
        SaveDir = scratch.Folder() + "pages/";
        CaptureFolder = kCaptureFolder;
        SavedFiles = std::make_unique<SavedFileList>();
        BindFrontEnd(&frontEnd);
    }
    void TearDown() override
    {
        BindFrontEnd(nullptr);
        SavedFiles.reset();
        SaveDir.clear();
        CaptureFolder.clear();
        ClearCache();
    }

    // The capture folder's path, without a separator at the end.
    std::string Root() const { return SaveDir + CaptureFolder; }
    // The files written below the capture folder.
    std::vector<std::string> Written() const { return ListFiles(Root()); }

    ScratchFolder scratch;
    RecordingFrontEnd frontEnd;
};

} // namespace pagestow::capture::testing

#pragma once

#include "capture/Capture.h"
#include "capture/CaptureRecord.h"
#include "capture/CaptureState.h"
#include "engine/EngineCache.h"
#include "engine/PageEngine.h"
#include "engine/Snapshot.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
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

// The engine cache of the test program, in a scratch folder of its own (removed at exit).
const engine::EngineCache& TestCache();
// Stores bytes in the test program's engine cache under address.
void CacheResource(const std::string& address, const std::string& bytes);
// Empties the test program's engine cache.
void ClearCache();

} // namespace pagestow::capture::testing

#include "mapping/AddressRecord.h"

#include <gtest/gtest.h>

namespace pagestow::capture::testing {

// The capture state of one test: settings whose save folder lies in a scratch folder and whose cache
// is the test cache (emptied before and after), a recording front end, and a capture made with them
// whose save folder and fixed capture folder are set as CapturePage sets them.
class CaptureTest : public ::testing::Test {
protected:
    static constexpr const char* kCaptureFolder = "qzwd_2612080445123";

    void SetUp() override
    {
        ClearCache();
        settings.saveDir = scratch.Folder() + "pages/";
        settings.cache = &TestCache();
        NewCapture();
    }
    void TearDown() override
    {
        capture.reset();
        ClearCache();
    }

    // Replaces the capture with a fresh one (an empty saved-files list and result) writing to the
    // same folders.
    void NewCapture()
    {
        capture.emplace(settings, frontEnd);
        capture->SaveDir = settings.saveDir;
        capture->CaptureFolder = kCaptureFolder;
    }

    // The capture folder's path, without a separator at the end.
    std::string Root() const { return capture->SaveDir + capture->CaptureFolder; }
    // The files written below the capture folder.
    std::vector<std::string> Written() const { return ListFiles(Root()); }

    ScratchFolder scratch;
    CaptureSettings settings;
    RecordingFrontEnd frontEnd;
    std::optional<PageCapture> capture;
};

} // namespace pagestow::capture::testing

#pragma once

#include "capture/CaptureRecord.h"
#include "capture/CaptureState.h"
#include "engine/PageEngine.h"
#include "engine/static/StaticEngine.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace pagestow::hostile {

enum class EngineKind { Static, Chromium, WebKit };

std::ostream& operator<<(std::ostream& out, EngineKind kind);
// For the names of parameterised tests.
std::string EngineName(const ::testing::TestParamInfo<EngineKind>& info);

// Whether the engine can run here (the Chromium program is installed, WebKit has a display).
bool EngineAvailable(EngineKind kind);

// A front end that records what the capture shows: "result: ...", "status: ...", "log: ...",
// "message: ...", and where the capture it is told of writes. A pump can run an action.
class RecordingFrontEnd : public capture::FrontEnd {
public:
    void CaptureFolderClaimed(const std::string& claimedSaveDir, const std::string& claimedFolder) override
    {
        saveDir = claimedSaveDir;
        captureFolder = claimedFolder;
    }
    void AddResultLine(const std::string& message) override { Record("result: " + message); }
    void SetStatusText(const std::string& message) override { Record("status: " + message); }
    void AddLogLine(const std::string& message) override { Record("log: " + message); }
    void PumpMessages() override
    {
        if (onPump)
            onPump();
    }
    void ShowMessage(const std::string& message) override { Record("message: " + message); }

    std::vector<std::string> lines;
    std::function<void()> onPump;
    // Told each line as it is recorded.
    std::function<void(const std::string&)> onLine;
    // The save folder and the capture folder of the capture being run (from the moment it claims
    // its folder; until then the save folder as asked and no capture folder).
    std::string saveDir;
    std::string captureFolder;

private:
    void Record(std::string line)
    {
        lines.push_back(std::move(line));
        if (onLine)
            onLine(lines.back());
    }
};

// What one capture of an address came to.
struct CaptureResult {
    // The top-level document completed within the load time-out and a grace period.
    bool completed = false;
    // CapturePage accepted the page.
    bool accepted = false;
    // What the capture reported, in order.
    std::vector<std::string> lines;
};

// One engine loading pages into an engine cache of its own (below a scratch folder of this test
// program, removed with the engine), a fresh save folder, and the capture run the way Save runs it
// once the top-level document is complete.
class CaptureHarness {
public:
    explicit CaptureHarness(EngineKind kind, engine::StaticEngineOptions options = {});
    ~CaptureHarness();
    CaptureHarness(const CaptureHarness&) = delete;
    CaptureHarness& operator=(const CaptureHarness&) = delete;

    // Loads address (bounded by loadTimeout) and captures it.
    CaptureResult Capture(
        const std::string& address, std::chrono::milliseconds loadTimeout = std::chrono::seconds(20));

    // The save folder, ending with "/"; SetSaveDir replaces it.
    const std::string& SaveFolder() const { return m_saveDir; }
    void SetSaveDir(std::string saveDir) { m_saveDir = std::move(saveDir); }
    // Whether the captures write the offline copy too (off unless set).
    void SetOfflineCopy(bool on) { m_offlineCopy = on; }
    // The single file, and whether the engine's page is one its scripts built.
    void SetSingleFile(bool on) { m_singleFile = on; }
    void SetScriptsRan(bool ran) { m_scriptsRan = ran; }
    // The last capture's folder, without a separator at the end (while a capture runs, its folder
    // once claimed).
    std::string Root() const;
    // What the last capture did (empty before the first, and for a capture that raised).
    const capture::CaptureResult& LastResult() const { return m_lastResult; }
    // Every file below the last capture's folder, relative to it.
    std::vector<std::string> Written() const;
    // "{R}" in each line replaced by Root().
    std::vector<std::string> Expand(const std::vector<std::string>& lines) const;

    RecordingFrontEnd& FrontEnd() { return m_frontEnd; }
    engine::PageEngine& Engine() { return *m_engine; }
    // The captures' interrupt flag: set while a capture runs (from a pump, say), it stops the capture.
    std::atomic<bool> interrupted { false };
    const std::filesystem::path& Scratch() const { return m_scratch.Path(); }

private:
    testing::TemporaryFolder m_scratch;
    std::string m_saveDir;
    bool m_offlineCopy = false;
    bool m_singleFile = false;
    bool m_scriptsRan = false;
    RecordingFrontEnd m_frontEnd;
    capture::CaptureResult m_lastResult;
    std::unique_ptr<engine::PageEngine> m_engine;
    bool m_completed = false;
};

// The lines a capture reports for one document file, and for one copied resource.
std::vector<std::string> DocumentLines(const std::string& file);
std::vector<std::string> ResourceLines(const std::string& reportText, const std::string& file);
// Whether two byte strings are equal; on a difference, their sizes and the first differing offset
// (large bodies are not printed).
::testing::AssertionResult SameBytes(const std::string& actual, const std::string& expected);

// Whether two lists of lines are equal; on a difference, the first differing line of each, as text.
::testing::AssertionResult SameLines(
    const std::vector<std::string>& actual, const std::vector<std::string>& expected);

// Lines joined in order.
std::vector<std::string> Join(std::initializer_list<std::vector<std::string>> parts);

inline constexpr const char* kImageReport = "保存图片文件：";
inline constexpr const char* kScriptReport = "保存JS文件：";
inline constexpr const char* kPageNotFoundLines[] = { "result: 网页不存在，或是网址不符合标准，停止下载。",
    "status:  网页不存在，或是网址不符合标准，停止下载。" };

} // namespace pagestow::hostile

#pragma once

// What every conformance suite shares: an engine from the engine table (the test is skipped when it
// cannot run here), a front end that records the result lines, and a capture of a loaded page into a
// temporary save folder.

#include "capture/Capture.h"
#include "capture/CaptureRecord.h"
#include "capture/CaptureState.h"
#include "cli/EngineTable.h"
#include "engine/EngineCache.h"
#include "engine/PageEngine.h"

#include "support/TemporaryFolder.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace pagestow::conformance {

using Lines = std::vector<std::string>;

// A 1 x 1 PNG; tests append a word to tell their pictures apart.
inline const std::string kPng
    = std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x01\0\0\0\x01\x08\x06\0\0\0\x1f\x15\xc4\x89"
                  "\0\0\0\rIDATx\x9c"
                  "c`\0\0\0\x02\0\x01\xe2!\xbc\x33\0\0\0\0IEND\xae\x42\x60\x82",
        67);

// What the capture shows, recorded; pumping lets the engine run, as the window's message loop does.
class RecordingFrontEnd : public capture::FrontEnd {
public:
    explicit RecordingFrontEnd(engine::PageEngine& engine)
        : m_engine(engine)
    {
    }
    void AddResultLine(const std::string& message) override { results.push_back(message); }
    void SetStatusText(const std::string&) override { }
    void AddLogLine(const std::string&) override { }
    void PumpMessages() override { m_engine.ProcessEvents(std::chrono::milliseconds(0)); }
    void ShowMessage(const std::string& message) override { messages.push_back(message); }

    Lines results;
    Lines messages;

private:
    engine::PageEngine& m_engine;
};

// A suite parameterised by engine name.
class CaptureFixture : public ::testing::TestWithParam<std::string> {
protected:
    void SetUp() override
    {
        std::string missing;
        m_engine = cli::StartEngine(GetParam(), missing);
        if (!m_engine)
            GTEST_SKIP() << missing;
        m_frontEnd = std::make_unique<RecordingFrontEnd>(*m_engine);
        m_settings.saveDir = m_folder.Path().string();
        m_settings.cache = &m_engine->Cache();
        m_engine->Cache().Clear();
        m_engine->SetDocumentCompleteHandler(
            [this](const engine::SnapshotDocument&, engine::PageEngine::Completion completion) {
                if (completion == engine::PageEngine::Completion::TopLevel && !m_complete) {
                    m_complete = true;
                    m_completedAt = std::chrono::steady_clock::now();
                }
            });
    }

    void TearDown() override
    {
        if (m_engine)
            m_engine->SetDocumentCompleteHandler(nullptr);
    }

    // Loads address until the top-level document completes, then captures it.
    bool Capture(const std::string& address)
    {
        m_complete = false;
        m_navigatedAt = std::chrono::steady_clock::now();
        m_engine->Navigate(address);
        // A guard against a hang, far above any load time-out of these tests.
        const auto guard = m_navigatedAt + std::chrono::minutes(10);
        while (!m_complete && std::chrono::steady_clock::now() < guard)
            m_engine->ProcessEvents(std::chrono::milliseconds(50));
        EXPECT_TRUE(m_complete) << "no completion for " << address;
        m_lastResult = capture::CapturePage(m_engine->Document().get(), m_settings, *m_frontEnd);
        // The folder of a page that is not taken stays the one of the last page taken.
        if (m_lastResult.accepted)
            m_captureFolder = m_lastResult.captureFolder;
        return m_lastResult.accepted;
    }

    // From the navigation to the top-level document's completion.
    std::chrono::steady_clock::duration LoadTime() const { return m_completedAt - m_navigatedAt; }

    // The last page's capture folder (the save folder before the first page is taken).
    std::filesystem::path CaptureRoot() const { return m_folder.Path() / m_captureFolder; }
    Lines Files() const { return pagestow::testing::ListFiles(CaptureRoot()); }
    std::string Saved(const std::string& file) const
    {
        return pagestow::testing::ReadFileBytes(CaptureRoot() / file);
    }

    // The result lines with the capture folder's path written as "<capture>".
    Lines Results() const
    {
        std::string root = CaptureRoot().string();
        Lines lines;
        for (std::string line : m_frontEnd->results) {
            for (auto at = line.find(root); at != std::string::npos; at = line.find(root))
                line.replace(at, root.size(), "<capture>");
            lines.push_back(line);
        }
        return lines;
    }

    bool RunsScripts() const { return GetParam() != "static"; }

    // What the last capture did.
    capture::CaptureResult m_lastResult;
    pagestow::testing::TemporaryFolder m_folder;
    std::unique_ptr<engine::PageEngine> m_engine;
    std::unique_ptr<RecordingFrontEnd> m_frontEnd;
    capture::CaptureSettings m_settings;
    std::string m_captureFolder;
    bool m_complete = false;
    std::chrono::steady_clock::time_point m_navigatedAt;
    std::chrono::steady_clock::time_point m_completedAt;
};

} // namespace pagestow::conformance

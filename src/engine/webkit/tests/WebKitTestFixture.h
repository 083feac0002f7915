#pragma once

// The fixture of the WebKit engine's tests: an offscreen engine, a bounded load, the cache's bytes.

#include "engine/webkit/WebKitEngine.h"

#include "engine/Contract.h"
#include "engine/EngineCache.h"
#include "support/TemporaryFolder.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "mapping/FileUtils.h"

namespace pagestow::engine::webkit::tests {

using namespace std::chrono_literals;
using pagestow::testing::TemporaryFolder;
using pagestow::testing::TestServer;

// What one load raised: every completion in order, and whether the last was the top level.
struct Completion {
    bool topLevel = false;
    std::string url;
    // The document the completion carried, compared by identity only.
    const SnapshotDocument* document = nullptr;
};

class WebKitEngineTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Mesa's shader cache and WebKit's data stay out of the real home.
        static TemporaryFolder home;
        setenv("HOME", home.Path().c_str(), 1);
        setenv("XDG_CACHE_HOME", (home.Path() / "cache").c_str(), 1);
        setenv("XDG_DATA_HOME", (home.Path() / "data").c_str(), 1);
    }

    void SetUp() override
    {
        if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY"))
            GTEST_SKIP() << "no display for WebKit";
        if (!WebKitEngineAvailable())
            GTEST_SKIP() << "GTK cannot open the display";
        m_engine = std::make_unique<WebKitEngine>();
        m_engine->SetDocumentCompleteHandler(
            [this](const SnapshotDocument& document, PageEngine::Completion completion) {
                m_completions.push_back(
                    { completion == PageEngine::Completion::TopLevel, document.url, &document });
            });
    }

    // Loads address and waits for its top-level completion (bounded, so a broken load fails
    // instead of hanging).
    std::shared_ptr<const SnapshotDocument> Load(const std::string& address)
    {
        m_completions.clear();
        m_engine->Navigate(address);
        auto giveUp = std::chrono::steady_clock::now() + 90s;
        while ((m_completions.empty() || !m_completions.back().topLevel)
            && std::chrono::steady_clock::now() < giveUp)
            m_engine->ProcessEvents(100ms);
        if (m_completions.empty() || !m_completions.back().topLevel)
            return nullptr;
        return m_engine->Document();
    }

    static std::vector<std::string> TagNames(const SnapshotDocument& document)
    {
        std::vector<std::string> tags;
        for (const SnapshotElement& element : document.elements)
            tags.push_back(element.tagName);
        return tags;
    }

    std::string CachedBytes(const std::string& address) const
    {
        std::string file;
        if (GetCachedFileName(m_engine->Cache(), address, file) != 0)
            return "(not cached)";
        return pagestow::testing::ReadFileBytes(file);
    }

    std::unique_ptr<WebKitEngine> m_engine;
    std::vector<Completion> m_completions;
};

// A real 1 x 1 GIF picture; a body that only claims to be one is dropped by WebKit's decoder.
inline std::string Gif(const std::string& tag)
{
    static const std::string picture(
        "GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00!\xf9\x04\x01"
        "\x00\x00\x00\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;",
        43);
    // Bytes after the trailer are ignored by decoders and tell the pictures apart.
    return picture + tag;
}
} // namespace pagestow::engine::webkit::tests

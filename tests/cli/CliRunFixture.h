#pragma once

#include "ChildProcess.h"

#include "support/TemporaryFolder.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace pagestow::testing {
namespace fs = std::filesystem;

inline std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    return lines;
}

// The system's message, then one line of ours naming the address and what went wrong.
inline void ExpectRejected(const std::string& err, const std::string& shownAddress)
{
    std::vector<std::string> lines = Lines(err);
    ASSERT_EQ(lines.size(), 2u) << err;
    EXPECT_EQ(lines[0], " 网页不存在，或是网址不符合标准，停止下载。");
    std::string prefix = "pagestow-cli: " + shownAddress + ": ";
    EXPECT_EQ(lines[1].rfind(prefix, 0), 0u) << lines[1];
    EXPECT_GT(lines[1].size(), prefix.size()) << lines[1];
}

// One run of pagestow-cli in a scratch save folder, with its caches in scratch folders too.
class CliRun : public ::testing::Test {
protected:
    ChildResult Run(std::vector<std::string> args) { return RunOther(PAGESTOW_CLI_PROGRAM, std::move(args)); }

    // Another program (a shell, GNU parallel) in the same folder and environment.
    ChildResult RunOther(const std::string& program, std::vector<std::string> args)
    {
        return RunProgram(program, args, m_save.Path().string(),
            { { "PAGESTOW_CACHE_DIR", (m_scratch.Path() / "cache").string() },
                { "XDG_CACHE_HOME", (m_scratch.Path() / "xdg").string() }, { "http_proxy", "" },
                { "https_proxy", "" }, { "HTTP_PROXY", "" }, { "all_proxy", "" } });
    }

    // The one capture folder the run made.
    std::string CaptureRoot() const
    {
        std::string found;
        for (const auto& entry : fs::directory_iterator(m_save.Path())) {
            if (entry.path().filename().string().rfind("qzwd_", 0) == 0) {
                EXPECT_TRUE(found.empty()) << "more than one capture folder";
                found = entry.path().string();
            }
        }
        return found;
    }

    std::string SaveDir() const { return m_save.Path().string(); }

    // Whether the run left nothing of its engine cache behind.
    bool CacheRemoved() const
    {
        fs::path cache = m_scratch.Path() / "cache";
        std::error_code error;
        return !fs::exists(cache, error) || fs::is_empty(cache, error);
    }

    TemporaryFolder m_save;
    TemporaryFolder m_scratch;
};

// A run of pagestow-cli with the engine named by the test's parameter, skipped where that engine
// cannot run (Chromium not installed, a build without WebKit, no display).
class CliEngineRun : public CliRun, public ::testing::WithParamInterface<std::string> {
protected:
    void SetUp() override
    {
        if (GetParam() == "chromium" && ::access("/usr/lib/chromium/chromium", X_OK) != 0)
            GTEST_SKIP() << "Chromium is not installed";
#ifndef PAGESTOW_WEBKIT_ENGINE_BUILT
        if (GetParam() == "webkit")
            GTEST_SKIP() << "this build has no webkit engine";
#endif
        if (GetParam() == "webkit" && !std::getenv("DISPLAY"))
            GTEST_SKIP() << "the webkit engine needs a display";
    }
    // Whether the engine runs a browser (chromium, webkit).
    bool Browser() const { return GetParam() != "static"; }
};

} // namespace pagestow::testing

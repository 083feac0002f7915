#pragma once

#include "engine/EngineCache.h"
#include "engine/PageEngine.h"

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::engine::chromium {

// Debian's browser binary itself (the /usr/bin/chromium wrapper adds switches that reach the network).
inline constexpr const char* kChromiumProgram = "/usr/lib/chromium/chromium";

// Whether the browser program is installed and can be run.
bool ChromiumAvailable();

struct ChromiumOptions {
    std::filesystem::path program = kChromiumProgram;
    // More browser switches, after the engine's own.
    std::vector<std::string> extraArguments;
    // How long the network must stay quiet after every frame has loaded before the page counts as
    // complete, so that what the page's own script requests at load time is in as well.
    std::chrono::milliseconds quietPeriod { 300 };
    // Ends the reading of the finished page (DOM trees, serialisations) once the browser has not
    // answered for this long.
    std::chrono::milliseconds snapshotTimeout { 15000 };
    // Where loaded resources are recorded; null gives the engine a cache of its own.
    EngineCache* cache = nullptr;
};

// Why a navigation failed, from the browser's own error text ("net::ERR_NAME_NOT_RESOLVED").
NavigationFailure NavigationFailureOf(std::string_view errorText);

// Headless Chromium over its debugging pipe. Each navigation starts as in a fresh browser context (no
// cookies, storage or cache from earlier pages, unless the request options keep a cookie store, whose
// cookies it is given), in the tab of the page before once that is cleared; cross-origin frames,
// which the browser runs in processes of their own, are attached as sessions of their own. Every
// subresource's bytes go into the engine cache once each has finished; the completed page becomes a
// snapshot.
class ChromiumEngine final : public SnapshotEngine {
public:
    // Starts the browser; EngineError when it is missing or does not answer.
    explicit ChromiumEngine(ChromiumOptions options = {});
    ~ChromiumEngine() override;

    void Navigate(const std::string& address) override;
    // EngineError when the browser ended while a page was loading; the next Navigate starts a new one.
    void ProcessEvents(std::chrono::milliseconds wait) override;
    void SetLoadTimeout(std::chrono::milliseconds timeout) override;
    LoadProgress Progress() const override;
    // Draws the page the last load completed with, in the tab kept open for it
    // (SetKeepPageForPictures): Page.captureScreenshot beyond the viewport, or Page.printToPDF.
    bool SavePicture(Picture kind, const std::string& path, std::string& error) override;

    // The browser's process group (its main process id), -1 when none runs.
    pid_t BrowserProcessGroup() const;
    // The watchdog that cleans up when this process dies, -1 when none runs.
    pid_t WatchdogProcess() const;
    // The browser's profile folder, empty when none runs.
    std::filesystem::path ProfileFolder() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    friend struct Impl;
};

// The Chromium engine, as `pagestow-cli --engine chromium` uses it.
std::unique_ptr<PageEngine> CreateChromiumEngine();

} // namespace pagestow::engine::chromium

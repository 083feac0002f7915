#pragma once

#include "engine/PageEngine.h"

#include <chrono>
#include <memory>

typedef struct _GtkWidget GtkWidget;

namespace pagestow::engine::webkit {

// Where the engine's view lives.
enum class ViewHost {
    // In a window of its own that is never shown on screen (the command line, the tests).
    Offscreen,
    // Nowhere yet: the caller puts View() into a window of its own (the desktop window).
    Embedded,
};

// The WebKitGTK page engine: a WebKitWebView whose resources go into the engine cache and whose
// documents, frames included, are read by the web-process extension beside the executable. Needs a
// display; GTK is started when it is not yet.
class WebKitEngine : public SnapshotEngine {
public:
    // Raises EngineError when GTK cannot be started (no display).
    explicit WebKitEngine(ViewHost host = ViewHost::Offscreen);
    ~WebKitEngine() override;
    WebKitEngine(const WebKitEngine&) = delete;
    WebKitEngine& operator=(const WebKitEngine&) = delete;

    void Navigate(const std::string& address) override;
    void ProcessEvents(std::chrono::milliseconds wait) override;
    // 0 means no bound. The default is 60 seconds.
    void SetLoadTimeout(std::chrono::milliseconds timeout) override;
    LoadProgress Progress() const override;

    // The view widget (a WebKitWebView); the engine keeps its own reference.
    GtkWidget* View() const;

    // How long the page must stay quiet (no resource and no frame activity) after it has loaded
    // before the snapshot is taken. The default is 150 milliseconds.
    void SetQuietPeriod(std::chrono::milliseconds quiet);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

// A WebKit engine in an offscreen window; raises EngineError when there is no display.
std::unique_ptr<PageEngine> CreateWebKitEngine();

// Whether a WebKit engine can be made here (GTK can reach a display).
bool WebKitEngineAvailable();

} // namespace pagestow::engine::webkit

#pragma once

#include "engine/PageEngine.h"

#include <chrono>
#include <memory>
#include <string>

typedef struct _GtkWidget GtkWidget;

namespace pagestow::engine::webkit {

// Where the engine's view lives.
enum class ViewHost {
    // In a window of its own that is never shown on screen (the command line, the tests), laid out
    // in the headless engines' viewport.
    Offscreen,
    // Nowhere yet: the caller puts View() into a window of its own (the desktop window).
    Embedded,
};

// The WebKitGTK page engine: a WebKitWebView whose resources go into the engine cache and whose
// documents, frames included, are read by the web-process extension (beside the executable in a
// build tree, in the library folder once installed). Needs a display; GTK is started when it is not
// yet. It never downloads: a response that would be one (an attachment, a type the view cannot
// show) is ignored, in every frame.
class WebKitEngine : public SnapshotEngine {
public:
    // Raises EngineError when GTK cannot be started (no display). cache: where loaded resources are
    // recorded; null gives the engine a cache of its own. sessionCookieFile: where the view keeps its
    // cookies from run to run (a Netscape cookie file that WebKit keeps up to date, beside the folder
    // "webkit" of the view's other site data); empty keeps nothing on disk.
    explicit WebKitEngine(ViewHost host = ViewHost::Offscreen, EngineCache* cache = nullptr,
        std::string sessionCookieFile = {});
    ~WebKitEngine() override;
    WebKitEngine(const WebKitEngine&) = delete;
    WebKitEngine& operator=(const WebKitEngine&) = delete;

    void Navigate(const std::string& address) override;
    void ProcessEvents(std::chrono::milliseconds wait) override;
    // 0 means no bound. The default is 60 seconds.
    void SetLoadTimeout(std::chrono::milliseconds timeout) override;
    LoadProgress Progress() const override;
    // With the request options keeping cookies, what the view's cookie manager holds.
    std::vector<cookies::Cookie> CookieStore() override;
    // Draws the page the view shows, when it is the one the last load completed with: a snapshot of
    // the full document, or the view printed to a PDF file by GTK's print-to-file backend.
    bool SavePicture(Picture kind, const std::string& path, std::string& error) override;

    // The view widget (a WebKitWebView); the engine keeps its own reference.
    GtkWidget* View() const;

    // Whether a page's alert, confirm and prompt dialogs are shown to the user. When they are not,
    // they are answered as a headless browser answers them (alert dismissed, confirm false, prompt
    // empty, leaving the page allowed), so that no dialog can hold up a load. The default: shown for
    // a view the caller embeds in a window, answered for an offscreen view.
    void SetScriptDialogsShown(bool shown);
    bool ScriptDialogsShown() const;

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

// The folder the web-process extension is loaded from: the executable's own folder when the
// extension is there (a build tree), otherwise the installed library folder.
std::string ExtensionFolder();

} // namespace pagestow::engine::webkit

#pragma once

#include "app/Desktop.h"
#include "banner/Banner.h"
#include "banner/BannerThread.h"
#include "base/GLibOwned.h"
#include "archive/Exchange.h"
#include "capture/CaptureState.h"
#include "capture/SaveSequence.h"
#include "engine/PageEngine.h"
#include "engine/Snapshot.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

typedef struct _GtkWidget GtkWidget;
typedef struct _GtkWindow GtkWindow;
typedef struct _GtkListStore GtkListStore;
typedef struct _GtkTreeViewColumn GtkTreeViewColumn;

namespace pagestow::engine::webkit {
class WebKitEngine;
}

namespace pagestow::app {

class BrowseView;
class GtkBannerDisplay;
class GtkProgressWindow;

// The design size of the window, and the frame a window of that size has around its client area:
// the stored and restored sizes are outer sizes, the way the settings file has always held them.
inline constexpr int kDesignWidth = 640;
inline constexpr int kDesignHeight = 480;
inline constexpr int kFrameWidth = 8;
inline constexpr int kFrameHeight = 27;

// A control's place inside its parent.
struct Placement {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
    bool operator==(const Placement&) const = default;
};

// The window's outer bounds on the screen.
struct WindowBounds {
    int left = 0;
    int top = 0;
    int width = kDesignWidth;
    int height = kDesignHeight;
    bool operator==(const WindowBounds&) const = default;
};

struct FormOptions {
    // The settings file; empty means the program's own (found afresh at every use).
    std::string settingsFile;
    // Called once the window has closed.
    std::function<void()> onClosed;
    // Makes the page engine (for a view-hosting engine of a test's own); empty means the WebKit engine.
    std::function<std::unique_ptr<engine::webkit::WebKitEngine>()> makeEngine;
    // Where a banner fetch (Button4) asks; the defaults reach no real server.
    banner::BannerService bannerService;
    // Starts the fetch's thread; empty means a std::jthread.
    banner::ThreadStarter bannerThreadStarter;
};

// The settings file's name for a program: the program's name up to its first "." (the whole name when
// it has none), and ".ini".
std::string SettingsFileName(std::string_view programName);

// Where the settings file of the program programName in exeDirectory (ending in "/") lives: beside the
// program when that folder is writable or the file is already there, otherwise in the folder
// "pagestow" of configHome, which is then made.
std::string SettingsFilePath(
    std::string_view exeDirectory, std::string_view programName, std::string_view configHome);

// The browse view's cookie file below dataHome ($XDG_DATA_HOME): pagestow/cookies.txt, the folder
// made 0700 and the file 0600; "" when they cannot be made so.
std::string SessionCookieFile(const std::string& dataHome);

// The main window: the address box, the command buttons, the view selectors, the banner area, the
// result list, the log memo, the page engine and the status bar. It is the capture's front end.
class TmainForm : public capture::FrontEnd {
public:
    // Builds the window and runs FormCreate; the window is not shown yet.
    TmainForm(Desktop& desktop, FormOptions options = {});
    ~TmainForm() override;
    TmainForm(const TmainForm&) = delete;
    TmainForm& operator=(const TmainForm&) = delete;

    void Show();
    GtkWindow* Window() const;
    bool Closed() const { return m_closed; }
    // Asks the window to close, as its close box does.
    void Close();

    // A control by its name ("PLV", "Button1", ...), null when there is none.
    GtkWidget* Control(std::string_view name) const;
    // The name of every control, in the order of the window's tree.
    static const std::vector<std::string>& ControlNames();

    // Event handlers.
    void FormCreate();
    void FormResize();
    // Stores the window's settings; returns false when the settings file could not be written.
    bool FormClose();
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    void RB1Click();
    void RB3Click();
    void PLVDblClick();
    void GGImClick();
    void REWDocumentComplete(
        const engine::SnapshotDocument& document, engine::PageEngine::Completion completion);

    // The save folder captures go into; it keeps the separator the first accepted capture gives it.
    std::string SaveDir;
    // The folder name of the last accepted capture ("qzwd_" and 13 digits); "" before the first.
    std::string CaptureFolder;

    // Whether captures also write an offline copy, as the settings file chose.
    bool OfflineCopy() const { return m_offlineCopy; }
    // The capture-pending flag: 0 idle, -1 pending.
    int CapturePending() const { return m_capturePending; }
    bool Capturing() const { return m_capturing; }

    // What the views show.
    std::vector<std::string> ResultLines() const;
    std::string StatusText() const;
    std::string LogText() const;
    std::string AddressText() const;
    void SetAddressText(const std::string& text);
    int ActivePage() const;
    // The count of loaded and requested files shown beside the status text while Save waits for its
    // page ("12/40"); "" when none is shown.
    std::string LoadProgressText() const;
    // How often the resize rule has run.
    int ResizeCount() const { return m_resizeCount; }
    int ResultColumnWidth() const;

    // The window's outer bounds as last set or reported, and its normal (not maximised) bounds.
    WindowBounds Bounds() const;
    WindowBounds NormalBounds() const { return m_normalBounds; }
    bool Maximised() const { return m_maximised; }
    // The place of a control as the layout gives it (before the toolkit has shown anything).
    Placement LayoutOf(std::string_view name) const;

    engine::webkit::WebKitEngine& Engine() { return *m_engine; }

    // The banner shown in GGIm, its control, the fetch that Button4 starts and its progress window.
    const banner::Banner& BannerState() const { return *m_banner; }
    GtkBannerDisplay& BannerDisplay() { return *m_bannerDisplay; }
    banner::BannerFetcher* Fetcher() { return m_fetcher.get(); }
    GtkProgressWindow& ProgressWindow() { return *m_progressWindow; }

    // The capture's front end.
    void AddResultLine(const std::string& message) override;
    void SetStatusText(const std::string& message) override;
    void AddLogLine(const std::string& message) override;
    void PumpMessages() override;
    void CaptureFolderClaimed(const std::string& saveDir, const std::string& captureFolder) override;
    void ShowMessage(const std::string& message) override;

    // The settings file in use.
    std::string SettingsFile() const;
    // The browse view's cookie file when the settings keep the session (keepsession=1), else "".
    std::string SessionFile() const;

private:
    // The window's controls: the banner and the two rows above the views, the views, the status bar,
    // and the handlers of their signals and of the window's.
    void BuildControls();
    GtkWidget* BuildTopRows();
    GtkWidget* BuildViews();
    GtkWidget* BuildStatusBar();
    void ConnectSignals();
    // Names a control and keeps it under that name.
    GtkWidget* Named(GtkWidget* widget, const char* name);
    GtkWidget* Button(const char* name, std::string_view caption);
    void Place(std::string_view name, Placement placement);
    void SetClientSize(int width, int height);
    void SetPosition(int left, int top);
    // Fills the aligned controls for a client area of that size.
    void Align(int clientWidth, int clientHeight);
    void SelectPage(int index);
    void CheckRadio(std::string_view name);
    void SetCaptureControlsEnabled(bool enabled);
    void Notice(std::string_view text);
    // Brings the load count beside the status text up to date, or hides it.
    void ShowLoadProgress();
    // After a completion with the engine's error page: the browse view shows why.
    void ShowWhyThePageFailed(
        const engine::SnapshotDocument& document, engine::PageEngine::Completion completion);

    // Start-up step and first run.
    void ApplySettings();
    void FirstRun();
    // Turns the offline copy (and the engine's loading of what stylesheets load) on or off.
    void ApplyOfflineCopy(bool on);
    // With warc=1: the engine records the exchanges of the page a Save loads, and once the page is
    // captured they go to capture.warc.gz in its capture folder.
    void StartRecordingExchanges();
    // With screenshot=1: the view's page as a PNG beside the saved page, reported in a result line.
    void WriteCaptureScreenshot(const capture::CaptureOutcome& outcome);
    void WriteCaptureArchive(const capture::CaptureOutcome& outcome, const engine::SnapshotDocument* page);

    static void OnSizeAllocate(GtkWidget* widget, void* allocation, void* data);
    static int OnKeyPress(GtkWidget* widget, void* event, void* data);
    static int OnConfigure(GtkWidget* widget, void* event, void* data);
    static int OnWindowState(GtkWidget* widget, void* event, void* data);
    static int OnDelete(GtkWidget* widget, void* event, void* data);
    static void OnDestroy(GtkWidget* widget, void* data);

    Desktop& m_desktop;
    FormOptions m_options;
    std::unique_ptr<engine::webkit::WebKitEngine> m_engine;
    std::unique_ptr<BrowseView> m_browseView;
    GtkWidget* m_window = nullptr;
    std::map<std::string, GtkWidget*, std::less<>> m_controls;
    std::map<std::string, Placement, std::less<>> m_layout;
    GtkWidget* m_resultView = nullptr;
    // The list's one column (the tree view owns it), and the list itself, which the form keeps so that
    // it can still be read once the window is gone.
    GtkTreeViewColumn* m_resultColumn = nullptr;
    base::GObjectPtr<GtkListStore> m_resultStore;
    GtkWidget* m_logView = nullptr;
    GtkWidget* m_statusLabel = nullptr;
    GtkWidget* m_loadGauge = nullptr;
    GtkWidget* m_loadCount = nullptr;
    unsigned m_progressSource = 0;
    // From the start of a page load in the view until its page has completed.
    bool m_pageLoading = false;

    // The fetcher goes first (its thread is stopped and joined), then the banner and its windows.
    std::unique_ptr<GtkBannerDisplay> m_bannerDisplay;
    std::unique_ptr<GtkProgressWindow> m_progressWindow;
    std::unique_ptr<banner::Banner> m_banner;
    std::unique_ptr<banner::BannerFetcher> m_fetcher;

    int m_capturePending = 0;
    bool m_capturing = false;
    bool m_closed = false;
    bool m_closeRequested = false;
    // Client size and position as last set or reported.
    int m_clientWidth = kDesignWidth - kFrameWidth;
    int m_clientHeight = kDesignHeight - kFrameHeight;
    int m_left = 0;
    int m_top = 0;
    WindowBounds m_normalBounds;
    bool m_maximised = false;
    // The size the layout was last made for, so that a resize is handled once.
    int m_laidOutWidth = -1;
    int m_laidOutHeight = -1;
    unsigned m_resizeSource = 0;
    bool m_resizedOnce = false;
    int m_resizeCount = 0;
    // The last Tab pressed while the page view had the focus.
    struct ViewKey {
        unsigned time;
        unsigned keyval;
        unsigned state;
    };
    std::optional<ViewKey> m_viewTab;
    // A save folder chosen while a capture runs; it takes effect when that capture has ended.
    std::string m_deferredSaveDir;
    // The folder of the last accepted capture, as it was written.
    std::string m_lastCaptureFolder;
    // Whether captures also write an offline copy (the settings file's choice).
    bool m_offlineCopy = false;
    // Whether captures also write the page as one HTML file (singlefile=1).
    bool m_singleFile = false;
    // Whether captures also write an MHTML file (mhtml=1).
    bool m_mhtml = false;
    // Whether captures also write their archive (warc=1), and the log of the load being captured.
    bool m_warc = false;
    std::unique_ptr<archive::ExchangeLog> m_exchangeLog;
    // Whether captures also write a PNG of the whole page beside its saved file (screenshot=1).
    bool m_screenshot = false;
};

} // namespace pagestow::app

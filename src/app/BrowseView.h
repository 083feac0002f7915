#pragma once

#include "base/GLibOwned.h"

#include <functional>
#include <string>

typedef struct _GtkWidget GtkWidget;

namespace pagestow::app {

// What the browse view shows beyond the engine's pages. The engine keeps the page view's own error
// page away (a capture must never save it); the window shows it once the capture has rejected the
// address, so that the user sees why it could not be reached.
class BrowseView {
public:
    // Watches what view (a WebKitWebView) reports of its failed loads; loadStarted is called whenever
    // the view starts to load a page.
    BrowseView(GtkWidget* view, std::function<void()> loadStarted);
    ~BrowseView();
    BrowseView(const BrowseView&) = delete;
    BrowseView& operator=(const BrowseView&) = delete;

    // Shows the view's own error page for address: with the failure the view reported for its last
    // load, or with reason when it reported none (a load the engine's time-out ended).
    void ShowErrorPage(const std::string& address, const std::string& reason);

    // The address and text of the failure the view reported for its current load ("" for none).
    std::string LastFailureAddress() const;
    std::string LastFailureMessage() const;

private:
    static void OnLoadChanged(GtkWidget* view, int event, void* data);

    // The view, kept alive as long as it is watched.
    base::GObjectPtr<GtkWidget> m_view;
    std::function<void()> m_loadStarted;
};

} // namespace pagestow::app

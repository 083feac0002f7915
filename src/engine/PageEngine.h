#pragma once

#include "engine/DocumentModel.h"
#include "engine/Snapshot.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace pagestow::engine {

// The address of the engine's built-in page for a navigation that got no response is this text
// followed by the address; the capture recognises the page by kErrorPageMarker in its address.
inline constexpr std::string_view kErrorPagePrefix = "res://shdoclc.dll/dnserror.htm#";
inline constexpr std::string_view kErrorPageMarker = "shdoclc.dll/dnserror.htm";

// How far the current load has come, for a progress display.
struct LoadProgress {
    int requested = 0;
    int loaded = 0;
    std::uint64_t bytes = 0;
};

// Why a navigation got no response, for a message in the user's words beside the system's own.
enum class NavigationFailure {
    None,
    HostNotFound,
    ConnectionRefused,
    TimedOut,
    TlsFailure,
    UnsupportedScheme,
    BlockedPort,
    Other,
};

// A short English description of a failure ("host not found"); "" for None.
std::string_view DescribeNavigationFailure(NavigationFailure failure);

// A page engine: loads pages as a browser does and offers the loaded page through the document model.
// Every call happens on the thread that made the engine.
class PageEngine {
public:
    // Called once per completed document: every frame document with the browser object that shows
    // it, then the top-level document with Application(). url is the document's address.
    using DocumentCompleteHandler = std::function<void(const ObjectPtr& browser, const std::string& url)>;

    virtual ~PageEngine() = default;

    // Starts loading address, read as a browser reads a typed address (no scheme means "http://").
    virtual void Navigate(const std::string& address) = 0;
    // The engine's top-level browser object; the top-level completion carries this very object.
    virtual ObjectPtr Application() const = 0;
    // The current top-level document, null when there is none.
    virtual ObjectPtr Document() const = 0;
    // Runs pending engine work and raises its events; waits at most `wait` for something to happen.
    virtual void ProcessEvents(std::chrono::milliseconds wait) = 0;
    // Bounds one page's load; the page then completes with what has arrived.
    virtual void SetLoadTimeout(std::chrono::milliseconds timeout) = 0;
    virtual LoadProgress Progress() const = 0;

    void SetDocumentCompleteHandler(DocumentCompleteHandler handler) { m_onDocumentComplete = std::move(handler); }

    // Why the last navigation completed with the built-in error page (None when it did not), with
    // the engine's own detail ("Could not resolve host: x.invalid") when it has one.
    NavigationFailure LastFailure() const { return m_lastFailure; }
    const std::string& LastFailureDetail() const { return m_lastFailureDetail; }

    // Whether the engine also requests what stylesheets load (@import, url()) as a browser does.
    // Engines that run a browser load these anyway; the built-in engine does only when asked.
    void SetStylesheetLoads(bool on) { m_stylesheetLoads = on; }
    bool StylesheetLoads() const { return m_stylesheetLoads; }

protected:
    void SetLastFailure(NavigationFailure failure, std::string detail = {})
    {
        m_lastFailure = failure;
        m_lastFailureDetail = std::move(detail);
    }

    void RaiseDocumentComplete(const ObjectPtr& browser, const std::string& url)
    {
        if (m_onDocumentComplete)
            m_onDocumentComplete(browser, url);
    }

private:
    DocumentCompleteHandler m_onDocumentComplete;
    NavigationFailure m_lastFailure = NavigationFailure::None;
    std::string m_lastFailureDetail;
    bool m_stylesheetLoads = false;
};

// The part every snapshot-taking backend shares: the top-level browser, the current document, and
// raising the completions of a finished snapshot in the engine layer's order.
class SnapshotEngine : public PageEngine {
public:
    SnapshotEngine();
    ObjectPtr Application() const override { return m_application; }
    ObjectPtr Document() const override { return m_application->Document(); }

protected:
    // Makes top the current page and raises the completions: frames first (children before their
    // parent, in index order), the top-level document last.
    void CompleteWithSnapshot(std::shared_ptr<const SnapshotDocument> top);
    // Completes with the built-in error page for address.
    void CompleteWithErrorPage(const std::string& address);

private:
    std::shared_ptr<FixedBrowser> m_application;
};

// The built-in error page's snapshot for an address that got no response.
std::shared_ptr<SnapshotDocument> MakeErrorPage(std::string_view address);

// The address a browser loads for a typed address: "http://" in front when it names no scheme.
std::string WithDefaultScheme(std::string_view address);

} // namespace pagestow::engine

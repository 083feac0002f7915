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

protected:
    void RaiseDocumentComplete(const ObjectPtr& browser, const std::string& url)
    {
        if (m_onDocumentComplete)
            m_onDocumentComplete(browser, url);
    }

private:
    DocumentCompleteHandler m_onDocumentComplete;
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

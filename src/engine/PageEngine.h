#pragma once

#include "engine/RequestOptions.h"
#include "engine/Snapshot.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace pagestow::archive {
class ExchangeLog;
}

namespace pagestow::engine {

class EngineCache;

// How far the current load has come, for a progress display.
struct LoadProgress {
    int requested = 0;
    int loaded = 0;
    std::uint64_t bytes = 0;
    // Screens scrolled so far to load what loads as it comes into view (0 before scrolling begins),
    // and why scrolling stopped short of the page's end, if it did.
    int screens = 0;
    enum class ScrollBound { None, Screens, Time } scrollBound = ScrollBound::None;
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

// A page engine: loads pages as a browser does and offers the loaded page as a snapshot.
// Every call happens on the thread that made the engine.
class PageEngine {
public:
    // Which document a completion is for: a frame's, or the page itself (always the last).
    enum class Completion { Frame, TopLevel };
    // Called once per completed document: every frame document, then the top-level document.
    using DocumentCompleteHandler
        = std::function<void(const SnapshotDocument& document, Completion completion)>;

    virtual ~PageEngine() = default;

    // Starts loading address, read as a browser reads a typed address (no scheme means "http://").
    virtual void Navigate(const std::string& address) = 0;
    // The current top-level document, null when there is none.
    virtual std::shared_ptr<const SnapshotDocument> Document() const = 0;
    // The pages the caller navigates to next, in that order (a crawl's queue): an engine may ask for them
    // now, with the request each navigation would make, and take the answer when it navigates there.
    // Each call replaces the last list. The built-in engine asks for the first four while it loads the
    // page before them (never when it records exchanges for an archive); the browsers ignore it.
    virtual void Prefetch(const std::vector<std::string>& addresses) { (void)addresses; }
    // Runs pending engine work and raises its events; waits at most `wait` for something to happen.
    virtual void ProcessEvents(std::chrono::milliseconds wait) = 0;
    // Bounds one page's load; the page then completes with what has arrived.
    virtual void SetLoadTimeout(std::chrono::milliseconds timeout) = 0;
    virtual LoadProgress Progress() const = 0;
    // The engine cache this engine records what it loaded into: the one it was given, or else one
    // of its own that lives as long as the engine.
    virtual EngineCache& Cache() const = 0;

    void SetDocumentCompleteHandler(DocumentCompleteHandler handler)
    {
        m_onDocumentComplete = std::move(handler);
    }

    // Why the last navigation completed with the built-in error page (None when it did not), with
    // the engine's own detail ("Could not resolve host: x.invalid") when it has one.
    NavigationFailure LastFailure() const { return m_lastFailure; }
    const std::string& LastFailureDetail() const { return m_lastFailureDetail; }

    // How the server answered the last navigation's page: its HTTP status and Retry-After header, when
    // the engine knows them (the built-in engine does; 0 and "" otherwise).
    struct PageAnswer {
        int status = 0;
        std::string retryAfter;
    };
    const PageAnswer& LastAnswer() const { return m_lastAnswer; }

    // Whether the engine also requests what stylesheets load (@import, url()) as a browser does.
    // Engines that run a browser load these anyway; the built-in engine does only when asked.
    void SetStylesheetLoads(bool on) { m_stylesheetLoads = on; }
    bool StylesheetLoads() const { return m_stylesheetLoads; }

    // Whether a subresource the engine cache holds from an earlier page of the run is taken from there
    // instead of being requested again, as a browser's cache would (a crawl's pages share their
    // stylesheets and pictures). Off by default; the built-in engine heeds it, the browsers keep
    // their own caches.
    void SetReuseLoadedResources(bool on) { m_reuseLoadedResources = on; }
    bool ReuseLoadedResources() const { return m_reuseLoadedResources; }

    // Whether a browser engine scrolls the page through before taking it (on by default), so that
    // what loads only as it comes into view (loading="lazy", pictures a script swaps in) is loaded.
    // The built-in engine runs no script and loads every image anyway.
    void SetScrollLoading(bool on) { m_scrollLoading = on; }
    bool ScrollLoading() const { return m_scrollLoading; }

    // Has the engine watch flag, which its owner may set from a signal handler: once it is set, the
    // page being loaded is given up at once and does not complete. Null watches nothing.
    void WatchInterrupt(const std::atomic<bool>* flag) { m_interrupt = flag; }
    const std::atomic<bool>* InterruptFlag() const { return m_interrupt; }
    bool Interrupted() const { return m_interrupt && m_interrupt->load(); }

    // What the user adds to every request (cookies, headers, user agent), for the pages navigated
    // to after the call; the cookie store starts again from its cookies.
    void SetRequestOptions(const RequestOptions& options)
    {
        m_requestOptions = options;
        m_cookieStore = options.cookies;
    }
    const RequestOptions& Requests() const { return m_requestOptions; }
    // A picture of the page the last load completed with, taken from that load (the page is not
    // loaded again): the whole page as a PNG (its full height, to kPictureHeightLimit pixels) or as
    // the browser prints it to PDF. False with error set when the engine draws no page or the file
    // could not be written whole; the built-in engine draws none.
    enum class Picture { Screenshot, Pdf };
    virtual bool SavePicture(Picture kind, const std::string& path, std::string& error)
    {
        (void)kind;
        (void)path;
        error = "the built-in engine draws no page: a screenshot or a PDF needs --engine chromium or webkit";
        return false;
    }
    static constexpr int kPictureHeightLimit = 16384;
    // Whether the page a load completes with stays open until the next navigation, so that
    // SavePicture can draw it (off by default: an engine that closes its page once it has read it
    // goes on doing so). An engine whose view always keeps its page ignores it.
    void SetKeepPageForPictures(bool keep) { m_keepPageForPictures = keep; }
    bool KeepsPageForPictures() const { return m_keepPageForPictures; }

    // What the cookie store holds now: the cookies it started with and, when the options keep
    // cookies, those the servers of the pages loaded since have set.
    virtual std::vector<cookies::Cookie> CookieStore() { return m_cookieStore; }

    // Where the engine records every HTTP exchange of the pages it loads (request, status, headers and
    // body as received), for an archive; null, the default, records nothing.
    void SetExchangeLog(archive::ExchangeLog* log) { m_exchangeLog = log; }
    archive::ExchangeLog* Exchanges() const { return m_exchangeLog; }

protected:
    void SetLastFailure(NavigationFailure failure, std::string detail = {})
    {
        m_lastFailure = failure;
        m_lastFailureDetail = std::move(detail);
    }
    void SetLastAnswer(PageAnswer answer) { m_lastAnswer = std::move(answer); }

    // The cookies a page load starts with (those of the store), and what its browser held at its end.
    const std::vector<cookies::Cookie>& StoredCookies() const { return m_cookieStore; }
    void KeepCookies(std::vector<cookies::Cookie> cookies)
    {
        if (m_requestOptions.keepCookies)
            m_cookieStore = std::move(cookies);
    }

    void RaiseDocumentComplete(const SnapshotDocument& document, Completion completion)
    {
        if (m_onDocumentComplete)
            m_onDocumentComplete(document, completion);
    }

private:
    DocumentCompleteHandler m_onDocumentComplete;
    NavigationFailure m_lastFailure = NavigationFailure::None;
    std::string m_lastFailureDetail;
    PageAnswer m_lastAnswer;
    bool m_stylesheetLoads = false;
    bool m_reuseLoadedResources = false;
    bool m_scrollLoading = true;
    const std::atomic<bool>* m_interrupt = nullptr;
    RequestOptions m_requestOptions;
    std::vector<cookies::Cookie> m_cookieStore;
    archive::ExchangeLog* m_exchangeLog = nullptr;
    bool m_keepPageForPictures = false;
};

// The part every snapshot-taking backend shares: the current document, and raising the completions
// of a finished snapshot in the engine layer's order.
class SnapshotEngine : public PageEngine {
public:
    // cache: where the engine records what it loads; null gives it a cache of its own (a fresh
    // folder of the run's cache root, removed with the engine).
    explicit SnapshotEngine(EngineCache* cache = nullptr);
    ~SnapshotEngine() override;
    std::shared_ptr<const SnapshotDocument> Document() const override { return m_document; }
    EngineCache& Cache() const override { return *m_cache; }

protected:
    // Makes top the current page and raises the completions: frames first (children before their
    // parent, in index order), the top-level document last.
    void CompleteWithSnapshot(std::shared_ptr<const SnapshotDocument> top);
    // Completes with the built-in error page for address.
    void CompleteWithErrorPage(const std::string& address);

private:
    std::shared_ptr<const SnapshotDocument> m_document;
    // Destroyed after the backend's own members, which may still hold entries of the cache.
    std::unique_ptr<EngineCache> m_ownCache;
    EngineCache* m_cache;
};

// The built-in error page's snapshot for an address that got no response: a top-level document whose
// origin is Failed and whose url is the address it tried (LastFailure() says why).
std::shared_ptr<SnapshotDocument> MakeErrorPage(std::string_view address);

// The address a browser loads for a typed address: "http://" in front when it names no scheme.
std::string WithDefaultScheme(std::string_view address);

} // namespace pagestow::engine

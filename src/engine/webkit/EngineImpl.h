#pragma once

// The inside of the WebKit engine, shared by its parts: the engine's public face and view
// (WebKitEngine.cpp), the load's states and the view's policy decisions (LoadPolicy.cpp), the responses
// that go into the engine cache and the second fetches (ResponseStore.cpp), and the reading of the
// documents (DomDump.cpp).

#include "archive/Exchange.h"
#include "base/GLibOwned.h"
#include "engine/EngineCache.h"
#include "engine/MemoryWatch.h"
#include "engine/Snapshot.h"
#include "engine/webkit/BodyDecoder.h"
#include "engine/webkit/FrameDump.h"
#include "engine/webkit/WebKitEngine.h"
#include "engine/webkit/WebKitResponses.h"

#include <webkit2/webkit2.h>

#include <libsoup/soup.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace pagestow::engine::webkit {

inline constexpr std::string_view kBlankPage = "about:blank";

inline guint AddTimeout(std::chrono::milliseconds after, GSourceFunc function, gpointer data)
{
    return g_timeout_add(guint(std::max<std::int64_t>(0, after.count())), function, data);
}

inline void RemoveSource(guint& source)
{
    if (source)
        g_source_remove(source);
    source = 0;
}

// A document whose answer has come but none of whose body WebKit has parsed: the page as a parser
// sees it at the end of an empty input.
inline std::shared_ptr<SnapshotDocument> BegunDocument(std::string address)
{
    auto page = MakeBlankDocument(std::move(address));
    page->serialization = std::string(kBlankDocumentMarkup);
    return page;
}

// One page load runs through these states; each new load (ours or the page's own) starts at Loading.
enum class LoadState { Idle, Loading, Quiet, Dumping, Done };

struct WebKitEngine::Impl {
    Impl(WebKitEngine& owner, ViewHost host, const std::string& sessionCookieFile);
    ~Impl();

    void BeginLoad(std::string address, bool pageStarted);
    void TrackLoad(std::string address, bool pageStarted);
    void RestartNavigation();
    void AdoptStartedLoad();
    void CheckComplete();
    void Poke();
    void OnTimeout();
    void TakeSnapshot();
    void OnDumpReply(std::vector<FrameDump> dumps);
    void Deliver(std::shared_ptr<SnapshotDocument> top);
    void DeliverErrorPage();
    // Fails the page being loaded when the memory watch had to end one of WebKit's processes.
    void CheckMemory();
    std::string CurrentUri() const;
    bool EndedWithoutResponse() const;
    // The main resource's answer when one has arrived (status and address), for a load cut short.
    WebKitURIResponse* MainResponse() const;
    WebKitURIResponse* m_mainResponse = nullptr;

    // Scrolling the page through before it is taken (ScrollLoad.cpp): one step at a time in every
    // frame, each once the page is quiet again, then back to the top.
    struct ScrollState {
        bool began = false;
        bool finished = false;
        // A step was sent and its answer has not come.
        bool pending = false;
        int step = 0;
        bool allAtEnd = false;
        bool scrolled = false;
        std::chrono::steady_clock::time_point beganAt;
        // Gives up on an answer that does not come (a dialog the user has not answered yet).
        guint guardSource = 0;
    };
    ScrollState m_scroll;
    bool Scrolling() const;
    std::chrono::milliseconds QuietPeriod() const;
    // Called when the page has been quiet: the next step, true; false when the page is to be taken.
    bool ScrollOnceQuiet();
    void SendScrollStep(int step);
    void OnScrollAnswer(int step, const std::string& answer);
    void ResetScroll();

    // Signal handlers.
    static void OnInitializeExtensions(WebKitWebContext* context, gpointer data);
    static void OnDownloadStarted(WebKitWebContext* context, WebKitDownload* download, gpointer data);
    static gboolean OnDecidePolicy(
        WebKitWebView* view, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer data);
    static gboolean OnScriptDialog(WebKitWebView* view, WebKitScriptDialog* dialog, gpointer data);
    static void OnLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data);
    static gboolean OnLoadFailed(
        WebKitWebView* view, WebKitLoadEvent event, gchar* uri, GError* error, gpointer data);
    static gboolean OnLoadFailedWithTlsErrors(WebKitWebView* view, gchar* uri, GTlsCertificate* certificate,
        GTlsCertificateFlags errors, gpointer data);
    static void OnResourceLoadStarted(
        WebKitWebView* view, WebKitWebResource* resource, WebKitURIRequest* request, gpointer data);
    static gboolean OnUserMessage(WebKitWebView* view, WebKitUserMessage* message, gpointer data);
    static void OnWebProcessTerminated(
        WebKitWebView* view, WebKitWebProcessTerminationReason reason, gpointer data);

    // One resource being watched until its body is in the cache.
    struct ResourceWatch {
        std::weak_ptr<Impl*> engine;
        std::uint64_t loadSerial = 0;
        std::string requested;
        bool done = false;
        // Only a GET is fetched again: repeating any other request could change what it acts on.
        bool get = true;
        // The request's headers as the page sent them (Referer included), for a second fetch.
        HeaderList headers;
        // The resource's key among the recorded ones; 0 when it is not recorded.
        std::uint64_t record = 0;
    };
    static Impl* Alive(const std::weak_ptr<Impl*>& engine)
    {
        auto strong = engine.lock();
        return strong ? *strong : nullptr;
    }
    static void OnResourceFinished(WebKitWebResource* resource, gpointer data);
    static void OnResourceData(GObject* source, GAsyncResult* result, gpointer data);
    static void OnResourceFailed(WebKitWebResource* resource, GError* error, gpointer data);
    static void OnResourceGone(gpointer data, GObject* resource);
    // The resource no longer keeps the page from completing.
    static void Settle(
        const std::weak_ptr<Impl*>& engine, std::uint64_t loadSerial, bool counted, std::uint64_t bytes);

    // A body WebKit loaded but does not hand out (a redirected resource, a picture its decoder
    // rejected, a body the web process does not find again) is fetched once more with the page's own
    // request headers and the view's cookies, straight into the engine cache.
    struct Refetch {
        std::weak_ptr<Impl*> engine;
        std::uint64_t loadSerial = 0;
        std::vector<std::string> addresses;
        HeaderList headers;
        GCancellable* cancellable = nullptr;
        SoupMessage* message = nullptr;
        GInputStream* stream = nullptr;
        std::unique_ptr<EngineCache::Entry> entry;
        // The body arrives as it travelled (only the chunks undone) and is decoded here, so that a
        // body cut short or damaged is told from a whole one.
        std::unique_ptr<BodyDecoder> decoder;
        std::uint64_t received = 0;
        // The Content-Length the server announced, or -1.
        std::int64_t announced = -1;
        // A fetch for the exchange log alone (an error answer's body): the body goes into the log's
        // writer instead of the cache, and only an answer of the status the page got is taken.
        std::unique_ptr<archive::ExchangeLog::BodyWriter> logBody;
        guint wantedStatus = 0;
        std::uint64_t record = 0;
        ~Refetch();
    };
    void StartRefetch(WebKitWebResource* resource, ResourceWatch* watch, bool forLog = false);
    static void OnRefetchCookies(GObject* source, GAsyncResult* result, gpointer data);
    static void OnRefetchSent(GObject* source, GAsyncResult* result, gpointer data);
    static void OnRefetchRead(GObject* source, GAsyncResult* result, gpointer data);
    static void ReadMore(Refetch* refetch);
    static void EndRefetch(Refetch* refetch, bool stored);
    static std::vector<std::string> AddressesOf(WebKitWebResource* resource, const ResourceWatch& watch);

    // The exchange log (ExchangeRecord.cpp): each resource's hops (the request at its start and each
    // one sent after a redirect), added once its body is had or known to be missing; frame documents,
    // whose bytes WebKit does not hand out, and whatever is still open when the page is delivered.
    struct RecordedResource {
        std::vector<archive::Exchange> hops;
        enum class Body { Awaited, Cached, Logged, Document, Missing } body = Body::Awaited;
        std::uint64_t cachedSize = 0;
        std::unique_ptr<archive::ExchangeLog::BodyWriter> writer;
    };
    void RecordStarted(ResourceWatch* watch, WebKitWebResource* resource, WebKitURIRequest* request);
    static void OnSentRequest(
        WebKitWebResource* resource, WebKitURIRequest* request, WebKitURIResponse* redirected, gpointer data);
    RecordedResource* Recorded(std::uint64_t record);
    void RecordResponse(std::uint64_t record, WebKitURIResponse* response);
    void RecordBody(std::uint64_t record, RecordedResource::Body body, std::uint64_t size = 0,
        std::unique_ptr<archive::ExchangeLog::BodyWriter> writer = nullptr);
    std::unique_ptr<archive::ExchangeLog::BodyWriter> LogWriter(std::string_view bytes);
    void RecordEnded(std::uint64_t record);
    void AddRecorded(RecordedResource& recorded);
    void AddRemainingExchanges(const SnapshotDocument* top);
    // The log of the current load (the engine's when the load began) and its resources by key.
    archive::ExchangeLog* m_log = nullptr;
    std::map<std::uint64_t, RecordedResource> m_recorded;
    std::uint64_t m_nextRecord = 0;

    WebKitEngine& m_owner;
    // Every asynchronous callback holds a weak reference to this, so none reaches a destroyed engine.
    std::shared_ptr<Impl*> m_self;
    WebKitWebContext* m_context = nullptr;
    WebKitWebView* m_view = nullptr;
    GtkWidget* m_offscreen = nullptr;
    SoupSession* m_session = nullptr;
    // Cancelled when the engine goes, so that no second fetch outlives it.
    GCancellable* m_cancellable = nullptr;
    bool m_dialogsShown = false;

    LoadState m_state = LoadState::Idle;
    // Bounds the web and network processes' memory from BeginLoad until the page is delivered.
    MemoryWatch m_memoryWatch;
    // Counts loads, so that a late reply for an earlier load is dropped.
    std::uint64_t m_loadSerial = 0;
    // The address of the current load, for the error page.
    std::string m_address;
    // The load was started by the page or the user in the view, not by Navigate.
    bool m_pageStarted = false;
    // The view's address when the current load last started: empty or the blank page when the
    // load that started was one Navigate has since replaced (WebKit starts queued loads late).
    std::string m_startedUri;
    bool m_committed = false;
    // A document of this load was shown at some point (a later navigation of the page may fail).
    bool m_everCommitted = false;
    bool m_finished = false;
    bool m_failed = false;
    // The load time-out struck after the document had begun.
    bool m_timedOut = false;
    // The response was not shown because it is a download: the load ends without a new page.
    bool m_ignoredResponse = false;
    // The page started a load of its own while its document was being read.
    bool m_startedWhileDumping = false;
    NavigationFailure m_failure = NavigationFailure::None;
    std::string m_failureDetail;
    // Addresses cancelled before any answer during this load, the addresses the next web process
    // does not request, and whether this load was already started once more.
    std::vector<std::string> m_cancelledUnanswered;
    // Every address of this load that failed before any answer (frames among them).
    std::set<std::string> m_unanswered;
    std::set<std::string> m_blocked;
    bool m_retried = false;
    // Frames of the current document by id: whether their load event has fired.
    std::map<std::uint64_t, bool> m_frames;
    int m_pendingResources = 0;
    LoadProgress m_progress;

    std::chrono::milliseconds m_timeout { kDefaultLoadTimeout };
    std::chrono::milliseconds m_quiet { 150 };
    guint m_timeoutSource = 0;
    guint m_quietSource = 0;
    guint m_deliverSource = 0;
    std::shared_ptr<SnapshotDocument> m_toDeliver;

    // What the user adds to the requests (RequestSetup.cpp): the user agent and the store's cookies
    // set before a load, what the extension is started with (the blocked addresses and the headers),
    // the headers of a second fetch, and the cookies the context holds.
    void ApplyRequestOptions();
    GVariant* ExtensionData() const;
    // A context whose cookies live in the cookie file (WebKit writes the text format as they change).
    static WebKitWebContext* SessionContext(const std::string& cookieFile);
    void AddRequestHeaders(SoupMessageHeaders* headers) const;
    std::vector<cookies::Cookie> ReadCookies();
    bool m_cookiesGiven = false;
};

} // namespace pagestow::engine::webkit

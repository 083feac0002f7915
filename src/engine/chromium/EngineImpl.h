#pragma once

// The inside of the Chromium engine, one class over four files: the browser and the engine's public
// face (ChromiumEngine.cpp), the navigation and its load state (PageLoad.cpp), the responses' bodies
// (ResponseStore.cpp) and the reading of the finished page (DocumentReader.cpp).

#include "engine/EngineCache.h"
#include "engine/MemoryWatch.h"
#include "engine/chromium/BrowserProcess.h"
#include "engine/chromium/ChromiumEngine.h"
#include "engine/chromium/DevToolsClient.h"
#include "engine/chromium/LoadState.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <optional>

namespace pagestow::engine::chromium {

// How long the browser may take to start, and to give a fresh tab its renderer.
inline constexpr std::chrono::milliseconds kStartTimeout { 30000 };

struct ChromiumEngine::Impl {
    using json = nlohmann::json;
    using LoadReply = std::function<void(Load&, const Reply&)>;

    ChromiumOptions options;
    std::unique_ptr<BrowserProcess> process;
    std::unique_ptr<DevToolsClient> client;
    std::chrono::milliseconds loadTimeout = kDefaultLoadTimeout;
    // Whether the next load scrolls the page through before it is taken.
    bool scrollLoading = true;
    int generation = 0;
    // The tab the browser starts with, until a load takes it: it is already in an off-the-record
    // context of its own and has its renderer on the way, so the first load need not make either.
    std::string startTab;
    std::unique_ptr<Load> load;
    std::optional<LoadOutcome> completion;
    // Bounds the browser's memory while a page loads (from BeginLoad until its completion is raised).
    MemoryWatch memoryWatch;
    // The tab of the page the last load completed with, kept open for pictures until the next
    // navigation (only when the engine keeps its page for pictures).
    struct KeptPage {
        std::string contextId;
        std::string targetId;
        std::string session;
        bool startTab = false;
    };
    std::optional<KeptPage> keptPage;
    // The tab of the page the last load completed with, navigated away to a blank page, which the
    // next load takes once the cookies, caches and storage of that page are cleared: the renderer a
    // fresh tab starts spends about two seconds of processor time warming up, a reused one none.
    struct ReusedTab {
        std::string contextId;
        std::string targetId;
        bool startTab = false;
        // The origins the last page and its frames reached, whose storage the next load clears.
        std::set<std::string> origins;
    };
    std::optional<ReusedTab> reusedTab;

    Impl(ChromiumEngine& engine, ChromiumOptions chosen, EngineCache& cache);
    // The engine's public face: its request options and cookie store.
    ChromiumEngine& engine;

    EngineCache& Cache() { return cache; }
    // The engine's cache (the one it was given, or its own).
    EngineCache& cache;

    // The browser, and commands that belong to the current load (ChromiumEngine.cpp).
    void StartBrowser();
    void StopBrowser();
    bool BrowserRunning() const;
    void SendFor(const std::string& method, json params, const std::string& session, LoadReply onReply = {});
    void FinishWithError(
        Load& current, NavigationFailure failure = NavigationFailure::Other, std::string detail = {});
    void EndLoad(Load& current);
    // Closes the kept page's tab (its context, or the start tab).
    void ReleaseKeptPage();
    void CloseTab(const std::string& contextId, const std::string& targetId, bool isStartTab);

    // Pictures of the kept page (Picture.cpp): the bytes of a PNG of the whole page, of its PDF.
    std::string Screenshot(const KeptPage& page);
    std::string PrintToPdf(const KeptPage& page);

    // The navigation and its load state (PageLoad.cpp).
    void BeginLoad(const std::string& url);
    void OnContextCreated(int owner, const Reply& reply);
    void OnTabCreated(Load& current, const Reply& reply);
    void AttachTab(Load& current);
    void OnMainAttached(Load& current, const Reply& reply);
    void GiveUpReusedTab(Load& current);
    void SetUpMainSession(Load& current);
    void OnMainReady(Load& current);
    void OnNavigated(Load& current, const Reply& reply);
    void EnableFrameDomains(const std::string& session, LoadReply then);
    void OnEvent(const std::string& method, const json& params, const std::string& session);
    void OnAttached(Load& current, const json& params, const std::string& parentSession);
    void OnChildReady(Load& current, const std::string& session, bool waiting);
    void OnDetached(Load& current, const std::string& session);
    void OnCrashed(Load& current, const std::string& session);
    void ForgetFrameTarget(Load& current, const std::string& frameId);
    void OnPageEvent(
        Load& current, const std::string& method, const json& params, const std::string& session);
    void AnswerDialog(const json& params, const std::string& session);
    void OnNetworkEvent(
        Load& current, const std::string& method, const json& params, const std::string& session);
    void OnRequestEnded(
        Load& current, const std::string& id, bool finished, const json& params, const std::string& session);
    bool Settled(const Load& current) const;
    void CheckLoad();
    Clock::time_point NextTimer() const;

    // Scrolling the page through before it is taken (ScrollLoad.cpp).
    bool Scrolling(const Load& current) const;
    std::chrono::milliseconds QuietPeriodOf(const Load& current) const;
    void ScrollStep(Load& current);
    void ScrollFrame(Load& current, const std::string& session, const std::string& frameId, int step);
    void OnScrolled(Load& current, const std::string& frameId, const Reply& reply);

    // The responses' bodies (ResponseStore.cpp).
    static bool IsLongLived(const std::string& type);
    static json NetworkBuffers();
    static bool IsReadAfterLoading(const std::string& type);
    bool QueueBodyRead(Load& current, const std::string& id, const Request& request);
    void ReadQueuedBodies(Load& current);
    void OnBodyRead(Load& current, const std::string& id, std::uint64_t size, const Reply& reply);
    void ReadDocumentBody(Load& current, const std::string& id, const std::string& session);
    void OnDocumentBody(Load& current, const std::string& id, const std::string& session, const Reply& reply);
    void StoreDocumentBodies(Load& current);
    void ReadLoggedDocumentBody(Load& current, const std::string& id, const std::string& session);

    // The exchange log (ExchangeRecord.cpp): each request's hops as their events come, each added
    // once its response has ended and its headers are in; what is still open when the page is taken.
    // Only a load with a log records anything.
    static RecordedRequest* Recorded(Load& current, const std::string& id);
    void RecordRequestSent(Load& current, const std::string& id, const json& params, bool ownRequest);
    void RecordResponse(Load& current, const std::string& id, const json& params);
    void RecordExtraInfo(Load& current, const std::string& method, const std::string& id, const json& params);
    void RecordRequestEnded(Load& current, const std::string& id, bool bodyRead);
    static void RecordCachedBody(Load& current, const std::string& id, std::uint64_t size);
    static void RecordLogBody(Load& current, const std::string& id, std::string_view bytes);
    static void RecordMissingBody(Load& current, const std::string& id);
    void AddEndedExchanges(Load& current, const std::string& id, bool atEnd = false);
    void AddRemainingExchanges(Load& current);

    // What the user adds to the requests (RequestSetup.cpp): the commands that set it up on a frame's
    // session, each answered to onReply (their count returned), and the reading of the cookies.
    int SendRequestOptions(const std::string& session, bool mainSession, const LoadReply& onReply);
    void ReadCookieStore(Load& current);

    // The reading of the finished page (DocumentReader.cpp).
    void BeginSnapshot(Load& current);
    void DumpFrame(Load& current, const std::string& session, const std::string& frameId);
    void OnIsolatedWorld(
        Load& current, const std::string& session, const std::string& frameId, const Reply& world);
    static void OnFrameDumped(Load& current, const std::string& frameId, const Reply& reply);
    std::shared_ptr<SnapshotDocument> BuildDocument(
        Load& current, const std::vector<int>& path, const std::string& parentUrl);
    void Assemble(Load& current);
};

} // namespace pagestow::engine::chromium

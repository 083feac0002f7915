// The navigation and its load state: a fresh browser context with one tab, the sessions of its frames
// and workers, the frames' loading and the page's requests, and when the page counts as complete.

#include "base/Ascii.h"
#include "engine/Contract.h"
#include "engine/chromium/EngineImpl.h"

#include <algorithm>

namespace pagestow::engine::chromium {
namespace {

    using json = nlohmann::json;
    using std::chrono::milliseconds;

    // The browser asks every site for /favicon.ico by itself; that request is no resource of the page
    // and is not waited for.
    bool IsFaviconProbe(const std::string& url, const std::string& type)
    {
        if (type != "Other")
            return false;
        auto scheme = url.find("://");
        if (scheme == std::string::npos)
            return false;
        auto path = url.find('/', scheme + 3);
        return path != std::string::npos && url.compare(path, std::string::npos, "/favicon.ico") == 0;
    }

    // A response header by its name in any letter case; empty when absent.
    std::string HeaderOf(const json& headers, std::string_view name)
    {
        if (!headers.is_object())
            return {};
        for (const auto& [key, value] : headers.items())
            if (base::EqualsIgnoringAsciiCase(key, name) && value.is_string())
                return value.get<std::string>();
        return {};
    }

    json AutoAttach()
    {
        return { { "autoAttach", true }, { "waitForDebuggerOnStart", true }, { "flatten", true } };
    }

} // namespace

// 1. Starting a load: a fresh browser context with one tab, attached as a flat session.

void ChromiumEngine::Impl::BeginLoad(const std::string& url)
{
    load = std::make_unique<Load>();
    memoryWatch.Begin();
    load->generation = ++generation;
    load->url = url;
    load->scroll.wanted = scrollLoading;
    load->log = engine.Exchanges();
    // Setting the tab up is bounded apart from the load, which is timed from the navigation (a busy
    // machine may take seconds to give a fresh tab its renderer).
    load->deadline = Clock::now() + std::max<milliseconds>(loadTimeout, kStartTimeout);
    load->lastActivity = Clock::now();
    int owner = load->generation;
    // The first load takes the tab the browser started with: making a context and a tab, and starting
    // the tab's renderer, cost 0.2 to 0.5 s before the navigation could begin.
    if (!startTab.empty()) {
        load->targetId = std::exchange(startTab, {});
        load->startTab = true;
        return AttachTab(*load);
    }
    // The last page's tab, whose renderer is warm; its cookies, caches and storage are cleared before
    // the navigation (EnableFrameDomains).
    if (reusedTab) {
        load->contextId = reusedTab->contextId;
        load->targetId = reusedTab->targetId;
        load->startTab = reusedTab->startTab;
        load->clearOrigins = std::move(reusedTab->origins);
        load->reusedTab = true;
        reusedTab.reset();
        return AttachTab(*load);
    }
    client->Send("Target.createBrowserContext", json::object(), {},
        [this, owner](const Reply& reply) { OnContextCreated(owner, reply); });
}

// A context made for a load that has since been replaced is disposed of at once.
void ChromiumEngine::Impl::OnContextCreated(int owner, const Reply& reply)
{
    std::string contextId = reply.result.value("browserContextId", std::string());
    if (!load || load->generation != owner) {
        if (!contextId.empty())
            client->Send("Target.disposeBrowserContext", { { "browserContextId", contextId } });
        return;
    }
    if (reply.error || contextId.empty())
        return FinishWithError(*load);
    load->contextId = contextId;
    SendFor("Target.createTarget",
        { { "url", "about:blank" }, { "browserContextId", contextId }, { "width", kViewportWidth },
            { "height", kViewportHeight } },
        {}, [this](Load& current, const Reply& created) { OnTabCreated(current, created); });
}

void ChromiumEngine::Impl::OnTabCreated(Load& current, const Reply& reply)
{
    current.targetId = reply.result.value("targetId", std::string());
    if (reply.error || current.targetId.empty())
        return FinishWithError(current);
    AttachTab(current);
}

void ChromiumEngine::Impl::AttachTab(Load& current)
{
    SendFor("Target.attachToTarget", { { "targetId", current.targetId }, { "flatten", true } }, {},
        [this](Load& attached, const Reply& attachReply) { OnMainAttached(attached, attachReply); });
}

void ChromiumEngine::Impl::OnMainAttached(Load& current, const Reply& reply)
{
    current.mainSession = reply.result.value("sessionId", std::string());
    if (reply.error || current.mainSession.empty())
        return FinishWithError(current);
    current.sessions[current.mainSession] = Session { current.targetId, "page" };
    current.sessionFrames[current.mainSession].insert(current.targetId);
    if (current.reusedTab) {
        // The last page was sent to a blank page when it completed; a tab still showing it (its
        // script kept the renderer busy, or its unload has not finished) is given up for a fresh one.
        return SendFor("Page.getFrameTree", json::object(), current.mainSession,
            [this](Load& reused, const Reply& tree) {
                const json& frame = tree.result.value("frameTree", json::object()).value("frame", json::object());
                if (tree.error || frame.value("url", std::string()) != "about:blank")
                    return GiveUpReusedTab(reused);
                SetUpMainSession(reused);
            });
    }
    SetUpMainSession(current);
}

void ChromiumEngine::Impl::GiveUpReusedTab(Load& current)
{
    client->Send("Target.detachFromTarget", { { "sessionId", current.mainSession } });
    CloseTab(current.contextId, current.targetId, current.startTab);
    current.sessions.clear();
    current.sessionFrames.clear();
    current.mainSession.clear();
    current.contextId.clear();
    current.targetId.clear();
    current.startTab = false;
    current.reusedTab = false;
    current.clearOrigins.clear();
    int owner = current.generation;
    client->Send("Target.createBrowserContext", json::object(), {},
        [this, owner](const Reply& reply) { OnContextCreated(owner, reply); });
}

void ChromiumEngine::Impl::SetUpMainSession(Load& current)
{
    // Every page is laid out in the same viewport, whatever the browser's window around it.
    SendFor("Emulation.setDeviceMetricsOverride",
        { { "width", kViewportWidth }, { "height", kViewportHeight }, { "deviceScaleFactor", 1 },
            { "mobile", false } },
        current.mainSession);
    EnableFrameDomains(current.mainSession, [this](Load& ready, const Reply&) { OnMainReady(ready); });
}

// The load is timed from here.
void ChromiumEngine::Impl::OnMainReady(Load& current)
{
    current.deadline = Clock::now() + loadTimeout;
    SendFor("Page.navigate", { { "url", current.url } }, current.mainSession,
        [this](Load& navigating, const Reply& navigated) { OnNavigated(navigating, navigated); });
}

void ChromiumEngine::Impl::OnNavigated(Load& current, const Reply& reply)
{
    std::string errorText = reply.result.value("errorText", std::string());
    bool download = reply.result.value("isDownload", false);
    if (reply.error || !errorText.empty() || download)
        return FinishWithError(current, NavigationFailureOf(errorText), errorText);
    current.navigated = true;
    current.phase = Phase::Loading;
    current.lastActivity = Clock::now();
}

// Every frame session reports its frames' loading and its requests, and attaches the frames and
// workers it starts, each paused until it is set up. The renderer takes some of these on later than
// the browser answers others, so whatever starts the session's loading (then) waits for every answer.
void ChromiumEngine::Impl::EnableFrameDomains(const std::string& session, LoadReply then)
{
    auto answers = std::make_shared<int>(0);
    auto expected = std::make_shared<int>(3);
    LoadReply counted = [answers, expected, then = std::move(then)](Load& current, const Reply& reply) {
        if (++*answers == *expected)
            then(current, reply);
    };
    // A reused tab starts like a fresh one: without the cookies, cached responses and storage of the
    // page before. These come first, so that the store's cookies set below are not cleared.
    if (session == load->mainSession && load->reusedTab) {
        for (const std::string& origin : load->clearOrigins) {
            SendFor("Storage.clearDataForOrigin", { { "origin", origin }, { "storageTypes", "all" } }, session,
                counted);
            ++*expected;
        }
        SendFor("Network.clearBrowserCookies", json::object(), session, counted);
        SendFor("Network.clearBrowserCache", json::object(), session, counted);
        *expected += 2;
    }
    SendFor("Page.enable", json::object(), session, counted);
    SendFor("Network.enable", NetworkBuffers(), session, counted);
    // No answer can come before the commands are all sent: the client only queues them here.
    *expected += SendRequestOptions(session, session == load->mainSession, counted);
    SendFor("Target.setAutoAttach", AutoAttach(), session, counted);
}

// 2. Events.

void ChromiumEngine::Impl::OnEvent(const std::string& method, const json& params, const std::string& session)
{
    if (!load || load->phase == Phase::Done) {
        // The kept page's script still runs: a dialog it opens would hold up its pictures.
        if (keptPage && method == "Page.javascriptDialogOpening")
            AnswerDialog(params, session);
        return;
    }
    Load& current = *load;
    if (method == "Target.attachedToTarget")
        return OnAttached(current, params, session);
    if (!current.sessions.contains(session))
        return;
    if (method == "Target.detachedFromTarget")
        return OnDetached(current, params.value("sessionId", std::string()));
    if (method == "Inspector.targetCrashed")
        return OnCrashed(current, session);
    if (method.starts_with("Network."))
        return OnNetworkEvent(current, method, params, session);
    if (method.starts_with("Page."))
        return OnPageEvent(current, method, params, session);
}

void ChromiumEngine::Impl::OnAttached(Load& current, const json& params, const std::string& parentSession)
{
    // Our own attach to the tab is also announced on the browser's session; it is set up from the
    // attach reply.
    if (!current.sessions.contains(parentSession))
        return;
    std::string session = params.value("sessionId", std::string());
    const json& info = params.value("targetInfo", json::object());
    Session child { info.value("targetId", std::string()), info.value("type", std::string()) };
    if (session.empty())
        return;
    current.sessions[session] = child;
    if (child.type == "iframe")
        current.sessionFrames[session].insert(child.targetId);
    bool waiting = params.value("waitingForDebugger", false);
    if (!waiting && child.type != "iframe")
        return;
    ++current.setupsPending;
    if (child.type == "iframe")
        EnableFrameDomains(session,
            [this, session, waiting](Load& ready, const Reply&) { OnChildReady(ready, session, waiting); });
    else
        OnChildReady(current, session, waiting);
    current.lastActivity = Clock::now();
}

// A frame or worker set up: it runs on if it was paused for that.
void ChromiumEngine::Impl::OnChildReady(Load& current, const std::string& session, bool waiting)
{
    if (!waiting) {
        --current.setupsPending;
        return;
    }
    SendFor("Runtime.runIfWaitingForDebugger", json::object(), session,
        [](Load& resumed, const Reply&) { --resumed.setupsPending; });
}

void ChromiumEngine::Impl::OnDetached(Load& current, const std::string& session)
{
    auto found = current.sessions.find(session);
    if (found == current.sessions.end())
        return;
    if (session == current.mainSession)
        return FinishWithError(current);
    ForgetFrameTarget(current, found->second.targetId);
    current.sessionFrames.erase(session);
    current.sessions.erase(found);
}

// A renderer that crashed: the page's own means no page; a frame's leaves that frame unreachable.
void ChromiumEngine::Impl::OnCrashed(Load& current, const std::string& session)
{
    if (session == current.mainSession)
        return FinishWithError(current);
    auto found = current.sessions.find(session);
    if (found == current.sessions.end())
        return;
    ForgetFrameTarget(current, found->second.targetId);
    current.sessionFrames.erase(session);
    current.sessions.erase(found);
}

void ChromiumEngine::Impl::ForgetFrameTarget(Load& current, const std::string& frameId)
{
    current.loadingFrames.erase(frameId);
    for (auto& [id, request] : current.requests) {
        if (request.frameId == frameId && !request.Done()) {
            request.failed = true;
            if (request.awaited)
                ++current.progress.loaded;
        }
    }
}

void ChromiumEngine::Impl::OnPageEvent(
    Load& current, const std::string& method, const json& params, const std::string& session)
{
    std::string frameId = params.value("frameId", std::string());
    if (method == "Page.frameStartedLoading") {
        current.loadingFrames.insert(frameId);
    } else if (method == "Page.frameAttached") {
        current.sessionFrames[session].insert(frameId);
    } else if (method == "Page.frameNavigated") {
        const json& frame = params.value("frame", json::object());
        std::string navigatedId = frame.value("id", std::string());
        current.sessionFrames[session].insert(navigatedId);
        // A load event seen before this belongs to the tab's first, empty page. A navigation within
        // the document (a script setting location.hash) is no new document and keeps it.
        if (navigatedId == current.targetId)
            current.loadEventFired = false;
    } else if (method == "Page.frameStoppedLoading") {
        current.loadingFrames.erase(frameId);
        // The browser does not always report the end of a frame's document request; the frame having
        // stopped loading says as much.
        for (auto& [id, request] : current.requests) {
            if (request.type == "Document" && request.frameId == frameId && request.status > 0
                && !request.Done()) {
                request.finished = true;
                if (request.awaited)
                    ++current.progress.loaded;
            }
        }
    } else if (method == "Page.frameDetached") {
        // "swap" moves the frame into a process of its own; it goes on loading there.
        if (params.value("reason", std::string()) != "swap")
            current.loadingFrames.erase(frameId);
        current.sessionFrames[session].erase(frameId);
    } else if (method == "Page.loadEventFired") {
        if (session == current.mainSession)
            current.loadEventFired = true;
    } else if (method == "Page.javascriptDialogOpening") {
        return AnswerDialog(params, session);
    } else {
        return;
    }
    current.lastActivity = Clock::now();
}

// Nobody is there to answer a dialog, which would stop the page's script for good; it is answered as a
// headless browser answers it: an alert dismissed, a confirmation refused, a prompt given no text,
// leaving the page allowed.
void ChromiumEngine::Impl::AnswerDialog(const json& params, const std::string& session)
{
    std::string type = params.value("type", std::string());
    json answer = { { "accept", type != "confirm" } };
    if (type == "prompt")
        answer["promptText"] = "";
    SendFor("Page.handleJavaScriptDialog", std::move(answer), session);
}

void ChromiumEngine::Impl::OnNetworkEvent(
    Load& current, const std::string& method, const json& params, const std::string& session)
{
    std::string id = params.value("requestId", std::string());
    if (id.empty())
        return;
    if (method == "Network.requestWillBeSent") {
        const json& requestInfo = params.value("request", json::object());
        std::string url = requestInfo.value("url", std::string());
        auto [entry, fresh] = current.requests.try_emplace(id);
        Request& request = entry->second;
        if (fresh) {
            request.order = int(current.requests.size());
            request.type = params.value("type", std::string());
            request.frameId = params.value("frameId", std::string());
            request.firstSession = session;
            request.awaited = !IsFaviconProbe(url, request.type) && !IsLongLived(request.type);
            if (request.awaited)
                ++current.progress.requested;
        }
        // A redirect reuses the request's id with the next address.
        request.chain.push_back(url);
        if (current.log)
            RecordRequestSent(current, id, params, !IsFaviconProbe(url, request.type));
    } else if (method == "Network.responseReceived") {
        auto found = current.requests.find(id);
        if (found == current.requests.end())
            return;
        const json& response = params.value("response", json::object());
        Request& request = found->second;
        request.status = response.value("status", 0);
        const json& headers = response.value("headers", json::object());
        request.contentLength = HeaderOf(headers, "Content-Length");
        request.contentEncoding = HeaderOf(headers, "Content-Encoding");
        request.headerBytes = std::uint64_t(std::max(0.0, response.value("encodedDataLength", 0.0)));
        if (current.log)
            RecordResponse(current, id, params);
    } else if (method == "Network.dataReceived") {
        auto found = current.requests.find(id);
        if (found != current.requests.end())
            found->second.receivedBytes += std::uint64_t(std::max(0.0, params.value("dataLength", 0.0)));
        return;
    } else if (method == "Network.loadingFinished" || method == "Network.loadingFailed") {
        OnRequestEnded(current, id, method == "Network.loadingFinished", params, session);
    } else if (method == "Network.requestWillBeSentExtraInfo"
        || method == "Network.responseReceivedExtraInfo") {
        // The headers as the network stack sent and received them, only wanted for the log.
        if (current.log)
            RecordExtraInfo(current, method, id, params);
        return;
    } else {
        return;
    }
    current.lastActivity = Clock::now();
}

// A request that finished gives its body to the engine cache; one that failed (a connection closed
// early, a bad or cut chunk, a damaged content coding) keeps nothing.
void ChromiumEngine::Impl::OnRequestEnded(
    Load& current, const std::string& id, bool finished, const json& params, const std::string& session)
{
    auto found = current.requests.find(id);
    if (found == current.requests.end() || found->second.Done())
        return;
    Request& request = found->second;
    bool bodyRead = false;
    if (finished) {
        request.finished = true;
        request.finishingSession = session;
        request.encodedBytes = std::uint64_t(std::max(0.0, params.value("encodedDataLength", 0.0)));
        if (request.awaited)
            current.progress.bytes += request.encodedBytes;
        if (IsReadAfterLoading(request.type))
            bodyRead = QueueBodyRead(current, id, request);
    } else {
        request.failed = true;
    }
    if (request.awaited)
        ++current.progress.loaded;
    if (current.log)
        RecordRequestEnded(current, id, bodyRead);
}

// 3. Completion: every frame loaded, nothing requested still open, every attached frame running, every
// body read, and a quiet moment for what the page's script starts at load time; then, unless it is
// switched off, the page is scrolled through (ScrollLoad.cpp), a quiet moment after each step. The load
// time-out ends the wait with what has arrived; a load with no response by then gets the error page.

bool ChromiumEngine::Impl::Settled(const Load& current) const
{
    if (current.phase != Phase::Loading || !current.navigated || !current.loadEventFired)
        return false;
    if (!current.loadingFrames.empty() || current.setupsPending > 0 || current.bodiesPending > 0
        || current.scroll.pending > 0)
        return false;
    return std::none_of(current.requests.begin(), current.requests.end(),
        [](const auto& entry) { return entry.second.awaited && !entry.second.Done(); });
}

void ChromiumEngine::Impl::CheckLoad()
{
    if (!load)
        return;
    Load& current = *load;
    auto now = Clock::now();
    if (current.phase == Phase::Starting || current.phase == Phase::Loading) {
        if (now >= current.deadline) {
            if (!current.navigated)
                return FinishWithError(current, NavigationFailure::TimedOut);
            return BeginSnapshot(current);
        }
        if (Settled(current) && now - current.lastActivity >= QuietPeriodOf(current))
            return Scrolling(current) ? ScrollStep(current) : BeginSnapshot(current);
    }
    if (current.phase == Phase::Snapshot && (current.snapshotPending == 0 || now >= current.snapshotDeadline))
        Assemble(current);
}

// When CheckLoad may next decide something without an event.
Clock::time_point ChromiumEngine::Impl::NextTimer() const
{
    auto never = Clock::time_point::max();
    if (!load)
        return never;
    switch (load->phase) {
    case Phase::Starting:
        return load->deadline;
    case Phase::Loading:
        return Settled(*load) ? std::min(load->deadline, load->lastActivity + QuietPeriodOf(*load))
                              : load->deadline;
    case Phase::Snapshot:
        return load->snapshotDeadline;
    case Phase::Done:
        return never;
    }
    return never;
}

} // namespace pagestow::engine::chromium

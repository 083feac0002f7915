#include "engine/chromium/ChromiumEngine.h"

#include "engine/CharacterSet.h"
#include "engine/Contract.h"
#include "engine/EngineCache.h"
#include "engine/EngineError.h"
#include "engine/chromium/BrowserProcess.h"
#include "engine/chromium/DevToolsClient.h"
#include "engine/chromium/FrameDump.h"

#include <unistd.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <thread>

namespace pagestow::engine::chromium {
namespace {

    using json = nlohmann::json;
    using Clock = std::chrono::steady_clock;
    using std::chrono::milliseconds;

    constexpr milliseconds kStartTimeout { 30000 };
    constexpr milliseconds kCloseGrace { 1000 };

    std::string Lower(std::string text)
    {
        for (char& c : text)
            if (c >= 'A' && c <= 'Z')
                c = char(c - 'A' + 'a');
        return text;
    }

    std::string SchemeOf(const std::string& url)
    {
        auto colon = url.find(':');
        return colon == std::string::npos ? std::string() : Lower(url.substr(0, colon));
    }

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

    // Requests that may stay open as long as the page lives; a page is not kept from completing by them.
    bool IsLongLived(const std::string& type)
    {
        return type == "EventSource" || type == "WebSocket" || type == "Media" || type == "Ping"
            || type == "CSPViolationReport" || type == "Preflight";
    }

    // Every response is held at the response stage; those worth keeping give their exact bytes
    // first (the network domain hands text over decoded and images over empty).
    json InterceptionPatterns()
    {
        return json::array({ { { "urlPattern", "*" }, { "requestStage", "Response" } } });
    }

    // Documents are let through at once (a document that never ends must still show what has arrived;
    // its bytes come from the network domain), and so are requests that may stay open.
    bool IsHeldForBytes(const std::string& type)
    {
        return type != "Document" && !IsLongLived(type);
    }

    // A response header by its name in any letter case; empty when absent.
    std::string HeaderOf(const json& headers, std::string_view name)
    {
        if (!headers.is_object())
            return {};
        for (const auto& [key, value] : headers.items())
            if (key.size() == name.size() && Lower(key) == Lower(std::string(name)) && value.is_string())
                return value.get<std::string>();
        return {};
    }

    json AutoAttach()
    {
        return { { "autoAttach", true }, { "waitForDebuggerOnStart", true }, { "flatten", true } };
    }

    std::shared_ptr<SnapshotDocument> MakeBlankPage()
    {
        auto page = std::make_shared<SnapshotDocument>();
        page->url = "about:blank";
        page->characterSet = "UTF-8";
        page->serialization = "<html><head></head><body></body></html>";
        page->elements = { { "HTML", {}, -1 }, { "HEAD", {}, 0 }, { "BODY", {}, 0 } };
        page->body = 2;
        return page;
    }

    struct Session {
        std::string targetId;
        std::string type;
        bool IsFrame() const { return type == "page" || type == "iframe"; }
    };

    struct Request {
        // The requested address and every address it was redirected to.
        std::vector<std::string> chain;
        std::string type;
        std::string frameId;
        int status = 0;
        // Whether the page waits for it.
        bool awaited = false;
        bool finished = false;
        bool failed = false;
        std::string finishingSession;
        std::string firstSession;
        // Content-Length and Content-Encoding of the final response.
        std::string contentLength;
        std::string contentEncoding;
        // When it started, among the load's requests.
        int order = 0;
        bool Done() const { return finished || failed; }
    };

    // One frame's document as read at snapshot time, with the frame and session it was read in.
    struct DumpedFrame {
        FrameDump dump;
        std::string frameId;
    };

    struct DocumentBody {
        std::vector<std::string> addresses;
        std::string body;
        bool base64 = false;
    };

    enum class Phase { Starting, Loading, Snapshot, Done };

    struct Load {
        int generation = 0;
        std::string url;
        Phase phase = Phase::Starting;
        Clock::time_point deadline;
        Clock::time_point lastActivity;
        std::string contextId;
        std::string targetId;
        std::string mainSession;
        bool navigated = false;
        bool loadEventFired = false;
        std::set<std::string> loadingFrames;
        std::map<std::string, Request> requests;
        std::map<std::string, Session> sessions;
        int setupsPending = 0;
        int bodiesPending = 0;
        // The exact bytes of held responses by request, kept once the request has finished whole
        // (the browser may hold a response before the page's renderer has told of its request), and
        // how many bytes they come to.
        std::map<std::string, std::string> heldBodies;
        std::uint64_t heldBytes = 0;
        LoadProgress progress;

        Clock::time_point snapshotDeadline;
        int snapshotPending = 0;
        // The frames each session shows itself (its own and same-process ones), by their ids.
        std::map<std::string, std::set<std::string>> sessionFrames;
        // Every frame's document by its place from the top.
        std::map<std::vector<int>, DumpedFrame> dumps;
        std::vector<DocumentBody> documentBodies;
    };

    struct Completion {
        std::shared_ptr<SnapshotDocument> snapshot;
        std::string errorAddress;
        NavigationFailure failure = NavigationFailure::None;
        std::string failureDetail;
    };

    std::string WithoutFragment(const std::string& url)
    {
        return url.substr(0, url.find('#'));
    }

    // What a frame's document is: its own address's, one it inherited, or a failed load's.
    DocumentOrigin OriginOf(const std::string& url, bool loadedFromIt)
    {
        if (url.starts_with("chrome-error:"))
            return DocumentOrigin::Failed;
        std::string scheme = SchemeOf(url);
        if ((scheme == "http" || scheme == "https") && loadedFromIt)
            return DocumentOrigin::Loaded;
        return DocumentOrigin::Inherited;
    }

} // namespace

NavigationFailure NavigationFailureOf(std::string_view errorText)
{
    std::string_view code = errorText.starts_with("net::") ? errorText.substr(5) : errorText;
    if (code.empty())
        return NavigationFailure::Other;
    if (code == "ERR_NAME_NOT_RESOLVED" || code == "ERR_NAME_RESOLUTION_FAILED")
        return NavigationFailure::HostNotFound;
    if (code == "ERR_CONNECTION_REFUSED")
        return NavigationFailure::ConnectionRefused;
    if (code == "ERR_TIMED_OUT" || code == "ERR_CONNECTION_TIMED_OUT")
        return NavigationFailure::TimedOut;
    if (code.starts_with("ERR_SSL_") || code.starts_with("ERR_CERT_"))
        return NavigationFailure::TlsFailure;
    if (code == "ERR_UNSAFE_PORT")
        return NavigationFailure::BlockedPort;
    if (code == "ERR_UNKNOWN_URL_SCHEME" || code == "ERR_DISALLOWED_URL_SCHEME")
        return NavigationFailure::UnsupportedScheme;
    return NavigationFailure::Other;
}

bool ChromiumAvailable()
{
    return access(kChromiumProgram, X_OK) == 0;
}

struct ChromiumEngine::Impl {
    using LoadReply = std::function<void(Load&, const Reply&)>;

    ChromiumOptions options;
    std::unique_ptr<BrowserProcess> process;
    std::unique_ptr<DevToolsClient> client;
    milliseconds loadTimeout = kDefaultLoadTimeout;
    int generation = 0;
    std::unique_ptr<Load> load;
    std::optional<Completion> completion;

    explicit Impl(ChromiumOptions chosen)
        : options(std::move(chosen))
    {
    }

    EngineCache& Cache() { return options.cache ? *options.cache : EngineCache::ForThisRun(); }

    // 1. The browser.

    void StartBrowser()
    {
        StopBrowser();
        BrowserOptions browser { options.program, options.extraArguments };
        process = std::make_unique<BrowserProcess>(browser);
        client = std::make_unique<DevToolsClient>(process->ReplyFd(), process->CommandFd());
        client->SetEventHandler([this](const std::string& method, const json& params,
                                    const std::string& session) { OnEvent(method, params, session); });
        try {
            client->Call("Browser.getVersion", json::object(), {}, kStartTimeout);
        } catch (const EngineError& error) {
            std::string tail = process->ErrorOutputTail();
            StopBrowser();
            throw EngineError(
                std::string("Chromium did not start: ") + error.what() + (tail.empty() ? "" : "\n" + tail));
        }
    }

    void StopBrowser()
    {
        if (client && !client->Closed() && process && !process->Exited()) {
            client->Send("Browser.close");
            client->Pump(milliseconds(0));
        }
        if (process)
            process->Stop(kCloseGrace);
        client.reset();
        process.reset();
    }

    bool BrowserRunning() { return process && client && !client->Closed() && !process->Exited(); }

    // 2. Commands that belong to the current load: a reply that arrives after the next navigation has
    // begun is dropped.

    void SendFor(const std::string& method, json params, const std::string& session, LoadReply onReply = {})
    {
        DevToolsClient::ReplyHandler handler;
        if (onReply) {
            int owner = load->generation;
            handler = [this, owner, onReply = std::move(onReply)](const Reply& reply) {
                if (load && load->generation == owner)
                    onReply(*load, reply);
            };
        }
        client->Send(method, std::move(params), session, std::move(handler));
    }

    void FinishWithError(
        Load& current, NavigationFailure failure = NavigationFailure::Other, std::string detail = {})
    {
        completion = Completion { nullptr, current.url, failure, std::move(detail) };
        EndLoad(current);
    }

    // The load is over: its browser context (tab, frames, renderers) goes away, which also releases
    // every request still held.
    void EndLoad(Load& current)
    {
        current.phase = Phase::Done;
        if (!current.contextId.empty() && client)
            client->Send("Target.disposeBrowserContext", { { "browserContextId", current.contextId } });
        current.contextId.clear();
    }

    // 3. Starting a load: a fresh browser context with one tab, attached as a flat session.

    void BeginLoad(const std::string& url)
    {
        load = std::make_unique<Load>();
        load->generation = ++generation;
        load->url = url;
        // Setting the tab up is bounded apart from the load, which is timed from the navigation (a busy
        // machine may take seconds to give a fresh tab its renderer).
        load->deadline = Clock::now() + std::max<milliseconds>(loadTimeout, kStartTimeout);
        load->lastActivity = Clock::now();

        int owner = load->generation;
        client->Send("Target.createBrowserContext", json::object(), {}, [this, owner](const Reply& reply) {
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
                {}, [this](Load& current, const Reply& created) {
                    current.targetId = created.result.value("targetId", std::string());
                    if (created.error || current.targetId.empty())
                        return FinishWithError(current);
                    SendFor("Target.attachToTarget",
                        { { "targetId", current.targetId }, { "flatten", true } }, {},
                        [this](Load& attached, const Reply& attachReply) {
                            OnMainAttached(attached, attachReply);
                        });
                });
        });
    }

    void OnMainAttached(Load& current, const Reply& reply)
    {
        current.mainSession = reply.result.value("sessionId", std::string());
        if (reply.error || current.mainSession.empty())
            return FinishWithError(current);
        current.sessions[current.mainSession] = Session { current.targetId, "page" };
        current.sessionFrames[current.mainSession].insert(current.targetId);
        // Every page is laid out in the same viewport, whatever the browser's window around it.
        SendFor("Emulation.setDeviceMetricsOverride",
            { { "width", kViewportWidth }, { "height", kViewportHeight }, { "deviceScaleFactor", 1 },
                { "mobile", false } },
            current.mainSession);
        EnableFrameDomains(current.mainSession, [this](Load& ready, const Reply&) {
            ready.deadline = Clock::now() + loadTimeout;
            SendFor("Page.navigate", { { "url", ready.url } }, ready.mainSession,
                [this](Load& navigating, const Reply& navigated) {
                    std::string errorText = navigated.result.value("errorText", std::string());
                    bool download = navigated.result.value("isDownload", false);
                    if (navigated.error || !errorText.empty() || download)
                        return FinishWithError(navigating, NavigationFailureOf(errorText), errorText);
                    navigating.navigated = true;
                    navigating.phase = Phase::Loading;
                    navigating.lastActivity = Clock::now();
                });
        });
    }

    // Every frame session reports its frames' loading and its requests, holds its responses for their
    // bytes, and attaches the frames and workers it starts, each paused until it is set up. The
    // renderer takes some of these on later than the browser answers others, so whatever starts the
    // session's loading (then) waits for every answer.
    void EnableFrameDomains(const std::string& session, LoadReply then)
    {
        auto answers = std::make_shared<int>(0);
        LoadReply counted = [answers, then = std::move(then)](Load& current, const Reply& reply) {
            if (++*answers == 4)
                then(current, reply);
        };
        SendFor("Page.enable", json::object(), session, counted);
        SendFor("Network.enable", json::object(), session, counted);
        SendFor("Fetch.enable", { { "patterns", InterceptionPatterns() } }, session, counted);
        SendFor("Target.setAutoAttach", AutoAttach(), session, counted);
    }

    // 4. Events.

    void OnEvent(const std::string& method, const json& params, const std::string& session)
    {
        if (!load || load->phase == Phase::Done)
            return;
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
        if (method == "Fetch.requestPaused")
            return OnResponsePaused(current, params, session);
        if (method.starts_with("Page."))
            return OnPageEvent(current, method, params, session);
    }

    void OnAttached(Load& current, const json& params, const std::string& parentSession)
    {
        // Our own attach to the tab is also announced on the browser's session; it is set up from
        // the attach reply.
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
        auto resume = [this, session, waiting](Load& ready, const Reply&) {
            if (!waiting) {
                --ready.setupsPending;
                return;
            }
            SendFor("Runtime.runIfWaitingForDebugger", json::object(), session,
                [](Load& resumed, const Reply&) { --resumed.setupsPending; });
        };
        if (child.type == "iframe")
            EnableFrameDomains(session, resume);
        else
            resume(current, Reply {});
        current.lastActivity = Clock::now();
    }

    void OnDetached(Load& current, const std::string& session)
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
    void OnCrashed(Load& current, const std::string& session)
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

    void ForgetFrameTarget(Load& current, const std::string& frameId)
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

    void OnPageEvent(Load& current, const std::string& method, const json& params, const std::string& session)
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
            // A load event seen before this belongs to the tab's first, empty page. A navigation
            // within the document (a script setting location.hash) is no new document and keeps it.
            if (navigatedId == current.targetId)
                current.loadEventFired = false;
        } else if (method == "Page.frameStoppedLoading") {
            current.loadingFrames.erase(frameId);
            // The browser does not always report the end of a frame's document request; the frame
            // having stopped loading says as much.
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
            // Nobody is there to answer a dialog, which would stop the page's script for good; it is
            // answered as a headless browser answers it: an alert dismissed, a confirmation refused, a
            // prompt given no text, leaving the page allowed.
            std::string type = params.value("type", std::string());
            json answer = { { "accept", type != "confirm" } };
            if (type == "prompt")
                answer["promptText"] = "";
            SendFor("Page.handleJavaScriptDialog", std::move(answer), session);
            return;
        } else {
            return;
        }
        current.lastActivity = Clock::now();
    }

    void OnNetworkEvent(
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
        } else if (method == "Network.loadingFinished" || method == "Network.loadingFailed") {
            auto found = current.requests.find(id);
            if (found == current.requests.end() || found->second.Done())
                return;
            Request& request = found->second;
            if (method == "Network.loadingFinished") {
                request.finished = true;
                request.finishingSession = session;
                if (request.awaited)
                    current.progress.bytes
                        += std::uint64_t(std::max(0.0, params.value("encodedDataLength", 0.0)));
                KeepBody(current, id, request);
            } else {
                // A body cut short (a connection closed early, a bad or cut chunk) ends here and is
                // never kept.
                request.failed = true;
                DropBody(current, id);
            }
            if (request.awaited)
                ++current.progress.loaded;
        } else {
            return;
        }
        current.lastActivity = Clock::now();
    }

    // A held response: a storable one gives its exact bytes (content codings removed), kept with the
    // request until it has finished; then it goes on to the page. A body its Content-Length says is
    // larger than the page's memory budget is not taken.
    void OnResponsePaused(Load& current, const json& params, const std::string& session)
    {
        std::string interception = params.value("requestId", std::string());
        std::string networkId = params.value("networkId", std::string());
        if (!IsStorableStatus(params.value("responseStatusCode", 0))
            || !IsHeldForBytes(params.value("resourceType", std::string())) || networkId.empty()
            || DeclaredLength(params.value("responseHeaders", json::array())) > kPageMemoryBudget) {
            SendFor("Fetch.continueRequest", { { "requestId", interception } }, session);
            return;
        }
        ++current.bodiesPending;
        SendFor("Fetch.getResponseBody", { { "requestId", interception } }, session,
            [this, interception, networkId, session](Load& owner, const Reply& reply) {
                --owner.bodiesPending;
                auto body = reply.result.find("body");
                if (!reply.error && body != reply.result.end() && body->is_string()) {
                    std::optional<std::string> bytes = reply.result.value("base64Encoded", false)
                        ? DecodeBase64(body->get_ref<const std::string&>())
                        : std::optional(body->get_ref<const std::string&>());
                    // What the page's memory budget cannot hold any more is given up.
                    if (bytes && owner.heldBytes + bytes->size() <= kPageMemoryBudget) {
                        owner.heldBytes += bytes->size();
                        owner.heldBodies[networkId] = std::move(*bytes);
                    }
                }
                SendFor("Fetch.continueRequest", { { "requestId", interception } }, session);
                owner.lastActivity = Clock::now();
            });
    }

    // The Content-Length of a held response without a content coding; 0 when it has none.
    static std::uint64_t DeclaredLength(const json& headers)
    {
        std::string length;
        bool coded = false;
        for (const json& header : headers) {
            std::string name = Lower(header.value("name", std::string()));
            std::string value = header.value("value", std::string());
            if (name == "content-length")
                length = value;
            else if (name == "content-encoding" && !value.empty() && Lower(value) != "identity")
                coded = true;
        }
        if (coded || length.empty() || length.size() > 18
            || length.find_first_not_of("0123456789") != std::string::npos)
            return 0;
        return std::stoull(length);
    }

    // A request that finished: its held body goes into the engine cache under every address of its
    // redirect chain when it is whole (as long as its Content-Length says, for a body without a
    // content coding). A request that failed (a connection closed early, a broken chunk) keeps nothing.
    void KeepBody(Load& current, const std::string& id, const Request& request)
    {
        auto held = current.heldBodies.find(id);
        if (held == current.heldBodies.end())
            return;
        if (IsStorableStatus(request.status) && WholeBody(request, held->second.size()))
            Cache().Store(request.chain, held->second);
        DropBody(current, id);
    }

    static void DropBody(Load& current, const std::string& id)
    {
        auto held = current.heldBodies.find(id);
        if (held == current.heldBodies.end())
            return;
        current.heldBytes -= held->second.size();
        current.heldBodies.erase(held);
    }

    static bool WholeBody(const Request& request, std::uint64_t size)
    {
        if (request.contentLength.empty()
            || (!request.contentEncoding.empty() && Lower(request.contentEncoding) != "identity"))
            return true;
        return request.contentLength.find_first_not_of("0123456789") == std::string::npos
            && request.contentLength.size() < 20 && std::stoull(request.contentLength) == size;
    }

    // 5. Completion: every frame loaded, nothing requested still open, every attached frame running,
    // and a quiet moment for what the page's script starts at load time. The load time-out ends the
    // wait with what has arrived; a load with no response by then gets the error page.

    bool Settled(const Load& current) const
    {
        if (current.phase != Phase::Loading || !current.navigated || !current.loadEventFired)
            return false;
        if (!current.loadingFrames.empty() || current.setupsPending > 0 || current.bodiesPending > 0)
            return false;
        return std::none_of(current.requests.begin(), current.requests.end(),
            [](const auto& entry) { return entry.second.awaited && !entry.second.Done(); });
    }

    void CheckLoad()
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
            if (Settled(current) && now - current.lastActivity >= options.quietPeriod)
                return BeginSnapshot(current);
        }
        if (current.phase == Phase::Snapshot
            && (current.snapshotPending == 0 || now >= current.snapshotDeadline))
            Assemble(current);
    }

    // When CheckLoad may next decide something without an event.
    Clock::time_point NextTimer() const
    {
        auto never = Clock::time_point::max();
        if (!load)
            return never;
        switch (load->phase) {
        case Phase::Starting:
            return load->deadline;
        case Phase::Loading:
            return Settled(*load) ? std::min(load->deadline, load->lastActivity + options.quietPeriod)
                                  : load->deadline;
        case Phase::Snapshot:
            return load->snapshotDeadline;
        case Phase::Done:
            return never;
        }
        return never;
    }

    // 6. The snapshot: every frame's document, read by a script of our own in each frame, and the
    // bytes of the documents.

    void BeginSnapshot(Load& current)
    {
        current.phase = Phase::Snapshot;
        current.snapshotDeadline = Clock::now() + options.snapshotTimeout;
        for (const auto& [session, frames] : current.sessionFrames) {
            auto found = current.sessions.find(session);
            if (found == current.sessions.end() || !found->second.IsFrame())
                continue;
            for (const std::string& frameId : frames)
                DumpFrame(current, session, frameId);
        }
        for (const auto& [id, request] : current.requests) {
            if (request.type != "Document" || !request.finished || !IsStorableStatus(request.status))
                continue;
            std::string session = DocumentSession(current, request);
            if (session.empty())
                continue;
            ++current.snapshotPending;
            // The network domain keeps a frame document's body in the session that finished loading
            // it; the page's own document it may have let go, and the page domain still has it.
            SendFor("Network.getResponseBody", { { "requestId", id } }, session,
                [this, addresses = request.chain, frameId = request.frameId, session](
                    Load& owner, const Reply& reply) {
                    if (!reply.error) {
                        --owner.snapshotPending;
                        owner.documentBodies.push_back({ addresses, reply.result.value("body", std::string()),
                            reply.result.value("base64Encoded", false) });
                        return;
                    }
                    SendFor("Page.getResourceContent",
                        { { "frameId", frameId }, { "url", addresses.back() } }, session,
                        [addresses](Load& again, const Reply& content) {
                            --again.snapshotPending;
                            if (!content.error)
                                again.documentBodies.push_back(
                                    { addresses, content.result.value("content", std::string()),
                                        content.result.value("base64Encoded", false) });
                        });
                });
        }
    }

    // Reads one frame's document in an isolated world of our own: the page's script can neither see
    // nor change what the dump script reads.
    void DumpFrame(Load& current, const std::string& session, const std::string& frameId)
    {
        ++current.snapshotPending;
        SendFor("Page.createIsolatedWorld", { { "frameId", frameId }, { "worldName", "pagestow" } }, session,
            [this, session, frameId](Load& owner, const Reply& world) {
                int contextId = world.result.value("executionContextId", 0);
                if (world.error || contextId == 0) {
                    --owner.snapshotPending;
                    return;
                }
                SendFor("Runtime.evaluate",
                    { { "expression", kFrameDumpScript }, { "contextId", contextId },
                        { "returnByValue", true } },
                    session, [frameId](Load& evaluated, const Reply& reply) {
                        --evaluated.snapshotPending;
                        const json& value = reply.result.value("result", json::object());
                        auto text = value.find("value");
                        if (text == value.end() || !text->is_string())
                            return;
                        std::optional<FrameDump> dump = ReadFrameDump(text->get_ref<const std::string&>());
                        if (!dump || dump->path.size() > std::size_t(kFrameDepthLimit))
                            return;
                        std::vector<int> path = dump->path;
                        evaluated.dumps.try_emplace(
                            std::move(path), DumpedFrame { std::move(*dump), frameId });
                    });
            });
    }

    // The session that holds a document request's body: the one that saw it finish, else the frame's
    // own session, else the one that saw it start.
    static std::string DocumentSession(const Load& current, const Request& request)
    {
        if (current.sessions.contains(request.finishingSession))
            return request.finishingSession;
        for (const auto& [session, info] : current.sessions)
            if (info.targetId == request.frameId)
                return session;
        return current.sessions.contains(request.firstSession) ? request.firstSession : std::string();
    }

    // The latest document request of a frame, null when it made none.
    static const Request* FrameDocumentRequest(const Load& current, const std::string& frameId)
    {
        const Request* latest = nullptr;
        for (const auto& [id, request] : current.requests)
            if (request.type == "Document" && request.frameId == frameId && !request.chain.empty()
                && (!latest || request.order > latest->order))
                latest = &request;
        return latest;
    }

    // The document at path and, below it, the documents of its frames. A frame document that came
    // from no address of its own is resolved against its parent's address; one deeper than the frame
    // depth limit, or one the snapshot did not reach, leaves its frame unreachable.
    std::shared_ptr<SnapshotDocument> BuildDocument(
        Load& current, const std::vector<int>& path, const std::string& parentUrl)
    {
        auto found = current.dumps.find(path);
        if (found == current.dumps.end() || path.size() > std::size_t(kFrameDepthLimit))
            return nullptr;
        FrameDump& dump = found->second.dump;
        auto document = std::make_shared<SnapshotDocument>();
        document->url = dump.url;
        if (!path.empty()) {
            const Request* request = FrameDocumentRequest(current, found->second.frameId);
            bool loadedFromIt = request && request->status > 0
                && WithoutFragment(request->chain.back()) == WithoutFragment(dump.url);
            document->origin = OriginOf(dump.url, loadedFromIt);
            if (document->origin == DocumentOrigin::Inherited)
                document->url = parentUrl;
            else if (document->origin == DocumentOrigin::Failed)
                document->url = request ? request->chain.back() : std::string();
        }
        document->characterSet = dump.characterSet.empty() || !CanEncodeCharacterSet(dump.characterSet)
            ? "UTF-8"
            : dump.characterSet;
        document->serialization = EncodeInCharacterSet(dump.html, document->characterSet);
        dump.html = {};
        document->elements = std::move(dump.elements);
        document->body = FindBodyElement(*document);
        std::vector<int> frames = std::move(dump.frames);
        for (int index : frames) {
            SnapshotFrame entry;
            if (index >= 0) {
                std::vector<int> childPath = path;
                childPath.push_back(index);
                entry.document = BuildDocument(current, childPath, document->url);
            }
            document->frames.push_back(std::move(entry));
        }
        return document;
    }

    void StoreDocumentBodies(Load& current)
    {
        for (const auto& body : current.documentBodies) {
            std::optional<std::string> bytes;
            if (body.base64) {
                bytes = DecodeBase64(body.body);
            } else {
                // The browser hands a document's text over decoded; it is written back in the
                // document's own character set.
                std::string characterSet;
                for (const auto& [path, entry] : current.dumps)
                    if (characterSet.empty() && !entry.dump.characterSet.empty()
                        && WithoutFragment(entry.dump.url) == body.addresses.back())
                        characterSet = entry.dump.characterSet;
                bytes = EncodeInCharacterSet(body.body, characterSet);
            }
            if (bytes)
                Cache().Store(body.addresses, *bytes);
        }
        current.documentBodies.clear();
    }

    void Assemble(Load& current)
    {
        StoreDocumentBodies(current);
        auto top = current.dumps.find(std::vector<int>());
        if (top == current.dumps.end())
            return FinishWithError(current);
        const Request* request = FrameDocumentRequest(current, current.targetId);
        if (top->second.dump.url.starts_with("chrome-error:"))
            return FinishWithError(current);
        // A document whose response came but which the tab had not yet shown at the time-out: the
        // page as it arrived, which is an empty one.
        if (top->second.dump.url == "about:blank" && request && request->status > 0) {
            FrameDump& dump = top->second.dump;
            dump.url = request->chain.back();
            dump.html = "<html><head></head><body></body></html>";
            dump.elements = { { "HTML", {}, -1 }, { "HEAD", {}, 0 }, { "BODY", {}, 0 } };
            dump.frames.clear();
        }
        auto document = BuildDocument(current, {}, {});
        current.dumps.clear();
        if (!document)
            return FinishWithError(current);
        completion = Completion { std::move(document), {} };
        EndLoad(current);
    }
};

ChromiumEngine::ChromiumEngine(ChromiumOptions options)
    : m_impl(std::make_unique<Impl>(std::move(options)))
{
    m_impl->StartBrowser();
}

ChromiumEngine::~ChromiumEngine()
{
    m_impl->StopBrowser();
}

void ChromiumEngine::Navigate(const std::string& address)
{
    SetLastFailure(NavigationFailure::None);
    m_impl->completion.reset();
    if (m_impl->load && m_impl->load->phase != Phase::Done)
        m_impl->EndLoad(*m_impl->load);
    m_impl->load.reset();

    std::string url = WithDefaultScheme(address);
    std::string scheme = SchemeOf(url);
    if (Lower(url) == "about:blank") {
        m_impl->completion = Completion { MakeBlankPage(), {} };
        return;
    }
    if (scheme != "http" && scheme != "https") {
        m_impl->completion = Completion { nullptr, url, NavigationFailure::UnsupportedScheme, {} };
        return;
    }
    if (!m_impl->BrowserRunning())
        m_impl->StartBrowser();
    m_impl->BeginLoad(url);
}

void ChromiumEngine::ProcessEvents(std::chrono::milliseconds wait)
{
    auto end = Clock::now() + wait;
    while (true) {
        if (!m_impl->completion && m_impl->client) {
            auto now = Clock::now();
            auto until = std::min(end, m_impl->NextTimer());
            auto slice
                = std::chrono::duration_cast<milliseconds>(until - now) + milliseconds(until > now ? 1 : 0);
            m_impl->client->Pump(std::max(milliseconds(0), slice));
            if (!m_impl->BrowserRunning()) {
                std::string how = m_impl->process ? m_impl->process->ExitDescription() : std::string();
                bool loading = m_impl->load && m_impl->load->phase != Phase::Done;
                std::string url = loading ? m_impl->load->url : std::string();
                if (m_impl->load)
                    m_impl->load->phase = Phase::Done;
                m_impl->StopBrowser();
                if (loading)
                    throw EngineError(
                        "Chromium ended while loading " + url + (how.empty() ? "" : " (it " + how + ")"));
                return;
            }
            m_impl->CheckLoad();
        }
        if (m_impl->completion) {
            Completion done = std::move(*m_impl->completion);
            m_impl->completion.reset();
            if (done.snapshot) {
                CompleteWithSnapshot(std::move(done.snapshot));
            } else {
                SetLastFailure(done.failure, std::move(done.failureDetail));
                CompleteWithErrorPage(done.errorAddress);
            }
            return;
        }
        if (Clock::now() >= end)
            return;
        if (!m_impl->client) {
            std::this_thread::sleep_until(end);
            return;
        }
    }
}

void ChromiumEngine::SetLoadTimeout(std::chrono::milliseconds timeout)
{
    m_impl->loadTimeout = timeout;
}

LoadProgress ChromiumEngine::Progress() const
{
    return m_impl->load ? m_impl->load->progress : LoadProgress {};
}

pid_t ChromiumEngine::BrowserProcessGroup() const
{
    return m_impl->process ? m_impl->process->ProcessGroup() : -1;
}

pid_t ChromiumEngine::WatchdogProcess() const
{
    return m_impl->process ? m_impl->process->WatchdogProcess() : -1;
}

std::filesystem::path ChromiumEngine::ProfileFolder() const
{
    return m_impl->process ? m_impl->process->ProfileFolder() : std::filesystem::path();
}

std::unique_ptr<PageEngine> CreateChromiumEngine()
{
    return std::make_unique<ChromiumEngine>();
}

} // namespace pagestow::engine::chromium

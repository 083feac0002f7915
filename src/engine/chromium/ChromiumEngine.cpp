#include "engine/chromium/ChromiumEngine.h"

#include "base/Ascii.h"
#include "engine/Contract.h"
#include "engine/EngineError.h"
#include "engine/chromium/EngineImpl.h"
#include "url/Address.h"

#include <unistd.h>

#include <algorithm>
#include <thread>

namespace pagestow::engine::chromium {
namespace {

    using json = nlohmann::json;
    using std::chrono::milliseconds;

    std::shared_ptr<SnapshotDocument> MakeBlankPage()
    {
        auto page = MakeBlankDocument();
        page->serialization = std::string(kBlankDocumentMarkup);
        return page;
    }

    // The browser's start tab (about:blank, in its own off-the-record context with --incognito) in
    // the answer to Target.getTargets; "" when there is none.
    std::string StartTab(const json& targets)
    {
        auto infos = targets.find("targetInfos");
        if (infos == targets.end() || !infos->is_array())
            return {};
        for (const auto& info : *infos) {
            if (info.value("type", std::string()) == "page"
                && info.value("url", std::string()) == "about:blank" && !info.value("attached", false))
                return info.value("targetId", std::string());
        }
        return {};
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

ChromiumEngine::Impl::Impl(ChromiumEngine& owningEngine, ChromiumOptions chosen, EngineCache& engineCache)
    : options(std::move(chosen))
    , engine(owningEngine)
    , cache(engineCache)
{
}

void ChromiumEngine::Impl::StartBrowser()
{
    StopBrowser();
    BrowserOptions browser { options.program, options.extraArguments };
    process = std::make_unique<BrowserProcess>(browser);
    client = std::make_unique<DevToolsClient>(process->ReplyFd(), process->CommandFd());
    client->SetEventHandler([this](const std::string& method, const json& params,
                                const std::string& session) { OnEvent(method, params, session); });
    try {
        client->Call("Browser.getVersion", json::object(), {}, kStartTimeout);
        startTab = StartTab(client->Call("Target.getTargets", json::object(), {}, kStartTimeout));
    } catch (const EngineError& error) {
        std::string tail = process->ErrorOutputTail();
        StopBrowser();
        throw EngineError(
            std::string("Chromium did not start: ") + error.what() + (tail.empty() ? "" : "\n" + tail));
    }
}

void ChromiumEngine::Impl::StopBrowser()
{
    // The profile is the engine's own and goes with the browser, so nothing of the browser's own
    // shutdown (writing its state into the profile) is worth waiting for: its processes are ended at
    // once. A graceful close took 0.3 s at the end of every run.
    if (process)
        process->Stop(milliseconds(0));
    keptPage.reset();
    reusedTab.reset();
    startTab.clear();
    client.reset();
    process.reset();
}

bool ChromiumEngine::Impl::BrowserRunning() const
{
    return process && client && !client->Closed() && !process->Exited();
}

// Commands that belong to the current load: a reply that arrives after the next navigation has begun
// is dropped.
void ChromiumEngine::Impl::SendFor(
    const std::string& method, json params, const std::string& session, LoadReply onReply)
{
    DevToolsClient::ReplyHandler handler;
    if (onReply) {
        int owner = load->generation;
        handler = [this, owner, onReply = std::move(onReply)](const Reply& reply) {
            if (!load || load->generation != owner)
                return;
            // The snapshot's bound is on its silence: a busy machine reads a hundred frames slowly
            // but steadily.
            if (load->phase == Phase::Snapshot)
                load->snapshotDeadline = Clock::now() + options.snapshotTimeout;
            onReply(*load, reply);
        };
    }
    client->Send(method, std::move(params), session, std::move(handler));
}

void ChromiumEngine::Impl::FinishWithError(Load& current, NavigationFailure failure, std::string detail)
{
    // A renderer the memory watch ended shows up as a crash; say why.
    if (memoryWatch.Exceeded()) {
        failure = NavigationFailure::Other;
        detail = MemoryExceededText();
    }
    AddRemainingExchanges(current);
    completion = LoadOutcome { nullptr, current.url, failure, std::move(detail) };
    EndLoad(current);
}

// The load is over: its browser context (tab, frames, renderers) goes away, which also releases every
// request still held.
void ChromiumEngine::Impl::EndLoad(Load& current)
{
    current.phase = Phase::Done;
    // A page kept for pictures stays open (frames, renderers, requests) until the next navigation.
    if (completion && completion->snapshot && engine.KeepsPageForPictures()) {
        keptPage = KeptPage { current.contextId, current.targetId, current.mainSession, current.startTab };
        current.contextId.clear();
        current.startTab = false;
        return;
    }
    // A page that completed leaves its tab, and the tab's renderer, to the next load: it is sent to a
    // blank page (which ends its scripts and requests; its unload handlers run before the next load
    // clears the storage) and its session is detached. A load that failed, or whose renderer may be
    // gone, takes its tab with it.
    if (completion && completion->snapshot && client && !current.mainSession.empty()
        && (!current.contextId.empty() || current.startTab)) {
        ReusedTab tab { current.contextId, current.targetId, current.startTab, {} };
        for (const auto& [id, request] : current.requests) {
            for (const std::string& address : request.chain) {
                if (std::string origin = url::OriginOf(address); origin.rfind("http", 0) == 0)
                    tab.origins.insert(std::move(origin));
            }
        }
        // From the page itself, so that the blank page stays in the page's renderer (a navigation the
        // browser starts to about:blank moves to a new one); the session goes once the page has run it.
        client->Send("Runtime.evaluate", { { "expression", "location.replace('about:blank')" } },
            current.mainSession, [this, session = current.mainSession](const Reply&) {
                if (client)
                    client->Send("Target.detachFromTarget", { { "sessionId", session } });
            });
        reusedTab = std::move(tab);
        current.contextId.clear();
        current.startTab = false;
        return;
    }
    CloseTab(current.contextId, current.targetId, current.startTab);
    current.contextId.clear();
    current.startTab = false;
}

// A tab goes with its browser context; the start tab, which has none of ours, is closed.
void ChromiumEngine::Impl::CloseTab(const std::string& contextId, const std::string& targetId, bool isStartTab)
{
    if (!contextId.empty() && client)
        client->Send("Target.disposeBrowserContext", { { "browserContextId", contextId } });
    else if (isStartTab && client)
        client->Send("Target.closeTarget", { { "targetId", targetId } });
}

void ChromiumEngine::Impl::ReleaseKeptPage()
{
    if (!keptPage)
        return;
    CloseTab(keptPage->contextId, keptPage->targetId, keptPage->startTab);
    keptPage.reset();
}

ChromiumEngine::ChromiumEngine(ChromiumOptions options)
    : SnapshotEngine(options.cache)
    , m_impl(std::make_unique<Impl>(*this, std::move(options), Cache()))
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
    m_impl->ReleaseKeptPage();

    std::string url = WithDefaultScheme(address);
    std::string scheme = url::SchemeOf(url);
    if (base::EqualsIgnoringAsciiCase(url, "about:blank")) {
        m_impl->completion = LoadOutcome { MakeBlankPage(), {} };
        return;
    }
    if (scheme != "http" && scheme != "https") {
        m_impl->completion = LoadOutcome { nullptr, url, NavigationFailure::UnsupportedScheme, {} };
        return;
    }
    if (!m_impl->BrowserRunning())
        m_impl->StartBrowser();
    m_impl->scrollLoading = ScrollLoading();
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
                const bool tooLarge = m_impl->memoryWatch.Exceeded();
                m_impl->memoryWatch.End();
                m_impl->StopBrowser();
                if (loading && tooLarge)
                    throw EngineError(
                        "Chromium was ended while loading " + url + ": " + MemoryExceededText());
                if (loading)
                    throw EngineError(
                        "Chromium ended while loading " + url + (how.empty() ? "" : " (it " + how + ")"));
                return;
            }
            // Past the memory limit the page fails at once, whichever of the browser's processes
            // was ended for it.
            if (m_impl->load && m_impl->load->phase != Phase::Done && m_impl->memoryWatch.Exceeded())
                m_impl->FinishWithError(*m_impl->load);
            else
                m_impl->CheckLoad();
        }
        if (m_impl->completion) {
            LoadOutcome done = std::move(*m_impl->completion);
            m_impl->completion.reset();
            m_impl->memoryWatch.End();
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

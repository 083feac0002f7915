#include "engine/static/StaticEngine.h"

#include "engine/static/PageParser.h"
#include "engine/static/StylesheetLoads.h"
#include "engine/static/Url.h"

#include <curl/curl.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <utility>

namespace pagestow::engine {
namespace {
    using namespace static_engine;
    using Clock = std::chrono::steady_clock;

    struct SlistDeleter {
        void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };
    using Slist = std::unique_ptr<curl_slist, SlistDeleter>;

    struct ShareDeleter {
        void operator()(CURLSH* share) const { curl_share_cleanup(share); }
    };
    using Share = std::unique_ptr<CURLSH, ShareDeleter>;

    // What a request is for: the page or a frame's document, or a subresource of some kind.
    enum class RequestKind { Document, Stylesheet, Script, Image, Other };

    RequestKind RequestKindOf(ResourceKind kind)
    {
        switch (kind) {
        case ResourceKind::Stylesheet:
            return RequestKind::Stylesheet;
        case ResourceKind::Script:
            return RequestKind::Script;
        case ResourceKind::Image:
        case ResourceKind::Icon:
            return RequestKind::Image;
        case ResourceKind::Preload:
            return RequestKind::Other;
        }
        return RequestKind::Other;
    }

    const char* AcceptFor(RequestKind kind)
    {
        switch (kind) {
        case RequestKind::Document:
            return "Accept: "
                   "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/*;q=0.8";
        case RequestKind::Stylesheet:
            return "Accept: text/css,*/*;q=0.1";
        case RequestKind::Image:
            return "Accept: image/avif,image/webp,image/apng,image/svg+xml,image/*,*/*;q=0.8";
        case RequestKind::Script:
        case RequestKind::Other:
            return "Accept: */*";
        }
        return "Accept: */*";
    }

    std::string Trimmed(const std::string& text)
    {
        size_t start = 0;
        size_t end = text.size();
        while (start < end && (unsigned char)text[start] <= 32)
            ++start;
        while (end > start && (unsigned char)text[end - 1] <= 32)
            --end;
        return text.substr(start, end - start);
    }

    bool EqualsIgnoringCase(std::string_view a, std::string_view b)
    {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(),
            [](char x, char y) { return std::tolower((unsigned char)x) == std::tolower((unsigned char)y); });
    }

    std::shared_ptr<SnapshotDocument> MakeBlankDocument()
    {
        auto blank = std::make_shared<SnapshotDocument>();
        blank->url = "about:blank";
        blank->characterSet = "UTF-8";
        blank->elements = BlankDocumentElements();
        blank->body = 2;
        return blank;
    }

    // Transfers under way at once; more wait in the queue (curl itself keeps to the connections per host).
    constexpr size_t kMaxTransfers = 64;

    bool IsCompleteSuccess(CURLcode result, long status)
    {
        return result == CURLE_OK && status >= 200 && status < 300 && status != 206;
    }

    class StaticEngine final : public SnapshotEngine {
    public:
        explicit StaticEngine(const StaticEngineOptions& options);
        ~StaticEngine() override;

        void Navigate(const std::string& address) override;
        void ProcessEvents(std::chrono::milliseconds wait) override;
        void SetLoadTimeout(std::chrono::milliseconds timeout) override { m_loadTimeout = timeout; }
        LoadProgress Progress() const override { return m_progress; }

    private:
        struct DocumentLoad {
            std::string requestedUrl;
            DocumentLoad* parent = nullptr;
            int depth = 0;
            DocumentRole role = DocumentRole::TopLevel;
            // Whether a document arrived (a response with a body, or a complete response).
            bool loaded = false;
            std::string finalUrl;
            std::string body;
            ParsedPage page;
            struct Frame {
                FrameReference::Kind kind;
                std::unique_ptr<DocumentLoad> load;
            };
            std::vector<Frame> frames;
        };

        struct Transfer {
            StaticEngine* engine = nullptr;
            CURL* easy = nullptr;
            std::string url;
            std::string referer;
            DocumentLoad* document = nullptr;
            std::unique_ptr<EngineCache::Entry> entry;
            std::string body;
            std::uint64_t size = 0;
            bool decided = false;
        };

        struct Load {
            std::string navigatedUrl;
            std::unique_ptr<DocumentLoad> top;
            std::set<std::string> requested;
            Clock::time_point deadline;
            bool expired = false;
            Share share;
            // Requests added by what stylesheets load.
            size_t stylesheetLoads = 0;
        };

        enum class Pending { None, Blank, ErrorPage };

        static size_t OnWrite(char* data, size_t size, size_t count, void* user);
        static int OnPrerequest(void* user, char* remoteIp, char* localIp, int remotePort, int localPort);

        EngineCache& Cache() { return m_options.cache ? *m_options.cache : EngineCache::ForThisRun(); }
        void Cancel();
        bool StartTransfer(
            const std::string& url, RequestKind kind, const std::string& from, DocumentLoad* document);
        void StartDocument(DocumentLoad& document, const std::string& from);
        void StartQueuedResources();
        void Drive();
        void OnDone(CURL* easy, CURLcode result);
        void FinishDocument(DocumentLoad& document, Transfer& transfer, CURLcode result);
        void FinishSubresource(Transfer& transfer, CURLcode result);
        void QueueStylesheetLoads(const std::vector<ResourceReference>& references, const std::string& from);
        void ExpireLoad();
        void Finish();
        std::shared_ptr<SnapshotDocument> BuildSnapshot(DocumentLoad& document);

        StaticEngineOptions m_options;
        std::chrono::milliseconds m_loadTimeout { 60'000 };
        CURLM* m_multi = nullptr;
        std::map<RequestKind, Slist> m_headers;
        std::map<CURL*, std::unique_ptr<Transfer>> m_transfers;
        // Subresources waiting for a transfer: a page of many thousand images would otherwise hold a
        // transfer (and its buffers) for every one of them at once.
        struct QueuedResource {
            std::string url;
            RequestKind kind;
            std::string from;
        };
        std::deque<QueuedResource> m_queued;
        std::unique_ptr<Load> m_load;
        Pending m_pending = Pending::None;
        std::string m_pendingAddress;
        LoadProgress m_progress;
    };

    StaticEngine::StaticEngine(const StaticEngineOptions& options)
        : m_options(options)
    {
        static std::once_flag once;
        std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        m_multi = curl_multi_init();
        curl_multi_setopt(m_multi, CURLMOPT_MAX_HOST_CONNECTIONS, long(m_options.connectionsPerHost));
        curl_multi_setopt(m_multi, CURLMOPT_PIPELINING, long(CURLPIPE_MULTIPLEX));
        for (RequestKind kind : { RequestKind::Document, RequestKind::Stylesheet, RequestKind::Script,
                 RequestKind::Image, RequestKind::Other }) {
            curl_slist* list = curl_slist_append(nullptr, AcceptFor(kind));
            list = curl_slist_append(list, "Accept-Language: zh-CN,zh;q=0.9,en;q=0.8");
            m_headers[kind] = Slist(list);
        }
    }

    StaticEngine::~StaticEngine()
    {
        Cancel();
        curl_multi_cleanup(m_multi);
    }

    void StaticEngine::Cancel()
    {
        for (auto& [easy, transfer] : m_transfers) {
            curl_multi_remove_handle(m_multi, easy);
            curl_easy_cleanup(easy);
        }
        m_transfers.clear();
        m_queued.clear();
        m_load.reset();
        m_pending = Pending::None;
    }

    void StaticEngine::Navigate(const std::string& address)
    {
        Cancel();
        m_progress = {};
        std::string typed = Trimmed(address);
        if (EqualsIgnoringCase(typed, "about:blank")) {
            m_pending = Pending::Blank;
            return;
        }
        std::string url = WithDefaultScheme(typed);
        std::string scheme = SchemeOf(url);
        std::string canonical = EngineCache::Canonicalize(url);
        if ((scheme != "http" && scheme != "https") || canonical.empty() || SchemeOf(canonical) != scheme) {
            m_pending = Pending::ErrorPage;
            m_pendingAddress = url;
            return;
        }
        m_load = std::make_unique<Load>();
        m_load->navigatedUrl = url;
        m_load->deadline = Clock::now() + m_loadTimeout;
        m_load->share.reset(curl_share_init());
        curl_share_setopt(m_load->share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
        m_load->top = std::make_unique<DocumentLoad>();
        m_load->top->requestedUrl = canonical;
        StartDocument(*m_load->top, std::string());
    }

    void StaticEngine::StartDocument(DocumentLoad& document, const std::string& from)
    {
        StartTransfer(document.requestedUrl, RequestKind::Document, from, &document);
    }

    void StaticEngine::StartQueuedResources()
    {
        while (m_load && !m_load->expired && m_transfers.size() < kMaxTransfers && !m_queued.empty()) {
            QueuedResource next = std::move(m_queued.front());
            m_queued.pop_front();
            StartTransfer(next.url, next.kind, next.from, nullptr);
        }
    }

    bool StaticEngine::StartTransfer(
        const std::string& url, RequestKind kind, const std::string& from, DocumentLoad* document)
    {
        auto remaining
            = std::chrono::duration_cast<std::chrono::milliseconds>(m_load->deadline - Clock::now());
        if (remaining.count() <= 0 || IsBlockedPort(PortOf(url)))
            return false;
        CURL* easy = curl_easy_init();
        if (!easy)
            return false;
        auto transfer = std::make_unique<Transfer>();
        transfer->engine = this;
        transfer->easy = easy;
        transfer->url = url;
        transfer->document = document;
        if (auto referer = ReferrerFor(from, url))
            transfer->referer = *referer;

        curl_easy_setopt(easy, CURLOPT_URL, transfer->url.c_str());
        curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &StaticEngine::OnWrite);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
        curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &StaticEngine::OnPrerequest);
        curl_easy_setopt(easy, CURLOPT_PREREQDATA, transfer.get());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, long(m_options.maxRedirects));
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
        if (SchemeOf(url) == "https")
            curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
        curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, "");
        curl_easy_setopt(easy, CURLOPT_USERAGENT, kStaticUserAgent.data());
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, m_headers[kind].get());
        if (!transfer->referer.empty())
            curl_easy_setopt(easy, CURLOPT_REFERER, transfer->referer.c_str());
        if (!m_options.certificateAuthorities.empty())
            curl_easy_setopt(easy, CURLOPT_CAINFO, m_options.certificateAuthorities.c_str());
        curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
        curl_easy_setopt(easy, CURLOPT_SHARE, m_load->share.get());
        // A document shows what arrived up to the size limit, so only a subresource is refused for the
        // length its server announces.
        if (!document)
            curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(m_options.maxBodyBytes));
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(remaining.count()));
        curl_easy_setopt(
            easy, CURLOPT_CONNECTTIMEOUT_MS, long(std::min(remaining, m_options.connectTimeout).count()));
        if (curl_multi_add_handle(m_multi, easy) != CURLM_OK) {
            curl_easy_cleanup(easy);
            return false;
        }
        m_transfers.emplace(easy, std::move(transfer));
        ++m_progress.requested;
        return true;
    }

    size_t StaticEngine::OnWrite(char* data, size_t size, size_t count, void* user)
    {
        auto* transfer = static_cast<Transfer*>(user);
        size_t length = size * count;
        StaticEngine& engine = *transfer->engine;
        // Past the size limit the resource fails; returning less than was given stops the transfer. A
        // document keeps its bytes up to the limit.
        if (transfer->size + length > engine.m_options.maxBodyBytes) {
            if (transfer->document) {
                size_t room = size_t(engine.m_options.maxBodyBytes - transfer->size);
                transfer->body.append(data, room);
                transfer->size += room;
                engine.m_progress.bytes += room;
            }
            return 0;
        }
        transfer->size += length;
        engine.m_progress.bytes += length;
        if (transfer->document) {
            transfer->body.append(data, length);
            return length;
        }
        if (!transfer->decided) {
            transfer->decided = true;
            long status = 0;
            curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
            if (status >= 200 && status < 300 && status != 206)
                transfer->entry = engine.Cache().BeginEntry();
        }
        // A body the cache cannot hold is still received; it is only not recorded.
        if (transfer->entry && !transfer->entry->Write(std::string_view(data, length)))
            transfer->entry.reset();
        return length;
    }

    int StaticEngine::OnPrerequest(void*, char*, char*, int remotePort, int)
    {
        // Every connection, also one a redirect leads to, keeps off the ports browsers block.
        return IsBlockedPort(remotePort) ? CURL_PREREQFUNC_ABORT : CURL_PREREQFUNC_OK;
    }

    void StaticEngine::Drive()
    {
        for (;;) {
            int running = 0;
            curl_multi_perform(m_multi, &running);
            std::vector<std::pair<CURL*, CURLcode>> done;
            int left = 0;
            while (CURLMsg* message = curl_multi_info_read(m_multi, &left)) {
                if (message->msg == CURLMSG_DONE)
                    done.emplace_back(message->easy_handle, message->data.result);
            }
            if (done.empty())
                return;
            for (auto [easy, result] : done)
                OnDone(easy, result);
            if (!m_load)
                return;
        }
    }

    void StaticEngine::OnDone(CURL* easy, CURLcode result)
    {
        auto found = m_transfers.find(easy);
        if (found == m_transfers.end())
            return;
        std::unique_ptr<Transfer> transfer = std::move(found->second);
        m_transfers.erase(found);
        curl_multi_remove_handle(m_multi, easy);
        ++m_progress.loaded;
        if (transfer->document)
            FinishDocument(*transfer->document, *transfer, result);
        else
            FinishSubresource(*transfer, result);
        curl_easy_cleanup(easy);
        StartQueuedResources();
    }

    void StaticEngine::FinishSubresource(Transfer& transfer, CURLcode result)
    {
        long status = 0;
        curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
        if (!IsCompleteSuccess(result, status))
            return;
        char* effective = nullptr;
        curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &effective);
        std::vector<std::string> addresses = { transfer.url };
        if (effective)
            addresses.push_back(effective);
        if (transfer.entry)
            transfer.entry->Commit(addresses);
        else if (transfer.size == 0)
            Cache().Store(addresses, {});
        char* contentType = nullptr;
        curl_easy_getinfo(transfer.easy, CURLINFO_CONTENT_TYPE, &contentType);
        if (StylesheetLoads() && contentType && IsStylesheetType(contentType)) {
            std::ifstream css(Cache().Lookup(transfer.url).value_or(""), std::ios::binary);
            std::ostringstream text;
            text << css.rdbuf();
            QueueStylesheetLoads(StylesheetReferences(text.str(), addresses.back()), addresses.back());
        }
    }

    void StaticEngine::QueueStylesheetLoads(
        const std::vector<ResourceReference>& references, const std::string& from)
    {
        for (const ResourceReference& resource : references) {
            if (m_load->expired || m_load->stylesheetLoads >= kMaxStylesheetLoads)
                return;
            if (m_load->requested.insert(resource.url).second) {
                ++m_load->stylesheetLoads;
                m_queued.push_back({ resource.url, RequestKindOf(resource.kind), from });
            }
        }
    }

    void StaticEngine::FinishDocument(DocumentLoad& document, Transfer& transfer, CURLcode result)
    {
        // A document exists when the response was complete, or when part of its body arrived before
        // the transfer broke off (the page then shows what arrived). Without either there was no
        // response at all.
        if (result != CURLE_OK && transfer.size == 0)
            return;
        long status = 0;
        char* effective = nullptr;
        char* contentType = nullptr;
        curl_easy_getinfo(transfer.easy, CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(transfer.easy, CURLINFO_EFFECTIVE_URL, &effective);
        curl_easy_getinfo(transfer.easy, CURLINFO_CONTENT_TYPE, &contentType);
        document.loaded = true;
        std::string finalUrl = effective ? EngineCache::Canonicalize(effective) : std::string();
        document.finalUrl = finalUrl.empty() ? document.requestedUrl : finalUrl;
        document.body = std::move(transfer.body);
        if (IsCompleteSuccess(result, status))
            Cache().Store({ document.requestedUrl, document.finalUrl }, document.body);
        document.page
            = ParsePage(document.body, contentType ? contentType : "", document.finalUrl, document.role);

        for (const ResourceReference& resource : document.page.resources) {
            if (!m_load->expired && m_load->requested.insert(resource.url).second)
                m_queued.push_back({ resource.url, RequestKindOf(resource.kind), document.finalUrl });
        }
        if (StylesheetLoads())
            QueueStylesheetLoads(
                DocumentStyleReferences(document.body, document.finalUrl), document.finalUrl);
        for (const FrameReference& reference : document.page.frames) {
            DocumentLoad::Frame frame { reference.kind, nullptr };
            if (reference.kind == FrameReference::Kind::Address) {
                // A frame never loads the address of the document it is in, or of any document around that.
                bool ancestor = false;
                for (DocumentLoad* around = &document; around; around = around->parent)
                    ancestor = ancestor || around->requestedUrl == reference.url
                        || around->finalUrl == reference.url;
                if (ancestor || document.depth + 1 > m_options.maxFrameDepth || m_load->expired) {
                    frame.kind = FrameReference::Kind::Unreachable;
                } else {
                    frame.load = std::make_unique<DocumentLoad>();
                    frame.load->requestedUrl = reference.url;
                    frame.load->parent = &document;
                    frame.load->depth = document.depth + 1;
                    frame.load->role = DocumentRole::Frame;
                    StartDocument(*frame.load, document.finalUrl);
                }
            }
            document.frames.push_back(std::move(frame));
        }
    }

    void StaticEngine::ExpireLoad()
    {
        // The load's time is up: what has arrived stays, everything else is given up.
        m_load->expired = true;
        m_queued.clear();
        auto transfers = std::move(m_transfers);
        m_transfers.clear();
        for (auto& [easy, transfer] : transfers) {
            curl_multi_remove_handle(m_multi, easy);
            if (transfer->document)
                FinishDocument(*transfer->document, *transfer, CURLE_OPERATION_TIMEDOUT);
            curl_easy_cleanup(easy);
        }
    }

    std::shared_ptr<SnapshotDocument> StaticEngine::BuildSnapshot(DocumentLoad& document)
    {
        auto snapshot = std::make_shared<SnapshotDocument>();
        snapshot->url = document.finalUrl;
        snapshot->characterSet = document.page.characterSet;
        snapshot->serialization = std::move(document.body);
        snapshot->elements = std::move(document.page.elements);
        snapshot->body = document.page.body;
        for (DocumentLoad::Frame& frame : document.frames) {
            SnapshotFrame snapshotFrame;
            if (frame.kind == FrameReference::Kind::Blank)
                snapshotFrame.document = MakeBlankDocument();
            else if (frame.load && frame.load->loaded)
                snapshotFrame.document = BuildSnapshot(*frame.load);
            snapshot->frames.push_back(std::move(snapshotFrame));
        }
        return snapshot;
    }

    void StaticEngine::Finish()
    {
        // The load is over before the completions are raised, so that a handler may navigate again
        // or pump events without seeing it.
        std::unique_ptr<Load> load = std::move(m_load);
        if (!load->top->loaded) {
            CompleteWithErrorPage(load->navigatedUrl);
            return;
        }
        CompleteWithSnapshot(BuildSnapshot(*load->top));
    }

    void StaticEngine::ProcessEvents(std::chrono::milliseconds wait)
    {
        if (m_pending != Pending::None) {
            Pending pending = std::exchange(m_pending, Pending::None);
            if (pending == Pending::Blank)
                CompleteWithSnapshot(MakeBlankDocument());
            else
                CompleteWithErrorPage(m_pendingAddress);
            return;
        }
        if (!m_load) {
            if (wait.count() > 0)
                std::this_thread::sleep_for(wait);
            return;
        }
        Drive();
        if (m_load && !m_transfers.empty() && wait.count() > 0) {
            auto remaining
                = std::chrono::duration_cast<std::chrono::milliseconds>(m_load->deadline - Clock::now());
            auto timeout = std::max(std::chrono::milliseconds(0), std::min(wait, remaining));
            if (timeout.count() > 0)
                curl_multi_poll(m_multi, nullptr, 0, int(timeout.count()), nullptr);
            Drive();
        }
        if (m_load && !m_transfers.empty() && Clock::now() >= m_load->deadline)
            ExpireLoad();
        if (m_load && m_transfers.empty())
            Finish();
    }

} // namespace

std::unique_ptr<PageEngine> CreateStaticEngine(const StaticEngineOptions& options)
{
    return std::make_unique<StaticEngine>(options);
}

} // namespace pagestow::engine

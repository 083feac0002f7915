#include "engine/static/StaticEngine.h"

#include "base/Ascii.h"
#include "engine/static/ContentDecoder.h"
#include "engine/static/ExchangeRecord.h"
#include "engine/static/FetchPolicy.h"
#include "engine/static/Handles.h"
#include "engine/static/PageParser.h"
#include "engine/static/RequestSetup.h"
#include "engine/static/StylesheetLoads.h"
#include "url/Address.h"
#include "url/Canonical.h"

#include <curl/curl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
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
    using Slist = CurlSlist;
    using Share = CurlShare;

    // The interrupt flag is set from a signal handler.
    static_assert(std::atomic<bool>::is_always_lock_free);

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

    // Transfers under way at once; more wait in the queue (curl itself keeps to the connections per host).
    constexpr size_t kMaxTransfers = 64;
    // Pages asked for ahead of their navigation at once (the connections per host are six).
    constexpr size_t kMaxPrefetched = 4;
    // What one read from a connection takes: libcurl's default of 16 KiB made a body of 10 MB cost
    // 640 reads, 640 writes into the cache and as many polls (20 images of 10 MB took 0.28 s against
    // curl's 0.21 s); curl's own tool reads 100 KiB at a time.
    constexpr long kReceiveBufferBytes = 100 * 1024;

    // Why a request got no response, in the engine layer's terms.
    NavigationFailure FailureOf(CURLcode result, bool blockedPort)
    {
        if (blockedPort)
            return NavigationFailure::BlockedPort;
        switch (result) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            return NavigationFailure::HostNotFound;
        case CURLE_COULDNT_CONNECT:
            return NavigationFailure::ConnectionRefused;
        case CURLE_OPERATION_TIMEDOUT:
            return NavigationFailure::TimedOut;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_USE_SSL_FAILED:
            return NavigationFailure::TlsFailure;
        case CURLE_UNSUPPORTED_PROTOCOL:
            return NavigationFailure::UnsupportedScheme;
        default:
            return NavigationFailure::Other;
        }
    }

    class StaticEngine final : public SnapshotEngine {
    public:
        explicit StaticEngine(const StaticEngineOptions& options);
        ~StaticEngine() override;

        void Navigate(const std::string& address) override;
        void Prefetch(const std::vector<std::string>& addresses) override;
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
            // Why it did not, when it was requested and did not.
            bool failed = false;
            NavigationFailure failure = NavigationFailure::None;
            std::string failureDetail;
            std::string finalUrl;
            // A srcdoc document: no address of its own, its content is the parent's markup.
            bool inherited = false;
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
            CurlEasy easy;
            std::string url;
            std::string referer;
            DocumentLoad* document = nullptr;
            std::unique_ptr<EngineCache::Entry> entry;
            std::string body;
            // Decoded bytes received.
            std::uint64_t size = 0;
            bool decided = false;
            // Removes the content coding; null for a body without one.
            std::unique_ptr<ContentDecoder> decoder;
            bool decodingFailed = false;
            // A connection to a port browsers refuse was asked for (and not made).
            bool blockedPort = false;
            // The document outgrew the page's memory budget and was given up.
            bool overBudget = false;
            char error[CURL_ERROR_SIZE] = {};
            // The transfer's exchanges, when the engine records them for an archive; whether its body
            // is the one the cache keeps (it travelled without a content coding).
            std::unique_ptr<ExchangeRecord> record;
            bool recordedInCache = false;
            // A page's document asked for ahead of its navigation: its bytes are held for it, outside
            // any load, until it is taken or dropped.
            bool prefetch = false;
        };

        // A page the caller said it navigates to next, asked for now with the request its navigation
        // would make: the same request options (header lists made again for other options drop it)
        // and the same cookies. It is taken only when the store's cookies are still those at the
        // navigation; otherwise it is dropped and the page asked for again.
        struct Prefetched {
            // Before the transfer, which uses it and so goes first.
            Share share;
            std::unique_ptr<Transfer> transfer;
            std::vector<cookies::Cookie> cookies;
            bool done = false;
            CURLcode result = CURLE_OK;
        };

        struct Load {
            std::string navigatedUrl;
            std::unique_ptr<DocumentLoad> top;
            std::set<std::string> requested;
            // The load time-out: documents stop here.
            Clock::time_point deadline;
            // What was requested may finish until here.
            Clock::time_point lastDeadline;
            bool expired = false;
            Share share;
            // Requests added by what stylesheets load.
            size_t stylesheetLoads = 0;
            // Bytes the page's documents hold in memory.
            std::uint64_t held = 0;
        };

        enum class Pending { None, Blank, ErrorPage };

        static size_t OnWrite(char* data, size_t size, size_t count, void* user);
        static size_t OnHeader(char* data, size_t size, size_t count, void* user);
        static int OnDebug(CURL* easy, curl_infotype type, char* data, size_t size, void* user);
        // Hands the transfer's exchanges to the log, when it records them.
        void EndRecord(Transfer& transfer, bool complete);
        static curl_socket_t OnOpenSocket(void* user, curlsocktype purpose, curl_sockaddr* address);
        // Takes decoded body bytes; false stops the transfer.
        bool Receive(Transfer& transfer, std::string_view bytes);
        bool ReceiveDocumentBytes(Transfer& transfer, std::string_view bytes);
        std::uint64_t BudgetLeft() const
        {
            return m_load && m_options.pageMemoryBudget > m_load->held
                ? m_options.pageMemoryBudget - m_load->held
                : 0;
        }
        // Whether the transfer's response is whole and of a status that is stored.
        static bool IsComplete(const Transfer& transfer, CURLcode result);

        void Cancel();
        bool StartTransfer(const std::string& url, RequestKind kind, const std::string& from,
            DocumentLoad* document, Prefetched* prefetched = nullptr);
        // A new load's share with the store's cookies.
        Share MakeShare() const;
        // Takes the prefetched document of canonical for the load just begun; false when there is none
        // that may be taken.
        bool TakePrefetched(const std::string& canonical);
        void DropPrefetched(Prefetched& prefetched);
        void DropAllPrefetched();
        void StartDocument(DocumentLoad& document, const std::string& from);
        void StartQueuedResources();
        void Drive();
        void OnDone(CURL* easy, CURLcode result);
        // A transfer off the multi handle: its document or subresource finished, its handle kept.
        void Complete(std::unique_ptr<Transfer> transfer, CURLcode result);
        // Keeps a finished transfer's handle for the next one: making a handle and cleaning it up costs
        // more than resetting it, on a page of thousands of small resources a tenth of the loading
        // thread's time.
        void Recycle(CurlEasy easy);
        void FinishDocument(DocumentLoad& document, Transfer& transfer, CURLcode result);
        void FinishSubresource(Transfer& transfer, CURLcode result);
        // Reads an arrived document and requests what it names, its frames included.
        void ParseArrivedDocument(DocumentLoad& document, std::string_view contentType);
        void QueueStylesheetLoads(const std::vector<ResourceReference>& references, const std::string& from);
        void ExpireLoad();
        void EndLoad();
        void Finish();
        std::shared_ptr<SnapshotDocument> BuildSnapshot(DocumentLoad& document);
        // The header lists of every kind of request: the engine's own and the user's.
        void BuildHeaders();

        StaticEngineOptions m_options;
        std::chrono::milliseconds m_loadTimeout { 60'000 };
        CurlMulti m_multi;
        std::map<RequestKind, Slist> m_headers;
        // The request options m_headers were built from.
        RequestOptions m_headersBuiltFor;
        std::map<CURL*, std::unique_ptr<Transfer>> m_transfers;
        // Handles of finished transfers, reset, for the next ones.
        std::vector<CurlEasy> m_idleHandles;
        // Subresources waiting for a transfer: a page of many thousand images would otherwise hold a
        // transfer (and its buffers) for every one of them at once.
        struct QueuedResource {
            std::string url;
            RequestKind kind;
            std::string from;
        };
        std::deque<QueuedResource> m_queued;
        // Takes a queued subresource from what the cache holds of earlier pages; false when it holds
        // none.
        bool ReuseCached(const QueuedResource& resource);
        std::unique_ptr<Load> m_load;
        // By canonical address, at most kMaxPrefetched.
        std::map<std::string, Prefetched> m_prefetched;
        // A prefetched document that had arrived when its page was navigated to, finished by the next
        // ProcessEvents.
        std::unique_ptr<Transfer> m_arrived;
        CURLcode m_arrivedResult = CURLE_OK;
        Pending m_pending = Pending::None;
        std::string m_pendingAddress;
        LoadProgress m_progress;
    };

    StaticEngine::StaticEngine(const StaticEngineOptions& options)
        : SnapshotEngine(options.cache)
        , m_options(options)
    {
        static std::once_flag once;
        std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
        m_multi.reset(curl_multi_init());
        curl_multi_setopt(m_multi.get(), CURLMOPT_MAX_HOST_CONNECTIONS, long(m_options.connectionsPerHost));
        curl_multi_setopt(m_multi.get(), CURLMOPT_PIPELINING, long(CURLPIPE_MULTIPLEX));
        BuildHeaders();
    }

    void StaticEngine::BuildHeaders()
    {
        // A prefetched page's transfer uses the lists it was made with, and its request is no longer
        // the one its navigation would make.
        DropAllPrefetched();
        const std::vector<RequestHeader>& user = Requests().headers;
        for (RequestKind kind : { RequestKind::Document, RequestKind::Stylesheet, RequestKind::Script,
                 RequestKind::Image, RequestKind::Other }) {
            curl_slist* list = nullptr;
            for (const char* line :
                { AcceptFor(kind), "Accept-Language: zh-CN,zh;q=0.9,en;q=0.8", kAcceptEncoding }) {
                if (!UserReplaces(line, user))
                    list = curl_slist_append(list, line);
            }
            m_headers[kind] = Slist(AppendHeaders(list, user));
        }
        m_headersBuiltFor = Requests();
    }

    StaticEngine::~StaticEngine()
    {
        Cancel();
        DropAllPrefetched();
    }

    void StaticEngine::Cancel()
    {
        for (auto& [easy, transfer] : m_transfers)
            curl_multi_remove_handle(m_multi.get(), easy);
        m_transfers.clear();
        m_queued.clear();
        m_arrived.reset();
        m_load.reset();
        m_pending = Pending::None;
    }

    Share StaticEngine::MakeShare() const
    {
        Share share(curl_share_init());
        curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
        LoadCookies(share.get(), StoredCookies(), Cache().Folder().string());
        return share;
    }

    void StaticEngine::DropPrefetched(Prefetched& prefetched)
    {
        if (prefetched.transfer && !prefetched.done)
            curl_multi_remove_handle(m_multi.get(), prefetched.transfer->easy.get());
        prefetched.transfer.reset();
    }

    void StaticEngine::DropAllPrefetched()
    {
        for (auto& [address, prefetched] : m_prefetched)
            DropPrefetched(prefetched);
        m_prefetched.clear();
    }

    void StaticEngine::Prefetch(const std::vector<std::string>& addresses)
    {
        // The header lists are those of the navigation's request: made again only between loads, as a
        // navigation makes them.
        if (!m_load && !(m_headersBuiltFor == Requests()))
            BuildHeaders();
        // An archive records each page's exchanges with its load; those pages are not asked for ahead.
        std::set<std::string> wanted;
        if (!Exchanges() && m_headersBuiltFor == Requests()) {
            for (const std::string& address : addresses) {
                std::string canonical = url::Canonicalize(address);
                std::string scheme = url::SchemeOf(canonical);
                if ((scheme == "http" || scheme == "https") && !url::IsBlockedPort(url::PortOf(canonical)))
                    wanted.insert(canonical);
                if (wanted.size() >= kMaxPrefetched)
                    break;
            }
        }
        for (auto it = m_prefetched.begin(); it != m_prefetched.end();) {
            if (wanted.count(it->first)) {
                ++it;
                continue;
            }
            DropPrefetched(it->second);
            it = m_prefetched.erase(it);
        }
        for (const std::string& canonical : wanted) {
            if (m_prefetched.count(canonical))
                continue;
            Prefetched prefetched;
            prefetched.share = MakeShare();
            prefetched.cookies = StoredCookies();
            if (!prefetched.share
                || !StartTransfer(canonical, RequestKind::Document, std::string(), nullptr, &prefetched))
                continue;
            m_prefetched.emplace(canonical, std::move(prefetched));
        }
    }

    bool StaticEngine::TakePrefetched(const std::string& canonical)
    {
        auto found = m_prefetched.find(canonical);
        if (found == m_prefetched.end())
            return false;
        Prefetched prefetched = std::move(found->second);
        m_prefetched.erase(found);
        if (prefetched.cookies != StoredCookies()) {
            DropPrefetched(prefetched);
            return false;
        }
        std::unique_ptr<Transfer> transfer = std::move(prefetched.transfer);
        transfer->prefetch = false;
        transfer->document = m_load->top.get();
        m_load->share = std::move(prefetched.share);
        m_load->held += transfer->body.capacity();
        m_progress.bytes += transfer->size;
        ++m_progress.requested;
        if (prefetched.done) {
            m_arrived = std::move(transfer);
            m_arrivedResult = prefetched.result;
        } else {
            CURL* easy = transfer->easy.get();
            m_transfers.emplace(easy, std::move(transfer));
        }
        return true;
    }

    void StaticEngine::Navigate(const std::string& address)
    {
        Cancel();
        m_progress = {};
        SetLastFailure(NavigationFailure::None);
        SetLastAnswer({});
        std::string typed = Trimmed(address);
        if (base::EqualsIgnoringAsciiCase(typed, "about:blank")) {
            m_pending = Pending::Blank;
            return;
        }
        std::string url = WithDefaultScheme(typed);
        std::string scheme = url::SchemeOf(url);
        std::string canonical = url::Canonicalize(url);
        if ((scheme != "http" && scheme != "https") || canonical.empty()
            || url::SchemeOf(canonical) != scheme) {
            SetLastFailure(scheme == "http" || scheme == "https" ? NavigationFailure::Other
                                                                 : NavigationFailure::UnsupportedScheme);
            m_pending = Pending::ErrorPage;
            m_pendingAddress = url;
            return;
        }
        m_load = std::make_unique<Load>();
        m_load->navigatedUrl = url;
        m_load->deadline = Clock::now() + m_loadTimeout;
        m_load->lastDeadline = m_load->deadline + m_options.afterTimeout;
        if (!(m_headersBuiltFor == Requests()))
            BuildHeaders();
        m_load->top = std::make_unique<DocumentLoad>();
        m_load->top->requestedUrl = canonical;
        if (TakePrefetched(canonical))
            return;
        m_load->share = MakeShare();
        StartDocument(*m_load->top, std::string());
    }

    void StaticEngine::StartDocument(DocumentLoad& document, const std::string& from)
    {
        if (StartTransfer(document.requestedUrl, RequestKind::Document, from, &document))
            return;
        document.failed = true;
        bool blocked = url::IsBlockedPort(url::PortOf(document.requestedUrl));
        document.failure = blocked ? NavigationFailure::BlockedPort : NavigationFailure::TimedOut;
    }

    void StaticEngine::StartQueuedResources()
    {
        while (m_load && m_transfers.size() < kMaxTransfers && !m_queued.empty()) {
            QueuedResource next = std::move(m_queued.front());
            m_queued.pop_front();
            if (ReuseLoadedResources() && ReuseCached(next))
                continue;
            StartTransfer(next.url, next.kind, next.from, nullptr);
        }
    }

    bool StaticEngine::ReuseCached(const QueuedResource& resource)
    {
        std::optional<std::filesystem::path> file = Cache().Lookup(resource.url);
        if (!file)
            return false;
        // What a stylesheet held loads is as wanted as when it first arrived.
        if (StylesheetLoads() && resource.kind == RequestKind::Stylesheet) {
            std::ifstream css(*file, std::ios::binary);
            std::ostringstream text;
            text << css.rdbuf();
            QueueStylesheetLoads(StylesheetReferences(text.str(), resource.url), resource.url);
        }
        return true;
    }

    bool StaticEngine::StartTransfer(const std::string& url, RequestKind kind, const std::string& from,
        DocumentLoad* document, Prefetched* prefetched)
    {
        // A document has until the load time-out; a subresource until the end of the grace after it.
        // A prefetched document is bounded by its load once it has one, and by twice the time-out
        // before.
        auto remaining = prefetched ? 2 * m_loadTimeout
                                    : std::chrono::duration_cast<std::chrono::milliseconds>(
                                        (document ? m_load->deadline : m_load->lastDeadline) - Clock::now());
        if (remaining.count() <= 0 || url::IsBlockedPort(url::PortOf(url)))
            return false;
        auto transfer = std::make_unique<Transfer>();
        if (!m_idleHandles.empty()) {
            transfer->easy = std::move(m_idleHandles.back());
            m_idleHandles.pop_back();
        } else {
            transfer->easy.reset(curl_easy_init());
        }
        CURL* easy = transfer->easy.get();
        if (!easy)
            return false;
        transfer->engine = this;
        transfer->url = url;
        transfer->document = document;
        transfer->prefetch = prefetched != nullptr;
        if (auto referer = ReferrerFor(from, url))
            transfer->referer = *referer;

        curl_easy_setopt(easy, CURLOPT_URL, transfer->url.c_str());
        curl_easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
        curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, transfer->error);
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &StaticEngine::OnWrite);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETFUNCTION, &StaticEngine::OnOpenSocket);
        curl_easy_setopt(easy, CURLOPT_OPENSOCKETDATA, transfer.get());
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferBytes);
        curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(easy, CURLOPT_MAXREDIRS, long(m_options.maxRedirects));
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_2TLS));
        if (url::SchemeOf(url) == "https")
            curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
        // The engine removes content codings itself, so that a stream cut short is seen as such.
        curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
        const std::string& userAgent = Requests().userAgent;
        curl_easy_setopt(
            easy, CURLOPT_USERAGENT, userAgent.empty() ? kStaticUserAgent.data() : userAgent.c_str());
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, m_headers[kind].get());
        if (!transfer->referer.empty())
            curl_easy_setopt(easy, CURLOPT_REFERER, transfer->referer.c_str());
        if (!m_options.certificateAuthorities.empty())
            curl_easy_setopt(easy, CURLOPT_CAINFO, m_options.certificateAuthorities.c_str());
        curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
        curl_easy_setopt(easy, CURLOPT_SHARE, prefetched ? prefetched->share.get() : m_load->share.get());
        // A document shows what arrived up to the size limit, so only a subresource is refused for the
        // length its server announces.
        if (!document && !prefetched)
            curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(m_options.maxBodyBytes));
        if (Exchanges() && !prefetched) {
            // curl shows the request heads it sends only to its debug callback.
            transfer->record = std::make_unique<ExchangeRecord>();
            curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &StaticEngine::OnHeader);
            curl_easy_setopt(easy, CURLOPT_HEADERDATA, transfer.get());
            curl_easy_setopt(easy, CURLOPT_DEBUGFUNCTION, &StaticEngine::OnDebug);
            curl_easy_setopt(easy, CURLOPT_DEBUGDATA, transfer.get());
            curl_easy_setopt(easy, CURLOPT_VERBOSE, 1L);
        }
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, long(remaining.count()));
        curl_easy_setopt(
            easy, CURLOPT_CONNECTTIMEOUT_MS, long(std::min(remaining, m_options.connectTimeout).count()));
        if (curl_multi_add_handle(m_multi.get(), easy) != CURLM_OK)
            return false;
        if (prefetched) {
            prefetched->transfer = std::move(transfer);
            return true;
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
        if (!transfer->decided) {
            transfer->decided = true;
            curl_header* header = nullptr;
            if (curl_easy_header(transfer->easy.get(), "Content-Encoding", 0, CURLH_HEADER, -1, &header)
                    == CURLHE_OK
                && header)
                transfer->decoder = ContentDecoder::ForEncoding(header->value);
            long status = 0;
            curl_easy_getinfo(transfer->easy.get(), CURLINFO_RESPONSE_CODE, &status);
            if (!transfer->document && !transfer->prefetch && IsStorableStatus(int(status)))
                transfer->entry = engine.Cache().BeginEntry();
            transfer->recordedInCache = transfer->entry && !transfer->decoder;
        }
        std::string_view bytes(data, length);
        if (transfer->record && !transfer->recordedInCache)
            transfer->record->Body(*engine.Exchanges(), bytes);
        if (!transfer->decoder)
            return engine.Receive(*transfer, bytes) ? length : 0;
        bool more = transfer->decoder->Feed(
            bytes, [&](std::string_view decoded) { return engine.Receive(*transfer, decoded); });
        if (!more) {
            transfer->decodingFailed = true;
            return 0;
        }
        return length;
    }

    bool StaticEngine::Receive(Transfer& transfer, std::string_view bytes)
    {
        if (transfer.document || transfer.prefetch)
            return ReceiveDocumentBytes(transfer, bytes);
        // Past the size limit the resource fails; stopping the transfer leaves it incomplete.
        if (transfer.size + bytes.size() > m_options.maxBodyBytes) {
            transfer.entry.reset();
            return false;
        }
        transfer.size += bytes.size();
        m_progress.bytes += bytes.size();
        // A body the cache cannot hold is still received; it is only not recorded.
        if (transfer.entry && !transfer.entry->Write(bytes))
            transfer.entry.reset();
        return true;
    }

    bool StaticEngine::ReceiveDocumentBytes(Transfer& transfer, std::string_view bytes)
    {
        // A document keeps its bytes up to the size limit. Past what the page's memory allows it is
        // given up, and what it held is free for the other documents; the memory it takes is what
        // the body's buffer holds.
        std::string& body = transfer.body;
        std::uint64_t roomBySize
            = m_options.maxBodyBytes - std::min<std::uint64_t>(m_options.maxBodyBytes, body.size());
        // One document takes at most half the budget, so that a copy the capture makes of it fits
        // beside it.
        // A prefetched document, held outside any load, has that half to itself.
        std::uint64_t share = m_options.pageMemoryBudget / 2;
        const bool counted = !transfer.prefetch && m_load;
        std::uint64_t roomByBudget
            = std::min<std::uint64_t>((body.capacity() - body.size()) + (counted ? BudgetLeft() : share),
                share - std::min<std::uint64_t>(share, body.size()));
        if (bytes.size() > roomByBudget && roomByBudget <= roomBySize) {
            transfer.overBudget = true;
            if (counted)
                m_load->held -= std::min<std::uint64_t>(m_load->held, body.capacity());
            std::string().swap(body);
            return false;
        }
        std::uint64_t room = std::min(roomBySize, roomByBudget);
        size_t take = size_t(std::min<std::uint64_t>(room, bytes.size()));
        if (body.size() + take > body.capacity()) {
            size_t limit = size_t(body.size() + room);
            size_t wanted = std::max(body.size() + take, std::min(body.capacity() * 2, limit));
            size_t before = body.capacity();
            // A buffer of exactly the size wanted (reserve could double past what the page may hold).
            std::string larger;
            larger.reserve(wanted);
            larger.append(body);
            body.swap(larger);
            if (counted)
                m_load->held += body.capacity() - std::min(before, body.capacity());
        }
        body.append(bytes.substr(0, take));
        transfer.size += take;
        if (counted)
            m_progress.bytes += take;
        return take == bytes.size();
    }

    size_t StaticEngine::OnHeader(char* data, size_t size, size_t count, void* user)
    {
        auto* transfer = static_cast<Transfer*>(user);
        char* ip = nullptr;
        curl_easy_getinfo(transfer->easy.get(), CURLINFO_PRIMARY_IP, &ip);
        transfer->record->HeaderLine(std::string_view(data, size * count), ip ? ip : "");
        return size * count;
    }

    int StaticEngine::OnDebug(CURL* easy, curl_infotype type, char* data, size_t size, void* user)
    {
        if (type != CURLINFO_HEADER_OUT)
            return 0;
        char* address = nullptr;
        curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &address);
        static_cast<Transfer*>(user)->record->RequestSent(std::string_view(data, size), address ? address : "");
        return 0;
    }

    void StaticEngine::EndRecord(Transfer& transfer, bool complete)
    {
        if (transfer.record && Exchanges())
            transfer.record->Finish(*Exchanges(), complete);
        transfer.record.reset();
    }

    curl_socket_t StaticEngine::OnOpenSocket(void* user, curlsocktype, curl_sockaddr* address)
    {
        // Every connection, also one a redirect leads to, keeps off the ports browsers refuse; the
        // check comes before the connection is made.
        int port = 0;
        if (address->family == AF_INET)
            port = ntohs(reinterpret_cast<const sockaddr_in*>(&address->addr)->sin_port);
        else if (address->family == AF_INET6)
            port = ntohs(reinterpret_cast<const sockaddr_in6*>(&address->addr)->sin6_port);
        if (url::IsBlockedPort(port)) {
            static_cast<Transfer*>(user)->blockedPort = true;
            return CURL_SOCKET_BAD;
        }
        return socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    }

    bool StaticEngine::IsComplete(const Transfer& transfer, CURLcode result)
    {
        long status = 0;
        curl_easy_getinfo(transfer.easy.get(), CURLINFO_RESPONSE_CODE, &status);
        bool decoded = !transfer.decoder || transfer.decoder->Finished();
        return result == CURLE_OK && !transfer.decodingFailed && decoded && IsStorableStatus(int(status));
    }

    void StaticEngine::Drive()
    {
        for (;;) {
            if (Interrupted())
                return;
            int running = 0;
            curl_multi_perform(m_multi.get(), &running);
            std::vector<std::pair<CURL*, CURLcode>> done;
            int left = 0;
            while (CURLMsg* message = curl_multi_info_read(m_multi.get(), &left)) {
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
        if (found == m_transfers.end()) {
            // A prefetched document: it waits, whole or not, for its navigation.
            for (auto& [address, prefetched] : m_prefetched) {
                if (prefetched.transfer && !prefetched.done && prefetched.transfer->easy.get() == easy) {
                    curl_multi_remove_handle(m_multi.get(), easy);
                    prefetched.done = true;
                    prefetched.result = result;
                    break;
                }
            }
            return;
        }
        std::unique_ptr<Transfer> transfer = std::move(found->second);
        m_transfers.erase(found);
        curl_multi_remove_handle(m_multi.get(), easy);
        Complete(std::move(transfer), result);
    }

    void StaticEngine::Complete(std::unique_ptr<Transfer> transfer, CURLcode result)
    {
        ++m_progress.loaded;
        if (transfer->document)
            FinishDocument(*transfer->document, *transfer, result);
        else
            FinishSubresource(*transfer, result);
        EndRecord(*transfer, result == CURLE_OK);
        Recycle(std::move(transfer->easy));
        StartQueuedResources();
    }

    void StaticEngine::Recycle(CurlEasy easy)
    {
        if (!easy || m_idleHandles.size() >= kMaxTransfers)
            return;
        // Off the load's share (which goes with the load), and every option back to its default: the
        // next transfer sets all it needs.
        curl_easy_setopt(easy.get(), CURLOPT_SHARE, nullptr);
        // libcurl 7.88 keeps the cookie-file names a handle was given past a reset, and loses them
        // when they are given again: the list is emptied here.
        curl_easy_setopt(easy.get(), CURLOPT_COOKIEFILE, nullptr);
        curl_easy_reset(easy.get());
        m_idleHandles.push_back(std::move(easy));
    }

    void StaticEngine::FinishSubresource(Transfer& transfer, CURLcode result)
    {
        if (!IsComplete(transfer, result))
            return;
        char* effective = nullptr;
        curl_easy_getinfo(transfer.easy.get(), CURLINFO_EFFECTIVE_URL, &effective);
        std::vector<std::string> addresses = { transfer.url };
        // Without a redirect the final address is the requested one: indexed once.
        if (effective && transfer.url != effective)
            addresses.push_back(effective);
        if (transfer.entry)
            transfer.entry->Commit(addresses);
        else if (transfer.size == 0)
            Cache().Store(addresses, {});
        if (transfer.record && transfer.recordedInCache)
            transfer.record->BodyInCache(transfer.url, transfer.size);
        char* contentType = nullptr;
        curl_easy_getinfo(transfer.easy.get(), CURLINFO_CONTENT_TYPE, &contentType);
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
        // A document exists when the response was complete, or when its final status line arrived
        // before the transfer broke off (the page then shows what arrived, perhaps nothing). Without
        // either there was no response at all.
        if (transfer.overBudget) {
            document.failed = true;
            document.failure = NavigationFailure::Other;
            document.failureDetail = "The document is larger than the memory one page may hold";
            return;
        }
        long arrivedStatus = 0;
        curl_easy_getinfo(transfer.easy.get(), CURLINFO_RESPONSE_CODE, &arrivedStatus);
        const bool responded
            = transfer.size > 0 || (arrivedStatus >= 200 && (arrivedStatus < 300 || arrivedStatus >= 400));
        if (result != CURLE_OK && !responded) {
            document.failed = true;
            document.failure = FailureOf(result, transfer.blockedPort);
            document.failureDetail = transfer.error[0] ? transfer.error : curl_easy_strerror(result);
            return;
        }
        long status = 0;
        char* effective = nullptr;
        char* contentType = nullptr;
        curl_easy_getinfo(transfer.easy.get(), CURLINFO_RESPONSE_CODE, &status);
        curl_easy_getinfo(transfer.easy.get(), CURLINFO_EFFECTIVE_URL, &effective);
        curl_easy_getinfo(transfer.easy.get(), CURLINFO_CONTENT_TYPE, &contentType);
        document.loaded = true;
        if (document.role == DocumentRole::TopLevel && !document.parent) {
            PageAnswer answer;
            answer.status = int(status);
            curl_header* retryAfter = nullptr;
            if (curl_easy_header(transfer.easy.get(), "Retry-After", 0, CURLH_HEADER, -1, &retryAfter) == CURLHE_OK
                && retryAfter && retryAfter->value)
                answer.retryAfter = retryAfter->value;
            SetLastAnswer(std::move(answer));
        }
        std::string finalUrl = effective ? url::Canonicalize(effective) : std::string();
        document.finalUrl = finalUrl.empty() ? document.requestedUrl : finalUrl;
        document.body = std::move(transfer.body);
        // Only a whole body is stored; a page cut short still shows what arrived.
        if (IsComplete(transfer, result))
            Cache().Store({ document.requestedUrl, document.finalUrl }, document.body);
        ParseArrivedDocument(document, contentType ? contentType : "");
    }

    void StaticEngine::ParseArrivedDocument(DocumentLoad& document, std::string_view contentType)
    {
        ParseBounds bounds;
        bounds.memoryBytes = BudgetLeft();
        bounds.deadline = m_load->lastDeadline;
        bounds.interrupted = InterruptFlag();
        document.page = ParsePage(
            document.body, contentType, document.finalUrl, document.role, bounds, StylesheetLoads());
        m_load->held += document.page.heldBytes;

        // What the arrived part names is requested even after the time-out (until the grace ends).
        for (const ResourceReference& resource : document.page.resources) {
            if (m_load->requested.insert(resource.url).second)
                m_queued.push_back({ resource.url, RequestKindOf(resource.kind), document.finalUrl });
        }
        if (StylesheetLoads())
            QueueStylesheetLoads(document.page.styles
                    ? DocumentStyleReferences(*document.page.styles)
                    : DocumentStyleReferences(document.body, document.finalUrl),
                document.finalUrl);
        document.page.styles.reset();
        for (const FrameReference& reference : document.page.frames) {
            DocumentLoad::Frame frame { reference.kind, nullptr };
            if (reference.kind == FrameReference::Kind::Srcdoc) {
                // The markup is the frame's document, read against the parent's address; nothing is
                // requested for the document itself.
                if (document.depth + 1 > m_options.maxFrameDepth) {
                    frame.kind = FrameReference::Kind::Blank;
                } else {
                    frame.load = std::make_unique<DocumentLoad>();
                    frame.load->requestedUrl = document.finalUrl;
                    frame.load->finalUrl = document.finalUrl;
                    frame.load->parent = &document;
                    frame.load->depth = document.depth + 1;
                    frame.load->role = DocumentRole::Frame;
                    frame.load->loaded = true;
                    frame.load->inherited = true;
                    frame.load->body = reference.markup;
                    ParseArrivedDocument(*frame.load, "text/html; charset=utf-8");
                }
            } else if (reference.kind == FrameReference::Kind::Address) {
                // A frame never loads the address of the document it is in, or of any document around that.
                bool ancestor = false;
                for (DocumentLoad* around = &document; around; around = around->parent)
                    ancestor = ancestor || around->requestedUrl == reference.url
                        || around->finalUrl == reference.url;
                if (ancestor || document.depth + 1 > m_options.maxFrameDepth) {
                    frame.kind = FrameReference::Kind::Unreachable;
                } else {
                    frame.load = std::make_unique<DocumentLoad>();
                    frame.load->requestedUrl = reference.url;
                    frame.load->parent = &document;
                    frame.load->depth = document.depth + 1;
                    frame.load->role = DocumentRole::Frame;
                    // After the time-out no document is started: the frame's load has failed.
                    if (m_load->expired)
                        frame.load->failed = true;
                    else
                        StartDocument(*frame.load, document.finalUrl);
                }
            }
            document.frames.push_back(std::move(frame));
        }
    }

    void StaticEngine::ExpireLoad()
    {
        // The load's time is up: the documents are what has arrived of them; what they name, and
        // every subresource under way, may still finish until the grace ends.
        m_load->expired = true;
        std::vector<std::unique_ptr<Transfer>> documents;
        for (auto it = m_transfers.begin(); it != m_transfers.end();) {
            if (it->second->document) {
                curl_multi_remove_handle(m_multi.get(), it->first);
                documents.push_back(std::move(it->second));
                it = m_transfers.erase(it);
            } else {
                ++it;
            }
        }
        for (auto& transfer : documents) {
            FinishDocument(*transfer->document, *transfer, CURLE_OPERATION_TIMEDOUT);
            EndRecord(*transfer, false);
        }
        StartQueuedResources();
    }

    void StaticEngine::EndLoad()
    {
        // The grace is over: what has not arrived is given up.
        m_queued.clear();
        auto transfers = std::move(m_transfers);
        m_transfers.clear();
        for (auto& [easy, transfer] : transfers) {
            curl_multi_remove_handle(m_multi.get(), easy);
            if (transfer->document)
                FinishDocument(*transfer->document, *transfer, CURLE_OPERATION_TIMEDOUT);
            EndRecord(*transfer, false);
        }
        m_queued.clear();
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
                snapshotFrame.document = MakeBlankDocument(document.finalUrl, DocumentOrigin::Inherited);
            else if (frame.load && frame.load->loaded) {
                bool inherited = frame.load->inherited;
                auto child = BuildSnapshot(*frame.load);
                if (inherited)
                    child->origin = DocumentOrigin::Inherited;
                snapshotFrame.document = std::move(child);
            } else if (frame.load)
                snapshotFrame.document = MakeBlankDocument(frame.load->requestedUrl, DocumentOrigin::Failed);
            snapshot->frames.push_back(std::move(snapshotFrame));
        }
        return snapshot;
    }

    void StaticEngine::Finish()
    {
        // The load is over before the completions are raised, so that a handler may navigate again
        // or pump events without seeing it.
        std::unique_ptr<Load> load = std::move(m_load);
        if (Requests().keepCookies)
            KeepCookies(ReadCookies(load->share.get()));
        if (!load->top->loaded) {
            SetLastFailure(
                load->top->failure == NavigationFailure::None ? NavigationFailure::Other : load->top->failure,
                load->top->failureDetail);
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
        // An interrupt leaves the load where it is, so the caller sees the interrupt, not a page.
        if (Interrupted())
            return;
        if (m_arrived)
            Complete(std::move(m_arrived), m_arrivedResult);
        Drive();
        if (m_load && !m_transfers.empty() && wait.count() > 0 && !Interrupted()) {
            auto next = m_load->expired ? m_load->lastDeadline : m_load->deadline;
            auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now());
            auto timeout = std::max(std::chrono::milliseconds(0), std::min(wait, remaining));
            if (timeout.count() > 0)
                curl_multi_poll(m_multi.get(), nullptr, 0, int(timeout.count()), nullptr);
            Drive();
        }
        if (Interrupted())
            return;
        if (m_load && !m_load->expired && Clock::now() >= m_load->deadline)
            ExpireLoad();
        if (m_load && Clock::now() >= m_load->lastDeadline)
            EndLoad();
        if (m_load && m_transfers.empty() && m_queued.empty())
            Finish();
    }

} // namespace

std::unique_ptr<PageEngine> CreateStaticEngine(const StaticEngineOptions& options)
{
    return std::make_unique<StaticEngine>(options);
}

} // namespace pagestow::engine

#include "engine/webkit/WebKitEngine.h"

#include "engine/Contract.h"
#include "engine/EngineCache.h"
#include "engine/webkit/BodyDecoder.h"
#include "engine/webkit/FrameDump.h"
#include "engine/webkit/WebKitMessages.h"
#include "mapping/FileUtils.h"

#include <webkit2/webkit2.h>

#include <libsoup/soup.h>

#include <filesystem>
#include <map>
#include <set>

namespace pagestow::engine::webkit {
namespace {

    constexpr std::string_view kBlankPage = "about:blank";

    guint AddTimeout(std::chrono::milliseconds after, GSourceFunc function, gpointer data)
    {
        return g_timeout_add(guint(std::max<std::int64_t>(0, after.count())), function, data);
    }

    void RemoveSource(guint& source)
    {
        if (source)
            g_source_remove(source);
        source = 0;
    }

    guint StatusOf(WebKitURIResponse* response)
    {
        return response ? webkit_uri_response_get_status_code(response) : 0;
    }

    // A final answer whose body goes into the cache.
    bool IsWholeBody(WebKitURIResponse* response)
    {
        return IsStorableStatus(int(StatusOf(response)));
    }

    // Frame documents are saved from their DOM, and WebKit never hands out their bytes.
    bool IsDocument(WebKitURIResponse* response)
    {
        const char* type = response ? webkit_uri_response_get_mime_type(response) : nullptr;
        return type
            && (g_ascii_strcasecmp(type, "text/html") == 0
                || g_ascii_strcasecmp(type, "application/xhtml+xml") == 0);
    }

    const char* HeaderOf(WebKitURIResponse* response, const char* name)
    {
        SoupMessageHeaders* headers = response ? webkit_uri_response_get_http_headers(response) : nullptr;
        return headers ? soup_message_headers_get_one(headers, name) : nullptr;
    }

    // Whether the body handed out is shorter or longer than the length the server announced. Only a
    // body without a content coding can be measured: WebKit hands out the decoded bytes.
    bool ContradictsItsLength(WebKitURIResponse* response, std::uint64_t length)
    {
        guint64 announced = response ? webkit_uri_response_get_content_length(response) : 0;
        const char* coding = HeaderOf(response, "Content-Encoding");
        bool decoded = coding && *coding && g_ascii_strcasecmp(coding, "identity") != 0;
        return announced > 0 && !decoded && announced != length;
    }

    // Whether a gzip body was handed out undecoded: WebKit's network layer passes a stream through as
    // it came when its first bytes do not decode, so a damaged stream would be kept as the resource.
    bool IsUndecodedGzip(const char* coding, const guchar* bytes, std::uint64_t length)
    {
        bool gzip = coding
            && (g_ascii_strcasecmp(coding, "gzip") == 0 || g_ascii_strcasecmp(coding, "x-gzip") == 0);
        return gzip && length >= 2 && bytes[0] == 0x1f && bytes[1] == 0x8b;
    }

    // Content-Disposition: attachment, whatever the letter case and blanks.
    bool IsAttachment(WebKitURIResponse* response)
    {
        const char* disposition = HeaderOf(response, "Content-Disposition");
        if (!disposition)
            return false;
        while (g_ascii_isspace(*disposition))
            ++disposition;
        return g_ascii_strncasecmp(disposition, "attachment", 10) == 0
            && (disposition[10] == '\0' || disposition[10] == ';' || g_ascii_isspace(disposition[10]));
    }

    // Why a navigation got no response, from the error WebKit reports.
    NavigationFailure FailureOf(const GError* error)
    {
        if (!error)
            return NavigationFailure::Other;
        if (error->domain == G_RESOLVER_ERROR)
            return NavigationFailure::HostNotFound;
        if (error->domain == G_TLS_ERROR)
            return NavigationFailure::TlsFailure;
        if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CONNECTION_REFUSED))
            return NavigationFailure::ConnectionRefused;
        if (g_error_matches(error, G_IO_ERROR, G_IO_ERROR_TIMED_OUT))
            return NavigationFailure::TimedOut;
        if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_UNKNOWN_PROTOCOL)
            || g_error_matches(error, WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_CANNOT_SHOW_URI))
            return NavigationFailure::UnsupportedScheme;
        if (g_error_matches(error, WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_CANNOT_USE_RESTRICTED_PORT))
            return NavigationFailure::BlockedPort;
        // WebKit passes some network errors on with its own domain; their messages still tell.
        std::string_view message = error->message ? error->message : "";
        if (message.find("resolve") != std::string_view::npos)
            return NavigationFailure::HostNotFound;
        if (message.find("refused") != std::string_view::npos)
            return NavigationFailure::ConnectionRefused;
        if (message.find("TLS") != std::string_view::npos
            || message.find("certificate") != std::string_view::npos)
            return NavigationFailure::TlsFailure;
        return NavigationFailure::Other;
    }

    // A request's headers, copied while the request is still there.
    using HeaderList = std::vector<std::pair<std::string, std::string>>;
    HeaderList HeadersOf(WebKitURIRequest* request)
    {
        HeaderList list;
        SoupMessageHeaders* headers = webkit_uri_request_get_http_headers(request);
        if (!headers)
            return list;
        SoupMessageHeadersIter iter;
        soup_message_headers_iter_init(&iter, headers);
        const char* name = nullptr;
        const char* value = nullptr;
        while (soup_message_headers_iter_next(&iter, &name, &value))
            list.emplace_back(name, value);
        return list;
    }

    // A document whose answer has come but none of whose body WebKit has parsed: the page as a parser
    // sees it at the end of an empty input.
    std::shared_ptr<SnapshotDocument> BegunDocument(std::string address)
    {
        auto page = std::make_shared<SnapshotDocument>();
        page->url = std::move(address);
        page->characterSet = "UTF-8";
        page->serialization = "<html><head></head><body></body></html>";
        page->elements = { { "HTML", {}, -1 }, { "HEAD", {}, 0 }, { "BODY", {}, 0 } };
        page->body = 2;
        return page;
    }

} // namespace

// One page load runs through these states; each new load (ours or the page's own) starts at Loading.
enum class LoadState { Idle, Loading, Quiet, Dumping, Done };

struct WebKitEngine::Impl {
    explicit Impl(WebKitEngine& owner, ViewHost host);
    ~Impl();

    void BeginLoad(std::string address, bool pageStarted);
    void CheckComplete();
    void Poke();
    void OnTimeout();
    void TakeSnapshot();
    void OnDumpReply(std::vector<FrameDump> dumps);
    void Deliver(std::shared_ptr<SnapshotDocument> top);
    void DeliverErrorPage();
    std::string CurrentUri() const;
    bool EndedWithoutResponse() const;
    // The main resource's answer when one has arrived (status and address), for a load cut short.
    WebKitURIResponse* MainResponse() const;
    WebKitURIResponse* m_mainResponse = nullptr;

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
        ~Refetch();
    };
    void StartRefetch(WebKitWebResource* resource, ResourceWatch* watch);
    static void OnRefetchCookies(GObject* source, GAsyncResult* result, gpointer data);
    static void OnRefetchSent(GObject* source, GAsyncResult* result, gpointer data);
    static void OnRefetchRead(GObject* source, GAsyncResult* result, gpointer data);
    static void ReadMore(Refetch* refetch);
    static void EndRefetch(Refetch* refetch, bool stored);
    static std::vector<std::string> AddressesOf(WebKitWebResource* resource, const ResourceWatch& watch);

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
    // Counts loads, so that a late reply for an earlier load is dropped.
    std::uint64_t m_loadSerial = 0;
    // The address of the current load, for the error page.
    std::string m_address;
    // The load was started by the page or the user in the view, not by Navigate.
    bool m_pageStarted = false;
    bool m_committed = false;
    // A document of this load was shown at some point (a later navigation of the page may fail).
    bool m_everCommitted = false;
    bool m_finished = false;
    bool m_failed = false;
    // The load time-out struck after the document had begun.
    bool m_timedOut = false;
    // The response was not shown because it is a download: the load ends without a new page.
    bool m_ignoredResponse = false;
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
};

WebKitEngine::Impl::Refetch::~Refetch()
{
    g_clear_object(&stream);
    g_clear_object(&message);
    g_clear_object(&cancellable);
}

WebKitEngine::Impl::Impl(WebKitEngine& owner, ViewHost host)
    : m_owner(owner)
    , m_self(std::make_shared<Impl*>(this))
    , m_dialogsShown(host == ViewHost::Embedded)
{
    if (!gtk_init_check(nullptr, nullptr))
        throw EngineError("The WebKit engine needs a display, and none could be opened");

    // An ephemeral context keeps nothing on disk between runs. The memory cache is on, so that a
    // resource the page uses twice (a preload and its use) is requested once; it is emptied when a
    // load starts, so that every resource of a page is loaded and reported.
    m_context = webkit_web_context_new_ephemeral();
    webkit_web_context_set_cache_model(m_context, WEBKIT_CACHE_MODEL_WEB_BROWSER);
    g_signal_connect(m_context, "initialize-web-extensions", G_CALLBACK(OnInitializeExtensions), this);
    g_signal_connect(m_context, "download-started", G_CALLBACK(OnDownloadStarted), this);

    WebKitWebsitePolicies* policies
        = webkit_website_policies_new_with_policies("autoplay", WEBKIT_AUTOPLAY_ALLOW, nullptr);
    m_view = WEBKIT_WEB_VIEW(
        g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", m_context, "website-policies", policies, nullptr));
    g_object_unref(policies);
    g_object_ref_sink(m_view);

    // Images, videos and background sounds load and play as in a browser.
    WebKitSettings* settings = webkit_web_view_get_settings(m_view);
    webkit_settings_set_auto_load_images(settings, TRUE);
    webkit_settings_set_enable_media(settings, TRUE);
    webkit_settings_set_media_playback_requires_user_gesture(settings, FALSE);
    webkit_settings_set_enable_javascript(settings, TRUE);
    webkit_settings_set_enable_page_cache(settings, FALSE);
    webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);

    g_signal_connect(m_view, "decide-policy", G_CALLBACK(OnDecidePolicy), this);
    g_signal_connect(m_view, "script-dialog", G_CALLBACK(OnScriptDialog), this);
    g_signal_connect(m_view, "load-changed", G_CALLBACK(OnLoadChanged), this);
    g_signal_connect(m_view, "load-failed", G_CALLBACK(OnLoadFailed), this);
    g_signal_connect(m_view, "load-failed-with-tls-errors", G_CALLBACK(OnLoadFailedWithTlsErrors), this);
    g_signal_connect(m_view, "resource-load-started", G_CALLBACK(OnResourceLoadStarted), this);
    g_signal_connect(m_view, "user-message-received", G_CALLBACK(OnUserMessage), this);
    g_signal_connect(m_view, "web-process-terminated", G_CALLBACK(OnWebProcessTerminated), this);

    m_session = soup_session_new();
    m_cancellable = g_cancellable_new();

    if (host == ViewHost::Offscreen) {
        m_offscreen = gtk_offscreen_window_new();
        gtk_window_set_default_size(GTK_WINDOW(m_offscreen), kViewportWidth, kViewportHeight);
        gtk_container_add(GTK_CONTAINER(m_offscreen), GTK_WIDGET(m_view));
        gtk_widget_show_all(m_offscreen);
    }
}

WebKitEngine::Impl::~Impl()
{
    m_self.reset();
    // Second fetches still running end with a cancellation, and find no engine.
    g_cancellable_cancel(m_cancellable);
    g_object_unref(m_cancellable);
    RemoveSource(m_timeoutSource);
    RemoveSource(m_quietSource);
    RemoveSource(m_deliverSource);
    g_signal_handlers_disconnect_by_data(m_view, this);
    g_signal_handlers_disconnect_by_data(m_context, this);
    webkit_web_view_stop_loading(m_view);
    if (m_offscreen)
        gtk_widget_destroy(m_offscreen);
    g_object_unref(m_view);
    g_object_unref(m_context);
    g_object_unref(m_session);
    g_clear_object(&m_mainResponse);
}

void WebKitEngine::Impl::OnInitializeExtensions(WebKitWebContext* context, gpointer data)
{
    auto* self = static_cast<Impl*>(data);
    webkit_web_context_set_web_extensions_directory(context, ExtensionFolder().c_str());
    GVariantBuilder blocked;
    g_variant_builder_init(&blocked, G_VARIANT_TYPE_STRING_ARRAY);
    for (const std::string& address : self->m_blocked)
        g_variant_builder_add(&blocked, "s", address.c_str());
    webkit_web_context_set_web_extensions_initialization_user_data(context, g_variant_builder_end(&blocked));
}

void WebKitEngine::Impl::OnDownloadStarted(WebKitWebContext*, WebKitDownload* download, gpointer)
{
    // The engine never downloads on its own: nothing may be written outside the capture.
    webkit_download_cancel(download);
}

gboolean WebKitEngine::Impl::OnDecidePolicy(
    WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer data)
{
    if (type == WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION) {
        // A server's redirect to a local file is not followed (WebKit ends the page's web process
        // over it): the frame that asked for it stays blank, the page loads on.
        WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(
            WEBKIT_NAVIGATION_POLICY_DECISION(decision));
        WebKitURIRequest* request = webkit_navigation_action_get_request(action);
        const char* uri = request ? webkit_uri_request_get_uri(request) : nullptr;
        if (webkit_navigation_action_is_redirect(action) && uri
            && g_ascii_strncasecmp(uri, "file:", 5) == 0) {
            webkit_policy_decision_ignore(decision);
            return TRUE;
        }
        return FALSE;
    }
    if (type != WEBKIT_POLICY_DECISION_TYPE_RESPONSE)
        return FALSE;
    auto* self = static_cast<Impl*>(data);
    auto* responseDecision = WEBKIT_RESPONSE_POLICY_DECISION(decision);
    WebKitURIResponse* response = webkit_response_policy_decision_get_response(responseDecision);
    if (webkit_response_policy_decision_is_main_frame_main_resource(responseDecision)) {
        // The page's answer, kept for a load whose body has not begun at the time-out.
        g_clear_object(&self->m_mainResponse);
        self->m_mainResponse = WEBKIT_URI_RESPONSE(g_object_ref(response));
    }
    // A response WebKit would download (an attachment, a type it cannot show) is not taken, in the
    // main frame and in every frame.
    if (!IsAttachment(response) && webkit_response_policy_decision_is_mime_type_supported(responseDecision))
        return FALSE;
    if (webkit_response_policy_decision_is_main_frame_main_resource(responseDecision)) {
        self->m_ignoredResponse = true;
        g_clear_object(&self->m_mainResponse);
    } else {
        // The frame keeps an empty document at that address, which is no page of the server's.
        self->m_unanswered.insert(webkit_uri_response_get_uri(response));
    }
    webkit_policy_decision_ignore(decision);
    return TRUE;
}

gboolean WebKitEngine::Impl::OnScriptDialog(WebKitWebView*, WebKitScriptDialog* dialog, gpointer data)
{
    auto* self = static_cast<Impl*>(data);
    if (self->m_dialogsShown)
        return FALSE;
    // Answered as a headless browser answers: the alert is dismissed, confirm is false, prompt is
    // empty, and the page may be left.
    switch (webkit_script_dialog_get_dialog_type(dialog)) {
    case WEBKIT_SCRIPT_DIALOG_CONFIRM:
        webkit_script_dialog_confirm_set_confirmed(dialog, FALSE);
        break;
    case WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM:
        webkit_script_dialog_confirm_set_confirmed(dialog, TRUE);
        break;
    case WEBKIT_SCRIPT_DIALOG_PROMPT:
        webkit_script_dialog_prompt_set_text(dialog, "");
        break;
    default:
        break;
    }
    return TRUE;
}

std::string WebKitEngine::Impl::CurrentUri() const
{
    const char* uri = webkit_web_view_get_uri(m_view);
    return uri ? uri : "";
}

WebKitURIResponse* WebKitEngine::Impl::MainResponse() const
{
    return StatusOf(m_mainResponse) != 0 ? m_mainResponse : nullptr;
}

void WebKitEngine::Impl::BeginLoad(std::string address, bool pageStarted)
{
    ++m_loadSerial;
    m_state = LoadState::Loading;
    m_address = std::move(address);
    m_pageStarted = pageStarted;
    m_committed = false;
    m_everCommitted = false;
    m_finished = false;
    m_failed = false;
    m_timedOut = false;
    m_ignoredResponse = false;
    g_clear_object(&m_mainResponse);
    m_failure = NavigationFailure::None;
    m_failureDetail.clear();
    m_cancelledUnanswered.clear();
    m_unanswered.clear();
    m_retried = false;
    m_owner.SetLastFailure(NavigationFailure::None);
    m_frames.clear();
    m_progress = {};
    m_toDeliver.reset();
    // Every resource of the new page is loaded and reported, none taken from an earlier page.
    webkit_web_context_clear_cache(m_context);
    RemoveSource(m_quietSource);
    RemoveSource(m_deliverSource);
    RemoveSource(m_timeoutSource);
    if (m_timeout.count() > 0) {
        m_timeoutSource = AddTimeout(
            m_timeout,
            [](gpointer data) -> gboolean {
                auto* self = static_cast<Impl*>(data);
                self->m_timeoutSource = 0;
                self->OnTimeout();
                return G_SOURCE_REMOVE;
            },
            this);
    }
}

void WebKitEngine::Impl::OnTimeout()
{
    if (m_state != LoadState::Loading && m_state != LoadState::Quiet)
        return;
    // What has arrived by now is the page. A document that has begun is read as it stands; an
    // answer whose body has not begun is an empty document at its address; only a load that got no
    // answer at all shows the error page.
    if (m_committed && !EndedWithoutResponse()) {
        m_timedOut = true;
        TakeSnapshot();
        return;
    }
    WebKitURIResponse* response = m_failed ? nullptr : MainResponse();
    if (response) {
        webkit_web_view_stop_loading(m_view);
        Deliver(BegunDocument(webkit_uri_response_get_uri(response)));
        return;
    }
    if (m_failure == NavigationFailure::None)
        m_failure = NavigationFailure::TimedOut;
    DeliverErrorPage();
    webkit_web_view_stop_loading(m_view);
}

void WebKitEngine::Impl::Poke()
{
    if (m_state == LoadState::Quiet) {
        RemoveSource(m_quietSource);
        m_state = LoadState::Loading;
    }
    CheckComplete();
}

bool WebKitEngine::Impl::EndedWithoutResponse() const
{
    // A blocked port ends the load quietly on the blank page instead of failing it.
    return m_failed || (CurrentUri() == kBlankPage && m_address != kBlankPage);
}

void WebKitEngine::Impl::CheckComplete()
{
    if (m_state != LoadState::Loading || !m_finished)
        return;
    if (!EndedWithoutResponse()) {
        if (m_pendingResources > 0)
            return;
        for (const auto& [id, loaded] : m_frames) {
            if (!loaded)
                return;
        }
    }
    // Every outcome waits for a short quiet period: a load that Navigate replaced can still report
    // its end, and the new load's start then follows at once.
    m_state = LoadState::Quiet;
    m_quietSource = AddTimeout(
        m_quiet,
        [](gpointer data) -> gboolean {
            auto* self = static_cast<Impl*>(data);
            self->m_quietSource = 0;
            if (self->m_state != LoadState::Quiet)
                return G_SOURCE_REMOVE;
            if (self->m_ignoredResponse && self->m_pageStarted) {
                // A link or script of the page led to a download, which is not taken: the page
                // shown stays, and nothing new completes.
                self->m_state = LoadState::Done;
                RemoveSource(self->m_timeoutSource);
            } else if (self->EndedWithoutResponse()) {
                self->DeliverErrorPage();
            } else {
                self->TakeSnapshot();
            }
            return G_SOURCE_REMOVE;
        },
        this);
}

void WebKitEngine::Impl::TakeSnapshot()
{
    m_state = LoadState::Dumping;
    RemoveSource(m_quietSource);
    struct Request {
        std::weak_ptr<Impl*> engine;
        std::uint64_t loadSerial;
    };
    auto* request = new Request { m_self, m_loadSerial };
    webkit_web_view_send_message_to_page(
        m_view, webkit_user_message_new(kDumpMessage, nullptr), nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Request> pending(static_cast<Request*>(data));
            GError* error = nullptr;
            WebKitUserMessage* reply
                = webkit_web_view_send_message_to_page_finish(WEBKIT_WEB_VIEW(source), result, &error);
            std::vector<FrameDump> dumps;
            if (reply) {
                GVariant* parameters = webkit_user_message_get_parameters(reply);
                if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE("as"))) {
                    GVariantIter iter;
                    g_variant_iter_init(&iter, parameters);
                    const char* text = nullptr;
                    while (g_variant_iter_next(&iter, "&s", &text)) {
                        if (auto dump = ParseFrameDump(text))
                            dumps.push_back(std::move(*dump));
                    }
                }
                g_object_unref(reply);
            }
            g_clear_error(&error);
            Impl* self = Alive(pending->engine);
            if (self && self->m_loadSerial == pending->loadSerial && self->m_state == LoadState::Dumping)
                self->OnDumpReply(std::move(dumps));
        },
        request);
}

void WebKitEngine::Impl::OnDumpReply(std::vector<FrameDump> dumps)
{
    std::set<std::string> failed = m_unanswered;
    failed.insert(m_blocked.begin(), m_blocked.end());
    std::shared_ptr<SnapshotDocument> top = AssembleSnapshot(dumps, failed);
    if (m_timedOut && (!top || top->elements.empty())) {
        // A document cut by the time-out before WebKit parsed any of it (its decoder holds up to a
        // kilobyte while it looks for the character set).
        top = BegunDocument(top ? top->url : CurrentUri());
    } else if (!top) {
        // A document the extension never saw (the blank page before any script touched it) is an
        // empty document at the view's address.
        top = std::make_shared<SnapshotDocument>();
        top->url = CurrentUri();
        top->characterSet = "UTF-8";
    }
    Deliver(std::move(top));
}

void WebKitEngine::Impl::DeliverErrorPage()
{
    m_owner.SetLastFailure(
        m_failure == NavigationFailure::None ? NavigationFailure::Other : m_failure, m_failureDetail);
    Deliver(MakeErrorPage(m_address));
}

void WebKitEngine::Impl::Deliver(std::shared_ptr<SnapshotDocument> top)
{
    // The completions are raised from a main-loop source of their own, never from inside a WebKit
    // signal, because the capture they start pumps the main loop.
    m_state = LoadState::Done;
    RemoveSource(m_timeoutSource);
    RemoveSource(m_quietSource);
    m_toDeliver = std::move(top);
    RemoveSource(m_deliverSource);
    m_deliverSource = g_idle_add(
        [](gpointer data) -> gboolean {
            auto* self = static_cast<Impl*>(data);
            self->m_deliverSource = 0;
            std::shared_ptr<SnapshotDocument> page = std::move(self->m_toDeliver);
            if (page)
                self->m_owner.CompleteWithSnapshot(std::move(page));
            return G_SOURCE_REMOVE;
        },
        this);
}

void WebKitEngine::Impl::OnLoadChanged(WebKitWebView*, WebKitLoadEvent event, gpointer data)
{
    auto* self = static_cast<Impl*>(data);
    switch (event) {
    case WEBKIT_LOAD_STARTED:
        if (self->m_state == LoadState::Loading || self->m_state == LoadState::Quiet) {
            // The load of the current navigation (re)starts: what an earlier load reported no
            // longer counts.
            RemoveSource(self->m_quietSource);
            self->m_state = LoadState::Loading;
            self->m_committed = false;
            self->m_finished = false;
            self->m_failed = false;
            self->m_ignoredResponse = false;
            g_clear_object(&self->m_mainResponse);
            self->m_failure = NavigationFailure::None;
        } else {
            // A load the page or the user started by itself (a link, a script, a refresh) is a
            // load like any other.
            self->BeginLoad(self->CurrentUri(), true);
        }
        break;
    case WEBKIT_LOAD_COMMITTED:
        // Only the frames of the new document count from here on.
        self->m_committed = true;
        self->m_everCommitted = true;
        self->m_frames.clear();
        break;
    case WEBKIT_LOAD_FINISHED:
        self->m_finished = true;
        if (!self->m_failed && self->CurrentUri() == kBlankPage && self->m_address != kBlankPage)
            self->m_failure = NavigationFailure::BlockedPort;
        self->Poke();
        break;
    default:
        break;
    }
}

gboolean WebKitEngine::Impl::OnLoadFailed(
    WebKitWebView*, WebKitLoadEvent, gchar*, GError* error, gpointer data)
{
    auto* self = static_cast<Impl*>(data);
    // A load replaced by the next one is no failure of the page.
    if (g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED))
        return FALSE;
    if (self->m_ignoredResponse && self->m_everCommitted) {
        // The page's script or refresh led to a download while the page was loading: the page
        // stays, and goes on to complete as itself.
        self->m_committed = true;
        return TRUE;
    }
    self->m_failed = true;
    if (self->m_failure != NavigationFailure::TlsFailure) {
        self->m_failure = self->m_ignoredResponse ? NavigationFailure::Other : FailureOf(error);
        self->m_failureDetail = self->m_ignoredResponse ? "the address answers with a download"
            : error && error->message                   ? error->message
                                                        : "";
    }
    // TRUE keeps WebKit's own error page away; the engine's built-in one is raised at FINISHED.
    return TRUE;
}

gboolean WebKitEngine::Impl::OnLoadFailedWithTlsErrors(
    WebKitWebView*, gchar*, GTlsCertificate*, GTlsCertificateFlags, gpointer data)
{
    auto* self = static_cast<Impl*>(data);
    self->m_failure = NavigationFailure::TlsFailure;
    self->m_failureDetail = "the server's certificate is not trusted";
    return FALSE;
}

void WebKitEngine::Impl::OnResourceLoadStarted(
    WebKitWebView*, WebKitWebResource* resource, WebKitURIRequest* request, gpointer data)
{
    auto* self = static_cast<Impl*>(data);
    ++self->m_pendingResources;
    ++self->m_progress.requested;
    auto* watch = new ResourceWatch { self->m_self, self->m_loadSerial, webkit_uri_request_get_uri(request) };
    const char* method = webkit_uri_request_get_http_method(request);
    watch->get = !method || g_ascii_strcasecmp(method, "GET") == 0;
    watch->headers = HeadersOf(request);
    g_signal_connect(resource, "finished", G_CALLBACK(OnResourceFinished), watch);
    g_signal_connect(resource, "failed", G_CALLBACK(OnResourceFailed), watch);
    // The watch lives as long as the resource.
    g_object_weak_ref(G_OBJECT(resource), OnResourceGone, watch);
}

void WebKitEngine::Impl::Settle(
    const std::weak_ptr<Impl*>& weak, std::uint64_t loadSerial, bool counted, std::uint64_t bytes)
{
    Impl* engine = Alive(weak);
    if (!engine)
        return;
    --engine->m_pendingResources;
    if (counted && loadSerial == engine->m_loadSerial) {
        ++engine->m_progress.loaded;
        engine->m_progress.bytes += bytes;
    }
    engine->Poke();
}

void WebKitEngine::Impl::OnResourceFinished(WebKitWebResource* resource, gpointer data)
{
    auto* watch = static_cast<ResourceWatch*>(data);
    if (watch->done)
        return;
    watch->done = true;
    // Only a complete body under a storable final answer goes into the cache.
    if (!IsWholeBody(webkit_web_resource_get_response(resource))) {
        Settle(watch->engine, watch->loadSerial, true, 0);
        return;
    }
    // The reference keeps the resource, and so the watch, until the body has arrived.
    g_object_ref(resource);
    webkit_web_resource_get_data(resource, nullptr, OnResourceData, watch);
}

void WebKitEngine::Impl::OnResourceData(GObject* source, GAsyncResult* result, gpointer data)
{
    auto* watch = static_cast<ResourceWatch*>(data);
    auto* resource = WEBKIT_WEB_RESOURCE(source);
    WebKitURIResponse* response = webkit_web_resource_get_response(resource);
    gsize length = 0;
    GError* error = nullptr;
    guchar* bytes = webkit_web_resource_get_data_finish(resource, result, &length, &error);
    // WebKit hands out a single NUL byte for a body it did not keep (a frame's document, an error
    // body, a redirected resource); that is not the resource's content.
    bool kept = bytes && !(length == 1 && bytes[0] == 0);
    // A body cut short (the connection closed before the announced length) is no resource.
    bool complete = kept && !ContradictsItsLength(response, length)
        && !IsUndecodedGzip(HeaderOf(response, "Content-Encoding"), bytes, length);
    Impl* engine = Alive(watch->engine);
    if (complete && engine) {
        EngineCache::ForThisRun().Store(
            AddressesOf(resource, *watch), std::string_view(reinterpret_cast<const char*>(bytes), length));
    }
    g_free(bytes);
    g_clear_error(&error);
    if (!kept && engine && watch->get && !IsDocument(response)) {
        // The body arrived, but the web process does not hand it out.
        engine->StartRefetch(resource, watch);
    } else {
        Settle(watch->engine, watch->loadSerial, true, complete ? length : 0);
    }
    g_object_unref(resource);
}

std::vector<std::string> WebKitEngine::Impl::AddressesOf(
    WebKitWebResource* resource, const ResourceWatch& watch)
{
    std::vector<std::string> addresses { watch.requested };
    const char* final = webkit_web_resource_get_uri(resource);
    if (final && watch.requested != final)
        addresses.push_back(final);
    return addresses;
}

void WebKitEngine::Impl::StartRefetch(WebKitWebResource* resource, ResourceWatch* watch)
{
    // The watch has settled its part: from here the refetch keeps the page from completing. It asks
    // for the final address (the requested one may redirect only once) with the page's own headers
    // and the cookies the view holds for that address.
    auto* refetch = new Refetch;
    refetch->engine = watch->engine;
    refetch->loadSerial = watch->loadSerial;
    refetch->addresses = AddressesOf(resource, *watch);
    refetch->headers = watch->headers;
    refetch->cancellable = G_CANCELLABLE(g_object_ref(m_cancellable));
    WebKitCookieManager* cookies = webkit_website_data_manager_get_cookie_manager(
        webkit_web_context_get_website_data_manager(m_context));
    webkit_cookie_manager_get_cookies(
        cookies, refetch->addresses.back().c_str(), refetch->cancellable, OnRefetchCookies, refetch);
}

void WebKitEngine::Impl::OnRefetchCookies(GObject* source, GAsyncResult* result, gpointer data)
{
    auto* refetch = static_cast<Refetch*>(data);
    GList* cookies = webkit_cookie_manager_get_cookies_finish(WEBKIT_COOKIE_MANAGER(source), result, nullptr);
    Impl* engine = Alive(refetch->engine);
    SoupMessage* message = engine ? soup_message_new("GET", refetch->addresses.back().c_str()) : nullptr;
    if (!message) {
        g_list_free_full(cookies, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
        EndRefetch(refetch, false);
        return;
    }
    refetch->message = message;
    // The network layer's decoder lets a stream cut short pass as whole: the body is decoded here.
    soup_message_disable_feature(message, SOUP_TYPE_CONTENT_DECODER);
    SoupMessageHeaders* headers = soup_message_get_request_headers(message);
    for (const auto& [name, value] : refetch->headers) {
        if (g_ascii_strcasecmp(name.c_str(), "Cookie") != 0)
            soup_message_headers_replace(headers, name.c_str(), value.c_str());
    }
    soup_message_headers_replace(headers, "Accept-Encoding", "gzip, deflate");
    if (!soup_message_headers_get_one(headers, "User-Agent")) {
        soup_message_headers_replace(headers, "User-Agent",
            webkit_settings_get_user_agent(webkit_web_view_get_settings(engine->m_view)));
    }
    if (cookies) {
        GSList* list = nullptr;
        for (GList* item = cookies; item; item = item->next)
            list = g_slist_prepend(list, item->data);
        list = g_slist_reverse(list);
        char* header = soup_cookies_to_cookie_header(list);
        soup_message_headers_replace(headers, "Cookie", header);
        g_free(header);
        g_slist_free(list);
    }
    g_list_free_full(cookies, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
    soup_session_send_async(
        engine->m_session, message, G_PRIORITY_DEFAULT, refetch->cancellable, OnRefetchSent, refetch);
}

void WebKitEngine::Impl::OnRefetchSent(GObject* source, GAsyncResult* result, gpointer data)
{
    auto* refetch = static_cast<Refetch*>(data);
    refetch->stream = soup_session_send_finish(SOUP_SESSION(source), result, nullptr);
    Impl* engine = Alive(refetch->engine);
    if (!engine || !refetch->stream || !IsStorableStatus(int(soup_message_get_status(refetch->message)))) {
        EndRefetch(refetch, false);
        return;
    }
    SoupMessageHeaders* headers = soup_message_get_response_headers(refetch->message);
    const char* coding = soup_message_headers_get_one(headers, "Content-Encoding");
    refetch->decoder = std::make_unique<BodyDecoder>(coding ? coding : "");
    if (soup_message_headers_get_encoding(headers) == SOUP_ENCODING_CONTENT_LENGTH)
        refetch->announced = soup_message_headers_get_content_length(headers);
    if (!refetch->decoder->Known()) {
        EndRefetch(refetch, false);
        return;
    }
    refetch->entry = EngineCache::ForThisRun().BeginEntry();
    ReadMore(refetch);
}

void WebKitEngine::Impl::ReadMore(Refetch* refetch)
{
    g_input_stream_read_bytes_async(
        refetch->stream, 64 * 1024, G_PRIORITY_DEFAULT, refetch->cancellable, OnRefetchRead, refetch);
}

void WebKitEngine::Impl::OnRefetchRead(GObject* source, GAsyncResult* result, gpointer data)
{
    auto* refetch = static_cast<Refetch*>(data);
    GError* error = nullptr;
    GBytes* bytes = g_input_stream_read_bytes_finish(G_INPUT_STREAM(source), result, &error);
    if (!bytes) {
        // A body cut short, or an engine going away.
        g_clear_error(&error);
        EndRefetch(refetch, false);
        return;
    }
    gsize size = 0;
    const char* chunk = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    refetch->received += size;
    std::string decoded;
    bool sound = size == 0 ? refetch->decoder->Finish(decoded)
                           : refetch->decoder->Feed(std::string_view(chunk, size), decoded);
    g_bytes_unref(bytes);
    bool written = sound && (decoded.empty() || refetch->entry->Write(decoded));
    if (!written || refetch->entry->Size() > kPageMemoryBudget) {
        EndRefetch(refetch, false);
    } else if (size == 0 && refetch->announced >= 0
        && refetch->received != std::uint64_t(refetch->announced)) {
        // The connection closed before the announced length (the network layer does not say so).
        EndRefetch(refetch, false);
    } else if (size == 0) {
        refetch->entry->Commit(refetch->addresses);
        EndRefetch(refetch, true);
    } else {
        ReadMore(refetch);
    }
}

void WebKitEngine::Impl::EndRefetch(Refetch* refetch, bool stored)
{
    std::unique_ptr<Refetch> owned(refetch);
    std::uint64_t bytes = stored ? refetch->entry->Size() : 0;
    Settle(refetch->engine, refetch->loadSerial, stored, bytes);
}

void WebKitEngine::Impl::OnResourceFailed(WebKitWebResource* resource, GError* error, gpointer data)
{
    auto* watch = static_cast<ResourceWatch*>(data);
    if (watch->done)
        return;
    watch->done = true;
    // WebKit cancels a picture its decoder rejects, after the server answered it, and drops its
    // bytes: the page did load it, so it is fetched again. A cancellation of an earlier load (a new
    // navigation, the load time-out) is not, nor a body the network cut short or could not decode.
    Impl* engine = Alive(watch->engine);
    if (engine && watch->loadSerial == engine->m_loadSerial
        && StatusOf(webkit_web_resource_get_response(resource)) == 0)
        engine->m_unanswered.insert(watch->requested);
    if (engine && watch->loadSerial == engine->m_loadSerial
        && (engine->m_state == LoadState::Loading || engine->m_state == LoadState::Quiet)
        && g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED)) {
        WebKitURIResponse* response = webkit_web_resource_get_response(resource);
        if (watch->get && IsWholeBody(response) && !IsDocument(response)) {
            engine->StartRefetch(resource, watch);
            return;
        }
        if (StatusOf(response) == 0)
            engine->m_cancelledUnanswered.push_back(watch->requested);
    }
    Settle(watch->engine, watch->loadSerial, false, 0);
}

void WebKitEngine::Impl::OnResourceGone(gpointer data, GObject*)
{
    auto* watch = static_cast<ResourceWatch*>(data);
    if (!watch->done)
        Settle(watch->engine, watch->loadSerial, false, 0);
    delete watch;
}

gboolean WebKitEngine::Impl::OnUserMessage(WebKitWebView*, WebKitUserMessage* message, gpointer data)
{
    auto* self = static_cast<Impl*>(data);
    if (g_strcmp0(webkit_user_message_get_name(message), kFrameEventMessage) != 0)
        return FALSE;
    GVariant* parameters = webkit_user_message_get_parameters(message);
    if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(st)")))
        return TRUE;
    const char* event = nullptr;
    guint64 frameId = 0;
    g_variant_get(parameters, "(&st)", &event, &frameId);
    if (g_strcmp0(event, kFrameStarted) == 0)
        self->m_frames[frameId] = false;
    else if (g_strcmp0(event, kFrameLoaded) == 0)
        self->m_frames[frameId] = true;
    else if (g_strcmp0(event, kFrameGone) == 0)
        self->m_frames.erase(frameId);
    self->Poke();
    return TRUE;
}

void WebKitEngine::Impl::OnWebProcessTerminated(
    WebKitWebView*, WebKitWebProcessTerminationReason, gpointer data)
{
    auto* self = static_cast<Impl*>(data);
    self->m_frames.clear();
    bool loading = self->m_state == LoadState::Loading || self->m_state == LoadState::Quiet;
    if (loading && !self->m_retried && !self->m_cancelledUnanswered.empty()) {
        // WebKit ends the web process over some loads it cancels before any answer (a frame the
        // server redirects to a local file). The page is loaded once more in a new web process that
        // does not request those addresses.
        self->m_blocked.insert(self->m_cancelledUnanswered.begin(), self->m_cancelledUnanswered.end());
        std::string address = self->m_address;
        bool pageStarted = self->m_pageStarted;
        self->BeginLoad(address, pageStarted);
        self->m_retried = true;
        webkit_web_view_load_uri(self->m_view, address.c_str());
        return;
    }
    if (loading || self->m_state == LoadState::Dumping) {
        self->m_failure = NavigationFailure::Other;
        self->m_failureDetail = "the page's web process ended";
        self->DeliverErrorPage();
    }
}

WebKitEngine::WebKitEngine(ViewHost host)
    : m_impl(std::make_unique<Impl>(*this, host))
{
}

WebKitEngine::~WebKitEngine() = default;

void WebKitEngine::Navigate(const std::string& address)
{
    std::string uri = WithDefaultScheme(address);
    m_impl->BeginLoad(uri, false);
    webkit_web_view_load_uri(m_impl->m_view, uri.c_str());
}

void WebKitEngine::ProcessEvents(std::chrono::milliseconds wait)
{
    GMainContext* context = g_main_context_default();
    bool dispatched = false;
    while (g_main_context_iteration(context, FALSE))
        dispatched = true;
    if (dispatched || wait.count() <= 0)
        return;
    // Nothing was pending: sleep until something happens or the wait is over.
    bool expired = false;
    guint wake = AddTimeout(
        wait,
        [](gpointer data) -> gboolean {
            *static_cast<bool*>(data) = true;
            return G_SOURCE_REMOVE;
        },
        &expired);
    g_main_context_iteration(context, TRUE);
    if (!expired)
        g_source_remove(wake);
    while (g_main_context_iteration(context, FALSE)) { }
}

void WebKitEngine::SetLoadTimeout(std::chrono::milliseconds timeout)
{
    m_impl->m_timeout = timeout;
}

void WebKitEngine::SetQuietPeriod(std::chrono::milliseconds quiet)
{
    m_impl->m_quiet = quiet;
}

void WebKitEngine::SetScriptDialogsShown(bool shown)
{
    m_impl->m_dialogsShown = shown;
}

bool WebKitEngine::ScriptDialogsShown() const
{
    return m_impl->m_dialogsShown;
}

LoadProgress WebKitEngine::Progress() const
{
    return m_impl->m_progress;
}

GtkWidget* WebKitEngine::View() const
{
    return GTK_WIDGET(m_impl->m_view);
}

std::unique_ptr<PageEngine> CreateWebKitEngine()
{
    return std::make_unique<WebKitEngine>(ViewHost::Offscreen);
}

bool WebKitEngineAvailable()
{
    return gtk_init_check(nullptr, nullptr);
}

std::string ExtensionFolder()
{
    std::string beside = mapping::GetExeDirectory();
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::path(beside) / kExtensionFileName, error))
        return beside;
#ifdef PAGESTOW_WEBKIT_EXTENSION_DIR
    return PAGESTOW_WEBKIT_EXTENSION_DIR;
#else
    return beside;
#endif
}

} // namespace pagestow::engine::webkit

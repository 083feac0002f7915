#include "engine/webkit/WebKitEngine.h"

#include "engine/EngineCache.h"
#include "engine/webkit/FrameDump.h"
#include "engine/webkit/WebKitMessages.h"
#include "mapping/FileUtils.h"

#include <webkit2/webkit2.h>

#include <glib/gstdio.h>

#include <map>

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

    // A final answer whose body is the whole resource: 2xx, but not a 206 part.
    bool IsWholeBody(WebKitURIResponse* response)
    {
        guint status = response ? webkit_uri_response_get_status_code(response) : 0;
        return status >= 200 && status <= 299 && status != 206;
    }

    // Frame documents are saved from their DOM, and WebKit never hands out their bytes.
    bool IsDocument(WebKitURIResponse* response)
    {
        const char* type = response ? webkit_uri_response_get_mime_type(response) : nullptr;
        return type
            && (g_ascii_strcasecmp(type, "text/html") == 0
                || g_ascii_strcasecmp(type, "application/xhtml+xml") == 0);
    }

} // namespace

// One page load runs through these states; each new load (ours or the page's own) starts at Loading.
enum class LoadState { Idle, Loading, Quiet, Dumping, Done };

struct WebKitEngine::Impl {
    explicit Impl(WebKitEngine& owner, ViewHost host);
    ~Impl();

    void BeginLoad(std::string address);
    void CheckComplete();
    void Poke();
    void TakeSnapshot();
    void OnDumpReply(std::vector<FrameDump> dumps);
    void Deliver(std::shared_ptr<SnapshotDocument> top);
    void DeliverErrorPage();
    std::string CurrentUri() const;
    bool EndedWithoutResponse() const;

    // Signal handlers.
    static void OnInitializeExtensions(WebKitWebContext* context, gpointer data);
    static void OnLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer data);
    static gboolean OnLoadFailed(
        WebKitWebView* view, WebKitLoadEvent event, gchar* uri, GError* error, gpointer data);
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

    // A body WebKit loaded but no longer hands out (a picture its decoder rejected, a body the web
    // process does not find again) is fetched once more in the view's own session, as a download.
    struct Refetch {
        std::weak_ptr<Impl*> engine;
        std::uint64_t loadSerial = 0;
        std::vector<std::string> addresses;
        std::string file;
    };
    void StartRefetch(WebKitWebResource* resource, ResourceWatch* watch);
    static gboolean OnRefetchDestination(WebKitDownload* download, gchar* suggested, gpointer data);
    static void OnRefetchFinished(WebKitDownload* download, gpointer data);
    static void OnRefetchFailed(WebKitDownload* download, GError* error, gpointer data);
    void EndRefetch(WebKitDownload* download, bool stored, std::uint64_t bytes);
    static std::vector<std::string> AddressesOf(WebKitWebResource* resource, const ResourceWatch& watch);

    WebKitEngine& m_owner;
    // Every asynchronous callback holds a weak reference to this, so none reaches a destroyed engine.
    std::shared_ptr<Impl*> m_self;
    WebKitWebContext* m_context = nullptr;
    WebKitWebView* m_view = nullptr;
    GtkWidget* m_offscreen = nullptr;

    LoadState m_state = LoadState::Idle;
    // Counts loads, so that a late reply for an earlier load is dropped.
    std::uint64_t m_loadSerial = 0;
    // The address of the current load, for the error page.
    std::string m_address;
    bool m_committed = false;
    bool m_finished = false;
    bool m_failed = false;
    // Frames of the current document by id: whether their load event has fired.
    std::map<std::uint64_t, bool> m_frames;
    int m_pendingResources = 0;
    LoadProgress m_progress;

    std::chrono::milliseconds m_timeout { 60000 };
    std::chrono::milliseconds m_quiet { 150 };
    guint m_timeoutSource = 0;
    guint m_quietSource = 0;
    guint m_deliverSource = 0;
    std::shared_ptr<SnapshotDocument> m_toDeliver;

    // Downloads running for refetched bodies, and the folder they are written to.
    std::map<WebKitDownload*, std::unique_ptr<Refetch>> m_refetches;
    std::string m_refetchFolder;
    std::uint64_t m_refetchCount = 0;
};

WebKitEngine::Impl::Impl(WebKitEngine& owner, ViewHost host)
    : m_owner(owner)
    , m_self(std::make_shared<Impl*>(this))
{
    if (!gtk_init_check(nullptr, nullptr))
        throw EngineError("The WebKit engine needs a display, and none could be opened");

    // An ephemeral context keeps nothing on disk between runs; with the document-viewer cache model
    // WebKit keeps no memory cache either, so every resource of a page is loaded and reported.
    m_context = webkit_web_context_new_ephemeral();
    webkit_web_context_set_cache_model(m_context, WEBKIT_CACHE_MODEL_DOCUMENT_VIEWER);
    g_signal_connect(m_context, "initialize-web-extensions", G_CALLBACK(OnInitializeExtensions), this);

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

    g_signal_connect(m_view, "load-changed", G_CALLBACK(OnLoadChanged), this);
    g_signal_connect(m_view, "load-failed", G_CALLBACK(OnLoadFailed), this);
    g_signal_connect(m_view, "resource-load-started", G_CALLBACK(OnResourceLoadStarted), this);
    g_signal_connect(m_view, "user-message-received", G_CALLBACK(OnUserMessage), this);
    g_signal_connect(m_view, "web-process-terminated", G_CALLBACK(OnWebProcessTerminated), this);

    if (host == ViewHost::Offscreen) {
        m_offscreen = gtk_offscreen_window_new();
        gtk_window_set_default_size(GTK_WINDOW(m_offscreen), 1024, 768);
        gtk_container_add(GTK_CONTAINER(m_offscreen), GTK_WIDGET(m_view));
        gtk_widget_show_all(m_offscreen);
    }
}

WebKitEngine::Impl::~Impl()
{
    m_self.reset();
    for (auto& [download, refetch] : m_refetches) {
        g_signal_handlers_disconnect_by_data(download, refetch.get());
        webkit_download_cancel(download);
        g_unlink(refetch->file.c_str());
        g_object_unref(download);
    }
    m_refetches.clear();
    if (!m_refetchFolder.empty())
        g_rmdir(m_refetchFolder.c_str());
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
}

void WebKitEngine::Impl::OnInitializeExtensions(WebKitWebContext* context, gpointer)
{
    // The extension is built into the folder of the executables.
    webkit_web_context_set_web_extensions_directory(context, mapping::GetExeDirectory().c_str());
}

std::string WebKitEngine::Impl::CurrentUri() const
{
    const char* uri = webkit_web_view_get_uri(m_view);
    return uri ? uri : "";
}

void WebKitEngine::Impl::BeginLoad(std::string address)
{
    ++m_loadSerial;
    m_state = LoadState::Loading;
    m_address = std::move(address);
    m_committed = false;
    m_finished = false;
    m_failed = false;
    m_frames.clear();
    m_progress = {};
    m_toDeliver.reset();
    RemoveSource(m_quietSource);
    RemoveSource(m_deliverSource);
    RemoveSource(m_timeoutSource);
    if (m_timeout.count() > 0) {
        m_timeoutSource = AddTimeout(
            m_timeout,
            [](gpointer data) -> gboolean {
                auto* self = static_cast<Impl*>(data);
                self->m_timeoutSource = 0;
                if (self->m_state == LoadState::Loading || self->m_state == LoadState::Quiet) {
                    // The page completes with what has arrived; a load that never got a document
                    // shows the error page.
                    if (!self->m_committed || self->EndedWithoutResponse()) {
                        self->DeliverErrorPage();
                        webkit_web_view_stop_loading(self->m_view);
                    } else {
                        self->TakeSnapshot();
                    }
                }
                return G_SOURCE_REMOVE;
            },
            this);
    }
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
            if (self->EndedWithoutResponse())
                self->DeliverErrorPage();
            else
                self->TakeSnapshot();
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
    std::shared_ptr<SnapshotDocument> top = AssembleSnapshot(dumps);
    if (!top) {
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
        } else {
            // A load the page or the user started by itself (a link, a script, a refresh) is a
            // load like any other.
            self->BeginLoad(self->CurrentUri());
        }
        break;
    case WEBKIT_LOAD_COMMITTED:
        // Only the frames of the new document count from here on.
        self->m_committed = true;
        self->m_frames.clear();
        break;
    case WEBKIT_LOAD_FINISHED:
        self->m_finished = true;
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
    self->m_failed = true;
    // TRUE keeps WebKit's own error page away; the engine's built-in one is raised at FINISHED.
    return TRUE;
}

void WebKitEngine::Impl::OnResourceLoadStarted(
    WebKitWebView*, WebKitWebResource* resource, WebKitURIRequest* request, gpointer data)
{
    auto* self = static_cast<Impl*>(data);
    ++self->m_pendingResources;
    ++self->m_progress.requested;
    auto* watch
        = new ResourceWatch { self->m_self, self->m_loadSerial, webkit_uri_request_get_uri(request), false };
    const char* method = webkit_uri_request_get_http_method(request);
    watch->get = !method || g_ascii_strcasecmp(method, "GET") == 0;
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
    // Only a complete body under a final 2xx answer goes into the cache; a 206 is a part.
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
    gsize length = 0;
    GError* error = nullptr;
    guchar* bytes = webkit_web_resource_get_data_finish(resource, result, &length, &error);
    // WebKit hands out a single NUL byte for a body it did not keep (a frame's document, an error
    // body); that is not the resource's content.
    bool kept = bytes && !(length == 1 && bytes[0] == 0);
    Impl* engine = Alive(watch->engine);
    if (kept && engine) {
        EngineCache::ForThisRun().Store(
            AddressesOf(resource, *watch), std::string_view(reinterpret_cast<const char*>(bytes), length));
    }
    g_free(bytes);
    g_clear_error(&error);
    if (!kept && engine && watch->get && !IsDocument(webkit_web_resource_get_response(resource))) {
        // The body arrived, but the web process no longer finds it (for some resources of a busy
        // page it never does, however long one waits).
        engine->StartRefetch(resource, watch);
    } else {
        Settle(watch->engine, watch->loadSerial, true, kept ? length : 0);
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
    // The watch has settled its part: from here the refetch keeps the page from completing.
    auto refetch = std::make_unique<Refetch>();
    refetch->engine = watch->engine;
    refetch->loadSerial = watch->loadSerial;
    refetch->addresses = AddressesOf(resource, *watch);
    if (m_refetchFolder.empty()) {
        gchar* folder = g_dir_make_tmp("pagestow-webkit-XXXXXX", nullptr);
        if (!folder) {
            Settle(watch->engine, watch->loadSerial, true, 0);
            return;
        }
        m_refetchFolder = folder;
        g_free(folder);
    }
    refetch->file = m_refetchFolder + "/" + std::to_string(++m_refetchCount);
    // The final address answered with the body; the requested one may have been redirected.
    WebKitDownload* download = webkit_web_view_download_uri(m_view, refetch->addresses.back().c_str());
    if (!download) {
        Settle(watch->engine, watch->loadSerial, true, 0);
        return;
    }
    webkit_download_set_allow_overwrite(download, TRUE);
    g_signal_connect(download, "decide-destination", G_CALLBACK(OnRefetchDestination), refetch.get());
    g_signal_connect(download, "finished", G_CALLBACK(OnRefetchFinished), refetch.get());
    g_signal_connect(download, "failed", G_CALLBACK(OnRefetchFailed), refetch.get());
    m_refetches.emplace(download, std::move(refetch));
}

gboolean WebKitEngine::Impl::OnRefetchDestination(WebKitDownload* download, gchar*, gpointer data)
{
    auto* refetch = static_cast<Refetch*>(data);
    gchar* uri = g_filename_to_uri(refetch->file.c_str(), nullptr, nullptr);
    webkit_download_set_destination(download, uri);
    g_free(uri);
    return TRUE;
}

void WebKitEngine::Impl::OnRefetchFinished(WebKitDownload* download, gpointer data)
{
    auto* refetch = static_cast<Refetch*>(data);
    Impl* engine = Alive(refetch->engine);
    if (!engine)
        return;
    bool stored = false;
    std::uint64_t length = 0;
    gchar* bytes = nullptr;
    gsize size = 0;
    if (IsWholeBody(webkit_download_get_response(download))
        && g_file_get_contents(refetch->file.c_str(), &bytes, &size, nullptr)) {
        EngineCache::ForThisRun().Store(refetch->addresses, std::string_view(bytes, size));
        stored = true;
        length = size;
    }
    g_free(bytes);
    engine->EndRefetch(download, stored, length);
}

void WebKitEngine::Impl::OnRefetchFailed(WebKitDownload* download, GError*, gpointer data)
{
    auto* refetch = static_cast<Refetch*>(data);
    if (Impl* engine = Alive(refetch->engine))
        engine->EndRefetch(download, false, 0);
}

void WebKitEngine::Impl::EndRefetch(WebKitDownload* download, bool stored, std::uint64_t bytes)
{
    auto found = m_refetches.find(download);
    if (found == m_refetches.end())
        return;
    std::unique_ptr<Refetch> refetch = std::move(found->second);
    m_refetches.erase(found);
    // A failed download also reports its end: the refetch is settled once only.
    g_signal_handlers_disconnect_by_data(download, refetch.get());
    g_unlink(refetch->file.c_str());
    // The download object is released from a main-loop source, not from inside its own signal.
    g_idle_add(
        [](gpointer object) -> gboolean {
            g_object_unref(object);
            return G_SOURCE_REMOVE;
        },
        download);
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
    // navigation, the load time-out) is not.
    Impl* engine = Alive(watch->engine);
    if (engine && watch->loadSerial == engine->m_loadSerial
        && (engine->m_state == LoadState::Loading || engine->m_state == LoadState::Quiet)
        && g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED)) {
        WebKitURIResponse* response = webkit_web_resource_get_response(resource);
        if (watch->get && IsWholeBody(response) && !IsDocument(response)) {
            engine->StartRefetch(resource, watch);
            return;
        }
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
    if (self->m_state == LoadState::Loading || self->m_state == LoadState::Quiet
        || self->m_state == LoadState::Dumping)
        self->DeliverErrorPage();
}

WebKitEngine::WebKitEngine(ViewHost host)
    : m_impl(std::make_unique<Impl>(*this, host))
{
}

WebKitEngine::~WebKitEngine() = default;

void WebKitEngine::Navigate(const std::string& address)
{
    std::string uri = WithDefaultScheme(address);
    m_impl->BeginLoad(uri);
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

} // namespace pagestow::engine::webkit

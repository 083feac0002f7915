#include "engine/webkit/WebKitEngine.h"

#include "engine/EngineError.h"
#include "engine/webkit/EngineImpl.h"
#include "engine/webkit/WebKitMessages.h"
#include "mapping/FileUtils.h"

#include <filesystem>

namespace pagestow::engine::webkit {

WebKitEngine::Impl::Impl(WebKitEngine& owner, ViewHost host, const std::string& sessionCookieFile)
    : m_owner(owner)
    , m_self(std::make_shared<Impl*>(this))
    , m_dialogsShown(host == ViewHost::Embedded)
{
    if (!gtk_init_check(nullptr, nullptr))
        throw EngineError("The WebKit engine needs a display, and none could be opened");

    // An ephemeral context keeps nothing on disk between runs (unless a session cookie file is
    // asked for). The memory cache is on, so that a resource the page uses twice (a preload and its
    // use) is requested once; it is emptied when a load starts, so that every resource of a page is
    // loaded and reported.
    m_context
        = sessionCookieFile.empty() ? webkit_web_context_new_ephemeral() : SessionContext(sessionCookieFile);
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
    ResetScroll();
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
    webkit_web_context_set_web_extensions_initialization_user_data(context, self->ExtensionData());
}

void WebKitEngine::Impl::OnDownloadStarted(WebKitWebContext*, WebKitDownload* download, gpointer)
{
    // The engine never downloads on its own: nothing may be written outside the capture.
    webkit_download_cancel(download);
}

WebKitEngine::WebKitEngine(ViewHost host, EngineCache* cache, std::string sessionCookieFile)
    : SnapshotEngine(cache)
    , m_impl(std::make_unique<Impl>(*this, host, sessionCookieFile))
{
}

WebKitEngine::~WebKitEngine() = default;

void WebKitEngine::Navigate(const std::string& address)
{
    std::string uri = WithDefaultScheme(address);
    m_impl->ApplyRequestOptions();
    m_impl->BeginLoad(uri, false);
    webkit_web_view_load_uri(m_impl->m_view, uri.c_str());
}

void WebKitEngine::ProcessEvents(std::chrono::milliseconds wait)
{
    GMainContext* context = g_main_context_default();
    bool dispatched = false;
    while (g_main_context_iteration(context, FALSE))
        dispatched = true;
    m_impl->CheckMemory();
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
    m_impl->CheckMemory();
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

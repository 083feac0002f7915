#include "app/BrowseView.h"

#include <webkit2/webkit2.h>

#include <memory>

namespace pagestow::app {
namespace {

    constexpr const char* kFailureKey = "pagestow-load-failure";
    constexpr const char* kWatchedKey = "pagestow-watched";

    struct LoadFailure {
        std::string address;
        GError* error = nullptr;
        ~LoadFailure() { g_clear_error(&error); }
    };

    LoadFailure* FailureOf(GtkWidget* view)
    {
        return static_cast<LoadFailure*>(g_object_get_data(G_OBJECT(view), kFailureKey));
    }

    // The engine answers the view's load-failed signal first and stops it there, so the failure is
    // read as the signal is emitted, before any handler runs.
    gboolean OnLoadFailedEmitted(GSignalInvocationHint*, guint count, const GValue* values, gpointer)
    {
        if (count < 4)
            return TRUE;
        GObject* view = static_cast<GObject*>(g_value_get_object(&values[0]));
        const auto* error = static_cast<const GError*>(g_value_get_boxed(&values[3]));
        if (!view || !error || !g_object_get_data(view, kWatchedKey)
            || g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED))
            return TRUE;
        auto* failure = new LoadFailure;
        const char* address = g_value_get_string(&values[2]);
        failure->address = address ? address : "";
        failure->error = g_error_copy(error);
        g_object_set_data_full(
            view, kFailureKey, failure, [](gpointer data) { delete static_cast<LoadFailure*>(data); });
        return TRUE;
    }

} // namespace

BrowseView::BrowseView(GtkWidget* view, std::function<void()> loadStarted)
    : m_view(GTK_WIDGET(g_object_ref(view)))
    , m_loadStarted(std::move(loadStarted))
{
    static const bool hooked = [] {
        g_signal_add_emission_hook(
            g_signal_lookup("load-failed", WEBKIT_TYPE_WEB_VIEW), 0, OnLoadFailedEmitted, nullptr, nullptr);
        return true;
    }();
    (void)hooked;
    g_object_set_data(G_OBJECT(m_view.get()), kWatchedKey, GINT_TO_POINTER(1));
    g_signal_connect(m_view.get(), "load-changed", G_CALLBACK(OnLoadChanged), this);
}

BrowseView::~BrowseView()
{
    g_signal_handlers_disconnect_by_data(m_view.get(), this);
    g_object_set_data(G_OBJECT(m_view.get()), kWatchedKey, nullptr);
}

void BrowseView::OnLoadChanged(GtkWidget* view, int event, void* data)
{
    if (event != WEBKIT_LOAD_STARTED)
        return;
    // A new load has no failure yet.
    g_object_set_data(G_OBJECT(view), kFailureKey, nullptr);
    auto* self = static_cast<BrowseView*>(data);
    if (self->m_loadStarted)
        self->m_loadStarted();
}

std::string BrowseView::LastFailureAddress() const
{
    LoadFailure* failure = FailureOf(m_view.get());
    return failure ? failure->address : "";
}

std::string BrowseView::LastFailureMessage() const
{
    LoadFailure* failure = FailureOf(m_view.get());
    return failure ? failure->error->message : "";
}

void BrowseView::ShowErrorPage(const std::string& address, const std::string& reason)
{
    LoadFailure* failure = FailureOf(m_view.get());
    std::string failingAddress = failure && !failure->address.empty() ? failure->address : address;
    GError* error = failure
        ? g_error_copy(failure->error)
        : g_error_new_literal(WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_FAILED, reason.c_str());
    // The view's own handler of a failed load: the page it shows in place of the one that failed.
    WEBKIT_WEB_VIEW_GET_CLASS(m_view.get())
        ->load_failed(WEBKIT_WEB_VIEW(m_view.get()), WEBKIT_LOAD_STARTED, failingAddress.c_str(), error);
    g_error_free(error);
}

} // namespace pagestow::app

// The web-process half of the WebKit engine. WebKit loads this shared object into every web process
// it starts. It keeps each frame it is handed, tells the view when a frame's document starts and when
// its load event has fired, and on request dumps the document of every frame of a page from that
// frame's own JavaScript context, cross-origin frames included.

#include "engine/Contract.h"
#include "engine/FrameDumpScript.h"
#include "engine/webkit/WebKitMessages.h"

#include <webkit2/webkit-web-extension.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace {

using namespace pagestow::engine::webkit;

// The dump runs in a script world of its own, so that nothing the page's scripts did to the globals
// (a replaced JSON.stringify, a TreeWalker shadowed by a variable) can change what is recorded.
WebKitScriptWorld* g_dumpWorld = nullptr;
WebKitWebExtension* g_extension = nullptr;

struct FrameRecord {
    WebKitFrame* frame = nullptr; // cleared by the weak reference when the frame goes away
    std::uint64_t pageId = 0;
};
std::map<std::uint64_t, FrameRecord> g_frames;

struct ReportTarget {
    std::uint64_t pageId;
    std::uint64_t frameId;
};

void SendFrameEvent(std::uint64_t pageId, const char* event, std::uint64_t frameId)
{
    WebKitWebPage* page = webkit_web_extension_get_page(g_extension, pageId);
    if (!page)
        return;
    WebKitUserMessage* message
        = webkit_user_message_new(kFrameEventMessage, g_variant_new("(st)", event, frameId));
    webkit_web_page_send_message_to_view(page, message, nullptr, nullptr, nullptr);
}

void OnFrameLoaded(gpointer data)
{
    auto* target = static_cast<ReportTarget*>(data);
    SendFrameEvent(target->pageId, kFrameLoaded, target->frameId);
}

void OnFrameFinalized(gpointer data, GObject*)
{
    auto frameId = std::uint64_t(reinterpret_cast<std::uintptr_t>(data));
    auto found = g_frames.find(frameId);
    if (found == g_frames.end())
        return;
    std::uint64_t pageId = found->second.pageId;
    g_frames.erase(found);
    SendFrameEvent(pageId, kFrameGone, frameId);
}

// Reports the load event of the document that was just attached to the frame; a document that has
// already loaded reports at once.
constexpr const char* kWatchLoadScript = R"JS(
(function (report) {
    if (document.readyState === 'complete')
        report();
    else
        window.addEventListener('load', function () { report(); }, { once: true });
})
)JS";

void OnWindowObjectCleared(WebKitScriptWorld*, WebKitWebPage* page, WebKitFrame* frame, gpointer)
{
    std::uint64_t frameId = webkit_frame_get_id(frame);
    std::uint64_t pageId = webkit_web_page_get_id(page);
    auto [entry, added] = g_frames.try_emplace(frameId);
    if (added) {
        entry->second.frame = frame;
        g_object_weak_ref(
            G_OBJECT(frame), OnFrameFinalized, reinterpret_cast<gpointer>(std::uintptr_t(frameId)));
    }
    entry->second.pageId = pageId;
    SendFrameEvent(pageId, kFrameStarted, frameId);

    JSCContext* context = webkit_frame_get_js_context_for_script_world(frame, g_dumpWorld);
    JSCValue* watch = jsc_context_evaluate(context, kWatchLoadScript, -1);
    auto* target = new ReportTarget { pageId, frameId };
    JSCValue* report = jsc_value_new_function(
        context, nullptr, G_CALLBACK(OnFrameLoaded), target,
        [](gpointer data) { delete static_cast<ReportTarget*>(data); }, G_TYPE_NONE, 0);
    if (jsc_value_is_function(watch)) {
        JSCValue* result = jsc_value_function_call(watch, JSC_TYPE_VALUE, report, G_TYPE_NONE);
        g_clear_object(&result);
    }
    jsc_context_clear_exception(context);
    g_object_unref(report);
    g_object_unref(watch);
    g_object_unref(context);
}

// One frame's document as JSON, from the frame dump script (engine/FrameDump.js) called for this
// engine: see ParseFrameDump.
std::string DumpFrame(WebKitFrame* frame)
{
    static const std::string expression = std::string(pagestow::engine::kFrameDumpScript) + "('webkit', "
        + std::to_string(pagestow::engine::kMaxAttributes) + ")";
    JSCContext* context = webkit_frame_get_js_context_for_script_world(frame, g_dumpWorld);
    JSCValue* value = jsc_context_evaluate(context, expression.c_str(), -1);
    std::string text;
    if (jsc_value_is_string(value)) {
        char* chars = jsc_value_to_string(value);
        text = chars;
        g_free(chars);
    }
    jsc_context_clear_exception(context);
    g_object_unref(value);
    g_object_unref(context);
    return text;
}

gboolean OnUserMessage(WebKitWebPage* page, WebKitUserMessage* message, gpointer)
{
    if (g_strcmp0(webkit_user_message_get_name(message), kDumpMessage) != 0)
        return FALSE;
    std::uint64_t pageId = webkit_web_page_get_id(page);
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("as"));
    for (auto& [frameId, record] : g_frames) {
        if (record.pageId != pageId || !record.frame)
            continue;
        std::string dump = DumpFrame(record.frame);
        if (!dump.empty())
            g_variant_builder_add(&builder, "s", dump.c_str());
    }
    webkit_user_message_send_reply(
        message, webkit_user_message_new(kDumpMessage, g_variant_builder_end(&builder)));
    return TRUE;
}

// Addresses the view asks this web process not to request: an address whose load ended the web
// process before (a frame redirected to a local file).
std::set<std::string> g_blocked;

gboolean OnSendRequest(WebKitWebPage*, WebKitURIRequest* request, WebKitURIResponse*, gpointer)
{
    const char* uri = webkit_uri_request_get_uri(request);
    return uri && g_blocked.count(uri) ? TRUE : FALSE;
}

void OnPageCreated(WebKitWebExtension*, WebKitWebPage* page, gpointer)
{
    g_signal_connect(page, "user-message-received", G_CALLBACK(OnUserMessage), nullptr);
    g_signal_connect(page, "send-request", G_CALLBACK(OnSendRequest), nullptr);
}

} // namespace

extern "C" G_MODULE_EXPORT void webkit_web_extension_initialize_with_user_data(
    WebKitWebExtension* extension, GVariant* data)
{
    if (data && g_variant_is_of_type(data, G_VARIANT_TYPE_STRING_ARRAY)) {
        gsize count = 0;
        const gchar** addresses = g_variant_get_strv(data, &count);
        for (gsize i = 0; i < count; ++i)
            g_blocked.insert(addresses[i]);
        g_free(addresses);
    }
    g_extension = extension;
    g_dumpWorld = webkit_script_world_new_with_name("pagestow-dump");
    g_signal_connect(extension, "page-created", G_CALLBACK(OnPageCreated), nullptr);
    g_signal_connect(webkit_script_world_get_default(), "window-object-cleared",
        G_CALLBACK(OnWindowObjectCleared), nullptr);
}

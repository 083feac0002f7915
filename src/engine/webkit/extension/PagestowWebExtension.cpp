// The web-process half of the WebKit engine. WebKit loads this shared object into every web process
// it starts. It keeps each frame it is handed, tells the view when a frame's document starts and when
// its load event has fired, and on request dumps the document of every frame of a page from that
// frame's own JavaScript context, cross-origin frames included.

#include "engine/Contract.h"
#include "engine/FrameDumpScript.h"
#include "engine/ScrollStepScript.h"
#include "engine/webkit/WebKitMessages.h"

#include <webkit2/webkit-web-extension.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace pagestow::engine::webkit;

struct FrameRecord {
    WebKitFrame* frame = nullptr; // cleared by the weak reference when the frame goes away
    std::uint64_t pageId = 0;
};

// What the extension keeps for its web process, made when WebKit starts it and handed to every
// callback; it lives as long as the process.
struct Extension {
    WebKitWebExtension* extension = nullptr;
    // The dump runs in a script world of its own, so that nothing the page's scripts did to the
    // globals (a replaced JSON.stringify, a TreeWalker shadowed by a variable) can change what is
    // recorded.
    WebKitScriptWorld* dumpWorld = nullptr;
    std::map<std::uint64_t, FrameRecord> frames;
    // Addresses the view asks this web process not to request: an address whose load ended the web
    // process before (a frame redirected to a local file).
    std::set<std::string> blocked;
    // Headers the user adds to every request of the page.
    std::vector<std::pair<std::string, std::string>> headers;
};

// A frame of the extension, for the callbacks of that frame.
struct ReportTarget {
    Extension* extension;
    std::uint64_t pageId;
    std::uint64_t frameId;
};

void SendFrameEvent(Extension& self, std::uint64_t pageId, const char* event, std::uint64_t frameId)
{
    WebKitWebPage* page = webkit_web_extension_get_page(self.extension, pageId);
    if (!page)
        return;
    WebKitUserMessage* message
        = webkit_user_message_new(kFrameEventMessage, g_variant_new("(st)", event, frameId));
    webkit_web_page_send_message_to_view(page, message, nullptr, nullptr, nullptr);
}

void OnFrameLoaded(gpointer data)
{
    auto* target = static_cast<ReportTarget*>(data);
    SendFrameEvent(*target->extension, target->pageId, kFrameLoaded, target->frameId);
}

void OnFrameFinalized(gpointer data, GObject*)
{
    std::unique_ptr<ReportTarget> target(static_cast<ReportTarget*>(data));
    Extension& self = *target->extension;
    auto found = self.frames.find(target->frameId);
    if (found == self.frames.end())
        return;
    std::uint64_t pageId = found->second.pageId;
    self.frames.erase(found);
    SendFrameEvent(self, pageId, kFrameGone, target->frameId);
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

void OnWindowObjectCleared(WebKitScriptWorld*, WebKitWebPage* page, WebKitFrame* frame, gpointer user)
{
    Extension& self = *static_cast<Extension*>(user);
    std::uint64_t frameId = webkit_frame_get_id(frame);
    std::uint64_t pageId = webkit_web_page_get_id(page);
    auto [entry, added] = self.frames.try_emplace(frameId);
    if (added) {
        entry->second.frame = frame;
        g_object_weak_ref(G_OBJECT(frame), OnFrameFinalized, new ReportTarget { &self, pageId, frameId });
    }
    entry->second.pageId = pageId;
    SendFrameEvent(self, pageId, kFrameStarted, frameId);

    JSCContext* context = webkit_frame_get_js_context_for_script_world(frame, self.dumpWorld);
    JSCValue* watch = jsc_context_evaluate(context, kWatchLoadScript, -1);
    auto* target = new ReportTarget { &self, pageId, frameId };
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
std::string DumpFrame(const Extension& self, WebKitFrame* frame)
{
    static const std::string expression = std::string(pagestow::engine::kFrameDumpScript) + "('webkit', "
        + std::to_string(pagestow::engine::kMaxAttributes) + ")";
    JSCContext* context = webkit_frame_get_js_context_for_script_world(frame, self.dumpWorld);
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

// One scroll step (engine/ScrollStep.js) in one frame: "none", "end" or "more".
std::string ScrollFrame(const Extension& self, WebKitFrame* frame, guint32 step)
{
    std::string expression
        = std::string(pagestow::engine::kScrollStepScript) + "(" + std::to_string(step) + ")";
    JSCContext* context = webkit_frame_get_js_context_for_script_world(frame, self.dumpWorld);
    JSCValue* value = jsc_context_evaluate(context, expression.c_str(), -1);
    std::string answer;
    if (jsc_value_is_string(value)) {
        char* chars = jsc_value_to_string(value);
        answer = chars;
        g_free(chars);
    }
    jsc_context_clear_exception(context);
    g_object_unref(value);
    g_object_unref(context);
    return answer;
}

// Every frame of the page takes the step; the reply says whether any frame has more to show.
void ScrollPage(const Extension& self, std::uint64_t pageId, WebKitUserMessage* message)
{
    GVariant* parameters = webkit_user_message_get_parameters(message);
    guint32 step = 0;
    if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE_UINT32))
        step = g_variant_get_uint32(parameters);
    bool more = false;
    bool scrolls = false;
    for (const auto& [frameId, record] : self.frames) {
        if (record.pageId != pageId || !record.frame)
            continue;
        std::string answer = ScrollFrame(self, record.frame, step);
        more = more || answer == "more";
        scrolls = scrolls || answer == "more" || answer == "end";
    }
    const char* reply = more ? "more" : scrolls ? "end" : "none";
    webkit_user_message_send_reply(
        message, webkit_user_message_new(kScrollMessage, g_variant_new_string(reply)));
}

gboolean OnUserMessage(WebKitWebPage* page, WebKitUserMessage* message, gpointer data)
{
    const Extension& self = *static_cast<const Extension*>(data);
    if (g_strcmp0(webkit_user_message_get_name(message), kScrollMessage) == 0) {
        ScrollPage(self, webkit_web_page_get_id(page), message);
        return TRUE;
    }
    if (g_strcmp0(webkit_user_message_get_name(message), kDumpMessage) != 0)
        return FALSE;
    std::uint64_t pageId = webkit_web_page_get_id(page);
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("as"));
    for (const auto& [frameId, record] : self.frames) {
        if (record.pageId != pageId || !record.frame)
            continue;
        std::string dump = DumpFrame(self, record.frame);
        if (!dump.empty())
            g_variant_builder_add(&builder, "s", dump.c_str());
    }
    webkit_user_message_send_reply(
        message, webkit_user_message_new(kDumpMessage, g_variant_builder_end(&builder)));
    return TRUE;
}

gboolean OnSendRequest(WebKitWebPage*, WebKitURIRequest* request, WebKitURIResponse*, gpointer data)
{
    const Extension& self = *static_cast<const Extension*>(data);
    const char* uri = webkit_uri_request_get_uri(request);
    if (uri && self.blocked.count(uri))
        return TRUE;
    if (SoupMessageHeaders* headers = webkit_uri_request_get_http_headers(request)) {
        for (const auto& [name, value] : self.headers)
            soup_message_headers_replace(headers, name.c_str(), value.c_str());
    }
    return FALSE;
}

void OnPageCreated(WebKitWebExtension*, WebKitWebPage* page, gpointer data)
{
    g_signal_connect(page, "user-message-received", G_CALLBACK(OnUserMessage), data);
    g_signal_connect(page, "send-request", G_CALLBACK(OnSendRequest), data);
}

} // namespace

extern "C" G_MODULE_EXPORT void webkit_web_extension_initialize_with_user_data(
    WebKitWebExtension* extension, GVariant* data)
{
    // Never freed: the web process ends with it.
    auto* self = new Extension;
    // The view sends the blocked addresses and the user's headers.
    if (data && g_variant_is_of_type(data, G_VARIANT_TYPE("(asa(ss))"))) {
        GVariantIter* addresses = nullptr;
        GVariantIter* headers = nullptr;
        g_variant_get(data, "(asa(ss))", &addresses, &headers);
        const gchar* address = nullptr;
        while (g_variant_iter_next(addresses, "&s", &address))
            self->blocked.insert(address);
        const gchar* name = nullptr;
        const gchar* value = nullptr;
        while (g_variant_iter_next(headers, "(&s&s)", &name, &value))
            self->headers.emplace_back(name, value);
        g_variant_iter_free(addresses);
        g_variant_iter_free(headers);
    }
    self->extension = extension;
    self->dumpWorld = webkit_script_world_new_with_name("pagestow-dump");
    g_signal_connect(extension, "page-created", G_CALLBACK(OnPageCreated), self);
    g_signal_connect(
        webkit_script_world_get_default(), "window-object-cleared", G_CALLBACK(OnWindowObjectCleared), self);
}
